#pragma once

#include "store/Data.h"

#include <QIcon>
#include <QTreeWidgetItem>

#include <string>

// A row of a room tab's user list: column 1 the flag of the user's country, column 2 the name,
// column 3 the note icon when the user has a note, column 4 the shared files ("1,234,567"),
// column 5 the average speed in K/s with one decimal (empty for 0). Sorted on the name column,
// rows order by name ignoring case; on the flag column by country code, on the note column
// users without a note first, on the files and speed columns by number; rows equal there go by
// name.
//
// The figures are kept as numbers and the cells made from them when shown, so that sorting
// compares numbers, not texts. They change in place (SetFigures, SetNote): setting a cell of a
// row in a sorted list looks for the row from one end of the list, so a room of 100,000 users
// whose figures all change would cost the square of that. The list shows the change at its next
// repaint; the caller repaints and, when the sorted column is one of these, sorts.
class QRoomUserListItemWidget : public QTreeWidgetItem
{
public:
    // Tells rows of a room user list from other rows without a cast that can fail.
    static constexpr int kType = QTreeWidgetItem::UserType + 2;

    // A row of the list, or (null) one in no list yet: filled, then added.
    explicit QRoomUserListItemWidget(QTreeWidget* parent = nullptr);

    // The user's name as stored: kept for whatever goes back to the server or a peer, and shown
    // in the name column as its type reads, as a cell shows it (one line, bounded).
    void SetUser(ItemPtr user);
    const std::string& User() const { return m_user; }
    // Shared files, bytes per second, and the country code as the server sent it, shown as its
    // type reads (case does not matter).
    void SetFigures(qint64 files, qint64 bytesPerSecond, const QString& country);
    void SetNote(bool note) { m_note = note; }

    // The speed cell: bytes per second in K/s with one decimal; empty for 0.
    static QString SpeedText(qint64 bytesPerSecond);

    QVariant data(int column, int role) const override;
    // Keeps the name's folded form beside it.
    void setData(int column, int role, const QVariant& value) override;
    bool operator<(const QTreeWidgetItem& other) const override;
    // The order of operator< on a sort column given, for rows in no list yet.
    bool Less(const QRoomUserListItemWidget& row, int column) const;

private:
    std::string m_user;
    QString m_foldedName;
    QString m_country;
    QIcon m_flag;
    qint64 m_files = 0;
    qint64 m_speed = 0;
    bool m_note = false;
};
