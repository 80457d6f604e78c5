#include "ChatView.h"

#include "shell/DisplayText.h"
#include "shell/SettingsDefaults.h"
#include "store/Clock.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"

#include <QAbstractTextDocumentLayout>
#include <QColor>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocumentFragment>

namespace {

// A colour setting as markup: parsed, so that whatever the store holds, only a colour name goes
// into the line; one that does not parse reads as its default.
QString Colour(const SettingKey& key)
{
    const QColor colour = QColor::fromString(Shown(key));
    return (colour.isValid() ? colour : SettingsDefaults::DefaultColour(key)).name();
}

QString Font(const SettingKey& colour, const QString& markup)
{
    return QStringLiteral("<font color=\"") + Colour(colour) + QStringLiteral("\">") + markup +
           QStringLiteral("</font>");
}

bool ActivityBased()
{
    return Settings::Is(SettingKeys::ChatTimestamps, "activity_based");
}

} // namespace

ChatView::ChatView(ChatLog::Kind kind, const std::string& name, QWidget* parent)
    : QTextBrowser(parent), m_kind(kind), m_name(name), m_lastLine(Clock::Now()),
      m_lastLineMs(Clock::MonotonicMs())
{
    setObjectName(QStringLiteral("chatView"));
    setOpenLinks(false);
    setOpenExternalLinks(false);
    // Trimmed lines must really go, not wait in an undo history.
    document()->setUndoRedoEnabled(false);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &ChatView::OnScrolled);
    connect(verticalScrollBar(), &QScrollBar::rangeChanged, this, &ChatView::OnRangeChanged);
}

namespace {

// A line's text as it shows: what is kept of it, and the note of what was left out.
struct ShownLine
{
    QString kept;
    QString note;
    // Whether the end was cut inside a word (an address, say).
    bool wordCut = false;
};

ShownLine ShowLine(const QString& text)
{
    const LaidOutText shown = BoundedForLayout(text, ChatView::kMaxShownLineChars, 0);
    ShownLine line{shown.text, QString(), false};
    if (shown.end == text.size() && shown.marksLeftOut == 0)
        return line;
    // Characters, not units: a pair of units left out is one character.
    qint64 left = shown.marksLeftOut;
    for (qsizetype i = shown.end; i < text.size(); ++i)
        left += i > 0 && text.at(i).isLowSurrogate() && text.at(i - 1).isHighSurrogate() ? 0 : 1;
    if (shown.end == text.size()) {
        line.note = QStringLiteral(" [%1 characters not shown]").arg(CommafyNumber(left));
        return line;
    }
    line.note = QStringLiteral(" \u2026 [%1 more characters not shown]").arg(CommafyNumber(left));
    line.wordCut =
        !line.kept.isEmpty() && !line.kept.back().isSpace() && !text.at(shown.end).isSpace();
    return line;
}

// The text as it shows, its web addresses made links. An address the cut ends inside would
// link to an address nobody sent: the word the cut ends in shows as it is, unlinked.
QString LineMarkup(const QString& text)
{
    const ShownLine line = ShowLine(text);
    qsizetype linked = line.kept.size();
    while (line.wordCut && linked > 0 && !line.kept.at(linked - 1).isSpace())
        --linked;
    return ConvertLinks(line.kept.left(linked)) + EscapeHTML(line.kept.mid(linked) + line.note);
}

} // namespace

QString ChatView::ShownText(const QString& text)
{
    const ShownLine line = ShowLine(text);
    return line.kept + line.note;
}

QString ChatView::ChatMarkup(const QDateTime& time, const QString& user, const QString& text)
{
    QString stamp;
    if (Settings::Is(SettingKeys::ChatTimestamps, "per_message_short"))
        stamp = time.toString(QStringLiteral("h:mm:ss"));
    else if (Settings::Is(SettingKeys::ChatTimestamps, "per_message_long"))
        stamp = ChatLog::LongTime(time);
    QString line;
    if (!stamp.isEmpty())
        line = QLatin1Char('[') + Font(SettingKeys::ColorChatTimestamp, stamp) + QLatin1Char(']');
    return line + QLatin1Char('[') +
           Font(SettingKeys::ColorChatUsername, ConvertLinks(CellText(user))) +
           QStringLiteral("] ") + LineMarkup(text);
}

