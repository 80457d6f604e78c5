#pragma once

#include "store/Data.h"

#include <QWidget>

#include <string>

class ActionSetToolBar;
class ChatView;
class QLineEdit;
class QTabWidget;
class QUrl;

// The tab of a private conversation with one user: both sides of it, and a line to type in.
// Lines are logged to the user's chat log while log_private_chat is "yes". Every chat line
// raises an alert on the event tool bar, which the tab takes down when it is shown. Registered
// under the tool bar set "user_chat", whose one action opens the log in a viewer tab beside it.
// The window ties the tab to the user with a "user_chat_widget" item, which the tab removes when
// it goes.
class ChatForm : public QWidget
{
    Q_OBJECT

public:
    // The alert's preview of a line: this many characters, then " ...".
    static constexpr int kPreviewChars = 100;

    // Its action reaches it through the context tool bar: made without the bar, it throws
    // MissingDependencyError.
    ChatForm(const std::string& user, QTabWidget* tabs, QWidget* parent = nullptr);
    ~ChatForm() override;

    // The tab whose address the item holds, or null when it names no live tab.
    static ChatForm* FromItem(ItemPtr item);

    const std::string& User() const { return m_user; }
    // A line from the other user (or, for our own lines, from us): shown, logged, and alerted
    // unless it is a "/me" line.
    void AddChat(const std::string& user, const std::string& text);
    // Brings the tab forward through its window and tab widgets, the typing line focused.
    void Focus();
    QString Text() const;

public Q_SLOTS:
    void OnActionTriggered(QWidget* widget, std::string id);
    // Sends the typed line and shows it as ours; while logged out it stays typed and unsent.
    void OnEnter();
    void OnContextMenuRequested(const QPoint& at);
    void OnURLClicked(const QUrl& url);
    void CheckChatInactivity();

protected:
    void showEvent(QShowEvent* event) override;

private:
    ActionSetToolBar& m_bar;
    std::string m_user;
    QTabWidget* m_tabs;
    ChatView* m_chatView;
    QLineEdit* m_chatEdit;
};
