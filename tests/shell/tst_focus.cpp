// Which widget takes the focus when a page comes to the front, bringing a widget forward through
// nested tabs, and the small widgets: the tree that tells of key presses and the style wrapper.

#include "shell/ProxyStyle.h"
#include "shell/TabWidget.h"
#include "shell/TreeWidget.h"
#include "shell/UIFunctions.h"

#include <QApplication>
#include <QLineEdit>
#include <QPointer>
#include <QStyleFactory>
#include <QTest>
#include <QVBoxLayout>

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

} // namespace

class TestFocus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pageChangeFocusesPreferredWidget_data();
    void pageChangeFocusesPreferredWidget();
    void widgetRegisteredWhileVisibleTakesFocus();
    void focusBringsWidgetThroughTabs_data();
    void focusBringsWidgetThroughTabs();
    void treeTellsOfKeyBeforeActing();
    void proxyStyleWrapsNamedOrDefaultStyle_data();
    void proxyStyleWrapsNamedOrDefaultStyle();
};

void TestFocus::pageChangeFocusesPreferredWidget_data()
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

void TestFocus::pageChangeFocusesPreferredWidget()
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

void TestFocus::widgetRegisteredWhileVisibleTakesFocus()
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

void TestFocus::focusBringsWidgetThroughTabs_data()
{
    QTest::addColumn<bool>("everyLevel");
    QTest::newRow("and parents: both tabs") << true;
    QTest::newRow("the nearest tab only") << false;
}

void TestFocus::focusBringsWidgetThroughTabs()
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

void TestFocus::treeTellsOfKeyBeforeActing()
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

void TestFocus::proxyStyleWrapsNamedOrDefaultStyle_data()
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

void TestFocus::proxyStyleWrapsNamedOrDefaultStyle()
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

QTEST_MAIN(TestFocus)
#include "tst_focus.moc"
