#include "shell/ModalDialogs.h"

#include <QAbstractButton>
#include <QColorDialog>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMenu>

namespace {

// Window managers draw a window's title beside their buttons and cut it short where the window
// is narrower. The room those buttons take beside the title.
constexpr int kTitleBarButtonsWidth = 120;

// The width a title bar needs for the title and its buttons.
int TitleBarWidth(const QWidget* window, const QString& title)
{
    // Title bars mostly set the title in bold.
    QFont font = window->font();
    font.setBold(true);
    return QFontMetrics(font).horizontalAdvance(title) + kTitleBarButtonsWidth;
}

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
        for (const auto& [button, text] : box.buttonTexts) {
            if (QAbstractButton* named = shown.button(button))
                named->setText(text);
        }
        // The box sizes itself to its text, whatever its title: a row of the title bar's width
        // under everything keeps the whole title in view.
        if (auto* grid = qobject_cast<QGridLayout*>(shown.layout())) {
            grid->addItem(new QSpacerItem(TitleBarWidth(&shown, box.title), 0), grid->rowCount(), 0,
                          1, grid->columnCount());
        }
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
