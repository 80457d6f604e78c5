#include "ViewPlace.h"

#include <QEvent>
#include <QScrollBar>
#include <QTreeWidget>

#include <algorithm>
#include <utility>

namespace {

// Rows a change moves the row held by, looked through around where it was before the whole
// list is: a step puts in or takes out a few hundred.
constexpr int kNearRows = 1024;

} // namespace

ViewPlace& ViewPlace::Of(QTreeWidget* list)
{
    auto* place = list->findChild<ViewPlace*>(QString(), Qt::FindDirectChildrenOnly);
    return place ? *place : *new ViewPlace(list);
}

ViewPlace::ViewPlace(QTreeWidget* list) : QObject(list), m_list(list)
{
    QScrollBar* bar = list->verticalScrollBar();
    Take(bar->value());
    // The range comes before the value brought into it.
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int minimum, int maximum) {
        m_clamping = bar->value() < minimum || bar->value() > maximum;
    });
    connect(bar, &QScrollBar::valueChanged, this, [this](int value) {
        const bool clamped = std::exchange(m_clamping, false);
        if (!m_keeping && (!clamped || m_key))
            Take(value);
    });
    // A click, a drag or the wheel that leaves the value as it was still puts the view there:
    // at the bottom, say, which the rows coming after it then move.
    connect(bar, &QScrollBar::actionTriggered, this, [this, bar] { Take(bar->sliderPosition()); });
    connect(bar, &QScrollBar::sliderReleased, this, [this, bar] { Take(bar->sliderPosition()); });
    // End with the view at the bottom already moves the current row and no value.
    connect(list->selectionModel(), &QItemSelectionModel::currentChanged, this, [this, bar] {
        if (m_key)
            Take(bar->value());
    });
    list->installEventFilter(this);
    list->viewport()->installEventFilter(this);
    bar->installEventFilter(this);
}

bool ViewPlace::eventFilter(QObject* watched, QEvent* event)
{
    // A key is over once released, or once anything that lays the list out comes: its paint,
    // its layout's timer, a resize, other input. Its own handling may move the focus.
    switch (event->type()) {
    case QEvent::KeyPress:
        m_key = watched == m_list;
        break;
    case QEvent::KeyRelease:
    case QEvent::Paint:
    case QEvent::Timer:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::LayoutRequest:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove:
    case QEvent::Wheel:
        m_key = false;
        break;
    default:
        break;
    }
    return false;
}

bool ViewPlace::Holds(const QTreeWidgetItem* row) const
{
    return m_kind == Kind::Row && m_row == row;
}

void ViewPlace::Goes(QTreeWidgetItem* next, int at)
{
    if (next) {
        HoldRow(next, at);
    } else {
        m_kind = Kind::Value;
        m_row = nullptr;
        m_at = at;
    }
}

void ViewPlace::RowsGo(const std::function<bool(const QTreeWidgetItem*)>& gone)
{
    if (m_kind != Kind::Row || !gone(m_row))
        return;
    const int at = RowAt();
    if (at < 0)
        return;
    int next = at + 1;
    while (next < m_list->topLevelItemCount() && gone(m_list->topLevelItem(next)))
        ++next;
    // The rows before it that go take the next one to where the row held is now.
    Goes(m_list->topLevelItem(next), at);
}

void ViewPlace::Keep()
{
    m_key = false;
    if (m_list->verticalScrollMode() != QAbstractItemView::ScrollPerItem)
        return;
    const int end = End();
    int value = 0;
    if (m_kind == Kind::Row) {
        const int at = RowAt();
        // Gone without a word (deleted by its owner): the value it had is kept.
        if (at < 0)
            Goes(nullptr, m_at);
        else
            m_at = at;
    }
    if (m_kind == Kind::Bottom)
        value = end;
    else if (m_kind != Kind::Top)
        value = std::min(m_at, end);
    // The list sets the same range when it lays itself out, later: set now, the bar holds the
    // value and answers the user's drag to its end meanwhile.
    QScrollBar* bar = m_list->verticalScrollBar();
    m_keeping = true;
    if (bar->maximum() != end)
        bar->setRange(0, end);
    bar->setValue(value);
    m_keeping = false;
}

void ViewPlace::Settle()
{
    if (m_kind == Kind::Value && m_at <= End())
        HoldRow(m_list->topLevelItem(m_at), m_at);
}

void ViewPlace::Take(int value)
{
    const QScrollBar* bar = m_list->verticalScrollBar();
    QTreeWidgetItem* row = m_list->topLevelItem(value);
    if (value <= 0)
        m_kind = Kind::Top;
    else if (value >= bar->maximum() || !row)
        m_kind = Kind::Bottom;
    else
        HoldRow(row, value);
}

void ViewPlace::HoldRow(QTreeWidgetItem* row, int at)
{
    m_kind = row ? Kind::Row : Kind::Top;
    m_row = row;
    m_at = at;
}

int ViewPlace::RowAt() const
{
    const int count = m_list->topLevelItemCount();
    for (int d = 0; d <= kNearRows; ++d) {
        for (int at : {m_at - d, m_at + d}) {
            if (at >= 0 && at < count && m_list->topLevelItem(at) == m_row)
                return at;
        }
    }
    return m_list->indexOfTopLevelItem(m_row);
}

int ViewPlace::End() const
{
    const QScrollBar* bar = m_list->verticalScrollBar();
    return std::max(0, m_list->topLevelItemCount() - bar->pageStep());
}
