#include "shell/LogForm.h"

#include "ui_LogForm.h"

LogForm::LogForm(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui_LogForm>())
{
    ui->setupUi(this);
}

LogForm::~LogForm() = default;
