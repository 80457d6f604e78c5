#pragma once

// The shared-folder manager: everything this client shares. One object at run time, split over
// files by concern:
//   SharesSchema.cpp          the store types and relations of local shares and received lists
//   SharedFoldersManager.cpp  who may see what, finding a shared file by path, the login report
//   ShareWalk.cpp             the shared folders listed on a worker thread
//   ShareScanner.cpp          what the listing finds applied to the store in slices, keeping its
//                             picture of the shared folders in step with the disk
//   SearchIndex.cpp           the word index of the shared files
//   MP3Scanner.cpp            the MP3 details of shared files, read on a worker thread
//   ShareMessages.cpp         our share list and folder contents, as other users ask for them
//   ReceivedShares.cpp        share lists received from other users, as trees in the store
//   SearchAnswering.cpp       answering other users' searches from the word index
//
// The local share in the store: shared_folder (a root the user chose) -- shared_file_folder (one
// per scanned directory, the root included; several roots when shares nest) -- shared_file (one
// per file) with its shared_file_name, shared_file_size, MP3 details, is_scanned flag and the
// search_token items of its name's words; the words of a folder's path are linked to the folder.

#include "peer/ReceivedShareList.h"
#include "shares/MP3Scanner.h"
#include "shares/PeerReplies.h"
#include "shares/ShareMessages.h"
#include "store/Data.h"
#include "store/FileInfo.h"
#include "store/MemStream.h"
#include "store/Services.h"
#include "store/SlicedJob.h"
#include "store/SourceAllowance.h"
#include "store/UserStats.h"
#include "store/WorkerThread.h"

class DataSaver;

#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

class ReceivedShares;
class ShareScanner;

class SharedFoldersManager : public QObject, public DataHandler
{
    Q_OBJECT

public:
    // Needs the server connection and the schemas of the server, the peer connection manager
    // and its own (CreateData). Build it before the store file is loaded: the lower-case keys
    // of loaded folders and names are made by the load.
    explicit SharedFoldersManager(QObject* parent = nullptr);
    ~SharedFoldersManager() override;

    // Declares the store types, relations and saved types of the shares.
    static void CreateData(DataSaver& saver);

    // Called once the store file is loaded: watches for new roots, then rescans every root.
    void Init();
    // Gives up the scans under way and asked for, for a shutdown: the store keeps what they
    // applied, a consistent picture as far as they got.
    void StopScans();
    // Test-only: stops the scans and the share lists being compressed, and forgets the kept
    // lists, the scan counts, held searches and unwritten MP3 results, as after building, for
    // hosts that reuse one engine for many runs (the fuzz targets).
    void ResetForTesting();

    // Visibility. A folder's visibility is its root's: these name roots (shared_folder items).
    // The roots the user may see; never creates a user item. Answers to other users (share
    // lists, folder contents, search replies) show only these.
    ItemSet GetUserSharedFolders(const std::string& user);
    // Whether a shared_file item is visible to the user through any of its roots. Makes the
    // user item when missing.
    bool IsFileSharedWithUser(ItemPtr file, const std::string& user);

    // The shared_file item for a local path, or null. The file whose stored folder and name
    // equal the path byte for byte wins; otherwise letter case and repeated or trailing
    // separators are ignored. Open the file found by its own stored folder + "/" + name, never
    // by the spelling that was asked for: that may name another file.
    ItemPtr GetSharedFileItem(const std::string& path);

    // Deletes the share tree received from a user, if there is one, also one still being
    // built: at once as far as the user is concerned, in slices in fact (ReceivedShares.h).
    void RemoveUserShare(const std::string& user);
    // A user's share list as the peer connection manager read it. Its tree is built in slices,
    // user_share_loaded made once it is whole.
    void KeepUserShare(const std::string& user, std::shared_ptr<const ReceivedShareList> list);
    // Builds and deletes the received trees under way here and now, without the event loop:
    // for hosts that need them finished before they go on (tests, benchmarks, shutdown).
    void WaitForShareLists();
    ReceivedShares& ReceivedSharesForTesting() { return *m_received; }
    // The audio details of a received file (user_share_file or search_result item) as text.
    QString GetFileItemDisplayString(ItemPtr file);

