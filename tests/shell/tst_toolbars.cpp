// The tool bars: the context tool bar (which set the focus shows, clicks and keys, per-widget
// texts and hidden actions, widgets that go, the support button) and the event tool bar (one
// button per hidden widget with news, clicks that bring the widget to the front, widgets that
// go, the blinking application icon).

#include "server/Server.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/EventToolBar.h"
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
#include <QTextBlock>
#include <QTextDocument>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWidgetAction>

#include <memory>
#include <stdexcept>

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
struct BarScene
{
    BarScene()
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

// The main window's side of the bar, recorded.
class FakeAlertWindow : public AlertWindow
{
public:
    void SetApplicationIcon(const QString& icon) override { icons << icon; }
    void ResetApplicationIcon() override { icons << "normal"; }
    void PopupAlert(const QString& text) override { alerts << text; }
    bool IsActiveWindow() const override { return active; }

    bool active = true;
    QStringList icons;
    QStringList alerts;
};

// A window with the bar and an outer tab widget: its front page, and behind it an inner tab
// widget whose front page hides the chat tab that gets the news.
struct EventScene
{
    EventScene()
    {
        auto* layout = new QVBoxLayout(&shown);
        layout->addWidget(bar);
        layout->addWidget(outer);
        outer->addTab(front, "front");
        outer->addTab(inner, "inner");
        inner->addTab(innerFront, "inner front");
        inner->addTab(chat, "chat");
        shown.show();
    }

    QStringList Buttons() const
    {
        QStringList texts;
        for (QAction* action : bar->actions())
            texts << action->text();
        return texts;
    }

    StoreGuard store;
    FakeAlertWindow window;
    QWidget shown;
    EventToolBar* bar = new EventToolBar(&window);
    QTabWidget* outer = new QTabWidget;
    QWidget* front = new QWidget;
    QTabWidget* inner = new QTabWidget;
    QWidget* innerFront = new QWidget;
    QWidget* chat = new QWidget;
};

QStringList RoomSet()
{
    return QStringList{"Enter Room", "Refresh"} + kSupportGroup;
}

} // namespace

class tst_ToolBars : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void setFollowsTheFocus_data();
    void setFollowsTheFocus();
    void followsTheApplicationFocus();
    void rebuildsOnlyForAnotherWidgetOrSet_data();
    void rebuildsOnlyForAnotherWidgetOrSet();
    void anIdentifierNamesOneAction_data();
    void anIdentifierNamesOneAction();
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
    void postingDependsOnWidgetAndWindow_data();
    void postingDependsOnWidgetAndWindow();
    void buttonGoesWithItsWidget_data();
    void buttonGoesWithItsWidget();
    void buttonsShowTheirTextAsWritten_data();
    void buttonsShowTheirTextAsWritten();
    void oldestButtonMakesWayBeyondTheCap_data();
    void oldestButtonMakesWayBeyondTheCap();
    void clickBringsTheWidgetThroughNestedTabs();
    void pendingIconsBlinkUntilTheFocusMoves();
};

void tst_ToolBars::setFollowsTheFocus_data()
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

void tst_ToolBars::setFollowsTheFocus()
{
    QFETCH(QString, target);
    QFETCH(QStringList, shown);

    BarScene scene;
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

void tst_ToolBars::followsTheApplicationFocus()
{
    BarScene scene;
    scene.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&scene.window));
    scene.edit->setFocus();
    QCOMPARE(QApplication::focusWidget(), scene.edit);
    QCOMPARE(Shown(*scene.bar), RoomSet());
    scene.loose->setFocus();
    QCOMPARE(Shown(*scene.bar), kSupportGroup);
}

void tst_ToolBars::rebuildsOnlyForAnotherWidgetOrSet_data()
{
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("sameActions");
    QTest::newRow("within one widget") << "tree" << true;
    QTest::newRow("to its tab") << "inner bar" << true;
    QTest::newRow("to another widget of the set") << "den" << false;
    QTest::newRow("after the widget changed sets") << "reregistered" << false;
}

