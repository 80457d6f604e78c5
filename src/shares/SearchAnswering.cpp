// Answering other users' searches. A search reaches us from the distributed network; its words
// are looked up in the word index, and a user who may see between one and kMaxSearchHits
// matching files gets them in one compressed reply (code 9), straight over peer messaging.
//
// A common word links hundreds of thousands of files, and a search with more hits than a reply
// holds is not answered at all. So no set of candidates is ever built: the rarest word's files
// are visited one at a time, each tested against the other words, the name tests and who may
// see it, and the visit ends at the first hit too many. Two common words carried together by a
// few files cost the rarer one's files, each a lookup in the other's links. Whatever the words,
// a search looks through files for kSearchMs at most, and searches together take no more than
// kSearchSharePercent of the thread, those of one source no more than its share of that: a flood
// of searches that are costly to answer finds its source's share spent and goes unanswered, while
// searches through other sources are answered from the rest.

#include "shares/SharedFoldersManager.h"

#include "peer/PeerMessages.h"
#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SearchParser.h"
#include "shares/SharesSchema.h"
#include "store/Clock.h"
#include "store/FileInfo.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "store/TurnBudget.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string_view>

#include <time.h>

using namespace SharesTypes;

namespace {

bool ContainsAny(std::string_view name, const SearchParser::TokenSet& words)
{
    return std::any_of(words.begin(), words.end(), [name](const std::string& word) {
        return name.find(word) != std::string_view::npos;
    });
}

bool ContainsAll(std::string_view name, const SearchParser::TokenSet& words)
{
    return std::all_of(words.begin(), words.end(), [name](const std::string& word) {
        return name.find(word) != std::string_view::npos;
    });
}

// The thread's own time so far: what a search costs it, however often it is put aside.
qint64 ThreadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A hit as the searcher sees it: its local path with backslashes for separators, its size, and
// for an MP3 file the bitrate details the scanner found.
FileInfo ReplyRecord(ItemPtr file)
{
    std::string path = file[SharedFileFolder].AsString() + "/" + file[SharedFileName].AsString();
    std::replace(path.begin(), path.end(), '/', '\\');
    FileInfo info(path, file[SharedFileSize].AsInt64());
    if (GetFileExtension(path) == "mp3") {
        info.attributes.extension = "mp3";
        if (ItemPtr bitrate = file[PeerTypes::Bitrate])
            info.attributes.attributes.emplace_back(AttributeMap::Bitrate, bitrate.AsInt());
        if (ItemPtr mode = file[PeerTypes::BitrateMode])
            info.attributes.attributes.emplace_back(AttributeMap::VariableBitrate,
                                                    mode.AsString() == "vbr" ? 1 : 0);
    }
    return info;
}

} // namespace

void SharedFoldersManager::OnDNetSearchRequest(std::string user, quint32 token, std::string query,
                                               quintptr source)
{
    // Behind those still held, in the order they came.
    if (!m_holdSearches && m_heldSearches.empty()) {
        ProcessSearch(user, token, query, source);
        return;
    }
    m_heldSearches.push_back(HeldSearch{std::move(user), token, std::move(query), source});
    if (m_heldSearches.size() > kMaxHeldSearches)
        m_heldSearches.pop_front();
}

void SharedFoldersManager::AnswerHeldSearches()
{
    m_holdSearches = false;
    // Each may look through files for kSearchMs and then compress its reply: two hundred of them
    // at once would hold the thread for the whole burst of the allowance.
    m_heldAnswering.Start();
}

bool SharedFoldersManager::AnswerHeldSearch()
{
    if (m_holdSearches || m_heldSearches.empty())
        return false;
    const HeldSearch search = std::move(m_heldSearches.front());
    m_heldSearches.pop_front();
    ProcessSearch(search.user, search.token, search.query, search.source);
    return !m_heldSearches.empty();
}

