#include "server/Server.h"

#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "store/Data.h"

#include <list>
#include <utility>

// Messages for searching and the distributed search network. Apart from the related search
// terms, which are kept in the store, each is passed on in one signal to the distributed network
// or the search windows.

namespace {

// The one number of a message that carries nothing else; 0 when the message is cut short.
template <class T> T OnlyField(MemStream& s)
{
    T value = 0;
    s.Read(value);
    return value;
}

} // namespace

// 83
void Server::OnDNetParentMinSpeed(MemStream& s)
{
    Q_EMIT DNetParentMinSpeed(OnlyField<qint32>(s));
}

// 84
void Server::OnDNetParentSpeedConnectionRatio(MemStream& s)
{
    Q_EMIT DNetParentSpeedConnectionRatio(OnlyField<qint32>(s));
}

// 93: a distributed-network message relayed by the server. Its receivers get the bytes, not the
// read stream, which the next frame overwrites before a queued receiver would run.
void Server::OnDNetMessage(MemStream& s)
{
    Q_EMIT DNetMessage(QByteArray(s.GetReadBuffer(), s.GetPendingReadLength()));
}

// 102: always signalled, even empty or cut short.
void Server::OnDNetPossibleParents(MemStream& s)
{
    std::list<std::pair<std::string, std::pair<quint32, qint32>>> read;
    s.Read(read);

    std::list<std::pair<std::string, TCPAddress>> parents;
    for (const auto& entry : read)
        parents.emplace_back(entry.first, TCPAddress(entry.second.first, entry.second.second));
    Q_EMIT DNetPossibleParents(parents);
}

// 104
void Server::OnWishListWait(MemStream& s)
{
    Q_EMIT WishListWait(OnlyField<quint32>(s));
}

// 128
void Server::OnDNetDeliveryReport(MemStream& s)
{
    Q_EMIT DNetDeliveryReport(OnlyField<qint32>(s));
}

// 130
void Server::OnDNetReset(MemStream&)
{
    Q_EMIT DNetReset();
}

// 153: the new list of related terms replaces the old one whole.
void Server::OnSearchCorrelations(MemStream& s)
{
    std::string text;
    std::list<std::pair<std::string, qint32>> terms;
    s.Read(text);
    s.Read(terms);

    ItemPtr textItem = d.GetType(ServerTypes::SearchRequestText)->GetItem(Value(text));
    textItem.GetItems(ServerTypes::SearchCorrelation).Remove();
    for (const auto& term : terms) {
        ItemPtr correlation = textItem.NewItem(ServerTypes::SearchCorrelation);
        ServerStore::Link(correlation, ServerTypes::CorrelationText, Value(term.first));
        ServerStore::Link(correlation, ServerTypes::CorrelationRank, Value(int(term.second)));
    }

    Q_EMIT SearchCorrelations(text);
}
