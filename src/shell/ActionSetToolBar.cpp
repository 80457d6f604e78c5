#include "shell/ActionSetToolBar.h"

#include "server/Server.h"
#include "shell/DisplayText.h"
#include "shell/ShellState.h"
#include "shell/Ties.h"
#include "store/Dependency.h"
#include "store/Schema.h"
#include "store/Settings.h"

#include <QApplication>
#include <QDesktopServices>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QUrl>

#include <stdexcept>

ActionSetToolBar* actionBar = nullptr;

namespace {

// Action templates: one set, identifier, order, icon and text each.
constexpr char kSet[] = "toolbar_action_set";
constexpr char kAction[] = "toolbar_action";
constexpr char kId[] = "toolbar_action_id";
constexpr char kOrder[] = "toolbar_action_order";
constexpr char kIcon[] = "toolbar_action_icon";
constexpr char kText[] = "toolbar_action_text";
constexpr char kNeedsSelection[] = "needs_list_selection";
// Registered widgets, by address, with their keys and their own texts and hidden actions.
constexpr char kWidget[] = "toolbar_action_widget";
constexpr char kValuePair[] = "action_key_value_pair";
constexpr char kColumnPair[] = "action_key_column_pair";
constexpr char kKey[] = "action_key";
constexpr char kValue[] = "action_value";
constexpr char kColumn[] = "action_column";
// A key whose value is what the first selected row stands for: the value of the item of one type
// that the row's tie item (of another type) is connected to.
constexpr char kTiePair[] = "action_key_tie_pair";
constexpr char kTieType[] = "action_tie_type";
constexpr char kTiedType[] = "action_tied_type";
// A widget's own text of an action: one pair per widget and action, holding the text. Texts
// are shared value items; linked straight to widgets and identifiers, one text used by two
// widgets for two actions would show up for both actions on both widgets.
constexpr char kTextPair[] = "widget_action_text_pair";
constexpr char kWidgetText[] = "widget_action_text";
constexpr char kHidden[] = "widget_action_hidden";
// The keys' current values: what a pair's value, a column's text or a tie's item holds, of the
// kind its key names (a room's name, a user's).
constexpr char kActiveKey[] = "active_action_key";
constexpr char kActiveValue[] = "active_action_value";
// The set actions now on the bar, by address.
constexpr char kLiveAction[] = "toolbar_action_object";

const SchemaType kTypes[] = {
    {kSet, RootPrimacy, false, true, ValueKind::Word},
    {kAction, RootPrimacy, true, true, ValueKind::None},
    {kId, RootPrimacy, false, true, ValueKind::Word},
    {kOrder, ValuePrimacy, false, true, ValueKind::Number},
    {kIcon, ValuePrimacy, false, true, ValueKind::Word},
    {kText, ValuePrimacy, false, true, ValueKind::Utf8},
    {kNeedsSelection, ValuePrimacy, true, true, ValueKind::None},
    {kWidget, RootPrimacy, false, true, ValueKind::Address},
    {kValuePair, RootPrimacy, true, true, ValueKind::None},
    {kKey, ReachablePrimacy, false, true, ValueKind::Word},
    {kValue, ValuePrimacy, false, true, ValueKind::ByKey},
    {kColumnPair, RootPrimacy, true, true, ValueKind::None},
    {kColumn, ValuePrimacy, false, true, ValueKind::Number},
    {kTiePair, RootPrimacy, true, true, ValueKind::None},
    {kTieType, ValuePrimacy, false, true, ValueKind::Word},
    {kTiedType, ValuePrimacy, false, true, ValueKind::Word},
    {kActiveKey, RootPrimacy, false, true, ValueKind::Word},
    {kActiveValue, ValuePrimacy, false, true, ValueKind::ByKey},
    {kTextPair, RootPrimacy, true, true, ValueKind::None},
    {kWidgetText, ValuePrimacy, false, true, ValueKind::Utf8},
    {kHidden, ValuePrimacy, true, true, ValueKind::None},
    {kLiveAction, ReachablePrimacy, false, true, ValueKind::Address},
};

const SchemaRelation kRelations[] = {
    {kSet, kAction, One, Many},       {kAction, kId, Many, One},
    {kAction, kOrder, Many, One},     {kAction, kIcon, Many, One},
    {kAction, kText, Many, One},      {kAction, kNeedsSelection, Many, One},
    {kAction, kLiveAction, One, One}, {kSet, kWidget, One, Many},
    {kWidget, kValuePair, One, Many}, {kWidget, kColumnPair, One, Many},
    {kWidget, kTextPair, One, Many},  {kWidget, kHidden, One, Many},
    {kValuePair, kKey, Many, One},    {kValuePair, kValue, Many, One},
    {kColumnPair, kKey, Many, One},   {kColumnPair, kColumn, Many, One},
    {kId, kTextPair, One, Many},      {kTextPair, kWidgetText, Many, One},
    {kId, kHidden, One, Many},        {kActiveKey, kActiveValue, Many, One},
    {kWidget, kTiePair, One, Many},   {kTiePair, kKey, Many, One},
    {kTiePair, kTieType, Many, One},  {kTiePair, kTiedType, Many, One},
};

constexpr qint64 kSecondsPerDay = 86400;

Type* T(const char* name)
{
    return d.GetType(name);
}

// Typed or shown text as the bytes a value of that type is kept as.
Value Stored(const char* type, const QString& text)
{
    return Value(StoredBytes(T(type), text));
}

// Tab widgets and their tab bars stand for their current page, through any depth of tab
// widgets nested as pages of each other.
QWidget* CurrentPageBelow(QWidget* widget)
{
    for (;;) {
        if (auto* tabs = qobject_cast<QTabWidget*>(widget)) {
            if (!tabs->currentWidget())
                return widget;
            widget = tabs->currentWidget();
        } else if (auto* bar = qobject_cast<QTabBar*>(widget)) {
            auto* tabs = qobject_cast<QTabWidget*>(bar->parentWidget());
            if (!tabs || tabs->tabBar() != bar || !tabs->currentWidget())
                return widget;
            widget = tabs->currentWidget();
        } else {
            return widget;
        }
    }
}

} // namespace

