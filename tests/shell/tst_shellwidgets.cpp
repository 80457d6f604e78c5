// The shell's small services: which widget takes the focus when a page comes to the front,
// bringing a widget forward through nested tabs, the tree that tells of key presses, the style
// wrapper, and saved geometry (the main window, splitters and tree columns, kept under their
// names, shared by every live object of a name, and kept in the store file).

#include "shell/ProxyStyle.h"
#include "shell/ResizableWindow.h"
#include "shell/RoomTabWidget.h"
#include "shell/SizeManager.h"
#include "shell/TabWidget.h"
#include "shell/TreeWidget.h"
#include "shell/UIFunctions.h"
#include "store/DataSaver.h"
#include "support/StoreGuard.h"

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QProxyStyle>
#include <QSplitter>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

// A shown, active window: a line edit that has the focus, and a TabWidget whose two pages the
// test fills.
struct Pages
{
    Pages()
    {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(start);
        layout->addWidget(tabs);
        tabs->addTab(first, "first");
        tabs->addTab(second, "second");
        window.show();
        window.activateWindow();
    }
    bool Ready()
    {
        if (!QTest::qWaitForWindowActive(&window))
            return false;
        start->setFocus();
        return QApplication::focusWidget() == start;
    }
    // A line edit under the given parent, with a priority unless 0.
    QLineEdit* Edit(QWidget* parent, int priority)
    {
        auto* edit = new QLineEdit(parent);
        if (priority)
            edit->setProperty("get_focus", priority);
        return edit;
    }

    QWidget window;
    TabWidget* tabs = new TabWidget;
    QLineEdit* start = new QLineEdit;
    QWidget* first = new QWidget;
    QWidget* second = new QWidget;
};

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

// A shown chat tab widget, a page per user; each page counts the sizes asked of it.
struct ChatTabs
{
    struct Page : QWidget
    {
        QSize sizeHint() const override { return ++asked, QSize(200, 100); }
        mutable int asked = 0;
    };
    explicit ChatTabs(int users)
    {
        (new QVBoxLayout(&window))->addWidget(tabs);
        for (int i = 0; i < users; ++i)
            tabs->addTab(new Page, QString("user %1").arg(i));
        window.resize(400, 300);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
    // The sizes asked of the first pages since the last call.
    int Asked(int pages)
    {
        int asked = 0;
        for (int i = 0; i < pages; ++i)
            asked += qExchange(static_cast<Page*>(tabs->widget(i))->asked, 0);
        return asked;
    }
    QWidget window;
    RoomTabWidget* tabs = new RoomTabWidget;
};

// Counts the tab labels laid out (a tab's label is laid out as it is styled).
struct LabelCount : QProxyStyle
{
    QRect subElementRect(SubElement element, const QStyleOption* option,
                         const QWidget* widget) const override
    {
        labels += element == SE_TabBarTabText;
        return QProxyStyle::subElementRect(element, option, widget);
    }
    mutable int labels = 0;
};

} // namespace

class tst_ShellWidgets : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pageChangeFocusesPreferredWidget_data();
    void pageChangeFocusesPreferredWidget();
    void widgetRegisteredWhileVisibleTakesFocus();
    void focusBringsWidgetThroughTabs_data();
    void focusBringsWidgetThroughTabs();
    void treeTellsOfKeyBeforeActing();
    void chatTabCostsNoMoreForTabsOpen_data();
    void chatTabCostsNoMoreForTabsOpen();
    void chatTabHoverFollowsTheBarScrolled_data();
    void chatTabHoverFollowsTheBarScrolled();
    void treeExpandsManyAsOneByOne_data();
    void treeExpandsManyAsOneByOne();
    void rowsDeletedSomeAtATime_data();
    void rowsDeletedSomeAtATime();
    void proxyStyleWrapsNamedOrDefaultStyle_data();
    void proxyStyleWrapsNamedOrDefaultStyle();
    void windowRecordedThenRestored();
    void treesOfOneNameStayAlike();
    void stretchedLastSectionNeverKept_data();
    void stretchedLastSectionNeverKept();
    void splittersRecordDefaultsAndFollowEachOther();
    void forgottenTreeStartsAfresh();
    void recordsLiveInTheStoreFile();
};

