#pragma once

#include <QList>
#include <QTreeWidget>

// A tree that tells of every key press before it acts on it, and expands or collapses many rows
// at once.
class TreeWidget : public QTreeWidget
{
    Q_OBJECT

public:
    explicit TreeWidget(QWidget* parent = nullptr);

    // Expands or collapses the rows, the tree laid out once for all of them at its next layout:
    // row by row, each laid out the rows below it again, half a second for the 10,000 folders
    // of 111,000 rows.
    void SetExpanded(const QList<QTreeWidgetItem*>& rows, bool expanded);

Q_SIGNALS:
    void KeyPressed(QKeyEvent* event);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
