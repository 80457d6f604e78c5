#include "shell/RoomTabWidget.h"

#include <QCursor>
#include <QHash>
#include <QMouseEvent>
#include <QStyleOptionTab>
#include <QStylePainter>
#include <QTabBar>

#include <algorithm>
#include <vector>

namespace {

class ChatTabBar : public QTabBar
{
public:
    explicit ChatTabBar(QWidget* parent) : QTabBar(parent) { setMouseTracking(true); }

protected:
    // Qt lays out every tab on each tab added or removed, in sight or not, asking each tab's size
    // twice. Reading a tab's title back costs tens of nanoseconds (its text is shared, elsewhere
    // in memory), which at 10,000 tabs made each tab added cost milliseconds: sizes are kept by
    // tab, in the bar's order, and asking costs an index. A tab is measured when it comes (its
    // title, a user's name, is not set again), and all again after a font or style change.
    QSize tabSizeHint(int index) const override { return Measured()[size_t(index)].size; }

    // Tabs scroll rather than shrink: no title is cut short.
    QSize minimumTabSizeHint(int index) const override { return tabSizeHint(index); }

    // Qt's is the union of the tabs' places, which its tab widget asks on each tab added and
    // each paint: the same, from the sizes kept (no tab here is hidden).
    QSize sizeHint() const override
    {
        if (!Measured().empty() && !m_extent.isValid()) {
            m_extent = QSize(0, 0);
            for (const Tab& tab : m_tabs)
                Extend(tab.size);
        }
        return m_extent.isValid() ? m_extent : QSize(0, 0);
    }

    // Qt adds or removes a tab before it says so here, and may lay the bar out on the way (it
    // always does while the bar is shown): without a layout, the sizes follow here.
    void tabInserted(int index) override
    {
        if (m_tabs.size() + 1 == size_t(count())) {
            m_tabs.insert(m_tabs.begin() + index, Measure(index));
            m_extent = QSize();
        }
        QTabBar::tabInserted(index);
        FollowPointer();
    }

    void tabRemoved(int index) override
    {
        if (m_tabs.size() == size_t(count()) + 1) {
            m_tabs.erase(m_tabs.begin() + index);
            m_extent = QSize();
        }
        QTabBar::tabRemoved(index);
        FollowPointer();
    }

    void tabLayoutChange() override
    {
        QTabBar::tabLayoutChange();
        FollowPointer();
    }

    // Qt styles every tab on each paint of the bar, then skips the tabs out of sight, and
    // styling a tab lays out its title: with thousands of tabs, a paint took longer than the
    // tabs added in its turn. A tab out of sight gets what the bar reads of it then: where it
    // lies and its shape (the tear drawn at the bar's ends). A tab in sight is styled in full,
    // its label leaving room for the close button on the right, as for a button widget.
    void initStyleOption(QStyleOptionTab* option, int index) const override
    {
        const QRect tab = tabRect(index);
        if (Vertical() ? tab.bottom() < 0 || tab.top() > height()
                       : tab.right() < 0 || tab.left() > width()) {
            option->initFrom(this);
            option->rect = tab;
            option->shape = shape();
            option->documentMode = documentMode();
            option->tabIndex = index;
            if (!isTabEnabled(index))
                option->state &= ~QStyle::State_Enabled;
            if (index == currentIndex())
                option->state |= QStyle::State_Selected;
            return;
        }
        QTabBar::initStyleOption(option, index);
        option->rightButtonSize = CloseButtonSize();
    }

    void changeEvent(QEvent* event) override
    {
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
            m_tabs.clear();
            m_extent = QSize();
        }
        QTabBar::changeEvent(event);
    }

