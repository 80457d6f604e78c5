#pragma once

#include <QWidget>

#include <memory>

class Ui_LogForm;

// A page holding one text browser, "textBrowser"; it has no behaviour of its own.
class LogForm : public QWidget
{
    Q_OBJECT

public:
    explicit LogForm(QWidget* parent = nullptr);
    ~LogForm() override;

private:
    std::unique_ptr<Ui_LogForm> ui;
};
