#pragma once

#include <QDialog>

#include <memory>

class Ui_FilterHelpDialog;

// The syntax of the filter line, for the search results and share browser tabs. At most one is
// open, held in filterHelpDialog; it is modeless and deletes itself when closed.
class FilterHelpDialog : public QDialog
{
    Q_OBJECT

public:
    explicit FilterHelpDialog(QWidget* parent = nullptr);
    ~FilterHelpDialog() override;

    // What a tab's "Filter Help" button does: makes the dialog with the tab as its parent
    // unless one is open already, and shows it.
    static FilterHelpDialog* Open(QWidget* tab);

private:
    std::unique_ptr<Ui_FilterHelpDialog> ui;
};

extern FilterHelpDialog* filterHelpDialog;
