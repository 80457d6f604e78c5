#pragma once

#include "shell/ShellServices.h"

#include <QString>
#include <QTimer>
#include <QToolBar>

#include <set>

// What the event tool bar needs of the main window: its application icon, its tray balloon and
// whether the user is looking at it. The main window implements it.
class AlertWindow
{
public:
    virtual ~AlertWindow() = default;
    // Makes the icon at that resource path the application's icon.
    virtual void SetApplicationIcon(const QString& icon) = 0;
    // Puts back the icon of the connection state.
    virtual void ResetApplicationIcon() = 0;
    // A tray balloon with that text, where there is a tray.
    virtual void PopupAlert(const QString& text) = 0;
    virtual bool IsActiveWindow() const = 0;
};

// The row of news the user has not looked at: one button per widget that has something new (a
// chat tab that got a message while hidden, a finished download). A click brings the widget to
// the front and removes its button. While the window is not active the application icon blinks
// through the icons of the news that arrived meanwhile, until the focus moves.
//
// Each button is tied to its widget in the store by "event_toolbar_action" and
// "event_toolbar_widget" items holding their addresses, which go with the button.
class EventToolBar : public QToolBar
{
    Q_OBJECT

public:
    static constexpr int kBlinkIntervalMs = 1000;
    // Buttons kept: every change lays out all of them again (and lists those that do not fit in
    // the overflow menu, at a cost that grows with the square of their number), and thousands
    // of users writing at once make one each. Beyond this, the oldest button goes.
    static constexpr int kMaxButtons = 100;

    explicit EventToolBar(AlertWindow* window, QWidget* parent = nullptr);
    ~EventToolBar() override;

    // text: the button's and its tooltip's, shown as written: plain, on one line ("&" and
    // markup included; CellText); icon: a resource path; alert: a tray balloon's text, or empty
    // for none.
    // A widget that is visible gets no button, nor one more while it has one; a button more than
    // kMaxButtons takes the place of the oldest.
    void AddEvent(const QString& text, const QString& icon, QWidget* widget, const QString& alert);
    // Forms call this when the widget comes into view.
    void RemoveEvent(QWidget* widget);

    // The icons the blink goes through, in its order.
    QStringList PendingIcons() const;
    const QTimer& BlinkTimer() const { return m_blinkTimer; }

public Q_SLOTS:
    void OnActionTriggered();
    void OnWidgetDestroyed(QObject* object);
    void OnIconAlertTimeout();
    void OnApplicationFocusChanged(QWidget* old, QWidget* now);

private:
    void ShowPlaceholder();

    AlertWindow* m_window;
    bool m_placeholder = false;
    std::set<QString> m_pendingIcons;
    int m_blinkPosition = 0;
    QTimer m_blinkTimer;
};
