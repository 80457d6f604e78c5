#include "ui/search/WishListSearcher.h"

#include "store/Settings.h"

WishListSearcher* wishListSearcher = nullptr;

WishListSearcher::WishListSearcher(QObject* parent) : QObject(parent)
{
    wishListSearcher = this;
    Settings::Set(SettingKeys::WishListSearchIndex, "0");
}

WishListSearcher::~WishListSearcher()
{
    if (wishListSearcher == this)
        wishListSearcher = nullptr;
}
