#include "RoomForm.h"

#include "ChatView.h"
#include "QRoomUserListItemWidget.h"
#include "RowRelisting.h"
#include "ViewPlace.h"
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
#include "shell/TreeWidget.h"
#include "shell/UIFunctions.h"
#include "store/Clock.h"
#include "store/NextTurn.h"
#include "store/TimerManager.h"

#include <QDesktopServices>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kNameColumn = 2;
constexpr int kNoteColumn = 3;
constexpr const char* kNeededBy = "The room tab";

QString TimeNow()
{
    return Clock::Now().toString(QStringLiteral("h:mm:ss"));
}

} // namespace

RoomForm::RoomForm(const std::string& room, QWidget* parent)
    : QWidget(parent), m_server(RequireServer(kNeededBy)), m_bar(RequireActionBar(kNeededBy)),
      m_room(room), m_roomItem(ServerStore::Room(room)), m_splitter(new QSplitter(Qt::Horizontal)),
      m_chatView(new ChatView(ChatLog::Kind::Room, room)), m_chatEdit(new QLineEdit),
      m_userList(new QTreeWidget), m_tidy([this] { return TidyStep(); })
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
    QHeaderView* header = m_userList->header();
    header->setStretchLastSection(true);
    // The list keeps its rows in order itself (Tidy): the tree's own sorting would sort every row
    // again at the next turn after each row added, and a room fills by the thousand a turn. The
    // header sorts on a click as a sorting tree's does.
    header->setSortIndicatorShown(true);
    header->setSectionsClickable(true);
    m_userList->sortItems(kNameColumn, Qt::AscendingOrder);
    // Follows the user's scrolls from the start.
    ViewPlace::Of(m_userList);
    connect(header, &QHeaderView::sortIndicatorChanged, this, [this] {
        // Rows still to come go after the others, and all are sorted anew: as a sorting tree
        // sorts rows added since its last sort.
        m_resortPending = true;
        // A big list is sorted in steps from the next turn on, painted as it is meanwhile.
        if (m_relisting || BigResort())
            ScheduleTidy();
        else
            Tidy();
    });

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

    connect(&m_server, &Server::RoomChat, this, &RoomForm::OnRoomChat);
    connect(&m_server, &Server::Connected, this, &RoomForm::OnConnected);
    connect(&m_server, &Server::Disconnected, this, &RoomForm::OnDisconnected);
    // The tab does without the shared timers: only a quiet chat would go unmarked as ended.
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

    m_bar.RegisterWidget(this, QString::fromLatin1(ShellActions::RoomSet));
    m_bar.AddWidgetKeyBytes(this, QString::fromLatin1(ShellActions::RoomKey), m_room);
    UpdateActions();
}

RoomForm::~RoomForm()
{
    RemoveDataHandlers();
    // The count of the last joins and leaves, which the next turn would have written.
    if (m_countPending)
        UpdateUserCount();
    for (QTreeWidgetItem* row : m_arrived)
        delete row;
    for (QTreeWidgetItem* row : m_discarded)
        delete row;
    // A listing under way deletes the rows it holds.
    m_relisting.reset();
    // At shutdown the server connection is already closed, and nobody will read in_room again.
    if (g_showIsOver)
        return;
    if (m_server.IsConnected())
        m_server.LeaveRoom(m_room);
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
        CountLater();
    Tidy();
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
    m_server.EnterRoom(m_room, false);
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
    // The server connection drops what is sent while logged out: the line must not look sent.
    if (!m_server.IsConnected()) {
        m_chatView->AddStatusMessage(
            QStringLiteral("Not sent: you are not connected to the Quorvale server."));
        return;
    }
    m_chatEdit->clear();
    m_server.SendRoomChat(m_room, text);
}

void RoomForm::OnUserListContextMenuRequested(const QPoint& at)
{
    // The row painted under the pointer: the list is whole between turns, and tidying it first
    // would put another row there.
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
    CountLater();
}

