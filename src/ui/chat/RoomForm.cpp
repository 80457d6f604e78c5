#include "RoomForm.h"

#include "ChatView.h"
#include "QRoomUserListItemWidget.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/FormHooks.h"
#include "shell/ModalDialogs.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellServices.h"
#include "shell/ShellState.h"
#include "shell/ShellTypes.h"
#include "shell/SizeManager.h"
#include "shell/UIFunctions.h"
#include "store/Clock.h"
#include "store/TimerManager.h"

#include <QDesktopServices>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QSplitter>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <unordered_set>

namespace {

constexpr int kNameColumn = 2;
constexpr int kNoteColumn = 3;

QString TimeNow()
{
    return Clock::Now().toString(QStringLiteral("h:mm:ss"));
}

} // namespace

RoomForm::RoomForm(const std::string& room, QWidget* parent)
    : QWidget(parent), m_room(room), m_roomItem(ServerStore::Room(room)),
      m_splitter(new QSplitter(Qt::Horizontal)),
      m_chatView(new ChatView(ChatLog::Kind::Room, room)), m_chatEdit(new QLineEdit),
      m_userList(new QTreeWidget)
{
    m_splitter->setObjectName(QStringLiteral("splitter"));
    m_chatEdit->setObjectName(QStringLiteral("chatEdit"));
    m_userList->setObjectName(QStringLiteral("userList"));
    m_userList->setContextMenuPolicy(Qt::CustomContextMenu);
    m_userList->setRootIsDecorated(false);
    // Every row is one line of text beside 16-pixel icons: the list need not measure each.
    m_userList->setUniformRowHeights(true);
    m_userList->setHeaderLabels({QString(), QString(), QStringLiteral("User"), QString(),
                                 QStringLiteral("Files"), QStringLiteral("K/s")});
    m_userList->headerItem()->setIcon(kNoteColumn, QIcon(QStringLiteral(":/icons/note_icon")));
    int column = 0;
    for (int width : {20, 25, 90, 20, 50, 40})
        m_userList->setColumnWidth(column++, width);
    m_userList->header()->setStretchLastSection(true);
    m_userList->setSortingEnabled(true);
    m_userList->sortByColumn(kNameColumn, Qt::AscendingOrder);

    auto* chat = new QWidget;
    chat->setObjectName(QStringLiteral("layoutWidget"));
    auto* chatLayout = new QVBoxLayout(chat);
    chatLayout->setContentsMargins(0, 0, 0, 0);
    chatLayout->addWidget(m_chatView);
    chatLayout->addWidget(m_chatEdit);
    m_splitter->addWidget(chat);
    m_splitter->addWidget(m_userList);
    // The users' pane is 250 wide unless its columns, a four-digit speed in the stretching last
    // one, and the scroll bar need more: every new tab would start with speeds cut off.
    const int speed = m_userList->fontMetrics().horizontalAdvance(QStringLiteral("8888.8")) + 8;
    const int columns = m_userList->header()->length() + std::max(0, speed - 40) +
                        2 * m_userList->frameWidth() +
                        m_userList->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    m_splitter->setSizes({280, std::max(250, columns)});
    m_splitter->setStretchFactor(0, 1);
    m_splitter->setStretchFactor(1, 0);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_splitter);
    setFocusProxy(m_chatEdit);

    connect(m_chatEdit, &QLineEdit::returnPressed, this, &RoomForm::OnEnterPressed);
    connect(m_userList, &QWidget::customContextMenuRequested, this,
            &RoomForm::OnUserListContextMenuRequested);
    connect(m_userList, &QTreeWidget::itemClicked, this, &RoomForm::OnUserItemClicked);
    connect(m_chatView, &QTextBrowser::anchorClicked, this, &RoomForm::OnURLClicked);
    Server* server = ReachServer();
    if (!server)
        return;

    // A user joins the list once linked to the room and to all three figures, whichever link
    // comes last; a later change of any of them completes the pattern again.
    auto* added = new PathNode(&d, ServerTypes::User);
    new PathNode(added, m_roomItem.Get(), PathConnected);
    for (const char* figure : {ServerTypes::AverageDownloadSpeed, ServerTypes::SharedFilesCount,
                               ServerTypes::CountryCode})
        new PathNode(added, figure, PathConnected);
    d.AddPathEventHandler(added, NewEventHandler(this, &RoomForm::OnUserAdded));
    auto* removed = new PathNode(&d, ServerTypes::User);
    new PathNode(removed, m_roomItem.Get(), PathDisconnected);
    d.AddPathEventHandler(removed, NewEventHandler(this, &RoomForm::OnUserRemoved));

    connect(server, &Server::RoomChat, this, &RoomForm::OnRoomChat);
    connect(server, &Server::Connected, this, &RoomForm::OnConnected);
    connect(server, &Server::Disconnected, this, &RoomForm::OnDisconnected);
    if (TimerManager* timers = ReachTimers())
        connect(timers->everyHalfMinute(), &SharedTimer::timeout, this,
                &RoomForm::CheckChatInactivity);

    // The auto-join text and the give-up actions follow the flags of this room only.
    for (const char* flag :
         {ServerTypes::RoomAutojoin, ServerTypes::IsOwner, ServerTypes::IsMember}) {
        for (PathNodeRelation relation : {PathConnected, PathDisconnected}) {
            auto* root = new PathNode(m_roomItem.Get());
            new PathNode(root, flag, relation);
            d.AddPathEventHandler(root, NewEventHandler(this, &RoomForm::OnRoomChanged));
        }
    }
    const struct
    {
        PathNodeRelation relation;
        void (RoomForm::*handler)(Item*);
    } notes[] = {
        {PathConnected, &RoomForm::OnUserNoteChanged},
        {PathDisconnected, &RoomForm::OnUserNoteRemoved},
    };
    for (const auto& note : notes) {
        auto* root = new PathNode(&d, ServerTypes::User);
        new PathNode(root, ShellTypes::UserNote, note.relation);
        d.AddPathEventHandler(root, NewEventHandler(this, note.handler));
    }

    ActionSetToolBar* bar = ReachActionBar();
    if (!bar)
        return;
    bar->RegisterWidget(this, QString::fromLatin1(ShellActions::RoomSet));
    bar->AddWidgetKeyBytes(this, QString::fromLatin1(ShellActions::RoomKey), m_room);
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
    if (SizeManager* sizes = ReachSizeManager()) {
        sizes->RegisterSplitter(QStringLiteral("room_splitter"), m_splitter, {});
        sizes->RegisterTreeWidget(QStringLiteral("room_user_list"), m_userList);
    }
    RegisterWidgetForTabFocus(m_chatEdit, 1);
    const ItemSet users = m_roomItem.GetItems(ServerTypes::User);
    for (Item* user : users)
        ShowUser(user);
    if (!users.empty())
        UpdateUserCount();
}

