#include "SharedFilesRescannedDialog.h"

#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QVBoxLayout>

SharedFilesRescannedDialog::SharedFilesRescannedDialog(QWidget* parent)
    : QDialog(parent), m_text(new QPlainTextEdit)
{
    setObjectName(QStringLiteral("SharedFilesRescannedDialog"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(337, 88);
    m_text->setObjectName(QStringLiteral("plainTextEdit"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void SharedFilesRescannedDialog::Append(const QString& text)
{
    m_text->appendPlainText(text);
}

QString SharedFilesRescannedDialog::Text() const
{
    return m_text->toPlainText();
}