    void paintEvent(QPaintEvent* event) override
    {
        // The bar scrolls under a pointer that stays put, and no move says so: the wheel, its
        // arrows, a resize, a new current tab brought into sight. Where the first tab lies and
        // which tab is current (its close button is placed as a selected tab's), against the
        // last paint, tell; this paint shows the button under the pointer then.
        const QPoint first = count() > 0 ? tabRect(0).topLeft() : QPoint();
        if (first != m_paintedFirst || currentIndex() != m_paintedCurrent) {
            m_paintedFirst = first;
            m_paintedCurrent = currentIndex();
            m_hovered = ButtonUnderPointer();
        }
        QTabBar::paintEvent(event);
        QStylePainter painter(this);
        for (int i = 0; i < count(); ++i) {
            // Most tabs lie outside the bar's visible part: skip them before styling.
            if (!tabRect(i).intersects(event->rect()))
                continue;
            const QRect button = CloseButtonRect(i);
            QStyleOption option;
            option.initFrom(this);
            option.rect = button;
            if (i == m_hovered)
                option.state |= QStyle::State_Raised | QStyle::State_MouseOver;
            if (i == m_pressed)
                option.state |= QStyle::State_Sunken;
            if (i == currentIndex())
                option.state |= QStyle::State_Selected;
            painter.drawPrimitive(QStyle::PE_IndicatorTabClose, option);
        }
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        const int index = CloseButtonAt(event->position().toPoint());
        if (index < 0 || event->button() != Qt::LeftButton) {
            QTabBar::mousePressEvent(event);
            return;
        }
        // As on a button widget: the press does not select the tab.
        m_pressed = index;
        update();
    }

    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (m_pressed < 0) {
            QTabBar::mouseReleaseEvent(event);
            return;
        }
        const int pressed = m_pressed;
        m_pressed = -1;
        update();
        if (CloseButtonAt(event->position().toPoint()) == pressed)
            Q_EMIT tabCloseRequested(pressed);
    }

    void mouseMoveEvent(QMouseEvent* event) override
    {
        Hover(CloseButtonAt(event->position().toPoint()));
        QTabBar::mouseMoveEvent(event);
    }

    void leaveEvent(QEvent* event) override
    {
        m_hovered = -1;
        update();
        QTabBar::leaveEvent(event);
    }

private:
    static constexpr int kButtonPadding = 4;

    void Hover(int index)
    {
        if (index != m_hovered) {
            m_hovered = index;
            update();
        }
    }

    // Tabs come, go or move under a pointer that stays put, and no move says so: the close
    // button hovered is the one under the pointer now, as Qt reads it for the tabs' own hover.
    void FollowPointer() { Hover(ButtonUnderPointer()); }

    int ButtonUnderPointer() const
    {
        return underMouse() ? CloseButtonAt(mapFromGlobal(QCursor::pos())) : -1;
    }

    QSize CloseButtonSize() const
    {
        const int width = style()->pixelMetric(QStyle::PM_TabCloseIndicatorWidth, nullptr, this);
        const int height = style()->pixelMetric(QStyle::PM_TabCloseIndicatorHeight, nullptr, this);
        return QSize(width, height);
    }

    QRect CloseButtonRect(int index) const
    {
        QStyleOptionTab option;
        initStyleOption(&option, index);
        return style()->subElementRect(QStyle::SE_TabBarTabRightButton, &option, this);
    }

    int CloseButtonAt(const QPoint& at) const
    {
        const int index = tabAt(at);
        return index >= 0 && CloseButtonRect(index).contains(at) ? index : -1;
    }

    struct Tab
    {
        // Holds the title's text, so that its buffer stays this title's.
        QString title;
        QSize size;
    };

    bool Vertical() const
    {
        return shape() == RoundedWest || shape() == RoundedEast || shape() == TriangularWest ||
               shape() == TriangularEast;
    }

    Tab Measure(int index) const
    {
        const QSize button = CloseButtonSize();
        return {tabText(index),
                QTabBar::tabSizeHint(index) + QSize(button.width() + kButtonPadding, 0)};
    }

    void Extend(const QSize& tab) const
    {
        m_extent =
            Vertical()
                ? QSize(qMax(m_extent.width(), tab.width()), m_extent.height() + tab.height())
                : QSize(m_extent.width() + tab.width(), qMax(m_extent.height(), tab.height()));
    }

    // In step with the bar's tabs. In a layout after tabs came or went, before the bar said
    // which: a tab added at the end, the common case, finds the others where they were;
    // otherwise every tab keeps its size by its title's text buffer (a title gets a new buffer
    // when it is set), or is measured.
    const std::vector<Tab>& Measured() const
    {
        const int tabs = count();
        if (m_tabs.size() == size_t(tabs))
            return m_tabs;
        if (size_t(tabs) == m_tabs.size() + 1 &&
            (tabs == 1 || (tabText(tabs - 2).constData() == m_tabs.back().title.constData() &&
                           tabText(tabs - 1).constData() != m_tabs.back().title.constData()))) {
            m_tabs.push_back(Measure(tabs - 1));
            if (m_extent.isValid())
                Extend(m_tabs.back().size);
            return m_tabs;
        }
        QHash<const QChar*, QSize> known;
        for (const Tab& tab : m_tabs)
            known.insert(tab.title.constData(), tab.size);
        std::vector<Tab> now;
        now.reserve(size_t(tabs));
        for (int i = 0; i < tabs; ++i) {
            QString title = tabText(i);
            const auto found = known.constFind(title.constData());
            now.push_back(found == known.cend() ? Measure(i) : Tab{title, *found});
        }
        m_tabs = std::move(now);
        m_extent = QSize();
        return m_tabs;
    }

    // By tab, in the bar's order; out of step only within a tab's adding or removing.
    mutable std::vector<Tab> m_tabs;
    // The union of the tabs' places; not valid when not known.
    mutable QSize m_extent;
    int m_hovered = -1;
    int m_pressed = -1;
    QPoint m_paintedFirst;
    int m_paintedCurrent = -1;
};

