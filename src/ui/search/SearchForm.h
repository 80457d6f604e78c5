#pragma once

#include <QWidget>

// The Search page. For now it holds nothing: searching the network comes with its own form, which
// takes this one's place and keeps its constructor and Init.
class SearchForm : public QWidget
{
    Q_OBJECT

public:
    explicit SearchForm(QWidget* parent = nullptr);
    ~SearchForm() override;

    // Called once by start-up, after the transfer engine is built and before the store file is
    // loaded.
    void Init();
};

extern SearchForm* searchForm;
