#include "DataDialog.h"

#include "store/Data.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

DataDialog::DataDialog(Data* data, QWidget* parent)
    : QDialog(parent), typeList(new QTreeWidget), itemList(new QTreeWidget), m_data(data)
{
    setObjectName(QStringLiteral("DataDialog"));
    setWindowTitle(QStringLiteral("Data"));
    setAttribute(Qt::WA_DeleteOnClose);
    typeList->setObjectName(QStringLiteral("typeList"));
    typeList->setHeaderLabels({QStringLiteral("Type"), QStringLiteral("Items")});
    typeList->setRootIsDecorated(false);
    itemList->setObjectName(QStringLiteral("itemList"));
    itemList->setHeaderLabels({QStringLiteral("Value")});
    itemList->setRootIsDecorated(false);
    auto* refresh = new QPushButton(QStringLiteral("Refresh"));
    auto* lists = new QHBoxLayout;
    lists->addWidget(typeList);
    lists->addWidget(itemList);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(lists);
    layout->addWidget(refresh);
    connect(refresh, &QPushButton::clicked, this, &DataDialog::Refresh);
    connect(typeList, &QTreeWidget::itemSelectionChanged, this, &DataDialog::OnTypeSelected);
    Refresh();
}

void DataDialog::Refresh()
{
    const QString selected = typeList->currentItem() ? typeList->currentItem()->text(0) : QString();
    typeList->clear();
    for (Type* type : m_data->GetTypes()) {
        auto* row = new QTreeWidgetItem(
            typeList, {QString::fromLatin1(type->GetName()), QString::number(type->ItemCount())});
        if (row->text(0) == selected)
            typeList->setCurrentItem(row);
    }
    OnTypeSelected();
}

void DataDialog::OnTypeSelected()
{
    itemList->clear();
    QTreeWidgetItem* current = typeList->currentItem();
    if (!current)
        return;
    Type* type = m_data->HasType(current->text(0).toLatin1().toStdString());
    if (!type)
        return;
    int listed = 0;
    for (Item* item : type->GetItems()) {
        if (listed == kMaxListedItems) {
            new QTreeWidgetItem(
                itemList, {QStringLiteral("... %1 more").arg(type->ItemCount() - size_t(listed))});
            break;
        }
        // Values are bytes from anywhere (peers, the server); shown as Latin-1 plain text.
        new QTreeWidgetItem(itemList, {type->IsNull() ? QStringLiteral("(no value)")
                                                      : QString::fromLatin1(item->AsString())});
        ++listed;
    }
}