void tst_ShellWidgets::pageChangeFocusesPreferredWidget_data()
{
    // The second page's widgets: one character per widget, its priority (0: unmarked, h: a
    // hidden 2), a letter to nest the widgets that follow in a box and "." to leave it.
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("focused");
    QTest::addColumn<int>("best");
    QTest::newRow("a 2 beats 1s wherever it lies") << "11b12." << 3 << 2;
    QTest::newRow("of two 1s the first depth first") << "0b01.1" << 2 << 1;
    QTest::newRow("a hidden marked widget gets nothing") << "0h" << -1 << 0;
    QTest::newRow("nothing below a hidden box") << "0H2." << -1 << 0;
    QTest::newRow("no marked widget") << "00" << -1 << 0;
}

void tst_ShellWidgets::pageChangeFocusesPreferredWidget()
{
    QFETCH(QString, layout);
    QFETCH(int, focused);
    QFETCH(int, best);

    Pages pages;
    QVERIFY(pages.Ready());
    QList<QLineEdit*> edits;
    QWidget* parent = pages.second;
    for (QChar c : layout) {
        if (c.isDigit() || c == 'h') {
            edits << pages.Edit(parent, c == 'h' ? 2 : c.digitValue());
            edits.last()->setHidden(c == 'h');
        } else if (c == '.') {
            parent = pages.second;
        } else {
            parent = new QWidget(pages.second);
            parent->setHidden(c == 'H');
        }
    }
    pages.tabs->setCurrentIndex(1);
    QCOMPARE(QApplication::focusWidget(),
             focused < 0 ? static_cast<QWidget*>(pages.start) : edits.at(focused));
    QCOMPARE(FindWidgetFocusProperty(pages.second, 0), best);
}

void tst_ShellWidgets::widgetRegisteredWhileVisibleTakesFocus()
{
    Pages pages;
    QVERIFY(pages.Ready());
    QLineEdit* later = pages.Edit(pages.second, 0);
    RegisterWidgetForTabFocus(later, 1);
    QCOMPARE(QApplication::focusWidget(), pages.start);
    QLineEdit* now = pages.Edit(pages.first, 0);
    now->show();
    RegisterWidgetForTabFocus(now, 1);
    QCOMPARE(QApplication::focusWidget(), now);
    pages.tabs->setCurrentIndex(1);
    QCOMPARE(QApplication::focusWidget(), later);
}

void tst_ShellWidgets::focusBringsWidgetThroughTabs_data()
{
    QTest::addColumn<bool>("everyLevel");
    QTest::newRow("and parents: both tabs") << true;
    QTest::newRow("the nearest tab only") << false;
}

void tst_ShellWidgets::focusBringsWidgetThroughTabs()
{
    QFETCH(bool, everyLevel);

    Pages pages;
    QVERIFY(pages.Ready());
    auto* inner = new QTabWidget;
    pages.tabs->addTab(inner, "inner");
    inner->addTab(new QWidget, "front");
    auto* chat = new QWidget;
    auto* input = new QLineEdit(chat);
    inner->addTab(chat, "chat");

    if (everyLevel)
        FocusWidgetAndParents(input);
    else
        FocusWidget(input);
    QCOMPARE(inner->currentWidget(), chat);
    QCOMPARE(pages.tabs->currentWidget(), everyLevel ? inner : pages.first);
    if (everyLevel)
        QCOMPARE(QApplication::focusWidget(), input);
}

void tst_ShellWidgets::treeTellsOfKeyBeforeActing()
{
    TreeWidget tree;
    for (int i = 0; i < 3; ++i)
        new QTreeWidgetItem(&tree, {QString::number(i)});
    tree.setCurrentItem(tree.topLevelItem(0));
    QStringList seen;
    connect(&tree, &TreeWidget::KeyPressed, &tree, [&](QKeyEvent* event) {
        seen << QString("%1 at row %2").arg(event->key()).arg(tree.currentItem()->text(0));
    });
    QTest::keyClick(&tree, Qt::Key_Down);
    QCOMPARE(seen, QStringList{QString("%1 at row 0").arg(Qt::Key_Down)});
    QCOMPARE(tree.currentItem(), tree.topLevelItem(1));
}

void tst_ShellWidgets::chatTabCostsNoMoreForTabsOpen_data()
{
    // Tabs open, enough for the bar to scroll, and the one current (the bar scrolled to it).
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("current");
    QTest::newRow("10, the first current") << 10 << 0;
    QTest::newRow("300, the first current") << 300 << 0;
    QTest::newRow("300, the last current") << 300 << 299;
}

