#include "shares/PeerReplies.h"

#include "peer/PeerMessages.h"
#include "peer/PeerMessenger.h"
#include "peer/PeerOutbox.h"
#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "shares/ShareMessages.h"
#include "shares/SharesSchema.h"
#include "store/Clock.h"
#include "store/Data.h"
#include "store/Log.h"
#include "store/NextTurn.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>

#include <algorithm>
#include <string_view>

using namespace SharesTypes;

namespace {

// A code 37 body besides the names of its records: the token, the folder as the peer wrote it, a
// count of one, the folder again, and the record set's count and trailer; each record besides
// its name holds its code, the name's length, the size, an empty extension and no pairs.
constexpr qint64 kRecordBytes = 1 + 4 + 8 + 4 + 4;

qint64 FrameBytes(const std::string& folder)
{
    const qint64 text = 4 + qint64(folder.size());
    return 4 + text + 4 + text + 4 + 4;
}

// The address of the user's messaging connection, 0 without one.
quint32 PeerAddressOf(const std::string& user)
{
    ItemPtr socket =
        ItemPtr(d.GetType(ServerTypes::User)->HasItem(Value(user)))[PeerTypes::PeerSocket];
    const auto* tcp = socket ? socket.AsPointer<QTcpSocket>() : nullptr;
    return tcp ? tcp->peerAddress().toIPv4Address() : 0;
}

void CloseMessagingConnections(const std::string& user)
{
    std::vector<QTcpSocket*> sockets;
    for (Item* i : ItemPtr(d.GetType(ServerTypes::User)->HasItem(Value(user)))
                       .GetItems(PeerTypes::PeerSocket))
        sockets.push_back(ItemPtr(i).AsPointer<QTcpSocket>());
    for (QTcpSocket* socket : sockets) {
        peerMessenger->DisposeOfSocket(socket);
        // Closing would wait for the peer to read what is buffered, which it does not.
        socket->abort();
    }
}

QString What(const std::string& folder, bool list)
{
    return list ? QStringLiteral("the shared file list")
                : QStringLiteral("the contents of folder %1").arg(QString::fromStdString(folder));
}

// Whether a reply fits beside those under way; whatever its size, it goes when none is.
bool Fits(int underWay, int most, bool room)
{
    return underWay == 0 || (underWay < most && room);
}

} // namespace

// The names and sizes of the files of the folder whose reply is copied, a step at a time: the
// files' ids are taken at once, their names counted (unless they were), then copied. A file
// gone meanwhile is left out; one come meanwhile waits for the next request.
struct PeerReplies::Copy
{
    enum class Phase
    {
        Ids,
        Count,
        Copy
    };
    std::string user;
    std::string local;
    quint64 id = 0;
    Phase phase = Phase::Ids;
    uint32_t folderId = 0;
    std::vector<uint32_t> files;
    size_t at = 0;
    qint64 bytes = 0;
    CopiedFiles copied;
};

PeerReplies::PeerReplies(VisibleFolder visible, ShareList list)
    : m_visible(std::move(visible)), m_list(std::move(list)),
      m_folderType(d.GetType(SharedFileFolder)), m_fileType(d.GetType(SharedFile)),
      m_nameType(d.GetType(SharedFileName)), m_sizeType(d.GetType(SharedFileSize)),
      m_ownBudget(std::make_unique<SendBudget>())
{
    connect(&m_retry, &SharedTimer::timeout, this, [this] { Retry(); });
}

PeerReplies::~PeerReplies() = default;

SendBudget& PeerReplies::Budget() const
{
    return peerMessenger ? peerMessenger->WaitingToGo() : *m_ownBudget;
}

PeerReplies::Totals PeerReplies::Load() const
{
    Totals totals = m_totals;
    totals.bytesWaitingToGo = Budget().Total();
    return totals;
}

