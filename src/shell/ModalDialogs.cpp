#include "shell/ModalDialogs.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QMenu>

namespace {

class QtDialogs final : public ModalDialogs
{
public:
    QMessageBox::StandardButton Show(const MessageBox& box) override
    {
        QMessageBox shown(box.icon, box.title, box.text, box.buttons, box.parent);
        // Boxes quote what servers and peers sent; none of it may turn into markup or images.
        shown.setTextFormat(Qt::PlainText);
        if (box.defaultButton != QMessageBox::NoButton)
            shown.setDefaultButton(box.defaultButton);
        return QMessageBox::StandardButton(shown.exec());
    }

    QString ChooseFolder(QWidget* parent, const QString& title) override
    {
        return QFileDialog::getExistingDirectory(parent, title);
    }

    QColor ChooseColour(QWidget* parent, const QColor& initial) override
    {
        return QColorDialog::getColor(initial, parent);
    }

    QAction* RunMenu(QMenu* menu, const QPoint& at) override { return menu->exec(at); }
};

QtDialogs qtDialogs;
ModalDialogs* installed = nullptr;

} // namespace

ModalDialogs& ModalDialogs::Current()
{
    return installed ? *installed : qtDialogs;
}

ModalDialogs* ModalDialogs::Install(ModalDialogs* dialogs)
{
    ModalDialogs* before = installed;
    installed = dialogs;
    return before;
}