    // Scanning. The disk is walked on a thread of its own and what it finds is applied here in
    // slices between turns of the event loop; scans run in the order asked for.
    // Rescans every root, then reports with SharedFilesRescanned.
    void RescanShares();
    // Scans one directory of one root and, depth first, everything below it.
    void AddSharedFiles(const std::string& root, const std::string& folder);
    bool IsScanning() const;
    // Applies the scans under way and asked for, here and now, without the event loop: for
    // hosts that need the finished picture before they go on (tests, benchmarks).
    void WaitForScans();

    // The word index.
    void TokenizeSharedFile(ItemPtr file);
    static bool IsSearchTokenSeparator(unsigned char c);

    // Our share list for a user (ShareMessages.cpp): the whole compressed message, code first.
    // A user who may see nothing gets a list of no folders. The message is kept for the set of
    // roots the user may see until something under them changes, so a repeat costs a copy.
    MemStream GetSharedFilesMessage(std::string user);
    // The same for a share-list request from the network: reply gets the message, at once when
    // it is kept, else once it has been written in slices between turns of the event loop and
    // compressed on a worker thread (a big share takes seconds). An empty message means there
    // is nothing to send.
    void AnswerShareListRequest(const std::string& user, std::function<void(MemStream)> reply);
    // The same, without the log line: made gets the message, shared with every user who may
    // see the same folders.
    void MakeShareList(const std::string& user, ShareListReplies::Reply made);

    // Searches from the network (SearchAnswering.cpp). The most hits a reply carries: a search
    // with more is not answered at all, not answered in part.
    static constexpr size_t kMaxSearchHits = 200;
    // The longest one search may look through files. Words that are all common cost in
    // proportion to the rarest of them, which is answered well within it; a common word with
    // words that turn every one of its files away (an exclusion, a part word no name holds,
    // folders the searcher may not see) would otherwise walk hundreds of thousands of files, and
    // is given up at it instead.
    static constexpr qint64 kSearchMs = 8;
    // The share of the GUI thread's time that searches from the network take together, whatever
    // comes in: each search draws what it costs (the matching and the reply's bytes) from an
    // allowance that grows by this share of the time passing, up to kSearchBurstMs; a search that
    // finds the allowance spent is not answered, and none is given more than what is left.
    static constexpr int kSearchSharePercent = 10;
    static constexpr qint64 kSearchBurstMs = 200;
    static constexpr qint64 kSearchNsPerMs = 1000000 * kSearchSharePercent / 100;
    // What the searches of one source (our tree parent, a candidate parent, the server) may take
    // of that, in growth and in burst alike: one source flooding leaves a quarter of the allowance
    // to the others. Every source draws from its own share and from the whole at once, so that
    // many sources together still take only the whole (SourceAllowance).
    static constexpr qint64 kSearchSourceNsPerMs = kSearchNsPerMs * 3 / 4;
    static constexpr qint64 kSearchSourceBurstMs = kSearchBurstMs * 3 / 4;
    // Replies waiting for a messaging connection to their searcher. Searches come from
    // anyone the distributed network passes on, each naming a searcher who must be connected
    // to: past this many waiting replies the oldest is dropped.
    static constexpr size_t kMaxPendingSearchReplies = 100;
    // Searchers without a messaging connection whose replies are under way: each reply waits
    // for a connection attempt, a relayed request and often an address request. Known users
    // count as strangers do, since any search can name any user; past this many a search
    // from yet another is not answered until some of those are over. The user items made for
    // strangers go once nothing is under way for them any more. An attempt is over as soon as
    // the connection to its searcher fails (the server says the user is offline, the relayed
    // request fails or expires): its reply may still go if the searcher connects, but it no
    // longer counts.
    static constexpr size_t kMaxSearchReplyAttempts = 200;
    // What the searches of one source (our tree parent, a candidate parent, the server) may hold
    // of that, so that no one of them can keep everyone else's searches unanswered.
    static constexpr size_t kMaxSearchReplyAttemptsPerSource = kMaxSearchReplyAttempts * 3 / 4;
    // Searches from the network that come while the start-up rescan builds the word index
    // (which is not saved) wait for it: the half-built index would miss most files. They are then
    // answered a slice at a time, in the order they came, and those that come meanwhile wait
    // behind them. Past this many waiting the oldest is dropped.
    static constexpr size_t kMaxHeldSearches = 200;
    // Matches the query against the word index and, when the user may see 1 to kMaxSearchHits
    // hits, sends the user a search reply (code 9) that echoes the token.
    // source names where the search came from (SearchSource), for the caps on attempts.
    void ProcessSearch(const std::string& user, quint32 token, const std::string& query,
                       quintptr source = 0);
    // The matching alone: the shared_file items the user may see that match, in no particular
    // order. False when the search gets no reply: a malformed query, a word not in the index,
    // no hit, more than kMaxSearchHits (the search stops at the first hit too many) or files
    // still to look at after budgetNs (then outOfTime is set). Words past the parser's
    // kMaxSearchTerms are ignored. A test's TurnBudget::StepsForTesting ends the budget after
    // that many files looked at.
    bool FindSearchHits(const std::string& user, const std::string& query, std::vector<Item*>& hits,
                        qint64 budgetNs = kSearchMs * 1000000, bool* outOfTime = nullptr);

