#include "ui/search/FilterHelpDialog.h"

#include "ui_FilterHelpDialog.h"

FilterHelpDialog* filterHelpDialog = nullptr;

FilterHelpDialog::FilterHelpDialog(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui_FilterHelpDialog>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    filterHelpDialog = this;
}

FilterHelpDialog::~FilterHelpDialog()
{
    if (filterHelpDialog == this)
        filterHelpDialog = nullptr;
}

FilterHelpDialog* FilterHelpDialog::Open(QWidget* tab)
{
    if (!filterHelpDialog)
        new FilterHelpDialog(tab);
    filterHelpDialog->show();
    // A second click finds it perhaps behind the main window.
    filterHelpDialog->raise();
    filterHelpDialog->activateWindow();
    return filterHelpDialog;
}
