#pragma once

#include "store/Data.h"

#include <QString>
#include <QWidget>

#include <string>

class ActionSetToolBar;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTextCursor;

// A viewer of one chat log file in a tab: the file's text, then each line logged while it is
// open, one log line to one view line, trimmed at both ends, as plain text. Registered under the
// tool bar set "chat_log", whose actions clear the log and open the folder that holds it. Whoever
// opens it links a "chat_log_form" item (its address) to the room or user; the viewer removes
// that item when it goes.
//
// The search row above the log finds what is typed, case ignored, and highlights the match in the
// input field's colours swapped; its buttons go to the match before or after, each enabled while
// there is one.
class ChatLogForm : public QWidget
{
    Q_OBJECT

public:
    // Only the end of a longer file is shown, from its first whole line on.
    static constexpr qint64 kMaxShownBytes = 8 * 1024 * 1024;

    // Its actions reach it through the context tool bar: made without the bar, it throws
    // MissingDependencyError.
    ChatLogForm(const QString& path, QWidget* parent = nullptr);
    ~ChatLogForm() override;

    // The viewer whose address the item holds, or null when it names no live viewer.
    static ChatLogForm* FromItem(ItemPtr item);

    const QString& LogPath() const { return m_path; }
    // Shown as plain text, a line of its own; the search stays as it was.
    void AddLine(const QString& line);
    QString Text() const;

public Q_SLOTS:
    void OnActionTriggered(QWidget* widget, std::string id);
    void OnSearchTextChanged(const QString& text);
    void OnSearchBack();
    void OnSearchForward();

private:
    void Load();
    // Highlights the match and shows it; then sets the buttons.
    void MarkFind(const QTextCursor& match);
    void MarkSearchButtons(const QTextCursor& match);

    ActionSetToolBar& m_bar;
    QString m_path;
    QLineEdit* m_searchEdit;
    QPushButton* m_searchBackButton;
    QPushButton* m_searchForwardButton;
    QPlainTextEdit* m_logEdit;
};