    // What a search reply tells of our uploads. The transfer engine sits above the shares in
    // the build, so the engine root installs the hook; without one a reply tells of no free
    // upload slot and no queued upload.
    struct UploadState
    {
        bool freeToUpload = false;
        qint32 queuedUploads = 0;
    };
    void SetUploadStateHook(std::function<UploadState()> hook) { m_uploadState = std::move(hook); }

    // Test-only: the timer that ticks while folder contents replies are held, to fire without
    // waiting.
    SharedTimer* ReplyRetryTimerForTesting();
    PeerReplies::Totals ReplyLoadForTesting() const;

Q_SIGNALS:
    void SharedFilesRescanned(int added, int removed);
    // The path's characters are its bytes, one per character.
    void MP3ScanRequired(QString path);

public Q_SLOTS:
    // Lets go of the user items made for search replies that are over.
    void EveryHalfMinute();
    void OnConnectedToServer();
    void OnReceivedUserStats(std::string user, UserStats stats);
    // A result of the MP3 scanner, on this thread: written to the file's item, which is marked
    // scanned so that later scans do not ask again. path is the text of the request. Results are
    // written a slice at a time, and wait while a scan is applied: a first scan of a big share
    // asks for hundreds of thousands, and their results would otherwise take the GUI thread
    // from the scan, and then hold it for as many as had come in meanwhile.
    void OnMP3Scanned(QString path, int version, QString mode, int frequency, bool variable,
                      int bitrate);
    // A folder's contents asked for by a user (code 36), answered with code 37 when the user
    // may see the folder, else not at all; our share list asked for (code 4), answered with
    // code 5. A reply waits its turn until it fits beside what waits to go to the user and to
    // everyone (PeerReplies).
    void OnFilesInFoldersRequested(std::string user, quint32 token, std::string folder);
    void OnShareListRequested(const std::string& user);
    // The user's last messaging connection went: its replies under way go too.
    void OnMessagingConnectionsClosed(std::string user);
    // Whether a reply asked for by the user has not all gone out yet.
    bool OwesReply(const std::string& user) const;
    // A user's share list, as asked for: kept as the bytes a peer would have sent for it
    // (KeepUserShare).
    void OnUserShare(std::string user, const FileInfoMap& folders,
                     const AttributeTranslationTable& attributes);
    // A search handed over by the distributed network; the reply goes to the user directly.
    // During the start-up rescan it waits for the word index (kMaxHeldSearches).
    void OnDNetSearchRequest(std::string user, quint32 token, std::string query,
                             quintptr source = 0);
    // A connection asked for has failed for good: a search reply's attempt is over.
    void OnConnectionToUserFailed(std::string user, std::string type);

private:
    friend class ReceivedShares;
    friend class ShareScanner;

    // Removing this many items at once frees enough to be worth handing back to the system:
    // the C library keeps freed memory for later otherwise, and a dropped list of a million
    // files would go on holding hundreds of megabytes. Whether it was handed back.
    static constexpr size_t kTrimAfterRemovedItems = 100000;
    static bool ReleaseFreedMemory(size_t removedItems);

    // Store handlers.
    void OnSharedFolderAdded(Item* item);
    void OnSharedFileRemoved(Item* item);
    void OnSharedFileFolderRemoved(Item* item);
    void OnSharedFolderRemoved(Item* item);
    void OnShareChanged(ConnectionInfo info);

