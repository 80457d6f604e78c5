#pragma once

#include <QWidget>

// The Browse page. For now it holds nothing: browsing other users' shares comes with its own
// form, which takes this one's place and keeps its constructor and Init.
class SharesForm : public QWidget
{
    Q_OBJECT

public:
    explicit SharesForm(QWidget* parent = nullptr);
    ~SharesForm() override;

    // Called once by start-up, after the transfer engine is built and before the store file is
    // loaded.
    void Init();
};

extern SharesForm* sharesForm;
