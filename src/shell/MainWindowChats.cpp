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

#include <QIcon>

#include "ui_MainWindow.h"

namespace {

// Made once: an icon made from a file name looks up the file's type, a tenth of a tab's cost.
const QIcon& Dot(bool online)
{
    static const QIcon onlineDot(QStringLiteral(":/icons/online_dot_icon"));
    static const QIcon offlineDot(QStringLiteral(":/icons/offline_dot_icon"));
    return online ? onlineDot : offlineDot;
}

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
    ui->chatTabControl->addTab(form, Dot(userItem.IsConnected(ServerTypes::IsOnline)),
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
    // Shown at once while the turn has budget left; a flood waits, in order, for later turns.
    m_pendingChats.emplace_back(std::move(user), std::move(text));
    m_chatDelivery.RunNow();
}

bool MainWindow::DeliverChatStep()
{
    if (m_pendingChats.empty())
        return false;
    const auto [user, text] = std::move(m_pendingChats.front());
    m_pendingChats.pop_front();
    GetChatForm(user)->AddChat(user, text);
    return !m_pendingChats.empty();
}

void MainWindow::OnChatTabClosed(int index)
{
    delete ui->chatTabControl->widget(index);
}

void MainWindow::SetChatTabIcon(Item* user, bool online)
{
    ChatForm* form = ChatForm::FromItem(ItemPtr(user)[ShellTypes::UserChatWidget]);
    if (!form)
        return;
    const int index = ui->chatTabControl->indexOf(form);
    if (index >= 0)
        ui->chatTabControl->setTabIcon(index, Dot(online));
}

void MainWindow::OnUserOnline(Item* user)
{
    SetChatTabIcon(user, true);
}

void MainWindow::OnUserOffline(Item* user)
{
    SetChatTabIcon(user, false);
}
