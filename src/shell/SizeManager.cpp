#include "shell/SizeManager.h"

#include "shell/DisplayText.h"
#include "shell/ResizableWindow.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Dependency.h"
#include "store/Schema.h"

#include <QHeaderView>
#include <QSplitter>
#include <QTreeWidget>

SizeManager* sizeManager = nullptr;

namespace {

constexpr char kWindow[] = "sizer_window";
constexpr char kWindowWidget[] = "sizer_window_widget";
constexpr char kX[] = "sizer_x";
constexpr char kY[] = "sizer_y";
constexpr char kWidth[] = "sizer_width";
constexpr char kHeight[] = "sizer_height";
constexpr char kSize[] = "sizer_size";
constexpr char kTree[] = "sizer_tree";
constexpr char kTreeWidget[] = "sizer_tree_widget";
constexpr char kColumnNumber[] = "sizer_tree_column_number";
constexpr char kColumn[] = "sizer_tree_column";
constexpr char kSplitter[] = "sizer_splitter";
constexpr char kSplitterWidget[] = "sizer_splitter_widget";
constexpr char kPaneNumber[] = "sizer_splitter_index_number";
constexpr char kPane[] = "sizer_splitter_index";

const SchemaType kTypes[] = {
    {kWindow, RootPrimacy, false, true, ValueKind::Word},
    {kWindowWidget, RootPrimacy, false, true, ValueKind::Address},
    {kX, ValuePrimacy, false, true, ValueKind::Number},
    {kY, ValuePrimacy, false, true, ValueKind::Number},
    {kWidth, ValuePrimacy, false, true, ValueKind::Number},
    {kHeight, ValuePrimacy, false, true, ValueKind::Number},
    {kSize, ValuePrimacy, false, true, ValueKind::Number},
    {kTree, RootPrimacy, false, true, ValueKind::Word},
    {kTreeWidget, RootPrimacy, false, true, ValueKind::Address},
    {kColumnNumber, ValuePrimacy, false, true, ValueKind::Number},
    {kColumn, ReachablePrimacy, true, true, ValueKind::None},
    {kSplitter, RootPrimacy, false, true, ValueKind::Word},
    {kSplitterWidget, RootPrimacy, false, true, ValueKind::Address},
    {kPaneNumber, ValuePrimacy, false, true, ValueKind::Number},
    {kPane, ReachablePrimacy, true, true, ValueKind::None},
};

const SchemaRelation kRelations[] = {
    {kWindow, kWindowWidget, One, One}, {kWindow, kX, Many, One},
    {kWindow, kY, Many, One},           {kWindow, kWidth, Many, One},
    {kWindow, kHeight, Many, One},      {kTree, kTreeWidget, One, Many},
    {kTree, kColumn, One, Many},        {kColumn, kColumnNumber, Many, One},
    {kColumn, kSize, Many, One},        {kSplitter, kSplitterWidget, One, Many},
    {kSplitter, kPane, One, Many},      {kPane, kPaneNumber, Many, One},
    {kPane, kSize, Many, One},
};

// The addresses of live objects (the three _widget types) never reach the file.
const SchemaSaved kSaved[] = {
    {kWindow}, {kTree}, {kColumnNumber}, {kColumn}, {kSplitter}, {kPaneNumber}, {kPane},
    {kX},      {kY},    {kWidth},        {kHeight}, {kSize},
};

Type* T(const char* name)
{
    return d.GetType(name);
}

// A record's key: the name its registrant gave it, a word.
Value Key(const char* type, const QString& name)
{
    return Value(StoredBytes(T(type), name));
}

ItemPtr Named(const char* type, const QString& name)
{
    return T(type)->HasItem(Key(type, name));
}

ItemPtr Number(const char* type, int n)
{
    return T(type)->GetItem(Value(n));
}

// A header that stretches its last section sizes that one itself: it is neither kept nor set.
int KeptSections(const QHeaderView* header)
{
    return header->stretchLastSection() ? header->count() - 1 : header->count();
}

// The record's live objects of that type, as addresses.
template <class T> QList<T*> LiveObjects(ItemPtr record, const char* widgetType)
{
    QList<T*> objects;
    for (Item* item : record.GetItems(widgetType))
        objects << ItemPtr(item).AsPointer<T>();
    return objects;
}

// The record's entries by their index, ascending, each with its size.
QList<std::pair<int, int>> Entries(ItemPtr record, const char* entryType, const char* numberType)
{
    QList<std::pair<int, int>> entries;
    for (Item* entry : record.GetItems(entryType).SortNumericBy(numberType, true))
        entries.append({ItemPtr(entry)[numberType].AsInt(), ItemPtr(entry)[kSize].AsInt()});
    return entries;
}

} // namespace

