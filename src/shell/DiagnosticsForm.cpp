#include "shell/DiagnosticsForm.h"

#include "server/ServerSchema.h"
#include "shell/DisplayText.h"
#include "store/Data.h"
#include "store/Log.h"

#include "ui_DiagnosticsForm.h"

#include <QEvent>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include <algorithm>

DiagnosticsForm* diagnosticsForm = nullptr;

namespace {

// The page's own types: a log category by its name with the tab that shows it, and the row of a
// tracked user.
constexpr char kLog[] = "log";
constexpr char kLogWidget[] = "log_widget";
constexpr char kTrackUserNode[] = "track_user_node";

QString StatusText(const Item* user)
{
    return user->IsConnected(ServerTypes::IsOnline) ? QStringLiteral("Online")
                                                    : QStringLiteral("Offline");
}

// Removes the item of that type holding the object's address, if there is one.
template <class T> void RemoveAddressItem(const char* typeName, T* object)
{
    if (Type* type = d.HasType(typeName))
        type->HasItem(Value(object)).Remove();
}

} // namespace

DiagnosticsForm::DiagnosticsForm(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui_DiagnosticsForm>())
{
    diagnosticsForm = this;
    ui->setupUi(this);
    ui->trackedUsersTree->setColumnCount(2);
    ui->trackedUsersTree->setHeaderLabels({QStringLiteral("User"), QString()});
    ui->trackedUsersTree->setColumnWidth(0, 300);
    ui->trackedUsersTree->setColumnWidth(1, 100);

    d.NewType(kLog, RootPrimacy, false, true, ValueKind::Word);
    d.NewType(kLogWidget, RootPrimacy, false, true, ValueKind::Address);
    d.GetType(kLog)->RelateToType(kLogWidget, One, One);

    connect(LogHub::Instance(), &LogHub::LineLogged, this, &DiagnosticsForm::OnLineLogged);
}

DiagnosticsForm::~DiagnosticsForm()
{
    // A line logged while the child widgets go must not reach a page half taken down, nor a
    // store event a handler of it.
    disconnect(LogHub::Instance(), nullptr, this, nullptr);
    RemoveDataHandlers();

    for (int i = 0; i < ui->logTabWidget->count(); ++i)
        RemoveAddressItem(kLogWidget, ui->logTabWidget->widget(i));
    for (int i = 0; i < ui->trackedUsersTree->topLevelItemCount(); ++i)
        RemoveAddressItem(kTrackUserNode, ui->trackedUsersTree->topLevelItem(i));

    if (diagnosticsForm == this)
        diagnosticsForm = nullptr;
}

void DiagnosticsForm::Init()
{
    d.NewType(kTrackUserNode, RootPrimacy, false, true, ValueKind::Address);
    d.GetType(kTrackUserNode)->RelateToType(ServerTypes::User, One, One);

    const struct
    {
        const char* flag;
        PathNodeRelation relation;
        void (DiagnosticsForm::*handler)(Item*);
    } watches[] = {
        {ServerTypes::IsTracked, PathConnected, &DiagnosticsForm::OnUserTracked},
        {ServerTypes::IsTracked, PathDisconnected, &DiagnosticsForm::OnUserUntracked},
        {ServerTypes::IsOnline, PathConnected, &DiagnosticsForm::OnUserOnline},
        {ServerTypes::IsOnline, PathDisconnected, &DiagnosticsForm::OnUserOffline},
    };
    for (const auto& watch : watches) {
        auto* root = new PathNode(&d, ServerTypes::User);
        new PathNode(root, watch.flag, watch.relation);
        d.AddPathEventHandler(root, NewEventHandler(this, watch.handler));
    }
}

void DiagnosticsForm::Log(const QString& category, int level, const QString& message,
                          const ItemPtr& item)
{
    // Through the hub like every other line, so that every subscriber sees it; the page gets it
    // back from there.
    ::Log(category, level, message, item);
}

void DiagnosticsForm::RegisterLoggableItemType(const std::string&) {}

