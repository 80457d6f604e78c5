#include "RoomForm.h"

#include "ChatView.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shell/ActionSetToolBar.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellServices.h"
#include "shell/ShellState.h"
#include "store/TimerManager.h"

#include <QDesktopServices>
#include <QLineEdit>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString Utf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

} // namespace

RoomForm::RoomForm(const std::string& room, QWidget* parent)
    : QWidget(parent), m_room(room), m_roomItem(ServerStore::Room(room)),
      m_chatView(new ChatView(ChatLog::Kind::Room, room)), m_chatEdit(new QLineEdit),
      m_userList(new QTreeWidget)
{
    m_chatEdit->setObjectName(QStringLiteral("chatEdit"));
    m_userList->setObjectName(QStringLiteral("userList"));
    m_userList->setHeaderLabels({QStringLiteral("User")});
    m_userList->setRootIsDecorated(false);
    m_userList->setSortingEnabled(true);
    m_userList->sortByColumn(0, Qt::AscendingOrder);

    auto* chat = new QWidget;
    auto* chatLayout = new QVBoxLayout(chat);
    chatLayout->setContentsMargins(0, 0, 0, 0);
    chatLayout->addWidget(m_chatView);
    chatLayout->addWidget(m_chatEdit);
    auto* splitter = new QSplitter(Qt::Horizontal);
    splitter->addWidget(chat);
    splitter->addWidget(m_userList);
    splitter->setStretchFactor(0, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(splitter);
    setFocusProxy(m_chatEdit);

    connect(m_chatEdit, &QLineEdit::returnPressed, this, &RoomForm::OnChatEditReturnPressed);
    connect(m_chatView, &QTextBrowser::anchorClicked, this, &RoomForm::OnURLClicked);
    Server* server = ReachServer();
    if (!server)
        return;
    connect(server, &Server::RoomChat, this, &RoomForm::OnRoomChat);
    connect(server, &Server::Connected, this, &RoomForm::OnConnected);
    if (TimerManager* timers = ReachTimers())
        connect(timers->everyHalfMinute(), &SharedTimer::timeout, this,
                &RoomForm::CheckChatInactivity);

    Type* rooms = d.GetType(ServerTypes::Room);
    Type* users = d.GetType(ServerTypes::User);
    d.AddConnectionEventHandler(rooms, users, NewEventHandler(this, &RoomForm::OnUserLinked));
    d.AddDisconnectionEventHandler(rooms, users, NewEventHandler(this, &RoomForm::OnUserUnlinked));
    // The auto-join text and the give-up actions follow the flags of this room only.
    for (const char* flag :
         {ServerTypes::RoomAutojoin, ServerTypes::IsOwner, ServerTypes::IsMember}) {
        for (PathNodeRelation relation : {PathConnected, PathDisconnected}) {
            auto* root = new PathNode(m_roomItem.Get());
            new PathNode(root, flag, relation);
            d.AddPathEventHandler(root, NewEventHandler(this, &RoomForm::OnRoomChanged));
        }
    }

    ActionSetToolBar* bar = ReachActionBar();
    if (!bar)
        return;
    bar->RegisterWidget(this, QString::fromLatin1(ShellActions::RoomSet));
    bar->AddWidgetKey(this, QString::fromLatin1(ShellActions::RoomKey), Utf8(m_room));
    UpdateActions();
}

RoomForm::~RoomForm()
{
    RemoveDataHandlers();
    // At shutdown the server connection is already closed, and nobody will read in_room again.
    if (g_showIsOver)
        return;
    Server* server = ReachServer();
    if (!server)
        return;
    if (server->IsConnected())
        server->LeaveRoom(m_room);
    else
        ServerStore::ClearFlag(m_roomItem, ServerTypes::InRoom);
}

void RoomForm::Init()
{
    for (ItemPtr user : m_roomItem.GetItems(ServerTypes::User))
        AddUserRow(user.AsString());
    m_chatEdit->setFocus(Qt::OtherFocusReason);
}

QString RoomForm::Text() const
{
    return m_chatView->toPlainText();
}

QStringList RoomForm::Users() const
{
    QStringList users;
    for (int i = 0; i < m_userList->topLevelItemCount(); ++i)
        users << m_userList->topLevelItem(i)->text(0);
    return users;
}

void RoomForm::OnRoomChat(std::string room, std::string user, std::string text)
{
    if (room != m_room)
        return;
    m_chatView->AddChat(user, text);
}

void RoomForm::OnURLClicked(const QUrl& url)
{
    QDesktopServices::openUrl(url);
}

void RoomForm::CheckChatInactivity()
{
    m_chatView->CheckChatInactivity();
}

void RoomForm::OnConnected()
{
    if (Server* server = ReachServer())
        server->EnterRoom(m_room, false);
}

void RoomForm::OnChatEditReturnPressed()
{
    const std::string text = m_chatEdit->text().toUtf8().toStdString();
    if (text.empty())
        return;
    Server* server = ReachServer();
    if (!server)
        return;
    m_chatEdit->clear();
    // The server sends our own line back like everyone else's.
    server->SendRoomChat(m_room, text);
}

void RoomForm::OnUserLinked(ConnectionInfo& info)
{
    if (info.first == m_roomItem.Get())
        AddUserRow(ItemPtr(info.second).AsString());
}

void RoomForm::OnUserUnlinked(ConnectionInfo& info)
{
    if (info.first != m_roomItem.Get())
        return;
    const QString name = QString::fromLatin1(ItemPtr(info.second).AsString());
    for (QTreeWidgetItem* row : m_userList->findItems(name, Qt::MatchExactly, 0))
        delete row;
}

void RoomForm::OnRoomChanged(Item*)
{
    UpdateActions();
}

void RoomForm::UpdateActions()
{
    ActionSetToolBar* bar = ReachActionBar();
    if (!bar)
        return;
    const bool autojoin = m_roomItem.IsConnected(ServerTypes::RoomAutojoin);
    bar->SetWidgetActionText(this, QString::fromLatin1(ShellActions::ToggleRoomAutojoin),
                             autojoin ? QStringLiteral("Auto-Join Room [on]")
                                      : QStringLiteral("Auto-Join Room [off]"));
    const bool owner = m_roomItem.IsConnected(ServerTypes::IsOwner);
    const bool member = m_roomItem.IsConnected(ServerTypes::IsMember);
    bar->SetWidgetActionHidden(this, QString::fromLatin1(ShellActions::GiveUpMembership),
                               !member || owner);
    bar->SetWidgetActionHidden(this, QString::fromLatin1(ShellActions::GiveUpOwnership), !owner);
}

void RoomForm::AddUserRow(const std::string& user)
{
    const QString name = QString::fromLatin1(user);
    if (m_userList->findItems(name, Qt::MatchExactly, 0).isEmpty())
        new QTreeWidgetItem(m_userList, QStringList{name});
}