ActionSetToolBar::ActionSetToolBar(QWidget* parent) : QToolBar(parent)
{
    actionBar = this;
    setMovable(false);
    setContextMenuPolicy(Qt::PreventContextMenu);
    setIconSize(QSize(16, 16));
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    connect(qApp, &QApplication::focusChanged, this, &ActionSetToolBar::OnApplicationFocusChanged);
    DeclareSchema(MakeSchema(kTypes, kRelations));
    AddSupportQuorvaleButton();
}

ActionSetToolBar::~ActionSetToolBar()
{
    disconnect(qApp, nullptr, this, nullptr);
    // The bar's actions go with it; their records must not outlive them.
    if (Type* live = d.HasType(kLiveAction)) {
        for (QAction* action : actions())
            live->HasItem(Value(action)).Remove();
    }
    if (actionBar == this)
        actionBar = nullptr;
}

void ActionSetToolBar::Init()
{
    RequireService(gp_server, "The context tool bar", "the server connection");
    connect(gp_server, &Server::ReceivedOwnPrivilegesStatus, this,
            &ActionSetToolBar::OnReceivedOwnPrivilegesStatus);
}

void ActionSetToolBar::AddSetAction(const std::string& setName, const std::string& id,
                                    const std::string& text, const std::string& icon,
                                    bool needsListSelection)
{
    // Receivers tell actions apart by identifier alone, not by the widget or set a click came
    // from: an identifier that two actions shared would run both receivers' work on one click.
    if (ItemPtr taken = T(kId)->HasItem(Value(id))[kAction]) {
        throw std::logic_error("the tool bar action \"" + id + "\" of set \"" + setName +
                               "\" is already an action of set \"" + taken[kSet].AsString() + "\"");
    }
    ItemPtr action = T(kSet)->GetItem(Value(setName)).NewItem(kAction);
    action += T(kId)->GetItem(Value(id));
    action += T(kIcon)->GetItem(Value(icon));
    action += T(kText)->GetItem(Value(text));
    // One counter for every set, so that each set shows its actions in the order they came.
    action += T(kOrder)->GetItem(Value(m_orderCounter++));
    if (needsListSelection)
        action.NewItem(kNeedsSelection);
}

