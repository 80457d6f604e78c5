#pragma once

#include "store/Data.h"

#include <QDialog>

#include <memory>

class QTextBrowser;
class Ui_ItemLogDialog;

// The log records attached to one store item: each record is an item_log linked to the item and
// to its order, area, time, text and level. Declared at start-up and never saved; nothing writes
// them yet.
namespace ItemLogTypes {

inline constexpr char ItemLog[] = "item_log";
inline constexpr char LogOrder[] = "log_order";
inline constexpr char LogArea[] = "log_area";
inline constexpr char LogTime[] = "log_time";
inline constexpr char LogText[] = "log_text";
inline constexpr char LogLevel[] = "log_level";

} // namespace ItemLogTypes

// Shows the log records of one user: a tab "All" with every line, and one tab per area in the
// order its first record came. Records attached while it is open are added at the end. Lines
// are plain text, whatever a peer put in them. Destroyed when closed.
class ItemLogDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    // The record types, for a user's records. Called once at start-up.
    static void DeclareRecordTypes();
    // Whether the first record's time is earlier than the second's.
    static bool CompareLogItemDates(ItemPtr first, ItemPtr second);

    ItemLogDialog(ItemPtr item, QWidget* parent = nullptr);
    ~ItemLogDialog() override;

    // Shows one record: a line on its area's page (made when new) and on "All".
    void OnItemLog(Item* record);

private:
    std::unique_ptr<Ui_ItemLogDialog> ui;
    ItemPtr m_item;
    QTextBrowser* m_allPage;
};
