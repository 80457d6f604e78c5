#include "ui/dialogs/DataDialogRows.h"

#include "shell/DisplayText.h"
#include "store/Data.h"

#include <QTreeWidget>

#include <vector>

namespace DataRows {

QString ValueText(const std::string& bytes)
{
    return CellText(RawText(bytes));
}

QString ConnectedItemText(const Item* item)
{
    const Type* type = item->GetType();
    if (type->IsNull())
        return u'[' + RawText(type->GetName()) + QStringLiteral(", null]");
    return u'[' + RawText(type->GetName()) + QStringLiteral("] ") + ValueText(item->AsString());
}

QString CellTextDelegate::displayText(const QVariant& value, const QLocale& locale) const
{
    return CellText(QStyledItemDelegate::displayText(value, locale));
}

void DeleteDetachedRows(QTreeWidgetItem* row)
{
    std::vector<QTreeWidgetItem*> work{row};
    while (!work.empty()) {
        QTreeWidgetItem* next = work.back();
        work.pop_back();
        const QList<QTreeWidgetItem*> children = next->takeChildren();
        work.insert(work.end(), children.begin(), children.end());
        delete next;
    }
}

void ClearTree(QTreeWidget* tree)
{
    while (tree->topLevelItemCount() > 0)
        DeleteDetachedRows(tree->takeTopLevelItem(tree->topLevelItemCount() - 1));
}

} // namespace DataRows
