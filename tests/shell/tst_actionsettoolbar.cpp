// The context tool bar: which set the focus shows, clicks and keys, per-widget texts and hidden
// actions, widgets that go, and the support button.

#include "server/Server.h"
#include "shell/ActionSetToolBar.h"
#include "shell/ShellState.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/StoreGuard.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWidgetAction>

#include <memory>

namespace {

const QStringList kSupportGroup{"", "<spacer>", "[Support Quorvale!]"};

// The bar as the user sees it: action texts, the spacer and the button's text in brackets.
QStringList Shown(const ActionSetToolBar& bar)
{
    QStringList shown;
    for (QAction* action : bar.actions()) {
        QWidget* widget =
            qobject_cast<QWidgetAction*>(action) ? bar.widgetForAction(action) : nullptr;
        if (auto* button = qobject_cast<QPushButton*>(widget))
            shown << "[" + button->text() + "]";
        else if (widget)
            shown << "<spacer>";
        else if (action->isVisible())
            shown << action->text();
    }
    return shown;
}

size_t Count(const char* type)
{
    return d.GetType(type)->ItemCount();
}

// Catches the pages the bar opens instead of a browser.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    UrlCatcher() { QDesktopServices::setUrlHandler("http", this, "Open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("http"); }
    QList<QUrl> opened;

public Q_SLOTS:
    void Open(const QUrl& url) { opened << url; }
};

// A window like the main window's: the bar on top, then an outer tab widget whose first page is
// an inner tab widget holding a room tab (set "room", a line edit and a tree inside), a second
// room tab, and a page that is registered nowhere; beside them a loose line edit.
struct Scene
{
    Scene()
    {
        Settings::CreateData(saver);
        bar = new ActionSetToolBar(&window);
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(bar);
        layout->addWidget(outer);
        layout->addWidget(loose);
        outer->addTab(inner, "Rooms");
        outer->addTab(plain, "Plain");
        inner->addTab(room, "lobby");
        inner->addTab(den, "den");
        auto* roomLayout = new QVBoxLayout(room);
        roomLayout->addWidget(edit);
        roomLayout->addWidget(tree);
        tree->setColumnCount(2);
        tree->setSelectionMode(QAbstractItemView::MultiSelection);
        for (const char* name : {"alpha", "beta", "gamma"})
            new QTreeWidgetItem(tree, {QString(name) + " users", name});

        // Interleaved on purpose: each set keeps the order in which its actions came.
        bar->AddSetAction("room", "enter_room", "Enter Room", ":/icons/room_icon", true);
        bar->AddSetAction("chat", "chat_log", "Chat Log", ":/icons/note_icon", false);
        bar->AddSetAction("room", "refresh", "Refresh", ":/icons/room_icon", false);
        bar->RegisterWidget(room, "room");
        bar->RegisterWidget(den, "room");
        bar->AddWidgetColumnKey(room, "room", 1);
        window.show();
    }

    void Focus(QWidget* widget) { bar->OnApplicationFocusChanged(nullptr, widget); }
    QAction* Action(const QString& text) const
    {
        for (QAction* action : bar->actions()) {
            if (action->text() == text)
                return action;
        }
        return nullptr;
    }

    StoreGuard store;
    DataSaver saver;
    QWidget window;
    ActionSetToolBar* bar;
    QTabWidget* outer = new QTabWidget;
    QTabWidget* inner = new QTabWidget;
    QWidget* room = new QWidget;
    QWidget* den = new QWidget;
    QWidget* plain = new QWidget;
    QLineEdit* edit = new QLineEdit;
    QTreeWidget* tree = new QTreeWidget;
    QLineEdit* loose = new QLineEdit;
};

QStringList RoomSet()
{
    return QStringList{"Enter Room", "Refresh"} + kSupportGroup;
}

} // namespace

