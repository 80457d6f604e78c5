#pragma once

// The transfer engine: every download and upload of this client, kept in the store. One object
// at run time, split over files by concern:
//   TransfersSchema.cpp       the store types, their relations and what the store file keeps
//   TransferQueueManager.cpp  construction, the loaded data, teardown, the objects items stand for
//   DownloadFolders.cpp       where a download's partial and finished files go
//   Downloads.cpp             queueing downloads with peers, their statuses, the peers' notices
//   Uploads.cpp               the upload queue, its order, the slots and the upload statuses
//   UploadCandidates.cpp      the queued uploads that may start, in their order, kept as it goes
//   Negotiation.cpp           offering a file to a peer and answering a peer's offer
//   Housekeeping.cpp          time-outs, asking again for waiting downloads, stored times' ages
//   FileConnections.cpp       file connections handed to worker threads, and their reports
//   UploadSpeedLimit.cpp      the upload speed limit and its split over the active uploads
//
// A download is a download_entry linked to its user, file_name, remote_folder (as the peer
// writes it, "\" between components), file_size, subfolder_save_level, download_order and
// download_entry_status. While it runs, it is also linked to its socket, file and worker thread
// and to heap values (write_position and the like): items whose values are the objects'
// addresses. Each such heap value belongs to its item and is freed when the item goes.

#include "store/Data.h"
#include "store/Services.h"
#include "transfers/DownloadBatches.h"
#include "transfers/UploadCandidates.h"
#include "transfers/UploadThrottle.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

class DataSaver;
class QTcpSocket;
class TransferWorker;

