#pragma once

#include "shell/Ties.h"

#include <QString>

// A row of the user list: column 0 the user's name with the online or offline dot, column 1 the
// user's groups, column 2 the note. Rows order on column 0 whatever the sorted column: online
// users above offline ones, each part by name ignoring case ("bob" and "Bob" are equal).
//
// A login brings every listed user online at once, and a sort compares rows many times over, so
// a row keeps the user's online state (SetOnline, by the page's handlers) and its name folded to
// compare, rather than looking the user up in the store at every comparison. The dot is drawn
// from that state: a changed icon would make the tree measure the row again, thousands of times
// in a login, where the one sort that follows the burst repaints the list once.
class UserListItemWidget : public TiedRow
{
public:
    // An offline row, in no tree: filled, then added.
    UserListItemWidget();

    // The row whose address the item (a user_list_node) holds, or null when it names none.
    static UserListItemWidget* FromItem(ItemPtr item);

    // The dot and the order follow at the next sort or repaint.
    void SetOnline(bool online) { m_online = online; }
    bool IsOnline() const { return m_online; }

    bool operator<(const QTreeWidgetItem& other) const override;
    // Column 0's icon is the dot of the online state.
    QVariant data(int column, int role) const override;
    // Keeps the name's folded form beside it.
    void setData(int column, int role, const QVariant& value) override;

private:
    QString m_foldedName;
    bool m_online = false;
};