class TestActionSetToolBar : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void setFollowsTheFocus_data();
    void setFollowsTheFocus();
    void followsTheApplicationFocus();
    void rebuildsOnlyForAnotherWidgetOrSet_data();
    void rebuildsOnlyForAnotherWidgetOrSet();
    void clickEmitsUnlessSelectionMissing_data();
    void clickEmitsUnlessSelectionMissing();
    void fixedKeysKeepTheirLastValue();
    void widgetTextsAndHiddenActions();
    void destroyedWidgetLeavesNothing_data();
    void destroyedWidgetLeavesNothing();
    void supportButtonCountsDays_data();
    void supportButtonCountsDays();
    void supportPageNamesTheUser_data();
    void supportPageNamesTheUser();
};

void TestActionSetToolBar::setFollowsTheFocus_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("the registered widget") << "room" << RoomSet();
    QTest::newRow("a line edit inside it") << "edit" << RoomSet();
    QTest::newRow("the tab bar two tab widgets above it") << "outer bar" << RoomSet();
    QTest::newRow("the outer tab widget") << "outer" << RoomSet();
    QTest::newRow("a dialog it owns") << "dialog" << RoomSet();
    QTest::newRow("an unregistered widget") << "loose" << kSupportGroup;
    QTest::newRow("the tab bar of an unregistered page") << "plain bar" << kSupportGroup;
}

void TestActionSetToolBar::setFollowsTheFocus()
{
    QFETCH(QString, target);
    QFETCH(QStringList, shown);

    Scene scene;
    QCOMPARE(Shown(*scene.bar), kSupportGroup);
    auto* dialogEdit = new QLineEdit(new QDialog(scene.room));
    const QMap<QString, QWidget*> targets{
        {"room", scene.room},
        {"edit", scene.edit},
        {"outer bar", scene.outer->tabBar()},
        {"outer", scene.outer},
        {"dialog", dialogEdit},
        {"loose", scene.loose},
        {"plain bar", scene.outer->tabBar()},
    };
    if (target == "plain bar")
        scene.outer->setCurrentIndex(1);
    scene.Focus(targets[target]);
    QCOMPARE(Shown(*scene.bar), shown);
}

void TestActionSetToolBar::followsTheApplicationFocus()
{
    Scene scene;
    scene.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&scene.window));
    scene.edit->setFocus();
    QCOMPARE(QApplication::focusWidget(), scene.edit);
    QCOMPARE(Shown(*scene.bar), RoomSet());
    scene.loose->setFocus();
    QCOMPARE(Shown(*scene.bar), kSupportGroup);
}

void TestActionSetToolBar::rebuildsOnlyForAnotherWidgetOrSet_data()
{
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("sameActions");
    QTest::newRow("within one widget") << "tree" << true;
    QTest::newRow("to its tab") << "inner bar" << true;
    QTest::newRow("to another widget of the set") << "den" << false;
    QTest::newRow("after the widget changed sets") << "reregistered" << false;
}

void TestActionSetToolBar::rebuildsOnlyForAnotherWidgetOrSet()
{
    QFETCH(QString, second);
    QFETCH(bool, sameActions);

    Scene scene;
    scene.Focus(scene.edit);
    const QList<QAction*> before = scene.bar->actions();
    if (second == "tree") {
        scene.Focus(scene.tree);
    } else if (second == "inner bar") {
        scene.Focus(scene.inner->tabBar());
    } else if (second == "den") {
        scene.Focus(scene.den);
    } else {
        scene.bar->RegisterWidget(scene.room, "chat");
        scene.Focus(scene.edit);
    }
    QCOMPARE(scene.bar->actions() == before, sameActions);
    QCOMPARE(Shown(*scene.bar),
             second == "reregistered" ? QStringList{"Chat Log"} + kSupportGroup : RoomSet());
    // Every set action on the bar has its record, and no other record exists.
    QCOMPARE(Count("toolbar_action_object"), size_t(scene.bar->actions().size() - 3));
}

void TestActionSetToolBar::clickEmitsUnlessSelectionMissing_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<bool>("emitted");
    QTest::addColumn<QString>("key");
    QTest::newRow("flagged, tree, no selection") << "tree"
                                                 << "Enter Room" << QList<int>{} << false << "";
    QTest::newRow("unflagged, tree, no selection") << "tree"
                                                   << "Refresh" << QList<int>{} << true << "";
    QTest::newRow("flagged, no tree on the focus path")
        << "edit"
        << "Enter Room" << QList<int>{} << true << "";
    QTest::newRow("flagged, one row") << "tree"
                                      << "Enter Room" << QList<int>{2} << true << "gamma";
    QTest::newRow("flagged, two rows: the first")
        << "tree"
        << "Enter Room" << QList<int>{1, 2} << true << "beta";
}