void ActionSetToolBar::RegisterWidget(QWidget* widget, const QString& setName)
{
    if (!widget)
        return;
    T(kWidget)->GetItem(Value(widget)) += T(kSet)->GetItem(Stored(kSet, setName));
    connect(widget, &QObject::destroyed, this, &ActionSetToolBar::OnWidgetDestroyed,
            Qt::UniqueConnection);
}

void ActionSetToolBar::AddWidgetKey(QWidget* widget, const QString& key, const QString& value)
{
    AddWidgetKeyBytes(widget, key, StoredBytes(T(kValue), value));
}

void ActionSetToolBar::AddWidgetKeyBytes(QWidget* widget, const QString& key,
                                         const std::string& value)
{
    // A pair of a widget never registered would never be looked up: none is made.
    ItemPtr registration = Registration(widget);
    if (!registration)
        return;
    ItemPtr pair = T(kValuePair)->NewItem();
    pair += T(kKey)->GetItem(Stored(kKey, key));
    pair += T(kValue)->GetItem(Value(value));
    pair += registration;
}

void ActionSetToolBar::AddWidgetColumnKey(QWidget* widget, const QString& key, int column)
{
    ItemPtr registration = Registration(widget);
    if (!registration)
        return;
    ItemPtr pair = T(kColumnPair)->NewItem();
    pair += T(kKey)->GetItem(Stored(kKey, key));
    pair += T(kColumn)->GetItem(Value(column));
    pair += registration;
}

void ActionSetToolBar::AddWidgetTieKey(QWidget* widget, const QString& key, const char* tieType,
                                       const char* tiedType)
{
    ItemPtr registration = Registration(widget);
    if (!registration)
        return;
    ItemPtr pair = T(kTiePair)->NewItem();
    pair += T(kKey)->GetItem(Stored(kKey, key));
    pair += T(kTieType)->GetItem(Value(tieType));
    pair += T(kTiedType)->GetItem(Value(tiedType));
    pair += registration;
}

QString ActionSetToolBar::GetKey(const QString& key) const
{
    return Shown(T(kActiveValue), GetKeyBytes(key));
}

std::string ActionSetToolBar::GetKeyBytes(const QString& key) const
{
    return T(kActiveKey)->HasItem(Stored(kActiveKey, key))[kActiveValue].AsString();
}

void ActionSetToolBar::SetWidgetActionText(QWidget* widget, const QString& id, const QString& text)
{
    ItemPtr registration = Registration(widget);
    ItemPtr identifier = Identifier(id);
    if (!registration || !identifier)
        return;
    ItemPtr pair = d.GetItem(registration, identifier, kTextPair);
    if (!pair) {
        pair = T(kTextPair)->NewItem();
        pair += registration;
        pair += identifier;
    }
    // Replaces the text the pair held; the sweep takes a text that nothing holds any more.
    pair += T(kWidgetText)->GetItem(Stored(kWidgetText, text));
    if (widget == m_widget) {
        for (QAction* action : LiveActions(identifier))
            action->setText(text);
    }
}

void ActionSetToolBar::SetWidgetActionHidden(QWidget* widget, const QString& id, bool hidden)
{
    ItemPtr registration = Registration(widget);
    ItemPtr identifier = Identifier(id);
    if (!registration || !identifier)
        return;
    ItemPtr marker = d.GetItem(registration, identifier, kHidden);
    if (hidden && !marker) {
        marker = T(kHidden)->NewItem();
        marker += registration;
        marker += identifier;
    } else if (!hidden) {
        marker.Remove();
    }
    if (widget == m_widget) {
        for (QAction* action : LiveActions(identifier))
            action->setVisible(!hidden);
    }
}