PeerReplies::Entry* PeerReplies::Take(const std::string& user, const std::string& local,
                                      const QString& what)
{
    const QString who = QString::fromStdString(user);
    ForgetGone();
    const auto it = m_pending.find(user);
    if (it != m_pending.end()) {
        const auto f = it->second.find(local);
        if (f != it->second.end() && f->second.state == State::Held) {
            Log(LogCategories::kShared, 1,
                QStringLiteral("User %1 asked for %2 again while its reply waits its turn")
                    .arg(who, what));
            return &f->second;
        }
        if (f != it->second.end()) {
            Log(LogCategories::kShared, 1,
                QStringLiteral("User %1 asked for %2 again before the last reply was sent, not "
                               "answering")
                    .arg(who, what));
            return nullptr;
        }
        if (it->second.size() >= size_t(kMaxPendingPerPeer)) {
            Log(LogCategories::kShared, 1,
                QStringLiteral("User %1 has %2 replies still to receive, not answering another")
                    .arg(who)
                    .arg(kMaxPendingPerPeer));
            return nullptr;
        }
    }
    if (m_totals.held >= kMaxHeldRequests) {
        if (!m_refusalLogged)
            Log(LogCategories::kShared, 1,
                QStringLiteral("%1 requests wait already; not answering user %2 for %3, nor "
                               "others until fewer wait")
                    .arg(m_totals.held)
                    .arg(who, what));
        m_refusalLogged = true;
        return nullptr;
    }
    Entry& entry = m_pending[user][local];
    entry.id = ++m_lastId;
    entry.address = PeerAddressOf(user);
    Account(entry, 1);
    CountFrom(entry.address, 1);
    return &entry;
}

void PeerReplies::Request(const std::string& user, quint32 token, const std::string& folder,
                          const std::string& local)
{
    const Item* dir = local.empty() ? nullptr : m_visible(user, local);
    if (!dir)
        return;
    Entry* entry = Take(user, local, What(folder, false));
    if (!entry)
        return;
    // The reply that waits answers the latest request.
    entry->token = token;
    entry->folder = folder;
    if (entry->bodyBytes > 0)
        return;
    // The file count settles most cases; the names are counted when the request's turn comes.
    entry->bodyBytes = FrameBytes(folder) + qint64(dir->ConnectionCount(m_fileType)) * kRecordBytes;
    Admit();
}

void PeerReplies::RequestList(const std::string& user)
{
    Entry* entry = Take(user, std::string(), What(std::string(), true));
    if (!entry || entry->list)
        return;
    entry->list = true;
    Admit();
}

void PeerReplies::ForgetUser(const std::string& user)
{
    // A cut closes the connections itself, and keeps what the user asked for.
    if (user == m_requeueing)
        return;
    const auto it = m_pending.find(user);
    if (it == m_pending.end())
        return;
    std::vector<std::string> locals;
    for (const auto& [local, entry] : it->second)
        locals.push_back(local);
    for (const std::string& local : locals)
        Erase(user, local);
    // Called from inside a connection's end: the room it left goes to others at the next turn.
    OnceNextTurn(this, m_admitDue, [this] { Admit(); });
}

void PeerReplies::CountFrom(quint32 address, int sign)
{
    const auto from = m_addresses.emplace(address, Address()).first;
    from->second.entries += sign;
    if (from->second.entries == 0)
        m_addresses.erase(from);
}

void PeerReplies::Account(Entry& entry, int sign)
{
    if (entry.state == State::Held) {
        m_totals.held += sign;
        return;
    }
    // A list being made holds nothing of its own: every user who sees the same waits for it.
    if (entry.state != State::Sent && !entry.list)
        m_totals.beingMade += sign;
    m_totals.underWay += sign;
    m_addresses[entry.address].underWay += sign;
    if (entry.charged > 0) {
        if (sign > 0)
            Budget().Hold(&entry, entry.charged, entry.address);
        else
            Budget().Release(&entry, entry.address);
    }
}

void PeerReplies::SetState(Entry& entry, State state, qint64 charged)
{
    Account(entry, -1);
    entry.state = state;
    entry.charged = state == State::Held || state == State::Sent ? 0 : charged;
    Account(entry, 1);
}

PeerReplies::Entry* PeerReplies::Find(const std::string& user, const std::string& local, quint64 id)
{
    const auto it = m_pending.find(user);
    if (it == m_pending.end())
        return nullptr;
    const auto f = it->second.find(local);
    return f != it->second.end() && f->second.id == id ? &f->second : nullptr;
}

void PeerReplies::Erase(const std::string& user, const std::string& local)
{
    const auto it = m_pending.find(user);
    if (it == m_pending.end())
        return;
    const auto f = it->second.find(local);
    if (f == it->second.end())
        return;
    Entry& entry = f->second;
    Withdraw(user, entry);
    Account(entry, -1);
    CountFrom(entry.address, -1);
    // The work queued for it goes with what it holds, the running one stops.
    if (entry.ticket)
        m_worker.Drop(entry.ticket);
    if (m_copy && m_copy->id == entry.id)
        m_copy.reset(); // its next step finds nothing to do
    it->second.erase(f);
    if (it->second.empty())
        m_pending.erase(it);
}