void DiagnosticsForm::OnLineLogged(const QString& category, const QString& line)
{
    // The tab is made at once, so that tabs keep the order of their first lines.
    QPlainTextEdit* view = CategoryView(category);
    auto pending = std::find_if(m_pending.begin(), m_pending.end(),
                                [view](const PendingLines& p) { return p.view == view; });
    if (pending == m_pending.end())
        pending = m_pending.insert(m_pending.end(), PendingLines{view, {}});
    pending->lines.append(line);
    if (pending->lines.size() > kMaxLogLinesPerCategory)
        pending->lines.removeFirst();
    if (!m_showPosted) {
        m_showPosted = true;
        QMetaObject::invokeMethod(this, &DiagnosticsForm::ShowPendingLines, Qt::QueuedConnection);
    }
}

void DiagnosticsForm::ShowPendingLines()
{
    m_showPosted = false;
    // A tab nobody sees keeps its lines until it is shown: laying out a line costs as much
    // hidden as shown, and answers, transfers and scans log by the hundred a second.
    AppendPendingLines(nullptr);
}

bool DiagnosticsForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Show)
        AppendPendingLines(watched);
    return QWidget::eventFilter(watched, event);
}

void DiagnosticsForm::AppendPendingLines(const QObject* only)
{
    // Taken out first: appending may log, and the lines logged then wait for the next turn.
    std::vector<PendingLines> due;
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        const bool now = it->view && (only ? it->view == only : it->view->isVisible());
        if (it->view && !now) {
            ++it;
            continue;
        }
        if (now)
            due.push_back(std::move(*it));
        it = m_pending.erase(it);
    }
    for (const PendingLines& p : due) {
        // One block per line: the lines hold no line breaks of their own (Log escapes them).
        if (p.view)
            p.view->appendPlainText(p.lines.join(QLatin1Char('\n')));
    }
}

QPlainTextEdit* DiagnosticsForm::CategoryView(const QString& category)
{
    Type* logs = d.GetType(kLog);
    ItemPtr logItem = logs->GetItem(Value(StoredBytes(logs, category)));
    // An address is only followed when it names one of this page's own tabs: it is plain text in
    // a store that any code can change.
    auto* known = logItem[kLogWidget].AsPointer<QWidget>();
    if (known && ui->logTabWidget->indexOf(known) >= 0) {
        if (auto* view = qobject_cast<QPlainTextEdit*>(known))
            return view;
    }

    // Log text is data: names and paths from peers must never turn into markup or images.
    auto* view = new QPlainTextEdit(this);
    view->setReadOnly(true);
    // Also turns the undo history off, which would otherwise keep every line ever added.
    view->setMaximumBlockCount(kMaxLogLinesPerCategory);
    view->installEventFilter(this);
    ui->logTabWidget->addTab(view, category);
    logItem += d.GetType(kLogWidget)->GetItem(Value(view));
    return view;
}

QTreeWidgetItem* DiagnosticsForm::TrackedRow(Item* user) const
{
    auto* row = ItemPtr(user)[kTrackUserNode].AsPointer<QTreeWidgetItem>();
    if (!row || ui->trackedUsersTree->indexOfTopLevelItem(row) < 0)
        return nullptr;
    return row;
}

void DiagnosticsForm::OnUserTracked(Item* user)
{
    // A user has one row, however often the tracking is told.
    QTreeWidgetItem* row = TrackedRow(user);
    if (!row) {
        row = new QTreeWidgetItem(ui->trackedUsersTree);
        row->setText(0, CellText(Shown(user)));
        ItemPtr(user) += d.GetType(kTrackUserNode)->GetItem(Value(row));
    }
    row->setText(1, StatusText(user));
}

void DiagnosticsForm::OnUserUntracked(Item* user)
{
    ItemPtr node = ItemPtr(user)[kTrackUserNode];
    delete TrackedRow(user);
    node.Remove();
}

void DiagnosticsForm::OnUserOnline(Item* user)
{
    ShowStatus(user);
}

void DiagnosticsForm::OnUserOffline(Item* user)
{
    ShowStatus(user);
}

void DiagnosticsForm::ShowStatus(Item* user)
{
    // Users without a row are not tracked, and their status is none of the page's business.
    if (QTreeWidgetItem* row = TrackedRow(user))
        row->setText(1, StatusText(user));
}
