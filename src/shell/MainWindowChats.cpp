// The chat page: one private chat tab per user, found through the store.

#include "shell/MainWindow.h"

#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shell/DisplayText.h"
#include "shell/FormHooks.h"
#include "shell/ShellTypes.h"
#include "shell/Ties.h"
#include "shell/UIFunctions.h"
#include "ui/chat/ChatForm.h"

#include "ui_MainWindow.h"

#include <QTimer>

namespace {

const QString kOnlineDotIcon = QStringLiteral(":/icons/online_dot_icon");
const QString kOfflineDotIcon = QStringLiteral(":/icons/offline_dot_icon");

} // namespace

void MainWindow::RegisterChatPage()
{
    ShellTypes::DeclareUserChatWidget();
    connect(server, &Server::PrivateChat, this, &MainWindow::OnPrivateChat);
    // The forms below the window (the user menu) open chats through this.
    FormHooks::Get().openChat = [this](const std::string& user) { OpenChatForm(user); };
}

void MainWindow::RegisterUserOnlineHandlers()
{
    auto* online = new PathNode(&d, ServerTypes::User);
    new PathNode(online, ServerTypes::IsOnline, PathConnectedWatchOnly);
    d.AddPathEventHandler(online, NewEventHandler(this, &MainWindow::OnUserOnline));
    auto* offline = new PathNode(&d, ServerTypes::User);
    new PathNode(offline, ServerTypes::IsOnline, PathDisconnected);
    d.AddPathEventHandler(offline, NewEventHandler(this, &MainWindow::OnUserOffline));
}

ChatForm* MainWindow::GetChatForm(std::string user)
{
    ItemPtr userItem = ServerStore::User(user);
    if (ChatForm* open = ChatForm::FromItem(userItem[ShellTypes::UserChatWidget]))
        return open;
    auto* form = new ChatForm(user, ui->chatTabControl, this);
    ui->chatTabControl->addTab(
        form, QIcon(userItem.IsConnected(ServerTypes::IsOnline) ? kOnlineDotIcon : kOfflineDotIcon),
        EscapeMnemonics(CellText(Shown(userItem))));
    userItem += Ties::Make(ShellTypes::UserChatWidget, form);
    server->TrackUser(user);
    return form;
}

void MainWindow::OpenChatForm(std::string user)
{
    GetChatForm(user)->Focus();
}

void MainWindow::OnPrivateChat(std::string user, std::string text, time_t, bool)
{
    m_pendingChats.emplace_back(std::move(user), std::move(text));
    DeliverPendingChats();
}

void MainWindow::DeliverPendingChats()
{
    while (!m_pendingChats.empty()) {
        const auto& [user, text] = m_pendingChats.front();
        const bool opens = !ChatForm::FromItem(ServerStore::User(user)[ShellTypes::UserChatWidget]);
        if (m_chatLinesThisTurn >= kMaxChatLinesPerTurn ||
            (opens && m_chatTabsThisTurn >= kMaxChatTabsPerTurn)) {
            break;
        }
        ++m_chatLinesThisTurn;
        m_chatTabsThisTurn += opens ? 1 : 0;
        GetChatForm(user)->AddChat(user, text);
        m_pendingChats.pop_front();
    }
    // The turn's counts start again with the next turn, which also takes what is left.
    if (m_chatLinesThisTurn > 0 && !m_chatTurnScheduled) {
        m_chatTurnScheduled = true;
        QTimer::singleShot(0, this, [this] {
            m_chatTurnScheduled = false;
            m_chatLinesThisTurn = 0;
            m_chatTabsThisTurn = 0;
            DeliverPendingChats();
        });
    }
}

void MainWindow::OnChatTabClosed(int index)
{
    delete ui->chatTabControl->widget(index);
}

void MainWindow::SetChatTabIcon(Item* user, const QString& icon)
{
    ChatForm* form = ChatForm::FromItem(ItemPtr(user)[ShellTypes::UserChatWidget]);
    if (!form)
        return;
    const int index = ui->chatTabControl->indexOf(form);
    if (index >= 0)
        ui->chatTabControl->setTabIcon(index, QIcon(icon));
}

void MainWindow::OnUserOnline(Item* user)
{
    SetChatTabIcon(user, kOnlineDotIcon);
}

void MainWindow::OnUserOffline(Item* user)
{
    SetChatTabIcon(user, kOfflineDotIcon);
}
