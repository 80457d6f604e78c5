// The event tool bar: one button per hidden widget with news, clicks that bring the widget to the
// front, widgets that go, and the blinking application icon.

#include "shell/EventToolBar.h"
#include "shell/ShellState.h"
#include "store/Data.h"
#include "support/StoreGuard.h"

#include <QTabWidget>
#include <QTest>
#include <QVBoxLayout>

namespace {

// The main window's side of the bar, recorded.
class FakeWindow : public AlertWindow
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
struct Scene
{
    Scene()
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
    static size_t Count(const char* type) { return d.GetType(type)->ItemCount(); }

    StoreGuard store;
    FakeWindow window;
    QWidget shown;
    EventToolBar* bar = new EventToolBar(&window);
    QTabWidget* outer = new QTabWidget;
    QWidget* front = new QWidget;
    QTabWidget* inner = new QTabWidget;
    QWidget* innerFront = new QWidget;
    QWidget* chat = new QWidget;
};

} // namespace

class TestEventToolBar : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void postingDependsOnWidgetAndWindow_data();
    void postingDependsOnWidgetAndWindow();
    void lastButtonGoneHidesTheBar();
    void destroyedWidgetTakesItsButton_data();
    void destroyedWidgetTakesItsButton();
    void clickBringsTheWidgetThroughNestedTabs();
    void pendingIconsBlinkUntilTheFocusMoves();
};

void TestEventToolBar::postingDependsOnWidgetAndWindow_data()
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

void TestEventToolBar::postingDependsOnWidgetAndWindow()
{
    QFETCH(bool, visible);
    QFETCH(bool, active);
    QFETCH(QStringList, buttons);
    QFETCH(QStringList, alerts);
    QFETCH(QStringList, pending);

    Scene scene;
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
    QCOMPARE(Scene::Count("event_toolbar_widget"), size_t(visible ? 0 : 1));
}

void TestEventToolBar::lastButtonGoneHidesTheBar()
{
    Scene scene;
    scene.bar->RemoveEvent(scene.chat);
    scene.bar->AddEvent("ann", ":/icons/chat_icon", scene.chat, QString());
    scene.bar->AddEvent("done", ":/icons/download_icon", scene.innerFront, QString());
    scene.bar->RemoveEvent(scene.chat);
    QCOMPARE(scene.Buttons(), QStringList{"done"});
    scene.bar->RemoveEvent(scene.innerFront);
    QCOMPARE(scene.Buttons(), QStringList{""});
    QVERIFY(!scene.bar->isVisible());
    QCOMPARE(scene.window.alerts, QStringList{});
    QCOMPARE(Scene::Count("event_toolbar_action"), size_t(0));
    // The placeholder makes way again for the next button.
    scene.bar->AddEvent("bob", ":/icons/chat_icon", scene.chat, QString());
    QCOMPARE(scene.Buttons(), QStringList{"bob"});
}

void TestEventToolBar::destroyedWidgetTakesItsButton_data()
{
    QTest::addColumn<bool>("showIsOver");
    QTest::newRow("while running") << false;
    QTest::newRow("during shutdown") << true;
}

void TestEventToolBar::destroyedWidgetTakesItsButton()
{
    QFETCH(bool, showIsOver);

    Scene scene;
    scene.bar->AddEvent("ann", ":/icons/chat_icon", scene.chat, QString());
    g_showIsOver = showIsOver;
    delete scene.chat;
    g_showIsOver = false;

    QCOMPARE(scene.Buttons(), showIsOver ? QStringList{"ann"} : QStringList{""});
    QCOMPARE(scene.bar->isVisible(), showIsOver);
    QCOMPARE(Scene::Count("event_toolbar_widget"), size_t(showIsOver ? 1 : 0));
    QCOMPARE(Scene::Count("event_toolbar_action"), size_t(showIsOver ? 1 : 0));
}

void TestEventToolBar::clickBringsTheWidgetThroughNestedTabs()
{
    Scene scene;
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
    QCOMPARE(Scene::Count("event_toolbar_widget"), size_t(1));
    QCOMPARE(Scene::Count("event_toolbar_action"), size_t(1));

    scene.bar->actions().first()->trigger();
    QCOMPARE(scene.inner->currentWidget(), scene.innerFront);
    QCOMPARE(scene.Buttons(), QStringList{""});
    QVERIFY(!scene.bar->isVisible());
}

void TestEventToolBar::pendingIconsBlinkUntilTheFocusMoves()
{
    Scene scene;
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

QTEST_MAIN(TestEventToolBar)
#include "tst_eventtoolbar.moc"
