#pragma once

#include <QPlainTextEdit>

#include <string>

// The chat view of a room or private tab: read-only, and every line goes in as plain text, so
// whatever a user or the server sends (markup, entities, links) is shown as typed.
class ChatView : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit ChatView(QWidget* parent = nullptr);

    // "[user] text", with the time before it when chat_timestamps asks for one per message.
    void AddChatLine(const std::string& user, const std::string& text);
};