// What a page brings to its tab widget's sizes: Qt takes the largest of each over the pages.
struct PageSizes
{
    explicit PageSizes(const QWidget* page)
        : hint(page->sizeHint()), minimumHint(page->minimumSizeHint()),
          minimum(page->minimumSize()), maximum(page->maximumSize()), policy(page->sizePolicy()),
          heightForWidth(page->hasHeightForWidth())
    {
    }
    bool operator==(const PageSizes& other) const
    {
        return hint == other.hint && minimumHint == other.minimumHint && minimum == other.minimum &&
               maximum == other.maximum && policy == other.policy &&
               heightForWidth == other.heightForWidth;
    }

    QSize hint;
    QSize minimumHint;
    QSize minimum;
    QSize maximum;
    QSizePolicy policy;
    bool heightForWidth;
};

} // namespace

struct RoomTabWidget::Sizes
{
    QSize hint;
    QSize minimumHint;
    // Qt asks it of the page in view.
    bool heightForWidth = false;
    // What they were made of: the bar's sizes and one of each kind of page.
    QSize barHint;
    QSize barMinimumHint;
    std::vector<PageSizes> pages;
};

RoomTabWidget::RoomTabWidget(QWidget* parent) : QTabWidget(parent)
{
    auto* bar = new ChatTabBar(this);
    setTabBar(bar);
    // The tab widget passes its bar's close requests on only for buttons of its own making.
    connect(bar, &QTabBar::tabCloseRequested, this, &QTabWidget::tabCloseRequested);
    connect(this, &QTabWidget::currentChanged, this, &RoomTabWidget::OnCurrentChanged);
}

RoomTabWidget::~RoomTabWidget() = default;

QSize RoomTabWidget::sizeHint() const
{
    return KeptSizes().hint;
}

QSize RoomTabWidget::minimumSizeHint() const
{
    return KeptSizes().minimumHint;
}

bool RoomTabWidget::hasHeightForWidth() const
{
    return KeptSizes().heightForWidth;
}

const RoomTabWidget::Sizes& RoomTabWidget::KeptSizes() const
{
    if (!m_sizes) {
        auto sizes = std::make_unique<Sizes>();
        sizes->hint = QTabWidget::sizeHint();
        sizes->minimumHint = QTabWidget::minimumSizeHint();
        sizes->heightForWidth = QTabWidget::hasHeightForWidth();
        sizes->barHint = BarHint();
        sizes->barMinimumHint = tabBar()->minimumSizeHint();
        for (int i = 0; i < count(); ++i) {
            const PageSizes page(widget(i));
            if (std::find(sizes->pages.begin(), sizes->pages.end(), page) == sizes->pages.end())
                sizes->pages.push_back(page);
        }
        m_sizes = std::move(sizes);
    }
    return *m_sizes;
}

// The bar's preferred size as the tab widget counts it: with scroll buttons, 200 by 200 at most.
QSize RoomTabWidget::BarHint() const
{
    const QSize hint = tabBar()->sizeHint();
    return usesScrollButtons() ? hint.boundedTo(QSize(200, 200)) : hint;
}

void RoomTabWidget::tabInserted(int index)
{
    QTabWidget::tabInserted(index);
    if (index != currentIndex())
        widget(index)->setUpdatesEnabled(false);
    // A page like one before, with the bar counting as before, leaves the sizes as they were.
    if (m_sizes &&
        (BarHint() != m_sizes->barHint || tabBar()->minimumSizeHint() != m_sizes->barMinimumHint ||
         std::find(m_sizes->pages.begin(), m_sizes->pages.end(), PageSizes(widget(index))) ==
             m_sizes->pages.end()))
        m_sizes.reset();
}

void RoomTabWidget::tabRemoved(int index)
{
    m_sizes.reset();
    QTabWidget::tabRemoved(index);
}

void RoomTabWidget::changeEvent(QEvent* event)
{
    m_sizes.reset();
    QTabWidget::changeEvent(event);
}

void RoomTabWidget::OnCurrentChanged(int index)
{
    m_sizes.reset();
    if (m_shown)
        m_shown->setUpdatesEnabled(false);
    m_shown = widget(index);
    if (m_shown)
        m_shown->setUpdatesEnabled(true);
}
