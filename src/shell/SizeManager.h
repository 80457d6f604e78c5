#pragma once

#include "shell/ShellServices.h"

#include <QList>
#include <QObject>
#include <QString>

class Item;
class ItemPtr;
class QSplitter;
class QTreeWidget;
class ResizableWindow;

// Keeps, in the store and so in the store file, the geometry the user gives the main window, the
// pane sizes of splitters and the column widths of trees, each under a name. Registering applies
// the record of that name, or starts one from what the object shows now; from then on every
// change is written at once. Splitters and trees registered under one name share one record and
// stay alike while they live: a column widened in one search tab widens it in every other.
//
// Numbers are kept as shared value items ("sizer_size" of 150 serves every column 150 wide); a
// value a record drops and nothing else holds is removed at once.
class SizeManager : public QObject
{
    Q_OBJECT

public:
    // Declares the store types and marks what the store file keeps; the store file handler must
    // exist.
    explicit SizeManager(QObject* parent = nullptr);
    ~SizeManager() override;

    void RegisterResizableWindow(const QString& name, ResizableWindow* window);
    // defaults: what a first registration records in place of the splitter's current sizes (it
    // does not apply them); may be empty.
    void RegisterSplitter(const QString& name, QSplitter* splitter, const QList<int>& defaults);
    void RegisterTreeWidget(const QString& name, QTreeWidget* tree);
    // Drops the record of that name; its columns go at the next sweep.
    void ForgetTreeWidget(const QString& name);

public Q_SLOTS:
    void OnWindowMoved(int x, int y);
    void OnWindowResized(int width, int height);
    void OnSplitterMoved(int position, int index);
    void OnSplitterDestroyed(QObject* splitter);
    void OnTreeColumnResizedMoved(int section, int oldSize, int newSize);
    void OnTreeDestroyed(QObject* tree);

private:
    // Links the record to the value items of a and b in place of the ones it held.
    static void ReplaceValues(ItemPtr record, const char* typeA, int a, const char* typeB, int b);
    // The entry (column or pane) of that index in the record, made when missing.
    static ItemPtr Entry(ItemPtr record, const char* entryType, const char* numberType, int index);
    // Links the entry to the size item of size, removing the one it held if nothing else does.
    static void SetSize(ItemPtr entry, int size);

    bool m_busy = false;
};