void ActionSetToolBar::ChangeSet(QWidget* widget, const char* setName)
{
    if (widget == m_widget && m_setName == setName)
        return;
    m_widget = widget;
    m_setName = setName;
    // The bar keeps serving the widget's actions until it learns the widget is gone.
    if (widget)
        connect(widget, &QObject::destroyed, this, &ActionSetToolBar::OnWidgetDestroyed,
                Qt::UniqueConnection);
    ClearAndDeleteActions();

    ItemPtr registration = Registration(widget);
    ItemSet templates = T(kSet)->HasItem(Value(setName)).GetItems(kAction);
    for (Item* t : templates.SortNumericBy(kOrder, true)) {
        ItemPtr action(t);
        ItemPtr identifier = action[kId];
        ItemPtr own = d.GetItem(registration, identifier, kTextPair)[kWidgetText];
        QAction* shown = addAction(QIcon(Shown(action[kIcon])), Shown(own ? own : action[kText]));
        if (d.GetItem(registration, identifier, kHidden))
            shown->setVisible(false);
        connect(shown, &QAction::triggered, this, &ActionSetToolBar::OnActionTriggered);
        T(kLiveAction)->GetItem(Value(shown)) += action;
    }
    AddSupportQuorvaleButton();
}

void ActionSetToolBar::Clear()
{
    m_setName.clear();
    ClearAndDeleteActions();
}

void ActionSetToolBar::ClearAndDeleteActions()
{
    Type* live = T(kLiveAction);
    for (QAction* action : actions()) {
        removeAction(action);
        live->HasItem(Value(action)).Remove();
        // The click being handled may come from this very action.
        action->deleteLater();
    }
    m_supportButton = nullptr;
}

void ActionSetToolBar::AddSupportQuorvaleButton()
{
    addAction(QString());
    auto* spacer = new QWidget(this);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    addWidget(spacer);

    qint64 secondsLeft = 0;
    // Before start-up declared the settings there is nothing to read.
    if (d.HasType(SettingsTypes::Global) && Settings::HasKey(SettingKeys::PrivilegesTimeLeft))
        secondsLeft = Settings::Int64(SettingKeys::PrivilegesTimeLeft);
    auto* button = new QPushButton(SupportText(secondsLeft), this);
    // A click must leave the focus, and so the bar, where it was.
    button->setFocusPolicy(Qt::NoFocus);
    connect(button, &QPushButton::clicked, this, &ActionSetToolBar::OnSupportQuorvaleButtonClicked);
    addWidget(button);
    m_supportButton = button;
}

QString ActionSetToolBar::SupportText(qint64 secondsLeft)
{
    if (secondsLeft <= 0)
        return QStringLiteral("Support Quorvale!");
    // Rounded to the nearest day, halves up. In 64 bits: the seconds may be anything up to the
    // largest 32-bit number, and the half day added on top must not wrap.
    return QStringLiteral("%1 Days Left").arg((secondsLeft + kSecondsPerDay / 2) / kSecondsPerDay);
}

void ActionSetToolBar::OnApplicationFocusChanged(QWidget*, QWidget* now)
{
    if (g_showIsOver || m_busy || !now)
        return;
    // Rebuilding the bar may move the focus again; those moves change nothing.
    m_busy = true;

    m_tree = nullptr;
    QWidget* registered = nullptr;
    ItemPtr registration;
    // Parents across windows too: a dialog's widgets use the set of the widget that owns it.
    for (QWidget* at = CurrentPageBelow(now); at; at = at->parentWidget()) {
        registration = Registration(at);
        if (!m_tree)
            m_tree = qobject_cast<QTreeWidget*>(at);
        if (registration) {
            registered = at;
            break;
        }
    }

    if (!registered) {
        ShowSupportGroupOnly();
    } else {
        m_registration = registration;
        ChangeSet(registered, registration[kSet].AsCStr());
        for (Item* pair : registration.GetItems(kValuePair))
            SetActiveKey(ItemPtr(pair)[kKey].AsString(), ItemPtr(pair)[kValue].AsString());
    }
    m_busy = false;
}

