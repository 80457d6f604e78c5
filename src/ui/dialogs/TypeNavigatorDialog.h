#pragma once

#include <QDialog>

class QTreeWidget;

// The store's types and, below each, the types it is related to with how many of each one item
// may hold. Filled once by Init.
class TypeNavigatorDialog : public QDialog
{
    Q_OBJECT

public:
    explicit TypeNavigatorDialog(QWidget* parent = nullptr);

    void Init();

    QTreeWidget* typeTree;
};
