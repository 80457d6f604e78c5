#include "ui/search/WishListSearcher.h"

#include "server/Server.h"
#include "shell/DisplayText.h"
#include "shell/ShellServices.h"
#include "shell/ShellTypes.h"
#include "store/Log.h"
#include "store/Settings.h"

#include <algorithm>
#include <limits>

WishListSearcher* wishListSearcher = nullptr;

WishListSearcher::WishListSearcher(QObject* parent)
    : QObject(parent), m_server(RequireServer("The wish-list searcher")), m_timer(this)
{
    wishListSearcher = this;
    connect(&m_server, &Server::WishListWait, this, &WishListSearcher::OnWishListWait);
    Settings::Set(SettingKeys::WishListSearchIndex, "0");
    connect(&m_timer, &QTimer::timeout, this, &WishListSearcher::OnSearchTimerTimeout);
}

WishListSearcher::~WishListSearcher()
{
    if (wishListSearcher == this)
        wishListSearcher = nullptr;
}

int WishListSearcher::WaitMilliseconds(quint32 seconds)
{
    // In 64 bits: seconds times 1000 passes 32 bits from 4,294,968 seconds on.
    const qint64 milliseconds = qint64(seconds) * 1000;
    return int(std::clamp<qint64>(milliseconds, qint64(kMinWishListWaitSeconds) * 1000,
                                  std::numeric_limits<int>::max()));
}

void WishListSearcher::OnWishListWait(uint seconds)
{
    Settings::SetNumber(SettingKeys::WishListWait, seconds);
    m_timer.stop();
    const int interval = WaitMilliseconds(seconds);
    Log(LogCategories::kWishList, 1,
        QStringLiteral("Wish list wait period set to %1 milliseconds").arg(interval));
    m_timer.setSingleShot(false);
    m_timer.setInterval(interval);
    m_timer.start();
}

void WishListSearcher::OnSearchTimerTimeout()
{
    const qint64 index = Settings::Int64(SettingKeys::WishListSearchIndex);
    const ItemList wishes = d.GetType(ShellTypes::WishListItem)
                                ->GetItems()
                                .Connected(ShellTypes::WishListItemEnabled)
                                .SortAlphabetic(true);
    if (wishes.empty())
        return;
    const qint64 count = qint64(wishes.size());
    // The list may have shrunk under the stored position since the last tick.
    const qint64 position = ((index % count) + count) % count;
    const ItemPtr wish = wishes[size_t(position)];
    m_server.FileSearch(wish.AsString(), true);
    Log(LogCategories::kWishList, 1, QStringLiteral("Sent wish list search: %1").arg(Shown(wish)));
    Settings::SetNumber(SettingKeys::WishListSearchIndex, index + 1 < count ? index + 1 : 0);
}