void tst_ShellWidgets::chatTabCostsNoMoreForTabsOpen()
{
    QFETCH(int, count);
    QFETCH(int, current);
    LabelCount style;
    ChatTabs chat(count);
    QTabBar* bar = chat.tabs->tabBar();
    bar->setStyle(&style);
    chat.tabs->setCurrentIndex(current);
    QCoreApplication::processEvents();
    QVERIFY(chat.Asked(count) > 0);
    chat.tabs->addTab(new ChatTabs::Page, "newcomer");
    QCoreApplication::processEvents();
    // The window laid out again asks no page there before its sizes.
    QCOMPARE(chat.Asked(count), 0);
    // A paint lays out a few labels for each tab in sight (styled, drawn, its close button
    // placed; the current one again, on top) and none for a tab out of sight.
    int inSight = 0;
    for (int i = 0; i < chat.tabs->count(); ++i)
        inSight += bar->tabRect(i).intersects(bar->rect());
    style.labels = 0;
    bar->repaint();
    QVERIFY(inSight > 0 && style.labels >= inSight);
    QVERIFY2(style.labels <= 4 * inSight + 1, qPrintable(QString::number(style.labels)));
    // The sizes kept are Qt's own.
    QCOMPARE(bar->sizeHint(), bar->QTabBar::sizeHint());
    QCOMPARE(chat.tabs->sizeHint(), chat.tabs->QTabWidget::sizeHint());
}

void tst_ShellWidgets::chatTabHoverFollowsTheBarScrolled_data()
{
    // The pointer rests on the close button of the tab before the current one, the last in
    // sight, and the bar scrolls by a tab (tabs 10 to 59 are alike): the wheel or Ctrl+Tab makes
    // the next tab current, a touchpad's sideways swipe scrolls the bar alone.
    QTest::addColumn<QString>("scroll");
    for (const char* scroll : {"wheel", "touchpad", "Ctrl+Tab"})
        QTest::newRow(scroll) << scroll;
}

void tst_ShellWidgets::chatTabHoverFollowsTheBarScrolled()
{
    QFETCH(QString, scroll);
    ChatTabs chat(60);
    QTabBar* bar = chat.tabs->tabBar();
    chat.tabs->setCurrentIndex(30);
    const QRect tab = bar->tabRect(29);
    const QPoint at(tab.right() - 20, tab.center().y());
    // The pointer there, and a move on the bar reported there.
    QTest::mouseMove(bar, at);
    QMouseEvent move(QEvent::MouseMove, at, bar->mapToGlobal(at), Qt::NoButton, {}, {});
    QApplication::sendEvent(bar, &move);
    const QPointingDevice pad("pad", 2, QInputDevice::DeviceType::TouchPad,
                              QPointingDevice::PointerType::Finger,
                              QInputDevice::Capability::PixelScroll, 1, 0);
    const bool swipe = scroll == "touchpad";
    const QPoint step = swipe ? QPoint(-tab.width(), 0) : QPoint(0, -120);
    QWheelEvent turn(at, bar->mapToGlobal(at), swipe ? step : QPoint(), step, Qt::NoButton, {},
                     Qt::NoScrollPhase, false, Qt::MouseEventNotSynthesized,
                     swipe ? &pad : QPointingDevice::primaryPointingDevice());
    if (scroll == "Ctrl+Tab")
        QTest::keyClick(chat.tabs, Qt::Key_Tab, Qt::ControlModifier);
    else
        QApplication::sendEvent(bar, &turn);
    QCOMPARE(chat.tabs->currentIndex(), swipe ? 30 : 31);
    QCOMPARE(bar->tabRect(30), tab);
    // The bar shows the hover as the pointer there would.
    const QImage shown = bar->grab().toImage();
    QApplication::sendEvent(bar, &move);
    QCOMPARE(bar->grab().toImage(), shown);
}

void tst_ShellWidgets::treeExpandsManyAsOneByOne_data()
{
    // A tree of 3 users of 4 folders of 3 files, users and folders open but for some; then the
    // rows named (u: every user row, f: every folder row, "f1": folder 1 of each user) expanded
    // or collapsed.
    QTest::addColumn<QString>("closedBefore"); // u0, f1: user 0 and folder 1 of each user
    QTest::addColumn<QString>("rows");
    QTest::addColumn<bool>("expand");
    QTest::newRow("folders collapsed") << ""
                                       << "f" << false;
    QTest::newRow("folders expanded, some open already") << "f1 f3"
                                                         << "f" << true;
    QTest::newRow("users collapsed") << "f2"
                                     << "u" << false;
    QTest::newRow("users expanded under closed folders") << "u0 u2 f0"
                                                         << "u" << true;
    QTest::newRow("some folders collapsed, a user closed") << "u1"
                                                           << "f1" << false;
}