SizeManager::SizeManager(QObject* parent) : QObject(parent)
{
    RequireService(dataSaver, "The size manager", "the store file handler");
    sizeManager = this;
    DeclareSchema(MakeSchema(kTypes, kRelations, kSaved), *dataSaver);
}

SizeManager::~SizeManager()
{
    if (sizeManager == this)
        sizeManager = nullptr;
}

void SizeManager::RegisterResizableWindow(const QString& name, ResizableWindow* window)
{
    ItemPtr record = Named(kWindow, name);
    if (record) {
        // Position first: a window placed at its old spot then grows from there.
        window->SetPosition(record[kX].AsInt(), record[kY].AsInt());
        window->SetSize(record[kWidth].AsInt(), record[kHeight].AsInt());
    } else {
        record = T(kWindow)->GetItem(Key(kWindow, name));
        ReplaceValues(record, kX, window->GetX(), kY, window->GetY());
        ReplaceValues(record, kWidth, window->GetWidth(), kHeight, window->GetHeight());
    }
    // One window per record: a window registered later under the name takes it over.
    ItemPtr before = record[kWindowWidget];
    ItemPtr live = T(kWindowWidget)->GetItem(Value(window));
    record += live;
    if (before && before != live)
        before.Remove();
    connect(window, &ResizableWindow::WindowMoved, this, &SizeManager::OnWindowMoved,
            Qt::UniqueConnection);
    connect(window, &ResizableWindow::WindowResized, this, &SizeManager::OnWindowResized,
            Qt::UniqueConnection);
}

void SizeManager::RegisterSplitter(const QString& name, QSplitter* splitter,
                                   const QList<int>& defaults)
{
    ItemPtr record = Named(kSplitter, name);
    if (record) {
        QList<int> sizes;
        for (const auto& [index, size] : Entries(record, kPane, kPaneNumber))
            sizes << size;
        splitter->setSizes(sizes);
    } else {
        record = T(kSplitter)->GetItem(Key(kSplitter, name));
        const QList<int> sizes = defaults.isEmpty() ? splitter->sizes() : defaults;
        for (int i = 0; i < sizes.size(); ++i)
            SetSize(Entry(record, kPane, kPaneNumber, i), sizes.at(i));
    }
    record += T(kSplitterWidget)->GetItem(Value(splitter));
    connect(splitter, &QSplitter::splitterMoved, this, &SizeManager::OnSplitterMoved,
            Qt::UniqueConnection);
    connect(splitter, &QObject::destroyed, this, &SizeManager::OnSplitterDestroyed,
            Qt::UniqueConnection);
}

void SizeManager::RegisterTreeWidget(const QString& name, QTreeWidget* tree)
{
    QHeaderView* header = tree->header();
    ItemPtr record = Named(kTree, name);
    if (record) {
        m_busy = true;
        for (const auto& [column, size] : Entries(record, kColumn, kColumnNumber)) {
            if (column >= 0 && column < KeptSections(header))
                header->resizeSection(column, size);
        }
        m_busy = false;
    } else {
        record = T(kTree)->GetItem(Key(kTree, name));
        for (int i = 0; i < KeptSections(header); ++i)
            SetSize(Entry(record, kColumn, kColumnNumber, i), header->sectionSize(i));
    }
    record += T(kTreeWidget)->GetItem(Value(tree));
    connect(header, &QHeaderView::sectionResized, this, &SizeManager::OnTreeColumnResizedMoved,
            Qt::UniqueConnection);
    connect(tree, &QObject::destroyed, this, &SizeManager::OnTreeDestroyed, Qt::UniqueConnection);
}

