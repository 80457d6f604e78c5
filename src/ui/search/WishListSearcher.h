#pragma once

#include <QObject>

// Searches the wish list's texts one after another. For now it only starts the run's position at
// the first wish; the searching itself comes with the search page.
class WishListSearcher : public QObject
{
    Q_OBJECT

public:
    // The settings types must exist.
    explicit WishListSearcher(QObject* parent = nullptr);
    ~WishListSearcher() override;
};

extern WishListSearcher* wishListSearcher;