QString RoomForm::Text() const
{
    return m_chatView->toPlainText();
}

QStringList RoomForm::Users()
{
    Tidy();
    QStringList users;
    for (int i = 0; i < m_userList->topLevelItemCount(); ++i)
        users << m_userList->topLevelItem(i)->text(kNameColumn);
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
    m_chatView->AddStatusMessage(QStringLiteral("Reconnected at %1.").arg(TimeNow()));
    if (Server* server = ReachServer())
        server->EnterRoom(m_room, false);
}

void RoomForm::OnDisconnected()
{
    m_chatView->AddStatusMessage(QStringLiteral("Disconnected at %1.").arg(TimeNow()));
}

void RoomForm::OnEnterPressed()
{
    const std::string text = Utf8Bytes(m_chatEdit->text());
    if (text.empty())
        return;
    Server* server = ReachServer();
    if (!server)
        return;
    // The server connection drops what is sent while logged out: the line must not look sent.
    if (!server->IsConnected()) {
        m_chatView->AddStatusMessage(
            QStringLiteral("Not sent: you are not connected to the Quorvale server."));
        return;
    }
    m_chatEdit->clear();
    server->SendRoomChat(m_room, text);
}

void RoomForm::OnUserListContextMenuRequested(const QPoint& at)
{
    Tidy();
    QTreeWidgetItem* row = m_userList->itemAt(at);
    if (!row)
        return;
    const auto* user = dynamic_cast<const QRoomUserListItemWidget*>(row);
    if (!user)
        return;
    QMenu menu;
    FormHooks::FillUserMenu(&menu, user->User());
    ModalDialogs::Current().RunMenu(&menu, m_userList->viewport()->mapToGlobal(at));
}