class TransferQueueManager : public QObject, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    // Needs the server connection, the peer connection manager and the schemas of the server,
    // the peer connection manager, the shares and its own (CreateData). Build it before the
    // store file is loaded: the settings it writes are defaults that saved values replace.
    TransferQueueManager();
    // Stops every worker and frees the objects the engine's items stand for.
    ~TransferQueueManager() override;

    // Declares the store types, relations and saved types of the transfer engine.
    static void CreateData(DataSaver& saver);

    // Every unfinished download comes back "queued"; the users of downloads are tracked.
    void DataLoaded() override;

    // Download folders (DownloadFolders.cpp). Paths come in the internal form, "\" between
    // components; ToLocalPath gives the one the file system takes. Every component a peer chose
    // goes through SafePathComponent, so a path always lies below the download folder; when it
    // would not (no download folder set), the path functions give an empty string and the
    // operation that wanted it fails.
    QString GetDownloadTargetFolder(ItemPtr entry, bool complete);
    // The finished file is the one the download was saved as: its complete_download record's
    // name when it went to a free one beside a taken name.
    QString GetDownloadTargetPath(ItemPtr entry, bool complete);
    QString GetDownloadRelativeDownloadFolder(ItemPtr entry);
    // Whether the finished file is in place: a regular file of the entry's size, while the
    // download has not begun a partial file of its own (what lies at its finished name is then
    // another download's of a name that comes out the same).
    bool DoesDownloadItemCompleteFilenameExist(ItemPtr entry);
    // A partial file is resumed only by the download that owns it (partial_file, saved with it),
    // since names that differ on the peer can come out the same here. This gives the download
    // one in its downloading folder if it owns none there: where the layout puts it, unless
    // another download owns that name or a file no download owns is there (it is left alone,
    // and logged), else the first free name beside it ("a (1).mp3"). False when none is free.
    bool ClaimPartialFile(ItemPtr entry);
    // Where the download's partial file is, as the file system names it: the file its worker
    // writes while one runs (the download folder may have changed since it was opened), else
    // the one it owns in its downloading folder; empty when it owns none there.
    QString PartialFilePath(ItemPtr entry);
    // Removes the partial file's folders that the layout made, once they are empty and no
    // download from the same remote folder still needs them.
    void RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr entry);
    // While one lives, downloads are queued many at a time (a step of DownloadBatches), each
    // looking for its finished and its partial file: the layout's folder for a remote folder
    // and level, and whether it is on disk at all, are worked out once. The arrival counter is
    // kept here too, and its setting written when the last memo ends. Not across turns of the
    // event loop, in which the disk and the settings may change.
    class BatchMemo
    {
    public:
        explicit BatchMemo(TransferQueueManager& transfers);
        ~BatchMemo();
        BatchMemo(const BatchMemo&) = delete;
        BatchMemo& operator=(const BatchMemo&) = delete;

    private:
        TransferQueueManager& m_transfers;
    };
    // The download_folder setting, decoded the way it is written (the file system's encoding).
    static QString DownloadFolder();
    static QString ToLocalPath(QString internal);

    // Downloads (Downloads.cpp). A download is known by (user, file name, remote folder). The
    // level is how many folders above the remote folder the layout keeps (0 or more).
    ItemPtr AddDownload(std::string user, std::string file, std::string folder, long long size,
                        int level);
    // Many downloads at once, each as AddDownload makes it, in the order given and a slice at a
    // time (DownloadBatches.h).
    void AddDownloads(const std::string& user, std::vector<FolderDownload> folders);
    // Makes the downloads asked for with AddDownloads and not made yet, here and now.
    void FinishAddingDownloads();
    DownloadBatches& DownloadBatchesForTesting() { return *m_downloadBatches; }
    // The entry of that triple, or null; makes nothing, so that what peers name leaves nothing
    // behind.
    ItemPtr GetDownloadEntry(const std::string& user, const std::string& file,
                             const std::string& folder);
    // Asks the user to queue the download again, if the user is online.
    void QueueDownloadIfUserOnline(ItemPtr entry);
    // Asks the user to queue every unfinished, undenied download, in arrival order; not one
    // that ended because it was offered with another size.
    void RequeueUserDownloads(ItemPtr user);
    // Peer message 51.
    void RequestDownloadPlaceInLine(ItemPtr entry);
    // The one way a download's status changes after the load; leaving "downloading" tears the
    // transfer down (worker, file, socket, position, time and rate).
    void SetDownloadEntryStatus(ItemPtr entry, std::string status);
    // Stops and frees what the download runs on, and removes it; its files stay on disk.
    void RemoveDownload(ItemPtr entry);
    bool IsActivelyDownloadingFromUser(std::string user);

    // Uploads (Uploads.cpp). An upload is an upload_entry of one (user, shared file) pair, linked
    // to the name the peer asked for it by, which every message about it carries.
    // What the upload entries of one user, and of all users, may number: a request past either
    // is refused with "Queue full.".
    static constexpr int kMaxQueuedUploadsPerUser = 10000;
    static constexpr int kMaxQueuedUploads = 100000;
    // Whether upload a goes before upload b: a user of a higher group priority, then a
    // privileged user, then the earlier arrival.
    bool UploadEntrySortCompare(ItemPtr a, ItemPtr b);
    // The highest download priority among the user's groups; 0 for none.
    int GetUserGroupDownloadPriority(std::string user);
    // Gives a new entry its place in the upload order (effective_upload_order, from 1).
    void OrderNewUpload(ItemPtr entry);
    // The uploads waiting for a slot.
    int QueuedUploadCount();
    // Whether upload_slots (read unsigned; none without the setting) is above the uploads that
    // hold a slot.
    bool IsFreeToUpload();
    // Whether no more uploads hold a slot than there are slots; logs when it does not hold.
    bool AssertNoExtraUploads();
    // Shares nothing with the user any more: each of the user's uploads is refused and removed.
    void UnshareUser(std::string user);
    void ReshareUser(std::string user);
    // Stops and frees what the upload runs on, and removes it. The peer is not told.
    void RemoveUpload(ItemPtr entry);
    // Offers queued uploads, in their order, to online users who hold no other upload in an
    // active status, while slots are free. A file no longer shared with its user is refused
    // and removed instead.
    void StartNewUploads();
    // 1 to 99; a raise starts uploads at once, a cut stops none.
    void SetUploadSlots(int count);
    // The one way an upload's status changes. Leaving an active status tears the transfer down
    // (worker, file, socket, position, times, rate); into "aborted" the peer is told (code 46).
    void SetUploadEntryStatus(ItemPtr entry, std::string status);

    // The upload speed limit (UploadSpeedLimit.cpp). The setters store the setting and work the
    // split out again; so does every upload that starts or leaves an active status.
    void SetUploadSpeedLimit(int limit);
    void EnableUploadSpeedLimit(bool enabled);
    void DetermineUploadSpeedLimit();
    // The cap in force, KiB/s; 0 = none.
    int GetUploadSpeed() const { return m_uploadLimits.GetUploadSpeed(); }
    UploadSpeedLimits& uploadLimits() { return m_uploadLimits; }

    // Milliseconds since the upload last showed life: the later of its last status change and
    // the last data it moved, measured on the monotonic clock (Housekeeping.cpp), so that a wall
    // clock set back, or a stored time that is off, neither keeps it nor ends it early. Never
    // negative; -1 for an upload that has neither.
    qint64 UploadActivityAgeMs(ItemPtr entry) const;

    // Links entry to a new item of an object-valued type (write_position and the like) that
    // stands for object; the item owns it from then on.
    template <class T> static T* AttachObject(ItemPtr entry, const char* type, T* object)
    {
        entry += d.GetType(type)->GetItem(Value(object));
        return object;
    }

