// Saved geometry: the main window, splitters and tree columns, kept under their names, shared by
// every live object of a name, and kept in the store file.

#include "shell/ResizableWindow.h"
#include "shell/SizeManager.h"
#include "store/DataSaver.h"
#include "support/StoreGuard.h"

#include <QHeaderView>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <memory>

namespace {

// A window that records what the manager does to it.
class FakeWindow : public ResizableWindow
{
    Q_OBJECT

public:
    FakeWindow(int x, int y, int width, int height) : x(x), y(y), width(width), height(height) {}
    int GetX() override { return x; }
    int GetY() override { return y; }
    int GetWidth() override { return width; }
    int GetHeight() override { return height; }
    void SetPosition(int newX, int newY) override
    {
        calls << QString("position %1,%2").arg(newX).arg(newY);
        x = newX;
        y = newY;
    }
    void SetSize(int newWidth, int newHeight) override
    {
        calls << QString("size %1x%2").arg(newWidth).arg(newHeight);
        width = newWidth;
        height = newHeight;
    }

    int x, y, width, height;
    QStringList calls;
};

struct Manager
{
    Manager() : saver(std::make_unique<DataSaver>()), sizes(std::make_unique<SizeManager>()) {}

    // A tree of three columns 100, 120 and 140 wide.
    static std::unique_ptr<QTreeWidget> Tree(bool stretchLast = false)
    {
        auto tree = std::make_unique<QTreeWidget>();
        tree->setColumnCount(3);
        tree->header()->setStretchLastSection(stretchLast);
        for (int i = 0; i < 3; ++i)
            tree->header()->resizeSection(i, 100 + 20 * i);
        return tree;
    }
    static QList<int> Widths(const QTreeWidget& tree)
    {
        QList<int> widths;
        for (int i = 0; i < tree.header()->count(); ++i)
            widths << tree.header()->sectionSize(i);
        return widths;
    }
    static size_t Count(const char* type) { return d.GetType(type)->ItemCount(); }

    StoreGuard store;
    std::unique_ptr<DataSaver> saver;
    std::unique_ptr<SizeManager> sizes;
};

} // namespace

class TestSizeManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void windowRecordedThenRestored();
    void treesOfOneNameStayAlike();
    void stretchedLastSectionNeverKept_data();
    void stretchedLastSectionNeverKept();
    void splittersRecordDefaultsAndFollowEachOther();
    void forgottenTreeStartsAfresh();
    void recordsLiveInTheStoreFile();
};

void TestSizeManager::windowRecordedThenRestored()
{
    Manager m;
    FakeWindow first(10, 20, 800, 600);
    m.sizes->RegisterResizableWindow("main_window", &first);
    QVERIFY(first.calls.isEmpty());

    Q_EMIT first.WindowMoved(30, 20);
    Q_EMIT first.WindowResized(900, 600);
    // The dropped values were the record's alone.
    QCOMPARE(m.Count("sizer_x"), size_t(1));
    QCOMPARE(m.Count("sizer_width"), size_t(1));

    FakeWindow second(0, 0, 100, 100);
    m.sizes->RegisterResizableWindow("main_window", &second);
    QCOMPARE(second.calls, QStringList({"position 30,20", "size 900x600"}));
    // The second window took the record over: the first one's moves are no longer kept.
    Q_EMIT first.WindowMoved(1, 1);
    Q_EMIT second.WindowMoved(5, 6);
    FakeWindow third(0, 0, 100, 100);
    m.sizes->RegisterResizableWindow("main_window", &third);
    QCOMPARE(third.calls, QStringList({"position 5,6", "size 900x600"}));
}

void TestSizeManager::treesOfOneNameStayAlike()
{
    Manager m;
    auto first = Manager::Tree();
    auto second = Manager::Tree();
    second->header()->resizeSection(0, 55);
    m.sizes->RegisterTreeWidget("search_results", first.get());
    m.sizes->RegisterTreeWidget("search_results", second.get());
    QCOMPARE(Manager::Widths(*second), QList<int>({100, 120, 140}));

    second->header()->resizeSection(1, 250);
    QCOMPARE(Manager::Widths(*first), QList<int>({100, 250, 140}));

    auto third = Manager::Tree();
    m.sizes->RegisterTreeWidget("search_results", third.get());
    QCOMPARE(Manager::Widths(*third), QList<int>({100, 250, 140}));

    // Closing one leaves the record and the others' links.
    first.reset();
    third->header()->resizeSection(2, 60);
    QCOMPARE(Manager::Widths(*second), QList<int>({100, 250, 60}));
    QCOMPARE(m.Count("sizer_tree_widget"), size_t(2));
    QCOMPARE(m.Count("sizer_tree_column"), size_t(3));
}