void RoomForm::OnUserItemClicked(QTreeWidgetItem* row, int column)
{
    const auto* shown = dynamic_cast<const QRoomUserListItemWidget*>(row);
    if (!shown || column != kNoteColumn)
        return;
    const std::string& user = shown->User();
    if (ServerStore::FindUser(user).IsConnected(ShellTypes::UserNote))
        FormHooks::OpenNote(user);
}

void RoomForm::OnUserAdded(Item* user)
{
    ShowUser(user);
    UpdateUserCount();
}

void RoomForm::OnUserRemoved(Item* user)
{
    UpdateUserCount();
    const auto found = m_rows.find(user->AsString());
    if (found == m_rows.end() || found->second.leaving)
        return;
    found->second.leaving = true;
    if (!found->second.queued) {
        found->second.queued = true;
        m_leaving.push_back(&*found);
    }
    ScheduleTidy();
}

void RoomForm::OnUserNoteChanged(Item* user)
{
    const auto found = m_rows.find(user->AsString());
    if (found == m_rows.end())
        return;
    found->second.row->SetNote(ItemPtr(user).IsConnected(ShellTypes::UserNote));
    m_userList->viewport()->update();
    if (m_userList->sortColumn() != kNameColumn) {
        m_resortPending = true;
        ScheduleTidy();
    }
}

void RoomForm::OnUserNoteRemoved(Item* user)
{
    // The row reads the store, which holds no note by now.
    OnUserNoteChanged(user);
}

void RoomForm::ShowUser(ItemPtr user)
{
    UserRow& entry = m_rows[user->AsString()];
    entry.leaving = false;
    QRoomUserListItemWidget* row = entry.row;
    if (!row) {
        row = new QRoomUserListItemWidget;
        row->SetUser(user->AsString());
    }
    row->SetFigures(user[ServerTypes::SharedFilesCount].AsInt64(),
                    user[ServerTypes::AverageDownloadSpeed].AsInt64(),
                    user[ServerTypes::CountryCode].AsString());
    row->SetNote(user.IsConnected(ShellTypes::UserNote));
    if (!entry.row) {
        // Filled before it joins the list: a cell set in a sorted list looks for its row.
        entry.row = row;
        m_userList->addTopLevelItem(row);
        return;
    }
    m_userList->viewport()->update();
    if (m_userList->sortColumn() != kNameColumn) {
        m_resortPending = true;
        ScheduleTidy();
    }
}

void RoomForm::UpdateUserCount()
{
    const size_t users = m_roomItem->ConnectionCount(d.GetType(ServerTypes::User));
    ServerStore::Link(m_roomItem, ServerTypes::UserCount, Value(static_cast<quint64>(users)));
}

void RoomForm::ScheduleTidy()
{
    if (m_tidyPending)
        return;
    m_tidyPending = true;
    QMetaObject::invokeMethod(this, &RoomForm::Tidy, Qt::QueuedConnection);
}

void RoomForm::Tidy()
{
    m_tidyPending = false;
    std::unordered_set<QTreeWidgetItem*> gone;
    for (UserRows::value_type* entry : m_leaving) {
        entry->second.queued = false;
        if (!entry->second.leaving)
            continue;
        gone.insert(entry->second.row);
        m_rows.erase(m_rows.find(entry->first));
    }
    m_leaving.clear();
    if (gone.size() > kMaxRowsDeletedOneByOne) {
        // Out of the list and back in one go, rather than one walk of the list per deletion.
        const QList<QTreeWidgetItem*> rows = m_userList->invisibleRootItem()->takeChildren();
        QList<QTreeWidgetItem*> kept;
        kept.reserve(rows.size() - qsizetype(gone.size()));
        for (QTreeWidgetItem* row : rows) {
            if (!gone.count(row))
                kept << row;
        }
        m_userList->addTopLevelItems(kept);
    }
    for (QTreeWidgetItem* row : gone)
        delete row;
    if (m_resortPending) {
        m_resortPending = false;
        m_userList->sortItems(m_userList->sortColumn(), m_userList->header()->sortIndicatorOrder());
    }
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