void PeerReplies::Withdraw(const std::string& user, Entry& entry)
{
    // A reply sent to a user we were not connected to waits among the user's unsent messages:
    // given up, it goes from there too.
    if (entry.state == State::Sent && peerMessenger)
        peerMessenger->WithdrawUnsent(user, entry.message);
    entry.message = QByteArray();
    entry.gone = nullptr;
}

qint64 PeerReplies::WaitingFor(const std::string& user, const Requests& requests) const
{
    qint64 waiting = peerMessenger ? peerMessenger->BytesQueuedTo(user) : 0;
    for (const auto& [local, entry] : requests)
        waiting += entry.charged;
    return waiting;
}

bool PeerReplies::FitsUser(const Entry& entry, qint64 waiting) const
{
    // Whatever its size, a reply goes when nothing else waits for the user.
    return waiting == 0 || entry.bodyBytes <= kMaxQueuedBytesPerPeer - waiting;
}

bool PeerReplies::FitsAddress(const Entry& entry) const
{
    const auto from = m_addresses.find(entry.address);
    const int underWay = from == m_addresses.end() ? 0 : from->second.underWay;
    return Fits(underWay, kMaxRepliesUnderWayPerAddress,
                Budget().FitsAddress(entry.address, nullptr, entry.bodyBytes));
}

bool PeerReplies::FitsTotal(const Entry& entry) const
{
    return Fits(m_totals.underWay, kMaxRepliesUnderWay,
                Budget().Fits(entry.address, nullptr, entry.bodyBytes));
}

void PeerReplies::ForgetGone()
{
    const qint64 now = Clock::MonotonicMs();
    for (auto u = m_pending.begin(); u != m_pending.end();) {
        Requests& requests = u->second;
        bool sent = false;
        for (auto f = requests.begin(); f != requests.end();) {
            Entry& entry = f->second;
            if (entry.state == State::Sent && (!entry.gone || entry.gone())) {
                Account(entry, -1);
                CountFrom(entry.address, -1);
                f = requests.erase(f);
                continue;
            }
            sent = sent || entry.state == State::Sent;
            ++f;
        }
        // What left the host for the user since it was last looked at: what the peer
        // acknowledged, whatever our own queue or the system's buffers still hold.
        const qint64 departed =
            sent && peerMessenger ? peerMessenger->BytesDepartedTo(u->first) : 0;
        for (auto& [local, entry] : requests) {
            if (entry.state != State::Sent)
                continue;
            if (departed != entry.departedSeen) {
                entry.departedSeen = departed;
                entry.unreadSinceMs = now;
            }
            Judge(u->first, entry, now);
        }
        u = requests.empty() ? m_pending.erase(u) : std::next(u);
    }
}

void PeerReplies::Judge(const std::string& user, Entry& entry, qint64 now)
{
    if (entry.judgedFromMs >= 0 && now - entry.judgedFromMs < kJudgedOverMs)
        return;
    const PeerMessenger::SendingTimes times =
        peerMessenger ? peerMessenger->SendingTimesTo(user) : PeerMessenger::SendingTimes();
    if (entry.judgedFromMs >= 0) {
        // Times of connections that went or came meanwhile tell nothing of this watch.
        const qint64 busy = times.busyUs - entry.busyFromUs;
        const qint64 shut = times.windowShutUs - entry.shutFromUs;
        entry.shutPerMille = busy > 0 && shut >= 0 && shut <= busy ? int(shut * 1000 / busy) : -1;
    }
    entry.judgedFromMs = now;
    entry.busyFromUs = times.busyUs;
    entry.shutFromUs = times.windowShutUs;
}

void PeerReplies::Requeue(const std::string& user)
{
    m_requeueing = user;
    if (peerMessenger)
        CloseMessagingConnections(user);
    m_requeueing.clear();
    const auto it = m_pending.find(user);
    if (it == m_pending.end())
        return;
    std::vector<std::string> cut;
    for (auto& [local, entry] : it->second) {
        if (entry.state == State::Sent)
            cut.push_back(local);
    }
    for (const std::string& local : cut) {
        const auto u = m_pending.find(user);
        const auto f = u != m_pending.end() ? u->second.find(local) : Requests::iterator();
        if (u == m_pending.end() || f == u->second.end())
            continue;
        Entry& entry = f->second;
        if (entry.cuts > 0) {
            Log(LogCategories::kShared, 1,
                QStringLiteral("The reply with %1 was cut twice on its way to user %2, "
                               "forgetting the request")
                    .arg(What(entry.folder, entry.list), QString::fromStdString(user)));
            Erase(user, local);
            continue;
        }
        ++entry.cuts;
        Withdraw(user, entry);
        entry.judgedFromMs = -1;
        entry.shutPerMille = -1;
        SetState(entry, State::Held, 0);
    }
    // The room it left goes to the next in turn, its own requests among them.
    OnceNextTurn(this, m_admitDue, [this] { Admit(); });
}