    // MP3 results waiting to be written.
    struct MP3Result
    {
        QString path;
        int version;
        QString mode;
        int frequency;
        bool variable;
        int bitrate;
    };
    // One result a step, in the order they came.
    bool WriteMP3Result();
    void ScheduleMP3Results();
    // Requests go to the scanner's worker a piece of kMP3ScansAPiece files at a time.
    static constexpr qsizetype kMP3ScansAPiece = 64;
    void SendMP3Requests();

    // Searches held during the start-up rescan (SearchAnswering.cpp), one a step.
    void AnswerHeldSearches();
    bool AnswerHeldSearch();

    // Search replies waiting for their searchers (SearchAnswering.cpp).
    bool AdmitSearchReply(const std::string& user, quintptr source, bool* madeUser);
    void QueueSearchReply(const std::string& user, quintptr source, bool madeUser,
                          const MemStream& message);
    void TidySearchReplies();

    // Folder contents (ShareMessages.cpp): the folder item of a local path the user may see.
    const Item* VisibleFolder(const std::string& user, const std::string& local);

    // Share lists (ShareMessages.cpp). The links a list shows are watched once one is built.
    void WatchShareChanges();
    void WatchShareLinks();
    QByteArray ShareListBody(const ItemSet& roots);

    // The word index (SearchIndex.cpp). The search_token items of the words of a folder path
    // or a file name, made if missing, each once.
    std::vector<Item*> TokenItems(std::string text);
    void LinkTokens(ItemPtr item, std::vector<Item*> tokens);

    // The types a scan touches for every file, looked up once.
    struct ScanTypes
    {
        Type* file = nullptr;
        Type* folder = nullptr;
        Type* name = nullptr;
        Type* size = nullptr;
        Type* scanned = nullptr;
        Type* token = nullptr;
    };
    ScanTypes m_types;
    // The MP3 scanner, used by its worker alone: files are read there, never on this thread.
    MP3Scanner m_scanner;
    int m_filesAdded = 0;
    int m_filesRemoved = 0;
    std::deque<MP3Result> m_mp3Results;
    SlicedJob m_mp3Writing{[this] { return WriteMP3Result(); }};
    QStringList m_mp3Requests;
    // After the scanner and the results it hands back to, so that it goes first.
    WorkerThread m_mp3Worker;
    // The scans under way and asked for, and the walker's thread.
    std::unique_ptr<ShareScanner> m_scan;
    std::function<UploadState()> m_uploadState;
    // Search replies waiting for a connection, oldest first: the user and the queued message's
    // item id. The searchers they wait for, each with whether its user item was made for the
    // reply, and whether a refusal was logged since the caps were last clear.
    struct HeldSearch
    {
        std::string user;
        quint32 token;
        std::string query;
        quintptr source;
    };
    bool m_holdSearches = false;
    std::deque<HeldSearch> m_heldSearches;
    SlicedJob m_heldAnswering{[this] { return AnswerHeldSearch(); }};
    std::deque<std::pair<std::string, uint32_t>> m_pendingSearchReplies;
    struct SearchReplyAttempt
    {
        bool madeUser = false;
        quintptr source = 0;
        bool over = false;
    };
    std::map<std::string, SearchReplyAttempt> m_searchReplyAttempts;
    bool m_searchReplyCapLogged = false;
    // What searches may still take of the GUI thread (kSearchSharePercent), in nanoseconds, in
    // all and through each source.
    SourceAllowance m_searchAllowance{{kSearchNsPerMs, kSearchBurstMs * 1000000},
                                      {kSearchSourceNsPerMs, kSearchSourceBurstMs * 1000000}};
    bool DrawSearchAllowance(const std::string& user, quintptr source, qint64* budgetNs);
    // The types whose links a share list shows.
    std::vector<Type*> m_shownTypes;
    bool m_watchingShareLinks = false;
    // Share lists kept and being compressed, and folder contents replies under way; last, so
    // that their workers stop first.
    std::unique_ptr<ShareListReplies> m_shareLists;
    std::unique_ptr<PeerReplies> m_replies;
    std::unique_ptr<ReceivedShares> m_received;
};