void TestSizeManager::stretchedLastSectionNeverKept_data()
{
    QTest::addColumn<bool>("stretch");
    QTest::addColumn<int>("kept");
    QTest::newRow("last section stretched") << true << 2;
    QTest::newRow("no stretch") << false << 3;
}

void TestSizeManager::stretchedLastSectionNeverKept()
{
    QFETCH(bool, stretch);
    QFETCH(int, kept);

    Manager m;
    auto plain = Manager::Tree();
    m.sizes->RegisterTreeWidget("download_list", plain.get());
    plain->header()->resizeSection(2, 333);
    auto other = Manager::Tree(stretch);
    m.sizes->RegisterTreeWidget("upload_list", other.get());
    QCOMPARE(m.Count("sizer_tree_column"), size_t(3 + kept));

    // A stretched tree sharing a record takes no width for its last section.
    auto shared = Manager::Tree(stretch);
    shared->header()->resizeSection(2, 140);
    m.sizes->RegisterTreeWidget("download_list", shared.get());
    plain->header()->resizeSection(2, 222);
    QCOMPARE(shared->header()->sectionSize(2) == 222, !stretch);
    shared->header()->resizeSection(0, 70);
    QCOMPARE(plain->header()->sectionSize(0), 70);
    QCOMPARE(plain->header()->sectionSize(2), 222);
}

void TestSizeManager::splittersRecordDefaultsAndFollowEachOther()
{
    Manager m;
    QSplitter splitters[3];
    for (QSplitter& splitter : splitters) {
        splitter.addWidget(new QWidget);
        splitter.addWidget(new QWidget);
        splitter.resize(400, 100);
        splitter.setSizes({350, 50});
    }
    // What the panes share once the handle has its room.
    const QList<int> onScreen = splitters[0].sizes();
    const int total = onScreen.at(0) + onScreen.at(1);
    const QList<int> defaults{total - 100, 100};
    m.sizes->RegisterSplitter("wish_list_splitter", &splitters[0], defaults);
    QCOMPARE(splitters[0].sizes(), onScreen);

    m.sizes->RegisterSplitter("wish_list_splitter", &splitters[1], {});
    QCOMPARE(splitters[1].sizes(), defaults);

    // A drag of one handle reaches the record and the other splitter.
    splitters[0].setSizes({total - 150, 150});
    Q_EMIT splitters[0].splitterMoved(total - 150, 1);
    QCOMPARE(splitters[1].sizes(), QList<int>({total - 150, 150}));
    m.sizes->RegisterSplitter("wish_list_splitter", &splitters[2], {10, 390});
    QCOMPARE(splitters[2].sizes(), QList<int>({total - 150, 150}));
}

void TestSizeManager::forgottenTreeStartsAfresh()
{
    Manager m;
    auto tree = Manager::Tree();
    m.sizes->RegisterTreeWidget("user_list", tree.get());
    m.sizes->ForgetTreeWidget("user_list");
    d.RemoveDisconnectedItems();
    QCOMPARE(m.Count("sizer_tree_column"), size_t(0));
    // The tree lives on without a record: its resizes are kept nowhere.
    tree->header()->resizeSection(0, 30);
    QCOMPARE(m.Count("sizer_tree_column"), size_t(0));

    auto fresh = Manager::Tree();
    m.sizes->RegisterTreeWidget("user_list", fresh.get());
    QCOMPARE(Manager::Widths(*fresh), QList<int>({100, 120, 140}));
}

void TestSizeManager::recordsLiveInTheStoreFile()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("store");
    {
        Manager m;
        FakeWindow window(10, 20, 800, 600);
        m.sizes->RegisterResizableWindow("main_window", &window);
        auto tree = Manager::Tree();
        m.sizes->RegisterTreeWidget("room_list", tree.get());
        tree->header()->resizeSection(1, 77);
        QVERIFY(m.saver->Save(file));
    }
    Manager m;
    m.saver->Load(file);
    // Addresses of the last run's objects are not kept.
    QCOMPARE(m.Count("sizer_window_widget"), size_t(0));
    QCOMPARE(m.Count("sizer_tree_widget"), size_t(0));
    FakeWindow window(0, 0, 1, 1);
    m.sizes->RegisterResizableWindow("main_window", &window);
    QCOMPARE(window.calls, QStringList({"position 10,20", "size 800x600"}));
    auto tree = Manager::Tree();
    m.sizes->RegisterTreeWidget("room_list", tree.get());
    QCOMPARE(Manager::Widths(*tree), QList<int>({100, 77, 140}));
}

QTEST_MAIN(TestSizeManager)
#include "tst_sizemanager.moc"
