#include "TypeNavigatorDialog.h"

#include "store/Data.h"

#include <QTreeWidget>
#include <QVBoxLayout>

TypeNavigatorDialog::TypeNavigatorDialog(QWidget* parent)
    : QDialog(parent), typeTree(new QTreeWidget)
{
    setObjectName(QStringLiteral("TypeNavigatorDialog"));
    setWindowTitle(QStringLiteral("Type Navigator"));
    typeTree->setObjectName(QStringLiteral("typeTree"));
    typeTree->setHeaderLabels({QStringLiteral("Type"), QStringLiteral("Holds")});
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(typeTree);
}

void TypeNavigatorDialog::Init()
{
    typeTree->clear();
    for (Type* type : d.GetTypes()) {
        auto* row = new QTreeWidgetItem(typeTree, {QString::fromLatin1(type->GetName())});
        RelationMap related;
        type->GetRelatedTypes(related);
        for (const auto& [other, relation] : related) {
            const QString holds =
                relation.otherPerThis == One ? QStringLiteral("one") : QStringLiteral("many");
            new QTreeWidgetItem(row, {QString::fromLatin1(other->GetName()), holds});
        }
    }
}
