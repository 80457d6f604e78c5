#include "shell/EventToolBar.h"

#include "shell/DisplayText.h"
#include "shell/ShellState.h"
#include "shell/UIFunctions.h"
#include "store/Data.h"
#include "store/Dependency.h"
#include "store/Schema.h"

#include <QApplication>

EventToolBar* eventToolBar = nullptr;

namespace {

constexpr char kEventAction[] = "event_toolbar_action";
constexpr char kEventWidget[] = "event_toolbar_widget";

const SchemaType kTypes[] = {
    {kEventAction, RootPrimacy, false, true, ValueKind::Address},
    {kEventWidget, RootPrimacy, false, true, ValueKind::Address},
};

const SchemaRelation kRelations[] = {
    {kEventAction, kEventWidget, One, One},
};

} // namespace

EventToolBar::EventToolBar(AlertWindow* window, QWidget* parent)
    : QToolBar(parent), m_window(window)
{
    RequireService(window, "The event tool bar", "the main window");
    eventToolBar = this;
    setMovable(false);
    DeclareSchema(MakeSchema(kTypes, kRelations));
    setIconSize(QSize(16, 16));
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    ShowPlaceholder();
    m_blinkTimer.setInterval(kBlinkIntervalMs);
    connect(&m_blinkTimer, &QTimer::timeout, this, &EventToolBar::OnIconAlertTimeout);
    connect(qApp, &QApplication::focusChanged, this, &EventToolBar::OnApplicationFocusChanged);
    hide();
}

EventToolBar::~EventToolBar()
{
    disconnect(qApp, nullptr, this, nullptr);
    // The buttons go with the bar; their items must not outlive them.
    if (Type* actionType = d.HasType(kEventAction)) {
        for (QAction* action : actions()) {
            ItemPtr actionItem = actionType->HasItem(Value(action));
            actionItem[kEventWidget].Remove();
            actionItem.Remove();
        }
    }
    if (eventToolBar == this)
        eventToolBar = nullptr;
}

void EventToolBar::AddEvent(const QString& text, const QString& icon, QWidget* widget,
                            const QString& alert)
{
    // Whatever arrives while the user looks elsewhere joins the blink, shown or not.
    if (!m_window->IsActiveWindow()) {
        if (m_pendingIcons.empty()) {
            m_blinkPosition = 0;
            m_blinkTimer.start();
        }
        m_pendingIcons.insert(icon);
    }
    if (!widget || widget->isVisible())
        return;
    if (!alert.isEmpty())
        m_window->PopupAlert(CellText(alert));
    const Value widgetAddress(widget);
    if (d.GetType(kEventWidget)->HasItem(widgetAddress))
        return;

    if (!m_placeholder && actions().size() >= kMaxButtons) {
        ItemPtr oldest = d.GetType(kEventAction)->HasItem(Value(actions().first()));
        RemoveEvent(oldest[kEventWidget].AsPointer<QWidget>());
    }
    if (m_placeholder) {
        for (QAction* placeholder : actions()) {
            removeAction(placeholder);
            delete placeholder;
        }
        m_placeholder = false;
    }
    // The text names what other users sent or typed: one line, an "&" in it no shortcut, and
    // nothing in it markup where the button's tooltip shows it.
    QAction* action = addAction(QIcon(icon), EscapeMnemonics(CellText(text)));
    action->setToolTip(ToolTipText(text));
    connect(action, &QAction::triggered, this, &EventToolBar::OnActionTriggered);
    d.GetType(kEventAction)->GetItem(Value(action)) +=
        d.GetType(kEventWidget)->GetItem(widgetAddress);
    connect(widget, &QObject::destroyed, this, &EventToolBar::OnWidgetDestroyed,
            Qt::UniqueConnection);
    show();
}

QStringList EventToolBar::PendingIcons() const
{
    return QStringList(m_pendingIcons.begin(), m_pendingIcons.end());
}

void EventToolBar::OnActionTriggered()
{
    if (g_showIsOver)
        return;
    auto* action = qobject_cast<QAction*>(sender());
    ItemPtr actionItem = d.GetType(kEventAction)->HasItem(Value(action));
    ItemPtr widgetItem = actionItem[kEventWidget];
    if (!actionItem || !actions().contains(action))
        return;
    // A widget's item goes when the widget does, so the address still names it.
    auto* widget = widgetItem.AsPointer<QWidget>();

    removeAction(action);
    // The click is still being delivered by this action.
    action->deleteLater();
    if (actions().isEmpty())
        ShowPlaceholder();
    actionItem.Remove();
    widgetItem.Remove();
    if (widget)
        FocusWidgetAndParents(widget);
}

void EventToolBar::OnWidgetDestroyed(QObject* object)
{
    if (g_showIsOver)
        return;
    RemoveEvent(qobject_cast<QWidget*>(object));
}

void EventToolBar::OnIconAlertTimeout()
{
    if (m_pendingIcons.empty())
        return;
    if (m_blinkPosition >= int(m_pendingIcons.size())) {
        m_blinkPosition = 0;
        m_window->ResetApplicationIcon();
        return;
    }
    auto icon = m_pendingIcons.begin();
    std::advance(icon, m_blinkPosition);
    m_window->SetApplicationIcon(*icon);
    ++m_blinkPosition;
}

void EventToolBar::OnApplicationFocusChanged(QWidget*, QWidget*)
{
    // The user is back. Only a running blink can have left a foreign icon up.
    if (!m_blinkTimer.isActive())
        return;
    m_pendingIcons.clear();
    m_blinkTimer.stop();
    m_window->ResetApplicationIcon();
}

void EventToolBar::RemoveEvent(QWidget* widget)
{
    ItemPtr widgetItem = d.GetType(kEventWidget)->HasItem(Value(widget));
    if (!widget || !widgetItem)
        return;
    ItemPtr actionItem = widgetItem[kEventAction];
    auto* action = actionItem.AsPointer<QAction>();
    // Only an action of this bar is ever followed: the address is text in the store.
    if (actions().contains(action)) {
        removeAction(action);
        delete action;
        if (actions().isEmpty())
            ShowPlaceholder();
    }
    widgetItem.Remove();
    actionItem.Remove();
}

void EventToolBar::ShowPlaceholder()
{
    addAction(QString());
    m_placeholder = true;
    hide();
}
