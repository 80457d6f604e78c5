// The rooms page: the room list's rows, counts, role fonts and order from the store, and one tab
// per room the user is in.

#include "shell/MainWindow.h"

#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellTypes.h"
#include "shell/Ties.h"
#include "shell/TreeWidget.h"
#include "shell/UIFunctions.h"
#include "store/Settings.h"
#include "ui/chat/QRoomListItemWidget.h"
#include "ui/chat/RoomForm.h"
#include "ui/chat/RowRelisting.h"

#include "ui_MainWindow.h"

#include <QHeaderView>

namespace {

// The room's row, or null when it has none.
QRoomListItemWidget* RoomRow(ItemPtr room)
{
    return QRoomListItemWidget::FromItem(room[ShellTypes::RoomNode]);
}

// Changes only the font properties given; the others stay as the row has them.
enum FontChange
{
    Keep,
    Set,
    Clear
};

void ChangeFont(QTreeWidgetItem* row, FontChange italic, FontChange underline, FontChange bold)
{
    QFont font = row->font(0);
    if (italic != Keep)
        font.setItalic(italic == Set);
    if (underline != Keep)
        font.setUnderline(underline == Set);
    if (bold != Keep)
        font.setWeight(bold == Set ? QFont::Bold : QFont::Normal);
    row->setFont(0, font);
}

FontChange SetIf(bool on)
{
    return on ? Set : Clear;
}

// The order of the room list's sort indicator, stable as a sorting tree's.
RowRelisting::Before RoomRowOrder(const QTreeWidget* list)
{
    const QHeaderView* header = list->header();
    const int column = header->sortIndicatorSection();
    const bool ascending = header->sortIndicatorOrder() == Qt::AscendingOrder;
    return [column, ascending](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
        const auto* x = static_cast<const QRoomListItemWidget*>(a);
        const auto* y = static_cast<const QRoomListItemWidget*>(b);
        return ascending ? x->Less(*y, column) : y->Less(*x, column);
    };
}

} // namespace

void MainWindow::RegisterRoomListHandlers()
{
    ShellTypes::DeclareRoomNode();
    d.GetType(ServerTypes::Room)
        ->itemAddedEvent.Add(NewEventHandler(this, &MainWindow::OnRoomAdded));
    const struct
    {
        const char* flag;
        PathNodeRelation relation;
        void (MainWindow::*handler)(Item*);
    } paths[] = {
        {ServerTypes::UserCount, PathConnected, &MainWindow::OnRoomUserCountChanged},
        {ServerTypes::IsOwner, PathConnected, &MainWindow::OnBecomingRoomOwner},
        {ServerTypes::IsOperator, PathConnected, &MainWindow::OnBecomingRoomOperator},
        {ServerTypes::IsMember, PathConnected, &MainWindow::OnBecomingRoomMember},
        {ServerTypes::IsMember, PathDisconnected, &MainWindow::OnLosingRoomRole},
        {ServerTypes::IsOperator, PathDisconnected, &MainWindow::OnLosingRoomRole},
        {ServerTypes::IsOwner, PathDisconnected, &MainWindow::OnLosingRoomRole},
    };
    for (const auto& path : paths) {
        auto* root = new PathNode(&d, ServerTypes::Room);
        new PathNode(root, path.flag, path.relation);
        d.AddPathEventHandler(root, NewEventHandler(this, path.handler));
    }
    // The header sorts on a click as a sorting tree's does.
    ui->roomList->setSortingEnabled(false);
    // A line of text each, whatever the role's font: the list need not measure every row, as it
    // would above a row whose font changes, after each change of the list.
    ui->roomList->setUniformRowHeights(true);
    QHeaderView* header = ui->roomList->header();
    header->setSortIndicatorShown(true);
    header->setSectionsClickable(true);
    header->setSortIndicator(0, Qt::AscendingOrder);
    connect(header, &QHeaderView::sortIndicatorChanged, this, &MainWindow::ResortRoomList);
    d.AddConnectionEventHandler(d.GetType(ServerTypes::Room), d.GetType(ServerTypes::InRoom),
                                NewEventHandler(this, &MainWindow::OnEnteredRoom));
}

void MainWindow::OnRoomAdded(Item* item)
{
    ItemPtr room(item);
    if (room.IsConnected(ShellTypes::RoomNode))
        return;
    auto* row = new QRoomListItemWidget(nullptr);
    row->SetRoles(room);
    row->setText(0, CellText(Shown(room)));
    room += Ties::Make(ShellTypes::RoomNode, row);
    ListRoomRow(row);
}

void MainWindow::ListRoomRow(QTreeWidgetItem* row)
{
    m_roomRows.Start();
    if (m_roomRelisting || !m_newRoomRows.empty() ||
        m_roomRowsInsertedOneByOne >= kMaxRoomRowsInsertedOneByOne) {
        m_newRoomRows.push_back(row);
        return;
    }
    // Each walks the rows after its place: a few, until the job's next step.
    ++m_roomRowsInsertedOneByOne;
    QTreeWidgetItem* root = ui->roomList->invisibleRootItem();
    const RowRelisting::Before before = RoomRowOrder(ui->roomList);
    root->insertChild(InsertionPlace(root, 0, [&](QTreeWidgetItem* x) { return before(row, x); }),
                      row);
}

