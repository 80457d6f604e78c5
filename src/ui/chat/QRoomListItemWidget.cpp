#include "QRoomListItemWidget.h"

#include "server/ServerSchema.h"
#include "shell/Ties.h"

#include <QHeaderView>

namespace {

LiveSet& LiveRows()
{
    static LiveSet rows;
    return rows;
}

} // namespace

QRoomListItemWidget::QRoomListItemWidget(QTreeWidget* parent) : QTreeWidgetItem(parent, kType)
{
    // The list's layout then need not ask each row for children.
    setFlags(flags() | Qt::ItemNeverHasChildren);
    LiveRows().Insert(this);
}

QRoomListItemWidget::~QRoomListItemWidget()
{
    LiveRows().Erase(this);
}

QRoomListItemWidget* QRoomListItemWidget::FromItem(ItemPtr item)
{
    return LiveRows().Follow<QRoomListItemWidget>(item);
}

void QRoomListItemWidget::SetRoles(ItemPtr room)
{
    m_rank = (room.IsConnected(ServerTypes::IsOwner) ? 0 : 4) |
             (room.IsConnected(ServerTypes::IsOperator) ? 0 : 2) |
             (room.IsConnected(ServerTypes::IsMember) ? 0 : 1);
}

bool QRoomListItemWidget::Less(const QRoomListItemWidget& other, int column) const
{
    if (column != 0)
        return text(1).toInt() < other.text(1).toInt();
    if (m_rank != other.m_rank)
        return m_rank < other.m_rank;
    return m_foldedName < other.m_foldedName;
}

bool QRoomListItemWidget::operator<(const QTreeWidgetItem& other) const
{
    const QTreeWidget* tree = treeWidget();
    const int column = tree ? tree->header()->sortIndicatorSection() : 0;
    if (other.type() == kType)
        return Less(static_cast<const QRoomListItemWidget&>(other), column);
    if (column != 0)
        return text(1).toInt() < other.text(1).toInt();
    return text(0).compare(other.text(0), Qt::CaseInsensitive) < 0;
}

void QRoomListItemWidget::setData(int column, int role, const QVariant& value)
{
    // Before the base, which may move the row at once in a sorted list.
    if (column == 0 && (role == Qt::DisplayRole || role == Qt::EditRole))
        m_foldedName = value.toString().toCaseFolded();
    QTreeWidgetItem::setData(column, role, value);
}