void TestActionSetToolBar::clickEmitsUnlessSelectionMissing()
{
    QFETCH(QString, focus);
    QFETCH(QString, action);
    QFETCH(QList<int>, selected);
    QFETCH(bool, emitted);
    QFETCH(QString, key);

    Scene scene;
    for (int row : selected)
        scene.tree->topLevelItem(row)->setSelected(true);
    scene.Focus(focus == "tree" ? static_cast<QWidget*>(scene.tree->viewport()) : scene.edit);
    QSignalSpy clicks(scene.bar, &ActionSetToolBar::ActionTriggered);
    scene.Action(action)->trigger();

    QCOMPARE(clicks.count(), emitted ? 1 : 0);
    if (emitted) {
        QCOMPARE(clicks.at(0).at(0).value<QWidget*>(), scene.room);
        QCOMPARE(clicks.at(0).at(1).value<std::string>(),
                 action == "Refresh" ? std::string("refresh") : std::string("enter_room"));
    }
    QCOMPARE(scene.bar->GetKey("room"), key);
}

void TestActionSetToolBar::fixedKeysKeepTheirLastValue()
{
    Scene scene;
    QCOMPARE(scene.bar->GetKey("user"), QString());
    scene.bar->AddWidgetKey(scene.room, "user", QString::fromUtf8("Zoë ☕"));
    scene.bar->AddWidgetKey(scene.den, "user", "den's");
    scene.bar->AddWidgetKey(scene.loose, "user", "never registered");

    scene.Focus(scene.edit);
    QCOMPARE(scene.bar->GetKey("user"), QString::fromUtf8("Zoë ☕"));
    scene.Focus(scene.loose);
    QCOMPARE(scene.bar->GetKey("user"), QString::fromUtf8("Zoë ☕"));
    scene.Focus(scene.den);
    QCOMPARE(scene.bar->GetKey("user"), QString("den's"));
}

void TestActionSetToolBar::widgetTextsAndHiddenActions()
{
    Scene scene;
    scene.Focus(scene.edit);
    scene.bar->SetWidgetActionText(scene.room, "refresh", "Refresh lobby");
    scene.bar->SetWidgetActionText(scene.den, "enter_room", "Enter den");
    scene.bar->SetWidgetActionHidden(scene.room, "enter_room", true);
    QCOMPARE(Shown(*scene.bar), QStringList{"Refresh lobby"} + kSupportGroup);

    scene.Focus(scene.den);
    QCOMPARE(Shown(*scene.bar), QStringList({"Enter den", "Refresh"}) + kSupportGroup);

    scene.Focus(scene.room);
    scene.bar->SetWidgetActionHidden(scene.room, "enter_room", false);
    scene.bar->SetWidgetActionText(scene.room, "refresh", "Refresh again");
    QCOMPARE(Shown(*scene.bar), QStringList({"Enter Room", "Refresh again"}) + kSupportGroup);
    // The replaced text was the room's alone.
    d.RemoveDisconnectedItems();
    QCOMPARE(Count("widget_action_text"), size_t(2));
    QCOMPARE(Count("widget_action_hidden"), size_t(0));
}

void TestActionSetToolBar::destroyedWidgetLeavesNothing_data()
{
    QTest::addColumn<bool>("showIsOver");
    QTest::newRow("while running") << false;
    QTest::newRow("during shutdown") << true;
}