void SizeManager::ForgetTreeWidget(const QString& name)
{
    Named(kTree, name).Remove();
}

void SizeManager::OnWindowMoved(int x, int y)
{
    ReplaceValues(T(kWindowWidget)->HasItem(Value(sender()))[kWindow], kX, x, kY, y);
}

void SizeManager::OnWindowResized(int width, int height)
{
    ReplaceValues(T(kWindowWidget)->HasItem(Value(sender()))[kWindow], kWidth, width, kHeight,
                  height);
}

void SizeManager::OnSplitterMoved(int, int)
{
    auto* splitter = qobject_cast<QSplitter*>(sender());
    if (m_busy || !splitter)
        return;
    ItemPtr record = T(kSplitterWidget)->HasItem(Value(splitter))[kSplitter];
    if (!record)
        return;
    const QList<int> sizes = splitter->sizes();
    for (int i = 0; i < sizes.size(); ++i)
        SetSize(Entry(record, kPane, kPaneNumber, i), sizes.at(i));

    m_busy = true;
    for (QSplitter* other : LiveObjects<QSplitter>(record, kSplitterWidget)) {
        if (other != splitter)
            other->setSizes(sizes);
    }
    m_busy = false;
}

void SizeManager::OnSplitterDestroyed(QObject* splitter)
{
    T(kSplitterWidget)->HasItem(Value(splitter)).Remove();
}

void SizeManager::OnTreeColumnResizedMoved(int, int, int)
{
    auto* header = qobject_cast<QHeaderView*>(sender());
    if (m_busy || !header)
        return;
    // The tree is only named by its address here; its header says everything else.
    ItemPtr record = T(kTreeWidget)->HasItem(Value(header->parent()))[kTree];
    if (!record)
        return;

    m_busy = true;
    const QList<QTreeWidget*> trees = LiveObjects<QTreeWidget>(record, kTreeWidget);
    // Every section is written, not only the one that moved: a record made when the tree had
    // fewer columns catches up.
    for (int i = 0; i < KeptSections(header); ++i) {
        const int size = header->sectionSize(i);
        SetSize(Entry(record, kColumn, kColumnNumber, i), size);
        for (QTreeWidget* tree : trees) {
            QHeaderView* other = tree->header();
            if (other != header && i < KeptSections(other))
                other->resizeSection(i, size);
        }
    }
    m_busy = false;
}

void SizeManager::OnTreeDestroyed(QObject* tree)
{
    T(kTreeWidget)->HasItem(Value(tree)).Remove();
}

void SizeManager::ReplaceValues(ItemPtr record, const char* typeA, int a, const char* typeB, int b)
{
    if (!record)
        return;
    const ItemPtr oldA = record[typeA];
    const ItemPtr oldB = record[typeB];
    const ItemPtr newA = Number(typeA, a);
    const ItemPtr newB = Number(typeB, b);
    record += newA;
    record += newB;
    if (oldA && oldA != newA && oldA.IsDisconnectedFromAll())
        oldA.Remove();
    if (oldB && oldB != newB && oldB.IsDisconnectedFromAll())
        oldB.Remove();
}

ItemPtr SizeManager::Entry(ItemPtr record, const char* entryType, const char* numberType, int index)
{
    ItemPtr number = Number(numberType, index);
    ItemPtr entry = d.GetItem(record, number, entryType);
    if (!entry) {
        entry = T(entryType)->NewItem();
        entry += record;
        entry += number;
    }
    return entry;
}

void SizeManager::SetSize(ItemPtr entry, int size)
{
    const ItemPtr before = entry[kSize];
    const ItemPtr now = Number(kSize, size);
    if (before == now)
        return;
    entry += now;
    if (before && before.IsDisconnectedFromAll())
        before.Remove();
}
