#pragma once

#include "store/Data.h"

#include <QWidget>

#include <string>

class ChatView;
class QLineEdit;
class QTabWidget;

// The tab of a private conversation with one user: both sides of it, and a line to type in.
// Lines are logged to the user's chat log while log_private_chat is "yes". Registered under the
// tool bar set "user_chat", whose one action opens the log in a viewer tab beside it. The
// window ties the tab to the user with a "user_chat_widget" item, which the tab removes when it
// goes.
class ChatForm : public QWidget
{
    Q_OBJECT

public:
    ChatForm(const std::string& user, QTabWidget* tabs, QWidget* parent = nullptr);
    ~ChatForm() override;

    // The tab whose address the item holds, or null when it names no live tab.
    static ChatForm* FromItem(ItemPtr item);

    const std::string& User() const { return m_user; }
    // A line from the other user (or, for our own lines, from us).
    void AddChat(const std::string& user, const std::string& text);
    QString Text() const;

public Q_SLOTS:
    void OnActionTriggered(QWidget* widget, std::string id);
    void OnChatEditReturnPressed();

private:
    std::string m_user;
    QTabWidget* m_tabs;
    ChatView* m_chatView;
    QLineEdit* m_chatEdit;
};
