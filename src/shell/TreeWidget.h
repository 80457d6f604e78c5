#pragma once

#include <QTreeWidget>

// A tree that tells of every key press before it acts on it.
class TreeWidget : public QTreeWidget
{
    Q_OBJECT

public:
    explicit TreeWidget(QWidget* parent = nullptr);

Q_SIGNALS:
    void KeyPressed(QKeyEvent* event);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
