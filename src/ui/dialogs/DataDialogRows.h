#pragma once

// Row texts and row disposal shared by the store inspection dialog and the type page.

#include <QString>
#include <QStyledItemDelegate>

#include <string>

class Item;
class QTreeWidget;
class QTreeWidgetItem;

namespace DataRows {

// An item's value as its row shows it: byte for byte (RawText), as a cell shows peer text (one
// line, bounded). The dialogs show what the store holds, whatever its kind says it means.
QString ValueText(const std::string& bytes);

// The row of an item reached through a connection: "[type] value", or "[type, null]" for an
// item of a null type.
QString ConnectedItemText(const Item* item);

// Deletes a row that no tree holds any more, with every row below it. Qt's own deletion of a
// row recurses once per level; this walks a work list instead.
void DeleteDetachedRows(QTreeWidgetItem* row);

// Empties the tree the same way.
void ClearTree(QTreeWidget* tree);

// Shows each row of a view whose texts are the values themselves (a list sorted and searched by
// them) as a cell shows peer text, leaving the texts as they are.
class CellTextDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QString displayText(const QVariant& value, const QLocale& locale) const override;
};

} // namespace DataRows