void tst_ToolBars::rebuildsOnlyForAnotherWidgetOrSet()
{
    QFETCH(QString, second);
    QFETCH(bool, sameActions);

    BarScene scene;
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

void tst_ToolBars::anIdentifierNamesOneAction_data()
{
    QTest::addColumn<QString>("set");
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("refused");
    QTest::newRow("a new identifier") << "room"
                                      << "leave_room" << false;
    QTest::newRow("one of the same set") << "room"
                                         << "refresh" << true;
    QTest::newRow("one of another set") << "room"
                                        << "chat_log" << true;
    QTest::newRow("one of another set, in a new set") << "lobby"
                                                      << "enter_room" << true;
}

// Receivers act on an identifier whichever set it came from: one that two actions shared would
// make one click do both actions' work.
void tst_ToolBars::anIdentifierNamesOneAction()
{
    QFETCH(QString, set);
    QFETCH(QString, id);
    QFETCH(bool, refused);

    BarScene scene;
    const size_t actions = Count("toolbar_action");
    bool threw = false;
    try {
        scene.bar->AddSetAction(set.toStdString(), id.toStdString(), "Added", ":/icons/room_icon",
                                false);
    } catch (const std::logic_error&) {
        threw = true;
    }
    QCOMPARE(threw, refused);
    QCOMPARE(Count("toolbar_action"), actions + (refused ? 0 : 1));
    // A refused action leaves the sets as they were.
    const QStringList added = QStringList{"Enter Room", "Refresh", "Added"} + kSupportGroup;
    scene.Focus(scene.edit);
    QCOMPARE(Shown(*scene.bar), set == "room" && !refused ? added : RoomSet());
}

void tst_ToolBars::clickEmitsUnlessSelectionMissing_data()
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

void tst_ToolBars::clickEmitsUnlessSelectionMissing()
{
    QFETCH(QString, focus);
    QFETCH(QString, action);
    QFETCH(QList<int>, selected);
    QFETCH(bool, emitted);
    QFETCH(QString, key);

    BarScene scene;
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

void tst_ToolBars::fixedKeysKeepTheirLastValue()
{
    BarScene scene;
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

void tst_ToolBars::widgetTextsAndHiddenActions()
{
    BarScene scene;
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

void tst_ToolBars::destroyedWidgetLeavesNothing_data()
{
    QTest::addColumn<bool>("showIsOver");
    QTest::newRow("while running") << false;
    QTest::newRow("during shutdown") << true;
}

void tst_ToolBars::destroyedWidgetLeavesNothing()
{
    QFETCH(bool, showIsOver);

    BarScene scene;
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

void tst_ToolBars::supportButtonCountsDays_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("half a day less a second") << 43199 << "0 Days Left";
    QTest::newRow("half a day") << 43200 << "1 Days Left";
    QTest::newRow("the largest 32-bit number") << 2147483647 << "24855 Days Left";
    QTest::newRow("none") << 0 << "Support Quorvale!";
    QTest::newRow("negative") << -5 << "Support Quorvale!";
}

void tst_ToolBars::supportButtonCountsDays()
{
    QFETCH(int, seconds);
    QFETCH(QString, text);

    BarScene scene;
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

void tst_ToolBars::supportPageNamesTheUser_data()
{
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("query");
    QTest::newRow("an ampersand stays in the value") << true << QByteArray("a&b") << "a%26b";
    QTest::newRow("query syntax") << true << QByteArray("x+y=z#w") << "x%2By%3Dz%23w";
    QTest::newRow("Latin-1 name") << true << QByteArray("Zo\xEB x") << "Zo%C3%AB%20x";
    QTest::newRow("no stored name") << false << QByteArray() << "";
}

void tst_ToolBars::supportPageNamesTheUser()
{
    QFETCH(bool, stored);
    QFETCH(QByteArray, name);
    QFETCH(QString, query);

    BarScene scene;
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

void tst_ToolBars::postingDependsOnWidgetAndWindow_data()
{
    QTest::addColumn<bool>("visible");
    QTest::addColumn<bool>("active");
    QTest::addColumn<QStringList>("buttons");
    QTest::addColumn<QStringList>("alerts");
    QTest::addColumn<QStringList>("pending");
    const QStringList twice{"from ann", "from ann"};
    QTest::newRow("hidden, window active: a button, no blink")
        << false << true << QStringList{"ann"} << twice << QStringList{};
    QTest::newRow("hidden, window inactive: a button and a blink")
        << false << false << QStringList{"ann"} << twice << QStringList{":/icons/chat_icon"};
    QTest::newRow("visible, window inactive: only the blink")
        << true << false << QStringList{""} << QStringList{} << QStringList{":/icons/chat_icon"};
    QTest::newRow("visible, window active: nothing")
        << true << true << QStringList{""} << QStringList{} << QStringList{};
}

void tst_ToolBars::postingDependsOnWidgetAndWindow()
{
    QFETCH(bool, visible);
    QFETCH(bool, active);
    QFETCH(QStringList, buttons);
    QFETCH(QStringList, alerts);
    QFETCH(QStringList, pending);

    EventScene scene;
    scene.window.active = active;
    QWidget* widget = visible ? scene.front : scene.chat;
    // Twice, the second time with another text: still one button, the first one.
    scene.bar->AddEvent("ann", ":/icons/chat_icon", widget, "from ann");
    scene.bar->AddEvent("ann again", ":/icons/chat_icon", widget, "from ann");

    QCOMPARE(scene.Buttons(), buttons);
    QCOMPARE(scene.bar->isVisible(), !visible);
    QCOMPARE(scene.window.alerts, alerts);
    QCOMPARE(scene.bar->PendingIcons(), pending);
    QCOMPARE(scene.bar->BlinkTimer().isActive(), !active);
    QCOMPARE(Count("event_toolbar_widget"), size_t(visible ? 0 : 1));
}

void tst_ToolBars::buttonGoesWithItsWidget_data()
{
    QTest::addColumn<bool>("destroyed"); // else removed
    QTest::addColumn<bool>("showIsOver");
    QTest::newRow("removed") << false << false;
    QTest::newRow("destroyed while running") << true << false;
    QTest::newRow("destroyed during shutdown") << true << true;
}

void tst_ToolBars::buttonGoesWithItsWidget()
{
    QFETCH(bool, destroyed);
    QFETCH(bool, showIsOver);

    EventScene scene;
    scene.bar->RemoveEvent(scene.chat);
    scene.bar->AddEvent("ann", ":/icons/chat_icon", scene.chat, QString());
    scene.bar->AddEvent("done", ":/icons/download_icon", scene.innerFront, QString());
    scene.bar->RemoveEvent(scene.innerFront);
    QCOMPARE(scene.Buttons(), QStringList{"ann"});
    if (destroyed) {
        g_showIsOver = showIsOver;
        delete scene.chat;
        g_showIsOver = false;
    } else {
        scene.bar->RemoveEvent(scene.chat);
    }
    // Nothing reacts while the window is taken down.
    QCOMPARE(scene.Buttons(), showIsOver ? QStringList{"ann"} : QStringList{""});
    QCOMPARE(scene.bar->isVisible(), showIsOver);
    QCOMPARE(Count("event_toolbar_widget"), size_t(showIsOver ? 1 : 0));
    QCOMPARE(Count("event_toolbar_action"), size_t(showIsOver ? 1 : 0));
    QCOMPARE(scene.window.alerts, QStringList{});
    if (showIsOver)
        return;
    // The placeholder makes way again for the next button.
    scene.bar->AddEvent("bob", ":/icons/chat_icon", scene.innerFront, QString());
    QCOMPARE(scene.Buttons(), QStringList{"bob"});
}

void tst_ToolBars::buttonsShowTheirTextAsWritten_data()
{
    // What another user chose, and how the button and its tooltip read: plain, on one line.
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    const QString markup = "<img src=x width=900 height=600><b>boss</b>";
    QTest::newRow("markup") << markup << markup;
    QTest::newRow("ampersands") << "R&B &&"
                                << "R&B &&";
    QTest::newRow("an entity") << "&lt;b&gt;"
                               << "&lt;b&gt;";
    QTest::newRow("line breaks") << "a\nb\r\nc\u2028d\u2029e"
                                 << "a b  c d e";
    QTest::newRow("direction controls") << "\u202eevil\u2066x\u2069"
                                        << "\ufffdevil\ufffdx\ufffd";
    QTest::newRow("long") << QString(3 * kMaxCellChars, 'w')
                          << QString(kMaxCellChars - 1, 'w') + "\u2026";
}

void tst_ToolBars::buttonsShowTheirTextAsWritten()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);

    EventScene scene;
    scene.bar->AddEvent(text, ":/icons/chat_icon", scene.chat, text);
    QCOMPARE(scene.Buttons(), QStringList{EscapeMnemonics(shown)});
    QCOMPARE(scene.bar->actions().first()->iconText(), shown);
    QCOMPARE(scene.window.alerts, QStringList{shown});
    // The tooltip as a tooltip takes it: markup when it looks like markup.
    const QString tip = scene.bar->widgetForAction(scene.bar->actions().first())->toolTip();
    QTextDocument document;
    if (Qt::mightBeRichText(tip))
        document.setHtml(tip);
    else
        document.setPlainText(tip);
    QCOMPARE(document.toPlainText(), shown);
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            QVERIFY(!it.fragment().charFormat().isImageFormat());
            QCOMPARE(it.fragment().charFormat().fontWeight(), int(QFont::Normal));
        }
    }
}

void tst_ToolBars::oldestButtonMakesWayBeyondTheCap_data()
{
    QTest::addColumn<int>("widgets");
    QTest::newRow("at the cap") << EventToolBar::kMaxButtons;
    QTest::newRow("one over: the oldest goes") << EventToolBar::kMaxButtons + 1;
}

void tst_ToolBars::oldestButtonMakesWayBeyondTheCap()
{
    QFETCH(int, widgets);

    EventScene scene;
    QStringList expected;
    for (int i = 0; i < widgets; ++i) {
        scene.bar->AddEvent(QString::number(i), ":/icons/chat_icon", new QWidget(scene.chat), "");
        expected << QString::number(i);
    }
    expected = expected.mid(widgets - EventToolBar::kMaxButtons);
    QCOMPARE(scene.Buttons(), expected);
    QCOMPARE(Count("event_toolbar_widget"), size_t(expected.size()));
    QCOMPARE(Count("event_toolbar_action"), size_t(expected.size()));
}

void tst_ToolBars::clickBringsTheWidgetThroughNestedTabs()
{
    EventScene scene;
    scene.bar->AddEvent("ann", ":/icons/chat_icon", scene.chat, QString());
    scene.bar->AddEvent("done", ":/icons/download_icon", scene.innerFront, QString());
    QAction* ann = scene.bar->actions().first();

    g_showIsOver = true;
    ann->trigger();
    g_showIsOver = false;
    QCOMPARE(scene.Buttons(), QStringList({"ann", "done"}));

    ann->trigger();
    QCOMPARE(scene.outer->currentWidget(), scene.inner);
    QCOMPARE(scene.inner->currentWidget(), scene.chat);
    QCOMPARE(scene.Buttons(), QStringList{"done"});
    QCOMPARE(Count("event_toolbar_widget"), size_t(1));
    QCOMPARE(Count("event_toolbar_action"), size_t(1));

    scene.bar->actions().first()->trigger();
    QCOMPARE(scene.inner->currentWidget(), scene.innerFront);
    QCOMPARE(scene.Buttons(), QStringList{""});
    QVERIFY(!scene.bar->isVisible());
}

void tst_ToolBars::pendingIconsBlinkUntilTheFocusMoves()
{
    EventScene scene;
    scene.window.active = false;
    scene.bar->AddEvent("ann", ":/icons/chat_icon", scene.chat, QString());
    scene.bar->AddEvent("done", ":/icons/download_icon", scene.innerFront, QString());
    // The same icon again blinks as one.
    scene.bar->AddEvent("bob", ":/icons/chat_icon", scene.front, QString());
    QCOMPARE(scene.bar->BlinkTimer().interval(), 1000);
    QVERIFY(scene.bar->BlinkTimer().isActive());

    for (int tick = 0; tick < 6; ++tick)
        scene.bar->OnIconAlertTimeout();
    const QStringList cycle{":/icons/chat_icon", ":/icons/download_icon", "normal"};
    QCOMPARE(scene.window.icons, cycle + cycle);

    scene.bar->OnIconAlertTimeout();
    scene.window.icons.clear();
    scene.bar->OnApplicationFocusChanged(nullptr, scene.front);
    QCOMPARE(scene.window.icons, QStringList{"normal"});
    QVERIFY(!scene.bar->BlinkTimer().isActive());
    QVERIFY(scene.bar->PendingIcons().isEmpty());
    scene.bar->OnIconAlertTimeout();
    QCOMPARE(scene.window.icons, QStringList{"normal"});

    // The next blink starts from its first icon.
    scene.bar->AddEvent("eve", ":/icons/download_icon", scene.chat, QString());
    scene.bar->OnIconAlertTimeout();
    QCOMPARE(scene.window.icons.last(), QString(":/icons/download_icon"));
}

QTEST_MAIN(tst_ToolBars)
#include "tst_toolbars.moc"
