#include "ChatForm.h"

#include "ChatLog.h"
#include "ChatLogForm.h"
#include "ChatView.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/EventToolBar.h"
#include "shell/FormHooks.h"
#include "shell/ModalDialogs.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellServices.h"
#include "shell/ShellTypes.h"
#include "shell/Ties.h"
#include "shell/UIFunctions.h"
#include "store/Settings.h"
#include "store/TimerManager.h"

#include <QDesktopServices>
#include <QIcon>
#include <QLineEdit>
#include <QMenu>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace {

LiveSet& LiveForms()
{
    static LiveSet forms;
    return forms;
}

// The first kPreviewChars characters of the line, and " ..." when there is more. Characters,
// not UTF-16 units: a pair that makes one character is never cut in two.
QString Preview(const QString& text)
{
    qsizetype end = 0;
    for (int chars = 0; chars < ChatForm::kPreviewChars && end < text.size(); ++chars) {
        const bool pair = text.at(end).isHighSurrogate() && end + 1 < text.size() &&
                          text.at(end + 1).isLowSurrogate();
        end += pair ? 2 : 1;
    }
    if (end == text.size())
        return text;
    return text.left(end) + QStringLiteral(" ...");
}

} // namespace

ChatForm::ChatForm(const std::string& user, QTabWidget* tabs, QWidget* parent)
    : QWidget(parent), m_bar(RequireActionBar("The chat form")), m_user(user), m_tabs(tabs),
      m_chatView(new ChatView(ChatLog::Kind::User, user, this)), m_chatEdit(new QLineEdit(this))
{
    LiveForms().Insert(this);
    m_chatEdit->setObjectName(QStringLiteral("chatEdit"));
    m_chatView->setContextMenuPolicy(Qt::CustomContextMenu);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_chatView);
    layout->addWidget(m_chatEdit);
    connect(m_chatEdit, &QLineEdit::returnPressed, this, &ChatForm::OnEnter);
    connect(m_chatView, &QWidget::customContextMenuRequested, this,
            &ChatForm::OnContextMenuRequested);
    connect(m_chatView, &QTextBrowser::anchorClicked, this, &ChatForm::OnURLClicked);
    setFocusProxy(m_chatEdit);
    RegisterWidgetForTabFocus(m_chatEdit, 1);

    if (TimerManager* timers = ReachTimers())
        connect(timers->everyHalfMinute(), &SharedTimer::timeout, this,
                &ChatForm::CheckChatInactivity);
    m_bar.RegisterWidget(this, QString::fromLatin1(ShellActions::UserChatSet));
    connect(&m_bar, &ActionSetToolBar::ActionTriggered, this, &ChatForm::OnActionTriggered);
}

ChatForm::~ChatForm()
{
    LiveForms().Erase(this);
    Ties::Remove(ShellTypes::UserChatWidget, this);
}

ChatForm* ChatForm::FromItem(ItemPtr item)
{
    return LiveForms().Follow<ChatForm>(item);
}

void ChatForm::AddChat(const std::string& user, const std::string& text)
{
    if (m_chatView->AddChat(user, text) == ChatView::Line::Me)
        return;
    EventToolBar* events = ReachEventToolBar();
    if (!events)
        return;
    // The bar doubles the "&" of the button's text itself.
    const QString said = OneLineText(Utf8Text(text));
    events->AddEvent(NameText(m_user), QStringLiteral(":/icons/chat_icon"), m_chatEdit,
                     QStringLiteral("[%1] %2").arg(OneLineText(NameText(user)), Preview(said)));
}

void ChatForm::Focus()
{
    FocusWidgetAndParents(m_chatEdit);
}

QString ChatForm::Text() const
{
    return m_chatView->toPlainText();
}

void ChatForm::OnEnter()
{
    const std::string text = Utf8Bytes(m_chatEdit->text());
    if (text.empty())
        return;
    Server* server = ReachServer();
    if (!server)
        return;
    // The server connection drops what is sent while logged out: the line must not look sent.
    if (!server->IsConnected()) {
        m_chatView->AddStatusMessage(
            QStringLiteral("Not sent: you are not connected to the Quorvale server."));
        return;
    }
    AddChat(Settings::Text(SettingKeys::Username), text);
    server->SendPrivateChat(m_user, text);
    m_chatEdit->clear();
}

void ChatForm::OnContextMenuRequested(const QPoint& at)
{
    QMenu menu;
    FormHooks::FillUserMenu(&menu, m_user);
    ModalDialogs::Current().RunMenu(&menu, m_chatView->viewport()->mapToGlobal(at));
}

void ChatForm::OnURLClicked(const QUrl& url)
{
    QDesktopServices::openUrl(url);
}

void ChatForm::CheckChatInactivity()
{
    m_chatView->CheckChatInactivity();
}

void ChatForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (EventToolBar* events = ReachEventToolBar())
        events->RemoveEvent(m_chatEdit);
}

void ChatForm::OnActionTriggered(QWidget* widget, std::string id)
{
    if (widget != this || id != ShellActions::UserChatLog)
        return;
    ItemPtr user = d.GetType(ServerTypes::User)->GetItem(Value(m_user));
    if (ChatLogForm* open = ChatLogForm::FromItem(user[ShellTypes::ChatLogForm])) {
        FocusWidgetAndParents(open);
        return;
    }
    auto* viewer = new ChatLogForm(ChatLog::Path(ChatLog::Kind::User, m_user), this);
    m_tabs->addTab(viewer, QIcon(QStringLiteral(":/icons/note_icon")),
                   EscapeMnemonics(CellText(NameText(m_user))));
    user += Ties::Make(ShellTypes::ChatLogForm, viewer);
}
