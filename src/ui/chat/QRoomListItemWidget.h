#pragma once

#include "store/Data.h"

#include <QTreeWidgetItem>

// A row of the room list: column 0 the room's name, column 1 its user count. Sorted on the name
// column, rooms the user owns come first, then rooms the user operates, then rooms the user is
// a member of, then the rest, each group by name ignoring case; on the count column, by number.
//
// The roles are read from the room when the window restyles the row (SetRoles), not at every
// comparison: a list of tens of thousands of rooms is sorted with hundreds of thousands of them.
class QRoomListItemWidget : public QTreeWidgetItem
{
public:
    // Tells rows of the room list from other rows without a cast that can fail.
    static constexpr int kType = QTreeWidgetItem::UserType + 1;

    explicit QRoomListItemWidget(QTreeWidget* parent);
    ~QRoomListItemWidget() override;

    // The row whose address the item (a room_node) holds, or null when it names no live row.
    static QRoomListItemWidget* FromItem(ItemPtr item);

    // Takes the room's roles as they are now in the store.
    void SetRoles(ItemPtr room);
    // Whether the row goes before the other, sorted ascending on that column.
    bool Less(const QRoomListItemWidget& other, int column) const;
    // On the column of the list's sort indicator.
    bool operator<(const QTreeWidgetItem& other) const override;
    // Keeps the name's case-folded form beside it.
    void setData(int column, int role, const QVariant& value) override;

private:
    QString m_foldedName;
    // Owner, operator, member, as bits of one number that sorts the way the roles rank:
    // lower comes first.
    int m_rank = 7;
};
