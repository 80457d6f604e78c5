#include "ChatLogForm.h"

#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/ModalDialogs.h"
#include "shell/SettingsDefaults.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellServices.h"
#include "shell/ShellTypes.h"
#include "shell/Ties.h"
#include "shell/UIFunctions.h"
#include "store/Settings.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kSearchFocusPriority = 1;

LiveSet& LiveForms()
{
    static LiveSet forms;
    return forms;
}

// Characters that the text editor would start a new line or paragraph at. Logs hold what peers
// said; one of these inside a line would let them pose as further lines.
bool BreaksLine(QChar c)
{
    const char16_t u = c.unicode();
    return u == u'\n' || u == u'\r' || u == QChar::LineSeparator ||
           u == QChar::ParagraphSeparator || u == 0xfdd0 || u == 0xfdd1; // frame marks
}

// The view lines of the text's lines: each trimmed at both ends, its breaks made blanks, and
// joined by "\n" for QPlainTextEdit. A last line end adds no empty line. In place: a view line
// is never longer than its log line.
QString ViewLines(QString text)
{
    QChar* out = text.data();
    const QChar* in = out;
    const QChar* const end = in + text.size();
    bool first = true;
    while (in < end) {
        const QChar* lineEnd = std::find(in, end, QLatin1Char('\n'));
        const QChar* from = in;
        const QChar* to = lineEnd;
        while (from < to && from->isSpace())
            ++from;
        while (to > from && (to - 1)->isSpace())
            --to;
        if (!first)
            *out++ = QLatin1Char('\n');
        first = false;
        for (; from < to; ++from)
            *out++ = BreaksLine(*from) ? QLatin1Char(' ') : *from;
        in = lineEnd == end ? end : lineEnd + 1;
    }
    text.truncate(out - text.constData());
    return text;
}

QColor SettingColour(const SettingKey& key)
{
    const QColor colour = QColor::fromString(Shown(key));
    return colour.isValid() ? colour : SettingsDefaults::DefaultColour(key);
}

// Searches run with the editor's updates off: it repaints once, when they are done.
class UpdatesOff
{
public:
    explicit UpdatesOff(QWidget* widget) : m_widget(widget) { widget->setUpdatesEnabled(false); }
    ~UpdatesOff() { m_widget->setUpdatesEnabled(true); }
    UpdatesOff(const UpdatesOff&) = delete;
    UpdatesOff& operator=(const UpdatesOff&) = delete;

private:
    QWidget* m_widget;
};

} // namespace

ChatLogForm::ChatLogForm(const QString& path, QWidget* parent)
    : QWidget(parent), m_bar(RequireActionBar("The chat log viewer")), m_path(path),
      m_searchEdit(new QLineEdit(this)), m_searchBackButton(new QPushButton(this)),
      m_searchForwardButton(new QPushButton(this)), m_logEdit(new QPlainTextEdit(this))
{
    LiveForms().Insert(this);
    m_searchEdit->setObjectName(QStringLiteral("searchEdit"));
    m_searchBackButton->setObjectName(QStringLiteral("searchBackButton"));
    m_searchBackButton->setIcon(QIcon(QStringLiteral(":/icons/back_icon")));
    m_searchBackButton->setEnabled(false);
    m_searchForwardButton->setObjectName(QStringLiteral("searchForwardButton"));
    m_searchForwardButton->setIcon(QIcon(QStringLiteral(":/icons/forward_icon")));
    m_searchForwardButton->setEnabled(false);
    m_logEdit->setObjectName(QStringLiteral("logEdit"));
    m_logEdit->setReadOnly(true);
    auto* search = new QHBoxLayout;
    search->addStretch();
    search->addWidget(m_searchEdit);
    search->addWidget(m_searchBackButton);
    search->addWidget(m_searchForwardButton);
    auto* column = new QVBoxLayout;
    column->addLayout(search);
    column->addWidget(m_logEdit);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(column);
    connect(m_searchEdit, &QLineEdit::textChanged, this, &ChatLogForm::OnSearchTextChanged);
    connect(m_searchBackButton, &QPushButton::clicked, this, &ChatLogForm::OnSearchBack);
    connect(m_searchForwardButton, &QPushButton::clicked, this, &ChatLogForm::OnSearchForward);
    RegisterWidgetForTabFocus(m_searchEdit, kSearchFocusPriority);
    Load();

    m_bar.RegisterWidget(this, QString::fromLatin1(ShellActions::ChatLogSet));
    connect(&m_bar, &ActionSetToolBar::ActionTriggered, this, &ChatLogForm::OnActionTriggered);
}