void PeerReplies::Admit()
{
    ForgetGone();
    m_waitingForRoom = false;
    const bool copying = m_copy != nullptr;
    if (!copying && m_totals.beingMade < kMaxRepliesBeingMade && m_totals.held > 0)
        AdmitFirstInTurn();
    if (m_totals.held == 0) {
        m_roomLogged = false;
        m_refusalLogged = false;
        m_retry.stop();
    } else if (!m_retry.isActive()) {
        m_retry.start();
    }
    // A copy under way goes on by itself; a new one starts here.
    if (!copying && m_copy)
        m_copying.RunNow();
}

void PeerReplies::AdmitFirstInTurn()
{
    // The first in turn among the requests whose users have room: the address served longest
    // ago, or not since its last request, then the one asking for least, then the request that
    // came first.
    const std::string* user = nullptr;
    const std::string* firstLocal = nullptr;
    Entry* first = nullptr;
    const Address* firstFrom = nullptr;
    for (auto& [name, requests] : m_pending) {
        qint64 waiting = -1;
        for (auto& [local, entry] : requests) {
            if (entry.state != State::Held)
                continue;
            if (waiting < 0)
                waiting = WaitingFor(name, requests);
            if (!FitsUser(entry, waiting)) {
                if (!entry.userRoomLogged)
                    Log(LogCategories::kShared, 1,
                        QStringLiteral("Too much waits to go to user %1; %2 follow once it has "
                                       "gone")
                            .arg(QString::fromStdString(name), What(entry.folder, entry.list)));
                entry.userRoomLogged = true;
                continue;
            }
            Address& from = m_addresses[entry.address];
            if (!FitsAddress(entry)) {
                if (!from.partLogged)
                    Log(LogCategories::kShared, 1,
                        QStringLiteral("Replies to address %1 take its part (%2 replies, %3 bytes "
                                       "waiting to go); its requests wait")
                            .arg(QHostAddress(entry.address).toString())
                            .arg(from.underWay)
                            .arg(Budget().With(entry.address)));
                from.partLogged = true;
                continue;
            }
            if (!first || from.lastTurn < firstFrom->lastTurn ||
                (from.lastTurn == firstFrom->lastTurn &&
                 (from.entries < firstFrom->entries ||
                  (from.entries == firstFrom->entries && entry.id < first->id)))) {
                user = &name;
                firstLocal = &local;
                first = &entry;
                firstFrom = &from;
            }
        }
    }
    if (!first)
        return;
    if (FitsTotal(*first)) {
        m_addresses[first->address].lastTurn = ++m_lastTurn;
        Start(*user, *firstLocal, *first);
        return;
    }
    m_waitingForRoom = true;
    m_waitingAddress = first->address;
    if (!m_roomLogged)
        Log(LogCategories::kShared, 1,
            QStringLiteral("Replies under way take all their room (%1 replies, %2 bytes waiting "
                           "to go); %3 requests wait their turn")
                .arg(m_totals.underWay)
                .arg(Budget().Total())
                .arg(m_totals.held));
    m_roomLogged = true;
}

void PeerReplies::Start(const std::string& user, const std::string& local, Entry& entry)
{
    if (!entry.list) {
        SetState(entry, State::Copying, entry.bodyBytes);
        m_copy = std::make_unique<Copy>();
        m_copy->user = user;
        m_copy->local = local;
        m_copy->id = entry.id;
        return;
    }
    SetState(entry, State::Making, 0);
    // A list at hand goes now; one made later starts the next in turn when it goes.
    const auto atHand = std::make_shared<bool>(true);
    QPointer<PeerReplies> self(this);
    const quint64 id = entry.id;
    m_list(user, [self, atHand, user, id](const QByteArray& message) {
        if (!self)
            return;
        if (*atHand)
            self->Dispatch(user, std::string(), id, message);
        else
            self->Made(user, std::string(), id, message);
    });
    *atHand = false;
}

