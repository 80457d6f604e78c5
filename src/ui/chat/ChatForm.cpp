#include "ChatForm.h"

#include "ChatLog.h"
#include "ChatLogForm.h"
#include "ChatView.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellServices.h"
#include "shell/ShellTypes.h"
#include "shell/Ties.h"
#include "shell/UIFunctions.h"
#include "store/Settings.h"

#include <QIcon>
#include <QLineEdit>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

LiveSet& LiveForms()
{
    static LiveSet forms;
    return forms;
}

} // namespace

ChatForm::ChatForm(const std::string& user, QTabWidget* tabs, QWidget* parent)
    : QWidget(parent), m_user(user), m_tabs(tabs), m_chatView(new ChatView(this)),
      m_chatEdit(new QLineEdit(this))
{
    LiveForms().Insert(this);
    m_chatEdit->setObjectName(QStringLiteral("chatEdit"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_chatView);
    layout->addWidget(m_chatEdit);
    connect(m_chatEdit, &QLineEdit::returnPressed, this, &ChatForm::OnChatEditReturnPressed);
    setFocusProxy(m_chatEdit);

    ActionSetToolBar* bar = ReachActionBar();
    if (!bar)
        return;
    bar->RegisterWidget(this, QString::fromLatin1(ShellActions::UserChatSet));
    connect(bar, &ActionSetToolBar::ActionTriggered, this, &ChatForm::OnActionTriggered);
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
    m_chatView->AddChatLine(user, text);
    ChatLog::Append(ChatLog::Kind::User, m_user, ChatLog::ChatLine(user, text));
}

QString ChatForm::Text() const
{
    return m_chatView->toPlainText();
}

void ChatForm::OnChatEditReturnPressed()
{
    const std::string text = m_chatEdit->text().toUtf8().toStdString();
    if (text.empty())
        return;
    Server* server = ReachServer();
    if (!server)
        return;
    m_chatEdit->clear();
    server->SendPrivateChat(m_user, text);
    AddChat(Settings::Text(SettingKeys::Username), text);
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
                   EscapeMnemonics(NameText(m_user)));
    user += Ties::Make(ShellTypes::ChatLogForm, viewer);
}
