#pragma once

#include <QDialog>

class Data;
class QTreeWidget;
class QTreeWidgetItem;

// A read-only window onto a store: every type with its item count, and the items of the chosen
// type by value. "Refresh" reads the store again. It deletes itself when closed.
class DataDialog : public QDialog
{
    Q_OBJECT

public:
    // Items listed for one type; a type with more shows the first ones and says how many more.
    static constexpr int kMaxListedItems = 10000;

    DataDialog(Data* data, QWidget* parent = nullptr);

    QTreeWidget* typeList;
    QTreeWidget* itemList;

public Q_SLOTS:
    void Refresh();
    void OnTypeSelected();

private:
    Data* m_data;
};
