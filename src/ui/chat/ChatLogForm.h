#pragma once

#include "store/Data.h"

#include <QString>
#include <QWidget>

#include <string>

class QPlainTextEdit;

// A viewer of one chat log file in a tab: the file's text, then each line logged while it is
// open. Registered under the tool bar set "chat_log", whose actions clear the log and open the
// folder that holds it. Whoever opens it links a "chat_log_form" item (its address) to the room
// or user; the viewer removes that item when it goes.
class ChatLogForm : public QWidget
{
    Q_OBJECT

public:
    // Only the end of a longer file is shown, from its first whole line on.
    static constexpr qint64 kMaxShownBytes = 8 * 1024 * 1024;

    ChatLogForm(const QString& path, QWidget* parent = nullptr);
    ~ChatLogForm() override;

    // The viewer whose address the item holds, or null when it names no live viewer.
    static ChatLogForm* FromItem(ItemPtr item);

    const QString& LogPath() const { return m_path; }
    // Shown as plain text, a line of its own.
    void AddLine(const QString& line);
    QString Text() const;

public Q_SLOTS:
    void OnActionTriggered(QWidget* widget, std::string id);

private:
    void Load();

    QString m_path;
    QPlainTextEdit* m_logEdit;
};
