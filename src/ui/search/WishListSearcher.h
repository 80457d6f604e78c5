#pragma once

#include <QObject>
#include <QTimer>

class Server;

// Searches the enabled wishes one after another, one search each time its timer fires, in the
// order of their texts. The server sets the pace (Server::WishListWait); until it has, the timer
// does not run. The position of the next wish (wish_list_search_index) and the server's period
// (wish_list_wait) are settings of this run only.
class WishListSearcher : public QObject
{
    Q_OBJECT

public:
    // The shortest period between two wish-list searches. The server's period is a number it
    // chooses: 0 would fire on every pass of the event loop and send a search each time.
    static constexpr int kMinWishListWaitSeconds = 60;

    // The settings types must exist; throws MissingDependencyError without the server
    // connection.
    explicit WishListSearcher(QObject* parent = nullptr);
    ~WishListSearcher() override;

    // The timer interval for a period of that many seconds: at least kMinWishListWaitSeconds,
    // and no more than the longest interval a timer takes (in milliseconds, an int).
    static int WaitMilliseconds(quint32 seconds);

public Q_SLOTS:
    // The server's period, in seconds: restarts the timer with it.
    void OnWishListWait(uint seconds);
    // Sends the next enabled wish as a wish-list search.
    void OnSearchTimerTimeout();

private:
    Server& m_server;
    QTimer m_timer;
};

extern WishListSearcher* wishListSearcher;