ChatLogForm::~ChatLogForm()
{
    LiveForms().Erase(this);
    Ties::Remove(ShellTypes::ChatLogForm, this);
}

ChatLogForm* ChatLogForm::FromItem(ItemPtr item)
{
    return LiveForms().Follow<ChatLogForm>(item);
}

void ChatLogForm::Load()
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QByteArray bytes;
    if (file.size() > kMaxShownBytes) {
        file.seek(file.size() - kMaxShownBytes);
        bytes = file.read(kMaxShownBytes);
        const qsizetype newline = bytes.indexOf('\n');
        bytes.remove(0, newline < 0 ? bytes.size() : newline + 1);
    } else {
        bytes = file.readAll();
    }
    m_logEdit->setPlainText(ViewLines(QString::fromUtf8(bytes)));
}

void ChatLogForm::AddLine(const QString& line)
{
    QString shown = line.trimmed();
    for (QChar& c : shown) {
        if (BreaksLine(c))
            c = QLatin1Char(' ');
    }
    m_logEdit->appendPlainText(shown);
}

QString ChatLogForm::Text() const
{
    return m_logEdit->toPlainText();
}

void ChatLogForm::OnActionTriggered(QWidget* widget, std::string id)
{
    if (widget != this)
        return;
    if (id == ShellActions::ClearChatLog) {
        ModalDialogs::MessageBox box;
        box.icon = QMessageBox::Question;
        box.title = QStringLiteral("Clear log?");
        box.text = QStringLiteral("Are you sure you want to erase the contents of this log?");
        box.buttons = QMessageBox::Yes | QMessageBox::No;
        box.defaultButton = QMessageBox::No;
        if (ModalDialogs::Current().Show(box) != QMessageBox::Yes)
            return;
        QFile::remove(m_path);
        m_logEdit->clear();
    } else if (id == ShellActions::OpenLogFolder) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(m_path).absolutePath()));
    }
}

void ChatLogForm::OnSearchTextChanged(const QString& text)
{
    const UpdatesOff off(m_logEdit);
    m_logEdit->moveCursor(QTextCursor::Start);
    m_searchBackButton->setEnabled(false);
    m_searchForwardButton->setEnabled(false);
    const QTextCursor match = text.isEmpty() ? QTextCursor() : m_logEdit->document()->find(text, 0);
    if (match.isNull())
        m_logEdit->setExtraSelections({});
    else
        MarkFind(match);
}

void ChatLogForm::OnSearchForward()
{
    const UpdatesOff off(m_logEdit);
    const int from = m_logEdit->textCursor().position() + 1;
    const QTextCursor match = m_logEdit->document()->find(m_searchEdit->text(), from);
    if (!match.isNull())
        MarkFind(match);
}

void ChatLogForm::OnSearchBack()
{
    const UpdatesOff off(m_logEdit);
    const QTextCursor match = m_logEdit->document()->find(
        m_searchEdit->text(), m_logEdit->textCursor(), QTextDocument::FindBackward);
    if (!match.isNull())
        MarkFind(match);
}

void ChatLogForm::MarkFind(const QTextCursor& match)
{
    QTextEdit::ExtraSelection highlight;
    highlight.cursor = match;
    // A match at the very end would otherwise grow over each line added after it.
    highlight.cursor.setKeepPositionOnInsert(true);
    highlight.format.setForeground(SettingColour(SettingKeys::ColorInputBackground));
    highlight.format.setBackground(SettingColour(SettingKeys::ColorInputText));
    m_logEdit->setExtraSelections({highlight});
    MarkSearchButtons(match);
    // From the end back to the match, so that it scrolls into view from below.
    m_logEdit->moveCursor(QTextCursor::End);
    QTextCursor start = match;
    start.setPosition(match.selectionStart());
    m_logEdit->setTextCursor(start);
}

void ChatLogForm::MarkSearchButtons(const QTextCursor& match)
{
    const QString text = m_searchEdit->text();
    QTextDocument* document = m_logEdit->document();
    // Forward probes from where a click on forward searches from: the match's start and one, so
    // that a match that begins where this one ends, or within it, counts.
    m_searchForwardButton->setEnabled(!document->find(text, match.selectionStart() + 1).isNull());
    m_searchBackButton->setEnabled(
        !document->find(text, match, QTextDocument::FindBackward).isNull());
}