public Q_SLOTS:
    // File connections (FileConnections.cpp): a peer's connection that delivered the token of a
    // download we accepted, and the connection we asked for to send an upload. The engine owns
    // the socket from the call on.
    void OnFileConnection(std::string user, QTcpSocket* socket, uint token);
    void OnFileConnectionAccepted(std::string user, QTcpSocket* socket);
    // The peer's notices about our downloads: messages 44, 50 and 46.
    void OnDownloadPlaceInLine(std::string user, std::string path, uint place);
    void OnUploadDeniedNotification(std::string user, std::string path, std::string reason);
    void OnUploadFailedNotification(std::string user, std::string path);

    // A peer asks us to queue one of our files (message 43); file is as the peer wrote it.
    void OnQueueUploadRequested(std::string user, std::string file);
    // Sorts every upload afresh and numbers the order from 0.
    void DetermineUploadsEffectiveOrder();

    // Negotiation (Negotiation.cpp). A peer offers a file we download (message 40): a download
    // that may take it gets the peer's token as remote_transfer_req; one offered with another
    // size than it was queued with is refused and ends "aborted", not to be asked for again by
    // itself. A peer answers our offer (message 41): allowed, the shared file is opened by its
    // stored path and a file connection asked for.
    void OnFileTransferRequest(std::string user, int direction, uint token, std::string file,
                               qint64 size);
    void OnFileTransferResponse(std::string user, uint token, bool allowed, bool hasSize,
                                qint64 size, std::string reason);

    // Housekeeping (Housekeeping.cpp), on the shared half-minute and five-minute ticks, and a
    // diagnostic timer that logs how late its one-second ticks come.
    void EveryHalfMinute();
    void PeriodicCheck();
    void StartTimerTest();
    void TimerTest();

Q_SIGNALS:
    void DownloadProgressed(ItemPtr entry);
    void UploadProgressed(ItemPtr entry);
    // After the store file is loaded and the downloads are back in the queue.
    void TransfersLoaded();
    void CompleteDownloadAdded(ItemPtr record);