QString ChatView::StatusMarkup(const QString& text)
{
    return QStringLiteral("* ") + Font(SettingKeys::ColorChatStatus, LineMarkup(text));
}

ChatView::Line ChatView::AddChat(const std::string& user, const std::string& text)
{
    const QString name = OneLineText(NameText(user));
    const QString said = OneLineText(Utf8Text(text));
    const QString trimmed = said.trimmed();
    if (trimmed.startsWith(QStringLiteral("/me "))) {
        const QString action = name + QLatin1Char(' ') + trimmed.mid(4).trimmed();
        AddStatusMessage(action);
        ChatLog::Append(m_kind, m_name, ChatLog::MeLine(Clock::Now(), action));
        return Line::Me;
    }

    const QDateTime now = Clock::Now();
    m_lastLine = now;
    m_lastLineMs = Clock::MonotonicMs();
    if (!m_active) {
        m_active = true;
        if (ActivityBased())
            AddStatusMessage(QStringLiteral("Chat started ") + ChatLog::LongTime(now));
    }
    AppendLine(ChatMarkup(now, name, said), true);
    ChatLog::Append(m_kind, m_name, ChatLog::ChatLine(now, name, said));
    return Line::Chat;
}

void ChatView::AddStatusMessage(const QString& text)
{
    AppendLine(StatusMarkup(OneLineText(text)), false);
}

void ChatView::CheckChatInactivity()
{
    if (!m_active || Clock::MonotonicMs() - m_lastLineMs < kInactivityMs)
        return;
    m_active = false;
    if (ActivityBased())
        AddStatusMessage(QStringLiteral("Chat ended ") + ChatLog::LongTime(m_lastLine));
}

void ChatView::AppendLine(const QString& html, bool trim)
{
    if (trim && m_markupChars > kMaxMarkupChars)
        Trim();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    // One edit, laid out once.
    cursor.beginEditBlock();
    // Plain formats for the new paragraph: nothing of the line before (a link at its end, say)
    // carries over.
    if (!m_lineChars.empty())
        cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    cursor.insertFragment(QTextDocumentFragment::fromHtml(html, document()));
    cursor.endEditBlock();
    m_lineChars.push_back(html.size());
    m_markupChars += html.size();
}

void ChatView::Trim()
{
    // Whole lines only, oldest first: a cut inside a line could cut inside its markup.
    int lines = 0;
    qint64 removed = 0;
    while (removed < kTrimChars && !m_lineChars.empty()) {
        removed += m_lineChars.front();
        m_lineChars.pop_front();
        ++lines;
    }
    m_markupChars -= removed;
    if (m_lineChars.empty()) {
        document()->clear();
        return;
    }
    const QTextBlock first = document()->findBlockByNumber(lines);
    QTextCursor cut(document());
    cut.setPosition(first.position(), QTextCursor::KeepAnchor);
    // What the user reads stays in place: the view moves up by what went above it.
    const int height =
        m_followEnd ? 0 : int(document()->documentLayout()->blockBoundingRect(first).top());
    cut.removeSelectedText();
    if (!m_followEnd) {
        m_scrolling = true;
        verticalScrollBar()->setValue(qMax(0, verticalScrollBar()->value() - height));
        m_scrolling = false;
    }
}

void ChatView::ScrollToEnd()
{
    m_scrolling = true;
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    m_scrolling = false;
}

void ChatView::OnScrolled(int value)
{
    if (!m_scrolling)
        m_followEnd = value >= verticalScrollBar()->maximum();
}

void ChatView::OnRangeChanged()
{
    // The document grew, or was laid out anew for another width (a hidden tab shown again, or
    // laid out late): a view that showed the end shows it again.
    if (m_followEnd)
        ScrollToEnd();
}