void tst_ShellWidgets::treeExpandsManyAsOneByOne()
{
    QFETCH(QString, closedBefore);
    QFETCH(QString, rows);
    QFETCH(bool, expand);

    // The same rows in a tree expanded in bulk and in one expanded row by row, both shown and
    // laid out before.
    TreeWidget bulk;
    TreeWidget oneByOne;
    QList<QTreeWidgetItem*> named[2];
    for (TreeWidget* tree : {&bulk, &oneByOne}) {
        tree->resize(300, 600);
        for (int u = 0; u < 3; ++u) {
            auto* user = new QTreeWidgetItem(tree, {"u" + QString::number(u)});
            for (int f = 0; f < 4; ++f) {
                auto* folder = new QTreeWidgetItem(user, {"f" + QString::number(f)});
                for (int i = 0; i < 3; ++i)
                    new QTreeWidgetItem(folder, {"file " + QString::number(i)});
                folder->setExpanded(!closedBefore.split(' ').contains(folder->text(0)));
                if (rows == "f" || rows == folder->text(0))
                    named[tree == &oneByOne] << folder;
            }
            user->setExpanded(!closedBefore.split(' ').contains(user->text(0)));
            if (rows == "u")
                named[tree == &oneByOne] << user;
        }
        tree->show();
        QVERIFY(QTest::qWaitForWindowExposed(tree));
        QVERIFY(tree->visualItemRect(tree->topLevelItem(0)).isValid());
    }
    bulk.SetExpanded(named[0], expand);
    for (QTreeWidgetItem* row : named[1])
        row->setExpanded(expand);

    // What each row is, and the rows in view from the top as the tree lays them out.
    const auto shown = [](TreeWidget& tree) {
        QStringList rows;
        for (QTreeWidgetItemIterator it(&tree); *it; ++it)
            rows << (*it)->text(0) + ((*it)->isExpanded() ? "+" : "");
        rows << "in view:";
        for (QTreeWidgetItem* row = tree.topLevelItem(0); row; row = tree.itemBelow(row))
            rows << row->text(0);
        return rows;
    };
    QCOMPARE(shown(bulk), shown(oneByOne));
    // The scroll bars follow at the next turn.
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
    QCOMPARE(bulk.visualItemRect(bulk.topLevelItem(2)),
             oneByOne.visualItemRect(oneByOne.topLevelItem(2)));
}

namespace {

// A row that writes down when it is deleted, and whether its children were by then.
class CountedRow : public QTreeWidgetItem
{
public:
    CountedRow(QTreeWidgetItem* parent, std::vector<int>& deleted, int id)
        : QTreeWidgetItem(parent), m_deleted(deleted), m_id(id)
    {
    }
    CountedRow(QTreeWidget* tree, std::vector<int>& deleted, int id)
        : QTreeWidgetItem(tree), m_deleted(deleted), m_id(id)
    {
    }
    ~CountedRow() override { m_deleted.push_back(childCount() == 0 ? m_id : -m_id); }

private:
    std::vector<int>& m_deleted;
    int m_id;
};

} // namespace

void tst_ShellWidgets::rowsDeletedSomeAtATime_data()
{
    QTest::addColumn<int>("tops");
    QTest::addColumn<int>("fanOut");
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("leftToTheEnd");
    QTest::newRow("flat, one a call") << 5 << 0 << 0 << 1 << false;
    QTest::newRow("one long chain, three a call") << 1 << 1 << 40 << 3 << false;
    QTest::newRow("wide and deep, more than all") << 3 << 4 << 3 << 1000 << false;
    QTest::newRow("wide and deep, seven a call") << 3 << 4 << 3 << 7 << false;
    QTest::newRow("left for the end") << 3 << 4 << 3 << 7 << true;
    QTest::newRow("an empty tree") << 0 << 0 << 0 << 5 << false;
}