bool PeerReplies::CopyStep()
{
    if (!m_copy)
        return false;
    Copy& c = *m_copy;
    Entry* entry = Find(c.user, c.local, c.id);
    const Item* folder = c.folderId ? d.ItemById(c.folderId) : m_visible(c.user, c.local);
    if (!entry || !folder || folder->GetType() != m_folderType || folder->AsString() != c.local)
        return NotShared();
    const auto live = [&](uint32_t id) -> const Item* {
        const Item* file = d.ItemById(id);
        return file && file->GetType() == m_fileType && file->IsConnected(folder) ? file : nullptr;
    };
    size_t budget = kFilesAStep;
    if (c.phase == Copy::Phase::Ids) {
        c.folderId = folder->Id();
        c.files.reserve(folder->ConnectionCount(m_fileType));
        folder->VisitItems(m_fileType, [&c](const Item* file) {
            c.files.push_back(file->Id());
            return false;
        });
        c.phase = entry->counted ? Copy::Phase::Copy : Copy::Phase::Count;
    }
    if (c.phase == Copy::Phase::Count) {
        for (; c.at < c.files.size() && budget > 0; ++c.at, --budget) {
            if (const Item* file = live(c.files[c.at])) {
                const Item* name = file->HasItem(m_nameType);
                c.bytes += kRecordBytes + qint64(name ? name->AsString().View().size() : 0);
            }
        }
        if (c.at < c.files.size())
            return true;
        entry->bodyBytes = FrameBytes(entry->folder) + c.bytes;
        entry->counted = true;
        c.at = 0;
        c.bytes = 0;
        // Counted, it is weighed again as it is, and waits when it no longer fits.
        SetState(*entry, State::Held, 0);
        const auto requests = m_pending.find(c.user);
        if (!FitsUser(*entry, WaitingFor(c.user, requests->second)) || !FitsAddress(*entry) ||
            !FitsTotal(*entry)) {
            m_copy.reset();
            Admit();
            return m_copy != nullptr;
        }
        SetState(*entry, State::Copying, entry->bodyBytes);
        c.phase = Copy::Phase::Copy;
    }
    if (c.at == 0) {
        const qint64 names =
            entry->bodyBytes - FrameBytes(entry->folder) - qint64(c.files.size()) * kRecordBytes;
        c.copied.files.reserve(c.files.size());
        c.copied.names.reserve(size_t(std::max<qint64>(0, names)));
    }
    for (; c.at < c.files.size() && budget > 0; ++c.at, --budget) {
        const Item* file = live(c.files[c.at]);
        if (!file)
            continue;
        const Item* name = file->HasItem(m_nameType);
        const Item* size = file->HasItem(m_sizeType);
        const std::string_view text = name ? name->AsString().View() : std::string_view();
        c.copied.files.push_back({c.copied.names.size(), text.size(), size ? size->AsInt64() : 0});
        c.copied.names.append(text);
        c.bytes += kRecordBytes + qint64(text.size());
    }
    if (c.at < c.files.size())
        return true;
    if (!m_visible(c.user, c.local))
        return NotShared();

    // Made and compressed at the best level off this thread: a big folder takes a while.
    SetState(*entry, State::Making, FrameBytes(entry->folder) + c.bytes);
    entry->ticket = m_worker.Run(
        [token = entry->token, text = entry->folder,
         copied = std::move(c.copied)](const WorkerThread::Stop& stop) mutable {
            QByteArray body;
            {
                // The copy goes once the body is written, before zlib takes its share.
                const CopiedFiles files = std::move(copied);
                if (stop)
                    return QByteArray();
                body = FolderContentsBody(token, text, files);
            }
            return CompressedMessage(PM_SHARED_FILES_IN_FOLDER, body, &stop);
        },
        [this, user = c.user, local = c.local, id = c.id](const QByteArray& message) {
            Made(user, local, id, message);
        });
    m_copy.reset();
    Admit();
    return m_copy != nullptr;
}

bool PeerReplies::NotShared()
{
    // No reply, as a request for the folder would get none now.
    const std::string user = m_copy->user;
    const std::string local = m_copy->local;
    if (const Entry* entry = Find(user, local, m_copy->id)) {
        Log(LogCategories::kShared, 1,
            QStringLiteral("Folder %1 is no longer shared with user %2, not sending its contents")
                .arg(QString::fromStdString(entry->folder), QString::fromStdString(user)));
        Erase(user, local);
    }
    m_copy.reset();
    Admit();
    return m_copy != nullptr;
}