void ActionSetToolBar::OnActionTriggered(bool)
{
    ItemPtr action = T(kLiveAction)->HasItem(Value(sender()))[kAction];
    if (!action)
        return;
    if (m_tree) {
        const QList<QTreeWidgetItem*> rows = m_tree->selectedItems();
        if (rows.isEmpty()) {
            if (action.IsConnected(kNeedsSelection))
                return;
        } else {
            for (Item* pair : m_registration.GetItems(kColumnPair)) {
                const int column = ItemPtr(pair)[kColumn].AsInt();
                SetActiveKey(ItemPtr(pair)[kKey].AsString(),
                             StoredBytes(T(kActiveValue), rows.first()->text(column)));
            }
            for (Item* pair : m_registration.GetItems(kTiePair)) {
                const ItemPtr tie = Ties::Find(ItemPtr(pair)[kTieType].AsCStr(),
                                               rows.first())[ItemPtr(pair)[kTiedType].AsCStr()];
                SetActiveKey(ItemPtr(pair)[kKey].AsString(), tie.AsString());
            }
        }
    }
    Q_EMIT ActionTriggered(m_widget, action[kId].AsString());
}

void ActionSetToolBar::OnWidgetDestroyed(QObject* object)
{
    if (g_showIsOver)
        return;
    if (object == m_widget) {
        Clear();
        AddSupportQuorvaleButton();
        m_widget = nullptr;
        m_registration = nullptr;
    }
    // Widgets are named by address: a later widget at this one's address must not find its
    // keys, texts or hidden actions.
    ForgetWidget(Value(object));
}

void ActionSetToolBar::OnSupportQuorvaleButtonClicked()
{
    QString name;
    if (d.HasType(SettingsTypes::Global) && Settings::HasKey(SettingKeys::Username))
        name = Shown(SettingKeys::Username);
    // The name is one query value, whatever it holds: "&", "=", "#" or "+" in it are escaped
    // rather than read as the address's own syntax.
    const QByteArray encoded = QUrl::toPercentEncoding(name);
    QUrl page(QStringLiteral("http://" QV_WEB_HOST "/qtlogin.php"));
    page.setQuery(QStringLiteral("username=") + QString::fromLatin1(encoded), QUrl::StrictMode);
    QDesktopServices::openUrl(page);
}

void ActionSetToolBar::OnReceivedOwnPrivilegesStatus(int secondsLeft)
{
    if (m_supportButton)
        m_supportButton->setText(SupportText(secondsLeft));
}

ItemPtr ActionSetToolBar::Registration(const QWidget* widget) const
{
    return widget ? T(kWidget)->HasItem(Value(widget)) : ItemPtr();
}

ItemPtr ActionSetToolBar::Identifier(const QString& id) const
{
    return T(kId)->HasItem(Stored(kId, id));
}

void ActionSetToolBar::SetActiveKey(const std::string& key, const std::string& value)
{
    T(kActiveKey)->GetItem(Value(key)) += T(kActiveValue)->GetItem(Value(value));
}

QList<QAction*> ActionSetToolBar::LiveActions(ItemPtr id) const
{
    QList<QAction*> found;
    Type* live = T(kLiveAction);
    for (QAction* action : actions()) {
        if (live->HasItem(Value(action))[kAction][kId] == id)
            found << action;
    }
    return found;
}

void ActionSetToolBar::ForgetWidget(const Value& address)
{
    ItemPtr registration = T(kWidget)->HasItem(address);
    if (!registration)
        return;
    if (registration == m_registration)
        m_registration = nullptr;
    registration.GetItems(kValuePair).Remove();
    registration.GetItems(kColumnPair).Remove();
    registration.GetItems(kTiePair).Remove();
    registration.GetItems(kHidden).Remove();
    registration.GetItems(kTextPair).Remove();
    registration.Remove();
}

void ActionSetToolBar::ShowSupportGroupOnly()
{
    // Focus moving among unregistered widgets finds the bar already so.
    if (m_setName.empty() && m_supportButton && actions().size() == 3)
        return;
    Clear();
    AddSupportQuorvaleButton();
}