void tst_ShellWidgets::rowsDeletedSomeAtATime()
{
    QFETCH(int, tops);
    QFETCH(int, fanOut);
    QFETCH(int, depth);
    QFETCH(int, count);
    QFETCH(bool, leftToTheEnd);

    // A shown tree, every row with children expanded and every third row hidden: what a closed
    // tab leaves.
    std::vector<int> deleted;
    TreeWidget tree;
    int rows = 0;
    std::vector<std::pair<QTreeWidgetItem*, int>> todo;
    for (int t = 0; t < tops; ++t)
        todo.emplace_back(new CountedRow(&tree, deleted, ++rows), 0);
    while (!todo.empty()) {
        const auto [row, level] = todo.back();
        todo.pop_back();
        for (int k = 0; level < depth && k < fanOut; ++k)
            todo.emplace_back(new CountedRow(row, deleted, ++rows), level + 1);
        row->setExpanded(row->childCount() > 0);
        row->setHidden(rows % 3 == 0);
    }
    tree.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tree));
    const auto inTree = [&tree] {
        size_t all = 0;
        size_t states = 0;
        for (QTreeWidgetItemIterator it(&tree); *it; ++it) {
            ++all;
            states += (*it)->isExpanded() || (*it)->isHidden() ? 1 : 0;
        }
        return std::make_pair(all, states);
    };

    auto going = std::make_unique<RowsToDelete>();
    going->TakeAll(&tree);
    QCOMPARE(inTree().first, size_t(rows));
    QVERIFY(deleted.empty());
    // The rows are looked through first, as many a call as it may, the tree as it was; the call
    // that looks at the last goes on to what follows.
    for (int call = 0; rows > 0 && call < (rows - 1) / count; ++call) {
        const auto before = inTree();
        QVERIFY(!going->DeleteSome(size_t(count)));
        QCOMPARE(inTree(), before);
        QVERIFY(deleted.empty());
    }
    // The rows' states go first, as many a call as it may; then the rows leave the tree in one
    // call; then each call deletes as many as it may, nothing before its children.
    bool taken = false;
    while (!going->IsEmpty() && !(leftToTheEnd && !deleted.empty())) {
        const auto [all, states] = inTree();
        const size_t before = deleted.size();
        const bool done = going->DeleteSome(size_t(count));
        if (states > 0) {
            QCOMPARE(inTree(), std::make_pair(all, states - std::min(size_t(count), states)));
            QCOMPARE(deleted.size(), before);
        } else if (!taken) {
            QCOMPARE(inTree().first, size_t(0));
            QCOMPARE(deleted.size(), before);
            taken = true;
        } else {
            QCOMPARE(deleted.size() - before, std::min(size_t(count), size_t(rows) - before));
        }
        QCOMPARE(done, deleted.size() == size_t(rows));
        QCOMPARE(going->IsEmpty(), done);
    }
    // What is left goes with it, rows with their children.
    going.reset();
    QCOMPARE(deleted.size(), size_t(rows));
    if (!leftToTheEnd)
        QVERIFY(std::all_of(deleted.begin(), deleted.end(), [](int id) { return id > 0; }));
    std::vector<int> sorted;
    for (int id : deleted)
        sorted.push_back(std::abs(id));
    std::sort(sorted.begin(), sorted.end());
    QVERIFY(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end());
    // The tree is still whole as a widget, and takes rows again.
    new QTreeWidgetItem(&tree, {"again"});
    QCOMPARE(tree.topLevelItemCount(), 1);
}

void tst_ShellWidgets::proxyStyleWrapsNamedOrDefaultStyle_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("wrapped");
    QTest::newRow("a known style") << "Windows"
                                   << "windows";
    QTest::newRow("another") << "Fusion"
                             << "fusion";
    QTest::newRow("an unknown name: the default") << "NoSuchStyle"
                                                  << "";
}

void tst_ShellWidgets::proxyStyleWrapsNamedOrDefaultStyle()
{
    QFETCH(QString, name);
    QFETCH(QString, wrapped);

    auto* style = new ProxyStyle(name);
    QPointer<QStyle> inner = style->baseStyle();
    QVERIFY(inner);
    if (!wrapped.isEmpty())
        QCOMPARE(inner->name(), wrapped);
    else
        QVERIFY(QStyleFactory::keys().contains(inner->name(), Qt::CaseInsensitive));
    QCOMPARE(style->pixelMetric(QStyle::PM_ScrollBarExtent),
             inner->pixelMetric(QStyle::PM_ScrollBarExtent));
    delete style;
    QVERIFY(!inner);
}

void tst_ShellWidgets::windowRecordedThenRestored()
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

void tst_ShellWidgets::treesOfOneNameStayAlike()
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

void tst_ShellWidgets::stretchedLastSectionNeverKept_data()
{
    QTest::addColumn<bool>("stretch");
    QTest::addColumn<int>("kept");
    QTest::newRow("last section stretched") << true << 2;
    QTest::newRow("no stretch") << false << 3;
}

void tst_ShellWidgets::stretchedLastSectionNeverKept()
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

void tst_ShellWidgets::splittersRecordDefaultsAndFollowEachOther()
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

void tst_ShellWidgets::forgottenTreeStartsAfresh()
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

void tst_ShellWidgets::recordsLiveInTheStoreFile()
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

QTEST_MAIN(tst_ShellWidgets)
#include "tst_shellwidgets.moc"