void RoomForm::OnUserRemoved(Item* user)
{
    CountLater();
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
    if (found == m_rows.end() || !found->second.row)
        return;
    found->second.row->SetNote(ItemPtr(user).IsConnected(ShellTypes::UserNote));
    m_userList->viewport()->update();
    if (m_userList->header()->sortIndicatorSection() != kNameColumn) {
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
        row->SetUser(user);
    }
    row->SetFigures(user[ServerTypes::SharedFilesCount].AsInt64(),
                    user[ServerTypes::AverageDownloadSpeed].AsInt64(),
                    Shown(user[ServerTypes::CountryCode]));
    row->SetNote(user.IsConnected(ShellTypes::UserNote));
    if (!entry.row) {
        // Filled before it joins the list, with the others that came this turn.
        entry.row = row;
        m_arrived.push_back(row);
        ScheduleTidy();
        return;
    }
    m_userList->viewport()->update();
    if (m_userList->header()->sortIndicatorSection() != kNameColumn) {
        m_resortPending = true;
        ScheduleTidy();
    }
}

void RoomForm::CountLater()
{
    OnceNextTurn(this, m_countPending, [this] { UpdateUserCount(); });
}

void RoomForm::UpdateUserCount()
{
    m_countPending = false;
    const size_t users = m_roomItem->ConnectionCount(d.GetType(ServerTypes::User));
    ServerStore::Link(m_roomItem, ServerTypes::UserCount, Value(static_cast<quint64>(users)));
}

void RoomForm::ScheduleTidy()
{
    m_tidy.Start();
}

bool RoomForm::TidyStep()
{
    if (m_relisting) {
        const bool more = m_relisting->Step();
        for (QTreeWidgetItem* row : m_relisting->TakeGone())
            m_discarded.push_back(row);
        if (!more) {
            m_relisting.reset();
            m_relistPace.Ended();
        }
        return true;
    }
    if (!m_leaving.empty() || !m_arrived.empty() || m_resortPending) {
        // Listing every row again is put off while the last listing is recent: a flood of users
        // that come or go is listed a few times a second, not every turn.
        const bool relist = m_leaving.size() > kMaxRowsDeletedOneByOne ||
                            m_arrived.size() > kMaxRowsInsertedOneByOne || BigResort();
        if (!relist || m_relistPace.MayStart(this, m_tidy)) {
            TidyAll();
            return true;
        }
    }
    return DeleteSomeDiscarded();
}

void RoomForm::Tidy()
{
    FinishRelist();
    TidyAll();
    FinishRelist();
}

void RoomForm::TidyAll()
{
    FinishRelist();
    // Sorted, to be looked up without a hash: a flood of leaves makes tens of thousands a turn.
    std::vector<QTreeWidgetItem*> gone;
    for (UserRows::value_type* entry : m_leaving) {
        entry->second.queued = false;
        if (!entry->second.leaving)
            continue;
        gone.push_back(entry->second.row);
        // Forgotten with the row's deletion; a user back before then gets a new row.
        entry->second.row = nullptr;
        if (!entry->second.forgotten) {
            entry->second.forgotten = true;
            m_forgotten.push_back(entry);
        }
    }
    m_leaving.clear();
    std::sort(gone.begin(), gone.end());
    const auto isGone = [&gone](const QTreeWidgetItem* row) {
        return std::binary_search(gone.begin(), gone.end(), row);
    };

    // Who left before being listed goes without a trace.
    std::vector<QTreeWidgetItem*> added;
    for (QTreeWidgetItem* row : m_arrived) {
        if (isGone(row))
            m_discarded.push_back(row);
        else
            added.push_back(row);
    }
    m_arrived.clear();
    // The rows of the others who left, in the list.
    gone.erase(std::remove_if(gone.begin(), gone.end(),
                              [](QTreeWidgetItem* row) { return !row->treeWidget(); }),
               gone.end());

    // The order of the list's sort, stable as the tree's own: the new rows after those equal to
    // them, in the order they came. Shown figures that changed sort everything again.
    const QHeaderView* header = m_userList->header();
    const RowOrder order{header->sortIndicatorSection(),
                         header->sortIndicatorOrder() == Qt::AscendingOrder};

    if (gone.size() > kMaxRowsDeletedOneByOne || added.size() > kMaxRowsInsertedOneByOne ||
        BigResort()) {
        // Sorted by the listing; with shown figures changed, every row is sorted again too.
        m_relisting = std::make_unique<RowRelisting>(m_userList, std::move(gone), std::move(added),
                                                     order, m_resortPending, &m_tidy);
        m_resortPending = false;
        m_relistPace.Started();
    } else {
        // The view stays where the user has it, as through a listing: the next user who stays
        // takes the place of the top one who leaves.
        ViewPlace& view = ViewPlace::Of(m_userList);
        view.RowsGo(isGone);
        // Deleted as current, a row would leave the one next to it current, scrolled to.
        if (isGone(m_userList->currentItem()))
            m_userList->selectionModel()->setCurrentIndex(QModelIndex(),
                                                          QItemSelectionModel::NoUpdate);
        if (!m_resortPending)
            std::stable_sort(added.begin(), added.end(), order);
        for (QTreeWidgetItem* row : gone)
            delete row;
        QTreeWidgetItem* root = m_userList->invisibleRootItem();
        int from = 0;
        for (QTreeWidgetItem* row : added) {
            // From where the one before went.
            const int at =
                m_resortPending
                    ? root->childCount()
                    : InsertionPlace(root, from, [&](QTreeWidgetItem* x) { return order(row, x); });
            root->insertChild(at, row);
            from = at + 1;
        }
        if (m_resortPending) {
            m_resortPending = false;
            m_userList->sortItems(order.column, header->sortIndicatorOrder());
        }
        view.Keep();
        view.Settle();
    }
    if (m_countPending)
        UpdateUserCount();
    if (m_relisting || !m_discarded.empty() || !m_forgotten.empty())
        m_tidy.Start();
}