private:
    // What a transfer's worker reports (FileConnections.cpp). Each finds its transfer by the
    // worker, and does nothing once the worker is no longer the transfer's.
    void OnDownloadProgress(TransferWorker* worker, qint64 position, int bytesPerSecond);
    void OnDownloadError(TransferWorker* worker);
    void OnDownloadComplete(TransferWorker* worker);
    void OnUploadProgress(TransferWorker* worker, qint64 position, int bytesPerSecond);
    void OnUploadError(TransferWorker* worker);
    void OnUploadComplete(TransferWorker* worker);
    // Whether a file connection for the download can be taken: its token not stale, no worker
    // on it. Logs why not.
    bool MayStartDownload(ItemPtr entry);
    // Moves the finished file under the complete folder, at the first free name; empty when
    // that failed (the partial file is then kept).
    QString MoveCompleteDownload(ItemPtr entry);
    // Where the layout puts the file, whatever name a finished one was saved under.
    QString LaidOutPath(ItemPtr entry, bool complete);
    // The partial file the download owns if it lies in folder (the download folder may have
    // changed since it was claimed), as the file system names it; else empty.
    static QString OwnedPartialFile(ItemPtr entry, const QString& folder);
    // Adopting, the layout's own name is taken even with a file there: a download from an
    // older store, which owned nothing, wrote it.
    bool ClaimPartialFile(ItemPtr entry, bool adopt);
    // The layout's folder of a download: in the internal form (empty when it would not lie
    // below the download folder), as the file system names it, and in its encoding; and
    // whether anything may be in it, false only when a BatchMemo knows that it is not there.
    struct LaidOutFolder
    {
        QString internal;
        QString local;
        QByteArray encoded;
        bool mayHold = true;
    };
    LaidOutFolder LayoutFolder(ItemPtr entry, bool complete);
    // The folder of that kind below the download folder (base in the internal form, root as
    // paths below it are checked against), with the components the layout repeats.
    static LaidOutFolder FolderBelow(const QString& base, const QString& root, const QString& tail,
                                     bool complete);
    // The value of a name item (a file name, or the name a finished file was saved as) through
    // SafePathComponent: the component the layout gives it, and its bytes on disk. The last one
    // is kept, as a download asks for it for both of its files.
    struct NameComponent
    {
        std::string name;
        QString component;
        std::string encoded;
    };
    const NameComponent& ComponentOf(ItemPtr nameItem);
    NameComponent m_lastComponent;
    // What a BatchMemo keeps: the download folder, read once; the layout's folders (partial,
    // complete) by remote folder item and level, and the last ones asked for; whether local
    // folders are there.
    struct LayoutCache
    {
        using Key = std::pair<Item*, int>;
        using Folders = std::array<LaidOutFolder, 2>;
        QString base;
        QString root;
        bool baseRead = false;
        std::map<Key, Folders> folders;
        const Folders* last = nullptr;
        Key lastKey;
        QHash<QString, bool> there;
        // Whether the folder (local, below the download folder base) is there.
        bool IsThere(const QString& local, const QString& base);
    };
    std::unique_ptr<LayoutCache> m_layoutCache;
    int m_batchMemos = 0;
    // The next arrival number while a BatchMemo holds the counter (its setting lags behind).
    bool m_orderHeld = false;
    qint64 m_nextOrder = 0;
    // Downloads and uploads draw their arrival numbers from one counter.
    qint64 TakeTransferOrder();
    // Downloads from an older store own no partial file: each takes the one the layout gives
    // it, unless another download owns that, or another of them would take it too (whose bytes
    // it holds cannot be told then, and neither resumes it).
    void AdoptPartialFiles(const ItemSet& entries);
    // "a.mp3" -> "a (n).mp3", cut to the file system's name limit as SafePathComponent cuts;
    // past this many taken names a finished or partial file gets none.
    static QString NumberedName(const QString& name, int n);
    static constexpr int kMaxFreeNameTries = 1000;
    // The finished download's record, made once per user, folder and name, and linked to the
    // download.
    void RecordCompleteDownload(ItemPtr entry, const QString& completePath);

    // A user came online: their downloads are asked for again.
    void OnUserOnline(Item* user);
    // The download a peer names by its path (remote folder, "\", file name), or null.
    ItemPtr FindDownloadEntry(const std::string& user, const std::string& path);
    // What a running transfer's entry is linked to: its worker, file and socket, and the heap
    // values that go with them.
    struct TransferObjects
    {
        const char* thread;
        const char* file;
        const char* socket;
        const char* values[4];
    };
    static const TransferObjects kDownloadObjects; // position, receipt time, rate
    static const TransferObjects kUploadObjects;   // position, both times, rate
    // Ends what a transfer runs on: its worker (stopped and waited for), file, socket and
    // values. Deleting the worker and the socket can wait for the event loop.
    static void ReleaseTransfer(ItemPtr entry, const TransferObjects& objects, bool deferDeletion);

    // Uploads (Uploads.cpp).
    int ActiveUploadCount();
    // Numbers the entries' effective_upload_order in list order, from first.
    void NumberUploads(const ItemList& entries, qint64 first);
    // Whether the upload's file still exists among the shares and is shared with its user.
    bool IsUploadStillShared(ItemPtr entry);
    // Tells the peer (code 50, with the name it asked by) and removes the upload.
    void DenyAndRemoveUpload(ItemPtr entry, const char* reason);
    void OnUploadEntryRemoved(Item* item);

    // Times kept in the store (last_status_change_time, last_queue_request_time) are local
    // text, for whoever reads the store. Ages are measured on the monotonic clock from when the
    // time was stamped, so that a clock set back or a change of summer time neither keeps a
    // transfer waiting nor ends it early (Housekeeping.cpp).
    // Now, as stored times keep it, on item (replacing the one it had).
    void StampTime(ItemPtr item, const char* timeType);
    // The same without the monotonic reading, for a time whose age nothing asks: a download's
    // status change, of which a folder queued at once makes a quarter of a million.
    void StampText(ItemPtr item, const char* timeType);
    // Milliseconds since the item's time was stamped; from the text when it was not stamped in
    // this run, and never negative.
    qint64 AgeMs(ItemPtr item, const char* timeType) const;
    // Notes that the upload moved data now (its last_receipt_time is set at the same moment).
    void StampDataMoved(ItemPtr entry);
    void OnTimedItemRemoved(Item* item);
    // Sets the worker's stop flag and waits for it to end, however long its current block takes.
    static void StopWorker(TransferWorker* worker);

    // Removal handlers: the heap value behind the item goes with it.
    void OnWritePositionRemoved(Item* item);
    void OnReadPositionRemoved(Item* item);
    void OnLastReceiptTimeRemoved(Item* item);
    void OnLastSpeedMeasurementTimeRemoved(Item* item);
    void OnBytesPerSecondRemoved(Item* item);
    void OnBytesSinceLastReceiptRemoved(Item* item);
    void OnBytesUploadedRemoved(Item* item);

    // Read by every upload thread once per block.
    UploadSpeedLimits m_uploadLimits;
    // What StartNewUploads picks from: made once the types it follows are known to be there.
    std::unique_ptr<UploadCandidates> m_uploadCandidates;
    std::unique_ptr<DownloadBatches> m_downloadBatches;
    // The types a download is made of and looked for by, looked up once: queueing a folder of
    // a quarter of a million files asks for them a dozen times per download.
    struct DownloadTypes
    {
        Type* entry = nullptr;
        Type* user = nullptr;
        Type* fileName = nullptr;
        Type* remoteFolder = nullptr;
        Type* fileSize = nullptr;
        Type* level = nullptr;
        Type* order = nullptr;
        Type* status = nullptr;
        Type* partialFile = nullptr;
        Type* file = nullptr;
        Type* completeDownload = nullptr;
        Type* online = nullptr;
    };
    DownloadTypes m_types;
    // The item's partner of that type, or null (also for a null item).
    static ItemPtr Partner(ItemPtr item, const Type* type)
    {
        return item ? ItemPtr(item->HasItem(type)) : ItemPtr();
    }

    // The upload entry last placed at the end of the upload order; null when none is known,
    // and the next placement finds it from the numbers.
    Item* lastOrderedUpload = nullptr;
    // The diagnostic timer and how long since its last tick.
    QTimer timerTestTimer;
    QElapsedTimer timerTestClock;
    // Monotonic milliseconds at which an item's stored time was set, by item id.
    std::unordered_map<uint32_t, qint64> m_stampedMs;
    // The clock's text as last stamped, and the value it is stored as.
    QString m_stampText;
    std::string m_stampValue;
    // Monotonic milliseconds at which an upload last moved data, by entry id.
    std::unordered_map<uint32_t, qint64> m_dataMovedMs;
};
