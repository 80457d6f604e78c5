#include "ChatLogForm.h"

#include "shell/ActionSetToolBar.h"
#include "shell/ModalDialogs.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellServices.h"
#include "shell/ShellTypes.h"
#include "shell/Ties.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QUrl>

namespace {

LiveSet& LiveForms()
{
    static LiveSet forms;
    return forms;
}

} // namespace

ChatLogForm::ChatLogForm(const QString& path, QWidget* parent)
    : QWidget(parent), m_path(path), m_logEdit(new QPlainTextEdit(this))
{
    LiveForms().Insert(this);
    m_logEdit->setObjectName(QStringLiteral("logEdit"));
    m_logEdit->setReadOnly(true);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_logEdit);
    Load();

    ActionSetToolBar* bar = ReachActionBar();
    if (!bar)
        return;
    bar->RegisterWidget(this, QString::fromLatin1(ShellActions::ChatLogSet));
    connect(bar, &ActionSetToolBar::ActionTriggered, this, &ChatLogForm::OnActionTriggered);
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
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    m_logEdit->setPlainText(QString::fromUtf8(bytes));
}

void ChatLogForm::AddLine(const QString& line)
{
    m_logEdit->appendPlainText(line);
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
