#pragma once

#include <QWidget>

// The Transfers page. For now it holds nothing: the downloads and uploads trees come with their
// own form, which takes this one's place and keeps its constructor and Init.
class TransfersForm : public QWidget
{
    Q_OBJECT

public:
    explicit TransfersForm(QWidget* parent = nullptr);
    ~TransfersForm() override;

    // Called once by start-up, right after the transfer engine is built and before the store
    // file is loaded.
    void Init();
};

extern TransfersForm* transfersForm;
