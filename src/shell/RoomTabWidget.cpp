#include "shell/RoomTabWidget.h"

#include <QHash>
#include <QMouseEvent>
#include <QStyleOptionTab>
#include <QStylePainter>
#include <QTabBar>

namespace {

class ChatTabBar : public QTabBar
{
public:
    explicit ChatTabBar(QWidget* parent) : QTabBar(parent) { setMouseTracking(true); }

protected:
    // Every tab added or removed lays out all tabs, asking each one's size: a title is measured
    // once. The cache keeps each title it measured (so that its text buffer, the key, cannot be
    // another title's later) and is emptied when it holds many more titles than there are tabs.
    QSize tabSizeHint(int index) const override
    {
        const QString text = tabText(index);
        auto found = m_sizes.constFind(text.constData());
        if (found == m_sizes.constEnd()) {
            if (m_sizes.size() > 2 * count() + 100)
                m_sizes.clear();
            const QSize button = CloseButtonSize();
            const QSize size =
                QTabBar::tabSizeHint(index) + QSize(button.width() + kButtonPadding, 0);
            found = m_sizes.insert(text.constData(), qMakePair(text, size));
        }
        return found->second;
    }

    // Tabs scroll rather than shrink: no title is cut short.
    QSize minimumTabSizeHint(int index) const override { return tabSizeHint(index); }

    // The label leaves room for the button on the right, as for a button widget.
    void initStyleOption(QStyleOptionTab* option, int index) const override
    {
        QTabBar::initStyleOption(option, index);
        option->rightButtonSize = CloseButtonSize();
    }

    void changeEvent(QEvent* event) override
    {
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
            m_sizes.clear();
        QTabBar::changeEvent(event);
    }

    void paintEvent(QPaintEvent* event) override
    {
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
        const int hovered = CloseButtonAt(event->position().toPoint());
        if (hovered != m_hovered) {
            m_hovered = hovered;
            update();
        }
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

    // Sizes by the title's text buffer; a title gets a new buffer when it is set.
    mutable QHash<const QChar*, QPair<QString, QSize>> m_sizes;
    int m_hovered = -1;
    int m_pressed = -1;
};

} // namespace

RoomTabWidget::RoomTabWidget(QWidget* parent) : QTabWidget(parent)
{
    auto* bar = new ChatTabBar(this);
    setTabBar(bar);
    // The tab widget passes its bar's close requests on only for buttons of its own making.
    connect(bar, &QTabBar::tabCloseRequested, this, &QTabWidget::tabCloseRequested);
    connect(this, &QTabWidget::currentChanged, this, &RoomTabWidget::OnCurrentChanged);
}

void RoomTabWidget::tabInserted(int index)
{
    QTabWidget::tabInserted(index);
    if (index != currentIndex())
        widget(index)->setUpdatesEnabled(false);
}

void RoomTabWidget::OnCurrentChanged(int index)
{
    if (m_shown)
        m_shown->setUpdatesEnabled(false);
    m_shown = widget(index);
    if (m_shown)
        m_shown->setUpdatesEnabled(true);
}