bool MainWindow::RoomRowsStep()
{
    if (m_roomRelisting) {
        if (!m_roomRelisting->Step()) {
            m_roomRelisting.reset();
            m_roomListPace.Ended();
        }
        return true;
    }
    m_roomRowsInsertedOneByOne = 0;
    if ((m_newRoomRows.empty() && !m_roomListSortPending) ||
        !m_roomListPace.MayStart(this, m_roomRows))
        return false;
    m_roomListPace.Started();
    m_roomRelisting = std::make_unique<RowRelisting>(
        ui->roomList, std::vector<QTreeWidgetItem*>(), std::move(m_newRoomRows),
        RoomRowOrder(ui->roomList), m_roomListSortPending, &m_roomRows);
    m_newRoomRows.clear();
    m_roomListSortPending = false;
    return true;
}

void MainWindow::OnRoomUserCountChanged(Item* item)
{
    QRoomListItemWidget* row = RoomRow(item);
    if (!row)
        return;
    const ItemPtr count = ItemPtr(item)[ServerTypes::UserCount];
    row->setText(1, count.AsInt() == 0 ? QString() : Shown(count));
    if (ui->roomList->header()->sortIndicatorSection() == 1)
        ResortRoomList();
}

void MainWindow::OnBecomingRoomOwner(Item* item)
{
    if (QRoomListItemWidget* row = RoomRow(item)) {
        row->SetRoles(item);
        ChangeFont(row, Set, Set, Set);
        ResortRoomList();
    }
}

void MainWindow::OnBecomingRoomOperator(Item* item)
{
    if (QRoomListItemWidget* row = RoomRow(item)) {
        row->SetRoles(item);
        ChangeFont(row, Set, Keep, Set);
        ResortRoomList();
    }
}

void MainWindow::OnBecomingRoomMember(Item* item)
{
    ItemPtr room(item);
    QRoomListItemWidget* row = RoomRow(room);
    if (!row)
        return;
    // The order still changes; the font of an owner or operator already says more.
    row->SetRoles(room);
    if (!room.IsConnected(ServerTypes::IsOwner) && !room.IsConnected(ServerTypes::IsOperator))
        ChangeFont(row, Set, Keep, Keep);
    ResortRoomList();
}

void MainWindow::OnLosingRoomRole(Item* item)
{
    ItemPtr room(item);
    QRoomListItemWidget* row = RoomRow(room);
    if (!row)
        return;
    row->SetRoles(room);
    ChangeFont(row, SetIf(room.IsConnected(ServerTypes::IsMember)),
               SetIf(room.IsConnected(ServerTypes::IsOwner)),
               SetIf(room.IsConnected(ServerTypes::IsOperator)));
    ResortRoomList();
}

void MainWindow::ResortRoomList()
{
    // A login's room list changes the roles of hundreds of rooms at once; one sort after the
    // burst shows the same order as one after each change.
    m_roomListSortPending = true;
    m_roomRows.Start();
}

void MainWindow::OnEnteredRoom(ConnectionInfo& info)
{
    const ItemPtr room(info.first);
    const std::string name = room.AsString();
    // A tab outlives a leave the server confirmed (after giving up a room, say). Entering again
    // brings that tab forward: a second one would show and log every line of the room twice.
    for (int i = 0; i < ui->roomsTabControl->count(); ++i) {
        auto* open = qobject_cast<RoomForm*>(ui->roomsTabControl->widget(i));
        if (open && open->Room() == name) {
            FocusWidget(open);
            return;
        }
    }
    auto* form = new RoomForm(name);
    ui->roomsTabControl->addTab(form, QIcon(QStringLiteral(":/icons/room_icon")),
                                EscapeMnemonics(CellText(Shown(room))));
    form->Init();
    FocusWidget(form);
}

void MainWindow::OnRoomListItemDoubleClicked(QTreeWidgetItem* row, int column)
{
    if (!row || column != 0)
        return;
    // The name as stored: the cell shows it decoded and made one line.
    const ItemPtr room = Ties::Find(ShellTypes::RoomNode, row)[ServerTypes::Room];
    if (room)
        server->EnterRoom(room.AsString(), false);
}

void MainWindow::OnRoomTabClosed(int index)
{
    delete ui->roomsTabControl->widget(index);
}

void MainWindow::OnRoomListItemSelectionChanged() {}

void MainWindow::OnPrivateRoomAddEnabled(bool enabled)
{
    Settings::SetYes(SettingKeys::EnablePrivateRoomAdd, enabled);
    ui->mainToolBar->SetWidgetActionText(
        ui->roomList, QString::fromLatin1(ShellActions::EnablePrivateRoomAdd),
        QString::fromLatin1(enabled ? ShellActions::RejectInvitationsText
                                    : ShellActions::AcceptInvitationsText));
}