bool SharedFoldersManager::FindSearchHits(const std::string& user, const std::string& query,
                                          std::vector<Item*>& hits, qint64 budgetNs,
                                          bool* outOfTime)
{
    QElapsedTimer clock;
    clock.start();
    hits.clear();
    if (outOfTime)
        *outOfTime = false;
    SearchParser parser;
    const bool valid = parser.SetSearchText(query);
    if (parser.TermsDropped())
        Log(LogCategories::kSearch, 1,
            QStringLiteral("Search from user %1 has more than %2 words, the rest are ignored")
                .arg(QString::fromStdString(user))
                .arg(SearchParser::kMaxSearchTerms));
    if (!valid)
        return false;

    // Words are looked up as they came: the index holds lower-case words only, so a word with
    // a capital letter finds nothing. A query of part words alone has no candidates.
    std::vector<Item*> tokens;
    for (const std::string& word : parser.GetIncludedTokenSet()) {
        Item* token = m_types.token->HasItem(Value(word));
        if (!token)
            return false;
        tokens.push_back(token);
    }
    if (tokens.empty())
        return false;
    // A file carries a word when it or its folder is linked to it: a folder's words are linked
    // to the folder, once for all its files.
    const Type* folderType = m_types.folder;
    const auto folderOf = [folderType](const Item* file) {
        const Item* folder = nullptr;
        file->VisitItems(folderType, [&folder](const Item* f) {
            folder = f;
            return true;
        });
        return folder;
    };
    // How many files a word reaches, its files and those of its folders, counted only as far as
    // one past the rarest word so far: a common word's folders are not all visited to tell that
    // it is not the rarest.
    const auto reach = [this, folderType](const Item* token, size_t rarest) {
        size_t n = token->ConnectionCount(m_types.file);
        if (n <= rarest) {
            token->VisitItems(folderType, [&](const Item* folder) {
                n += folder->ConnectionCount(m_types.file);
                return n > rarest;
            });
        }
        return std::min(n, rarest + 1);
    };
    // The rarest word gives the candidates; the others are tested rarest first, since the rarer
    // a word the more candidates it turns away. Words are counted in the order of their own
    // files, so that the first count is as a rule the rarest already.
    std::vector<std::pair<size_t, Item*>> byReach;
    for (Item* token : tokens)
        byReach.emplace_back(token->ConnectionCount(m_types.file), token);
    std::stable_sort(byReach.begin(), byReach.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    size_t fewest = SIZE_MAX - 1;
    for (auto& [n, token] : byReach) {
        n = reach(token, fewest);
        fewest = std::min(fewest, n);
    }
    std::stable_sort(byReach.begin(), byReach.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t k = 0; k < tokens.size(); ++k)
        tokens[k] = byReach[k].second;

    const ItemSet visible = GetUserSharedFolders(user);
    if (visible.IsEmpty())
        return false;
    const Type* rootType = d.GetType(SharedFolder);
    // Files of one folder are made one after another, so their ids, and the visit, run in a
    // row: the last folder's answer is asked for again and again.
    const Item* lastFolder = nullptr;
    bool lastFolderVisible = false;
    const auto isVisible = [&](const Item* folder) {
        if (folder != lastFolder) {
            lastFolder = folder;
            // A folder is visible when any of its roots is (several when shares nest).
            lastFolderVisible = folder && folder->VisitItems(rootType, [&](const Item* root) {
                return visible.Contains(root);
            });
        }
        return lastFolderVisible;
    };

    const SearchParser::TokenSet& excluded = parser.GetExcludedTokenSet();
    const SearchParser::TokenSet& parts = parser.GetIncludedPartTokenSet();
    // The clock is read every 32 files, a read costing what a file does, or at every file when
    // names are tested: one with thousands of exclusions costs more than the read. A test's
    // budget is counted in files alone, so that a slow build cuts it nowhere else.
    const size_t clockEvery = excluded.empty() && parts.empty() ? 32 : 1;
    const size_t testSteps = size_t(std::max(0, TurnBudget::StepsPerSliceForTesting()));
    size_t looked = 0;
    bool late = false;
    std::vector<bool> inFolders;
    for (const Item* token : tokens)
        inFolders.push_back(token->IsConnected(folderType));
    const auto visit = [&](Item* file) {
        ++looked;
        if (testSteps > 0 ? looked > testSteps
                          : looked % clockEvery == 0 && clock.nsecsElapsed() > budgetNs) {
            late = true;
            return true;
        }
        // Asked of the word's side: its links stay in the cache from one candidate to the
        // next, while each candidate's own links would be a fresh miss, and are read only
        // when a word is not the file's own but some folder's.
        const Item* folder = nullptr;
        bool folderFound = false;
        const auto fileFolder = [&] {
            if (!folderFound)
                folder = folderOf(file);
            folderFound = true;
            return folder;
        };
        for (size_t k = 1; k < tokens.size(); ++k) {
            if (!tokens[k]->IsConnected(file) &&
                !(inFolders[k] && fileFolder() && tokens[k]->IsConnected(folder)))
                return false;
        }
        // Part and excluded words are tested against the name as stored, case and all; the
        // folder takes no part.
        if (!excluded.empty() || !parts.empty()) {
            const Item* name = file->HasItem(SharedFileName);
            const std::string_view text = name ? name->AsString().View() : std::string_view();
            if (ContainsAny(text, excluded) || !ContainsAll(text, parts))
                return false;
        }
        if (!isVisible(fileFolder()))
            return false;
        hits.push_back(file);
        return hits.size() > kMaxSearchHits;
    };
    // The files linked to the rarest word, then those of the folders linked to it (a file
    // linked both ways was met already). They are tested a batch at a time, each asked for from
    // memory as it joins the batch: the files of a word are spread over the whole share, each a
    // cache miss, and the misses of a batch overlap rather than follow one another.
    constexpr size_t kBatch = 32;
    Item* batch[kBatch];
    size_t batched = 0;
    const auto testBatch = [&] {
        for (size_t k = 0; k < batched; ++k) {
            if (visit(batch[k]))
                return true;
        }
        batched = 0;
        return false;
    };
    const auto take = [&](Item* file) {
        __builtin_prefetch(file);
        batch[batched++] = file;
        return batched == kBatch && testBatch();
    };
    Item* rarest = tokens.front();
    const bool stopped =
        rarest->VisitItems(m_types.file, take) ||
        rarest->VisitItems(folderType,
                           [&](Item* folder) {
                               return folder->VisitItems(m_types.file, [&](Item* file) {
                                   return !rarest->IsConnected(file) && take(file);
                               });
                           }) ||
        testBatch();
    if (late) {
        Log(LogCategories::kSearch, 1,
            QStringLiteral("Search from user %1 given up after %2 ms, %3 files looked at")
                .arg(QString::fromStdString(user))
                .arg(double(clock.nsecsElapsed()) / 1e6, 0, 'f', 1)
                .arg(looked - 1));
        if (outOfTime)
            *outOfTime = true;
    }
    return !stopped && !hits.empty();
}

bool SharedFoldersManager::DrawSearchAllowance(const std::string& user, quintptr source,
                                               qint64* budgetNs)
{
    const SourceAllowance::Draw draw = m_searchAllowance.Left(source, Clock::MonotonicMs());
    if (draw.left <= 0) {
        if (draw.firstRefusal && draw.wholeSpent)
            Log(LogCategories::kSearch, 1,
                QStringLiteral("Searches from the network have taken their share of time (%1%); "
                               "not answering others (the first: %2) for now")
                    .arg(kSearchSharePercent)
                    .arg(QString::fromStdString(user)));
        else if (draw.firstRefusal)
            Log(LogCategories::kSearch, 1,
                QStringLiteral("Searches through one source have taken its share of time "
                               "(%1%); not answering its others (the first: %2) for now")
                    .arg(double(kSearchSourceNsPerMs) / 10000.0)
                    .arg(QString::fromStdString(user)));
        return false;
    }
    *budgetNs = std::min(kSearchMs * 1000000, draw.left);
    return true;
}

void SharedFoldersManager::ProcessSearch(const std::string& user, quint32 token,
                                         const std::string& query, quintptr source)
{
    qint64 budgetNs = 0;
    if (!DrawSearchAllowance(user, source, &budgetNs))
        return;
    // What the search costs the thread, up to the reply's bytes, is drawn from the allowance; a
    // search that ran out of time costs its whole budget, however a test cut it short. Sending
    // is capped on its own (kMaxSearchReplyAttempts, kMaxPendingSearchReplies).
    const qint64 startNs = ThreadCpuNs();
    bool outOfTime = false;
    const auto charge = [&] {
        const qint64 ns = ThreadCpuNs() - startNs;
        m_searchAllowance.Take(source, outOfTime ? std::max(ns, budgetNs) : ns);
    };
    std::vector<Item*> hits;
    if (!FindSearchHits(user, query, hits, budgetNs, &outOfTime)) {
        charge();
        return;
    }

    // By path, byte-wise; two hits with one path make one record, the later one.
    std::map<std::string, FileInfo> files;
    for (Item* hit : hits) {
        FileInfo info = ReplyRecord(hit);
        std::string path = info.name;
        files[path] = std::move(info);
    }
    const UploadState uploads = m_uploadState ? m_uploadState() : UploadState();

    MemStream body;
    body.Write(Settings::Text(SettingKeys::Username));
    body.Write(token);
    body.Write(quint32(files.size()));
    for (const auto& file : files) {
        if (!body.Write(file.second))
            break;
    }
    body.Write(quint8(uploads.freeToUpload ? 1 : 0));
    // What the server last said of our speed: a negative figure goes out as its 32 bits.
    body.Write(quint32(Settings::Int(SettingKeys::UploadSpeed)));
    body.Write(quint32(uploads.queuedUploads));
    body.Write(quint32(0)); // the attribute translation table, always empty

    MemStream message;
    const bool compressed =
        ZMessage(PM_FILE_SEARCH_RESULT, body.GetBuffer(), body.GetBufferLength(), &message);
    charge();
    if (!compressed) {
        Log(LogCategories::kSearch, 1,
            QStringLiteral("Could not compress the search results for user %1 for search "
                           "string %2")
                .arg(QString::fromStdString(user), QString::fromStdString(query)));
        return;
    }
    bool madeUser = false;
    if (!AdmitSearchReply(user, source, &madeUser))
        return;
    Log(LogCategories::kSearch, 1,
        QStringLiteral("Sending search results to user %1 for search string %2")
            .arg(QString::fromStdString(user), QString::fromStdString(query)));
    QueueSearchReply(user, source, madeUser, message);
}

bool SharedFoldersManager::AdmitSearchReply(const std::string& user, quintptr source,
                                            bool* madeUser)
{
    ItemPtr userItem = ServerStore::FindUser(user);
    const auto counted = m_searchReplyAttempts.find(user);
    *madeUser = !userItem || (counted != m_searchReplyAttempts.end() && counted->second.madeUser);
    if (userItem.IsConnected(PeerTypes::PeerSocket))
        return true;
    TidySearchReplies();
    // A second reply to the same searcher waits for the same attempt.
    if (counted != m_searchReplyAttempts.end() && !counted->second.over)
        return true;
    size_t all = 0;
    size_t fromSource = 0;
    for (const auto& [searcher, attempt] : m_searchReplyAttempts) {
        all += attempt.over ? 0 : 1;
        fromSource += !attempt.over && attempt.source == source ? 1 : 0;
    }
    if (all < kMaxSearchReplyAttempts && fromSource < kMaxSearchReplyAttemptsPerSource)
        return true;
    if (!m_searchReplyCapLogged)
        Log(LogCategories::kSearch, 1,
            QStringLiteral("Search results for %1 users%2 wait for connections; not answering "
                           "others (the first: %3) until some are over")
                .arg(all < kMaxSearchReplyAttempts ? fromSource : all)
                .arg(all < kMaxSearchReplyAttempts ? QStringLiteral(" searching through one source")
                                                   : QString())
                .arg(QString::fromStdString(user)));
    m_searchReplyCapLogged = true;
    return false;
}

void SharedFoldersManager::OnConnectionToUserFailed(std::string user, std::string type)
{
    const auto it = m_searchReplyAttempts.find(user);
    if (type != "P" || it == m_searchReplyAttempts.end())
        return;
    // The reply stays queued for a while, in case the searcher connects to us; the user item
    // made for it goes with it, at the next tidying (not here: the peer connection manager is
    // in the middle of its own work on the user).
    it->second.over = true;
}

void SharedFoldersManager::QueueSearchReply(const std::string& user, quintptr source, bool madeUser,
                                            const MemStream& message)
{
    // A host built without peer messaging (EngineOptions::peerMessenger) answers nobody.
    if (!peerMessenger)
        return;
    ItemPtr userItem = ServerStore::FindUser(user);
    if (userItem.IsConnected(PeerTypes::PeerSocket)) {
        peerMessenger->SendMessage(user, message);
        return;
    }
    // Queued while a connection is asked for: the new one of the user's queued messages.
    const ItemSet before = userItem.GetItems(PeerTypes::UnsentMessage);
    peerMessenger->SendMessage(user, message);
    userItem = ServerStore::FindUser(user);
    const bool fresh = !m_searchReplyAttempts.count(user) || m_searchReplyAttempts[user].over;
    SearchReplyAttempt& attempt = m_searchReplyAttempts[user];
    attempt.madeUser = attempt.madeUser || madeUser;
    // A reply that comes once the last attempt is over comes with an attempt of its own.
    if (fresh)
        attempt.source = source;
    attempt.over = false;
    for (Item* queued : userItem.GetItems(PeerTypes::UnsentMessage)) {
        if (!before.Contains(queued))
            m_pendingSearchReplies.emplace_back(user, queued->Id());
    }
    if (m_pendingSearchReplies.size() <= kMaxPendingSearchReplies)
        return;
    const auto [oldestUser, oldestId] = m_pendingSearchReplies.front();
    m_pendingSearchReplies.pop_front();
    if (!m_searchReplyCapLogged)
        Log(LogCategories::kSearch, 1,
            QStringLiteral("More than %1 search results wait for connections; dropping the "
                           "oldest (for user %2) and others like it")
                .arg(kMaxPendingSearchReplies)
                .arg(QString::fromStdString(oldestUser)));
    m_searchReplyCapLogged = true;
    Item* oldest = d.ItemById(oldestId);
    if (oldest && oldest->GetType() == d.GetType(PeerTypes::UnsentMessage))
        ItemPtr(oldest).Remove();
}

void SharedFoldersManager::TidySearchReplies()
{
    Type* unsent = d.GetType(PeerTypes::UnsentMessage);
    const auto gone = [unsent](const std::pair<std::string, uint32_t>& reply) {
        const Item* item = d.ItemById(reply.second);
        return !item || item->GetType() != unsent;
    };
    m_pendingSearchReplies.erase(
        std::remove_if(m_pendingSearchReplies.begin(), m_pendingSearchReplies.end(), gone),
        m_pendingSearchReplies.end());

    // A searcher counts until nothing is under way for it any more: no message queued, no
    // connection or attempt. Then a user item made for the reply goes, with what the server
    // told of its address or was asked of it; a user that has come to matter otherwise (a
    // room, the user list, a download) stays, ours no longer.
    static const char* const kUnderWay[] = {PeerTypes::UnsentMessage,
                                            PeerTypes::ConnectToPeerRequest,
                                            PeerTypes::PeerSocket,
                                            PeerTypes::ConnectToPeerRequestSocket,
                                            PeerTypes::PeerConnectionRequest,
                                            PeerTypes::IndirectConnectToPeerRequest};
    static const char* const kAddress[] = {PeerTypes::UserAddress, PeerTypes::UserPort,
                                           PeerTypes::UserObfuscatedPort,
                                           ServerTypes::UserAddressRequest};
    for (auto it = m_searchReplyAttempts.begin(); it != m_searchReplyAttempts.end();) {
        ItemPtr user = ServerStore::FindUser(it->first);
        size_t underWay = 0;
        size_t address = 0;
        for (const char* type : kUnderWay)
            underWay += user ? user->ConnectionCount(d.GetType(type)) : 0;
        for (const char* type : kAddress)
            address += user ? user->ConnectionCount(d.GetType(type)) : 0;
        if (user && underWay > 0) {
            ++it;
            continue;
        }
        if (it->second.madeUser && user && user->ConnectionCount() == address)
            user.Remove();
        it = m_searchReplyAttempts.erase(it);
    }
    if (m_pendingSearchReplies.size() < kMaxPendingSearchReplies &&
        size_t(std::count_if(m_searchReplyAttempts.begin(), m_searchReplyAttempts.end(),
                             [](const auto& a) { return !a.second.over; })) <
            kMaxSearchReplyAttemptsPerSource)
        m_searchReplyCapLogged = false;
}

void SharedFoldersManager::EveryHalfMinute()
{
    TidySearchReplies();
}