void PeerReplies::Made(const std::string& user, const std::string& local, quint64 id,
                       const QByteArray& message)
{
    Dispatch(user, local, id, message);
    Admit();
}

void PeerReplies::Dispatch(const std::string& user, const std::string& local, quint64 id,
                           const QByteArray& message)
{
    Entry* entry = Find(user, local, id);
    if (!entry)
        return;
    entry->ticket = 0;
    // A host built without peer messaging answers nobody.
    if (message.isEmpty() || !peerMessenger) {
        if (message.isEmpty() && !entry->list)
            Log(LogCategories::kShared, 1,
                QStringLiteral("Could not compress the contents of a shared folder"));
        Erase(user, local);
        return;
    }
    SetState(*entry, State::Sent, 0);
    entry->message = message;
    entry->sentMs = entry->unreadSinceMs = Clock::MonotonicMs();
    entry->judgedFromMs = -1;
    entry->shutPerMille = -1;
    peerMessenger->SendReply(user, message);
    // Its room goes to the next in turn as soon as it has left this process.
    QPointer<PeerReplies> self(this);
    Gone gone = peerMessenger->WatchLastSent(user, [self] {
        if (self)
            OnceNextTurn(self, self->m_admitDue, [self] { self->Admit(); });
    });
    // The entry may go while the message is sent (a socket closed on a full buffer).
    if ((entry = Find(user, local, id))) {
        entry->gone = std::move(gone);
        entry->departedSeen = peerMessenger->BytesDepartedTo(user);
    }
}

const PeerReplies::Entry* PeerReplies::GivingWay(const std::string** user, QString* why) const
{
    const qint64 now = Clock::MonotonicMs();
    // Of what the first in turn's address holds, and of the address holding most.
    const auto waiting = m_addresses.find(m_waitingAddress);
    const int own = waiting == m_addresses.end() ? 0 : waiting->second.underWay;
    int most = 0;
    for (const auto& [address, from] : m_addresses)
        most = std::max(most, address == m_waitingAddress ? 0 : from.underWay);
    const Entry* chosen = nullptr;
    int chosenRank = 0;
    for (const auto& [name, requests] : m_pending) {
        for (const auto& [local, entry] : requests) {
            if (entry.state != State::Sent)
                continue;
            // Read not at all for long, then kept back by its reader's window, then the room
            // of an address holding two more than the one waiting.
            const auto from = m_addresses.find(entry.address);
            const int underWay = from == m_addresses.end() ? 0 : from->second.underWay;
            int rank = 0;
            if (now - entry.unreadSinceMs >= kMaxUnreadMs)
                rank = 3000 + int(std::min<qint64>(999, (now - entry.unreadSinceMs) / 1000));
            else if (entry.shutPerMille * 2 > 1000)
                rank = 2000 + entry.shutPerMille;
            else if (entry.address != m_waitingAddress && underWay >= own + 2 && underWay == most)
                rank = 1000 + std::max(0, entry.shutPerMille);
            if (rank > chosenRank || (rank > 0 && rank == chosenRank && entry.id > chosen->id)) {
                chosen = &entry;
                chosenRank = rank;
                *user = &name;
            }
        }
    }
    if (!chosen)
        return nullptr;
    const QString what = What(chosen->folder, chosen->list);
    if (chosenRank >= 3000)
        *why = QStringLiteral("has read nothing of %1 for %2 s")
                   .arg(what)
                   .arg((now - chosen->unreadSinceMs) / 1000);
    else if (chosenRank >= 2000)
        *why = QStringLiteral("keeps its window shut to %1 (%2% of the time it had some to send)")
                   .arg(what)
                   .arg(chosen->shutPerMille / 10);
    else
        *why = QStringLiteral("takes %1 among %2 replies to address %3, which a request from "
                              "%4 waits for")
                   .arg(what)
                   .arg(most)
                   .arg(QHostAddress(chosen->address).toString(),
                        QHostAddress(m_waitingAddress).toString());
    return chosen;
}

void PeerReplies::Retry()
{
    Admit();
    if (!m_waitingForRoom)
        return;
    // One reply a tick gives way, the one kept back longest first.
    const std::string* user = nullptr;
    QString why;
    if (!GivingWay(&user, &why))
        return;
    const std::string who = *user;
    Log(LogCategories::kShared, 1,
        QStringLiteral("User %1 %2 while other requests wait for room; closing the connection, "
                       "the request waits its turn again")
            .arg(QString::fromStdString(who), why));
    Requeue(who);
}