void TestActionSetToolBar::destroyedWidgetLeavesNothing()
{
    QFETCH(bool, showIsOver);

    Scene scene;
    scene.bar->AddWidgetKey(scene.room, "room", "lobby");
    scene.bar->SetWidgetActionText(scene.room, "refresh", "Refresh lobby");
    scene.bar->SetWidgetActionText(scene.den, "refresh", "Shared text");
    scene.bar->SetWidgetActionText(scene.room, "enter_room", "Shared text");
    scene.bar->SetWidgetActionHidden(scene.room, "enter_room", true);
    scene.Focus(scene.edit);

    g_showIsOver = showIsOver;
    delete scene.room;
    g_showIsOver = false;

    if (showIsOver) {
        // Nothing reacts while the window is taken down.
        QCOMPARE(Count("toolbar_action_widget"), size_t(2));
        QCOMPARE(Count("widget_action_hidden"), size_t(1));
        return;
    }
    QCOMPARE(Shown(*scene.bar), kSupportGroup);
    QCOMPARE(Count("toolbar_action_widget"), size_t(1));
    QCOMPARE(Count("action_key_value_pair"), size_t(0));
    QCOMPARE(Count("action_key_column_pair"), size_t(0));
    QCOMPARE(Count("widget_action_hidden"), size_t(0));
    QCOMPARE(Count("widget_action_text_pair"), size_t(1));
    // Only the text the other widget also holds is left, and it serves that widget's action only.
    d.RemoveDisconnectedItems();
    QCOMPARE(Count("widget_action_text"), size_t(1));
    scene.Focus(scene.den);
    QCOMPARE(Shown(*scene.bar), QStringList({"Enter Room", "Shared text"}) + kSupportGroup);
}

void TestActionSetToolBar::supportButtonCountsDays_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("half a day less a second") << 43199 << "0 Days Left";
    QTest::newRow("half a day") << 43200 << "1 Days Left";
    QTest::newRow("the largest 32-bit number") << 2147483647 << "24855 Days Left";
    QTest::newRow("none") << 0 << "Support Quorvale!";
    QTest::newRow("negative") << -5 << "Support Quorvale!";
}

void TestActionSetToolBar::supportButtonCountsDays()
{
    QFETCH(int, seconds);
    QFETCH(QString, text);

    Scene scene;
    Server server;
    scene.bar->Init();
    Settings::SetNumber(SettingKeys::PrivilegesTimeLeft, seconds);
    // Read from the store whenever the button is made...
    scene.Focus(scene.edit);
    QCOMPARE(Shown(*scene.bar).last(), "[" + text + "]");
    // ...and set by the server's reply on the button that is there.
    Q_EMIT server.ReceivedOwnPrivilegesStatus(3 * 86400);
    QCOMPARE(Shown(*scene.bar).last(), QString("[3 Days Left]"));
    Q_EMIT server.ReceivedOwnPrivilegesStatus(seconds);
    QCOMPARE(Shown(*scene.bar).last(), "[" + text + "]");
    auto* button =
        qobject_cast<QPushButton*>(scene.bar->widgetForAction(scene.bar->actions().last()));
    QCOMPARE(button->focusPolicy(), Qt::NoFocus);
}

void TestActionSetToolBar::supportPageNamesTheUser_data()
{
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("query");
    QTest::newRow("an ampersand stays in the value") << true << QByteArray("a&b") << "a%26b";
    QTest::newRow("query syntax") << true << QByteArray("x+y=z#w") << "x%2By%3Dz%23w";
    QTest::newRow("Latin-1 name") << true << QByteArray("Zo\xEB x") << "Zo%C3%AB%20x";
    QTest::newRow("no stored name") << false << QByteArray() << "";
}

void TestActionSetToolBar::supportPageNamesTheUser()
{
    QFETCH(bool, stored);
    QFETCH(QByteArray, name);
    QFETCH(QString, query);

    Scene scene;
    if (stored)
        Settings::Set(SettingKeys::Username, name.toStdString());
    UrlCatcher catcher;
    qobject_cast<QPushButton*>(scene.bar->widgetForAction(scene.bar->actions().last()))->click();

    QCOMPARE(catcher.opened.size(), 1);
    QCOMPARE(catcher.opened.at(0).toString(QUrl::FullyEncoded),
             "http://" QV_WEB_HOST "/qtlogin.php?username=" + query);
    // Looking for the name does not make the key.
    QCOMPARE(Settings::HasKey(SettingKeys::Username), stored);
}

QTEST_MAIN(TestActionSetToolBar)
#include "tst_actionsettoolbar.moc"