void RoomForm::FinishRelist()
{
    if (!m_relisting)
        return;
    m_relisting->Finish();
    for (QTreeWidgetItem* row : m_relisting->TakeGone())
        m_discarded.push_back(row);
    m_relisting.reset();
    m_tidy.Start();
}

bool RoomForm::BigResort() const
{
    return m_resortPending &&
           static_cast<size_t>(m_userList->topLevelItemCount()) > kMaxRowsSortedAtOnce;
}

bool RoomForm::RowOrder::operator()(const QTreeWidgetItem* a, const QTreeWidgetItem* b) const
{
    const auto* x = static_cast<const QRoomUserListItemWidget*>(a);
    const auto* y = static_cast<const QRoomUserListItemWidget*>(b);
    return ascending ? x->Less(*y, column) : y->Less(*x, column);
}

bool RoomForm::DeleteSomeDiscarded()
{
    const size_t count = std::min(m_discarded.size(), kRowsAStep);
    for (size_t i = m_discarded.size() - count; i < m_discarded.size(); ++i)
        delete m_discarded[i];
    m_discarded.resize(m_discarded.size() - count);
    const size_t forget = std::min(m_forgotten.size(), kRowsAStep);
    for (size_t i = m_forgotten.size() - forget; i < m_forgotten.size(); ++i) {
        UserRows::value_type* entry = m_forgotten[i];
        entry->second.forgotten = false;
        if (!entry->second.row && !entry->second.queued)
            m_rows.erase(m_rows.find(entry->first));
    }
    m_forgotten.resize(m_forgotten.size() - forget);
    return !m_discarded.empty() || !m_forgotten.empty();
}

void RoomForm::OnRoomChanged(Item*)
{
    UpdateActions();
}

void RoomForm::UpdateActions()
{
    const bool autojoin = m_roomItem.IsConnected(ServerTypes::RoomAutojoin);
    m_bar.SetWidgetActionText(this, QString::fromLatin1(ShellActions::ToggleRoomAutojoin),
                              autojoin ? QStringLiteral("Auto-Join Room [on]")
                                       : QStringLiteral("Auto-Join Room [off]"));
    const bool owner = m_roomItem.IsConnected(ServerTypes::IsOwner);
    const bool member = m_roomItem.IsConnected(ServerTypes::IsMember);
    m_bar.SetWidgetActionHidden(this, QString::fromLatin1(ShellActions::GiveUpMembership),
                                !member || owner);
    m_bar.SetWidgetActionHidden(this, QString::fromLatin1(ShellActions::GiveUpOwnership), !owner);
}
