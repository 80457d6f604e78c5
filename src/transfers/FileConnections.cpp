#include "transfers/TransferQueueManager.h"

#include "peer/PeerSchema.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharesSchema.h"
#include "store/Clock.h"
#include "store/Log.h"
#include "transfers/TransferWorkers.h"
#include "transfers/TransfersSchema.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QtEndian>

// File connections: the socket a peer opens for one file, handed to a worker thread once the
// start offset is agreed; and what the workers report, turned into store changes here on the
// engine's thread. A worker's signals are connected with the worker itself as the receiver, so
// that reports still queued when it is deleted die with it, and a handler that runs after the
// worker stopped being its transfer's (torn down, replaced) finds nothing to do.

using namespace TransfersTypes;
using ServerTypes::User;

namespace {

// An upload's rate goes to the server only for files above this size: a small file's rate says
// more about the connection's start than about the line.
constexpr qint64 kMinSizeForUploadSpeed = 1048576;

// A socket we will not use: closed, and deleted once its own signal handling is off the stack.
void Discard(QTcpSocket* socket)
{
    socket->disconnect();
    socket->close();
    socket->deleteLater();
}

// The transfer whose worker this is, or null once the worker is no longer linked to one.
ItemPtr EntryOfWorker(QObject* worker, const char* threadType, const char* entryType)
{
    return d.GetType(threadType)->HasItem(Value(worker))[entryType];
}

template <class T> T* ObjectOf(ItemPtr entry, const char* type)
{
    return entry[type].AsPointer<T>();
}

// The values that a running transfer's reports update in place.
void AttachRunningValues(ItemPtr entry)
{
    TransferQueueManager::AttachObject(entry, LastReceiptTime, new QDateTime(Clock::Now()));
    TransferQueueManager::AttachObject(entry, LastSpeedMeasurementTime,
                                       new QDateTime(Clock::Now()));
    TransferQueueManager::AttachObject(entry, BytesPerSecond, new qint32(0));
    TransferQueueManager::AttachObject(entry, BytesSinceLastReceipt, new qint64(0));
}

// What a progress report updates: the position, the rate and when bytes last moved.
void StoreProgress(ItemPtr entry, const char* positionType, qint64 position, int bytesPerSecond)
{
    if (auto* p = ObjectOf<qint64>(entry, positionType))
        *p = position;
    if (auto* rate = ObjectOf<qint32>(entry, BytesPerSecond))
        *rate = bytesPerSecond;
    if (auto* when = ObjectOf<QDateTime>(entry, LastReceiptTime))
        *when = Clock::Now();
}

// The socket leaves the peer connection manager's hands for the worker's thread: nothing of the
// manager hears of it any more, and only the worker's thread may use it from now on.
void HandOver(QTcpSocket* socket, TransferWorker* worker)
{
    socket->disconnect();
    socket->setParent(nullptr);
    socket->moveToThread(worker);
}

} // namespace

void TransferQueueManager::OnFileConnection(std::string user, QTcpSocket* socket, uint token)
{
    ItemPtr userItem = ServerStore::FindUser(user);
    Log(LogCategories::kTransferQueue, 1,
        QStringLiteral("File connection created by user %1 for req %2")
            .arg(TextForLog(user))
            .arg(token),
        userItem);
    ItemPtr req = d.GetType(RemoteTransferReq)->HasItem(Value(token));
    ItemPtr entry = userItem && req ? d.GetItem(userItem, req, DownloadEntry) : ItemPtr();
    if (!entry) {
        Discard(socket);
        Log(LogCategories::kTransferQueue, 2, QStringLiteral("Download not found, aborting"),
            userItem);
        return;
    }
    // A token serves one connection: a second one, or one after the download ended, is stale.
    entry.Disconnect(req);

    if (!MayStartDownload(entry)) {
        Discard(socket);
        return;
    }
    // One that owns none here (none yet, or the download folder changed) gets one now.
    ClaimPartialFile(entry);
    const QString path = PartialFilePath(entry);
    auto* file = new QFile(path);
    auto localError = [&](const QString& message) {
        SetDownloadEntryStatus(entry, TransferStatus::LocalError);
        delete file;
        Discard(socket);
        Log(LogCategories::kTransferQueue, 2, message, userItem);
    };
    if (path.isEmpty() || !QDir().mkpath(QFileInfo(path).path()) ||
        !file->open(QIODevice::WriteOnly | QIODevice::Append)) {
        localError(QStringLiteral("Could not open file, aborting"));
        return;
    }

    // The partial file's size is where the peer starts.
    const qint64 offset = file->size();
    const qint64 size = entry[PeerTypes::FileSize].AsInt64();
    // More than the whole file is not the start of the file the peer sends (it changed there,
    // or another user's file of the same name left it). It stays as it is, for the user to
    // judge; as "local error" the download is not asked for again at once when the peer reports
    // its upload failed, round after round.
    if (offset > size) {
        localError(QStringLiteral("Partial file %1 is larger than the file, aborting").arg(path));
        return;
    }
    const qint64 wireOffset = qToLittleEndian(offset);
    socket->write(reinterpret_cast<const char*>(&wireOffset), sizeof wireOffset);
    socket->flush();

    AttachObject(entry, DownloadSocket, socket);
    AttachObject(entry, DownloadFile, file);
    AttachObject(entry, WritePosition, new qint64(offset));
    SetDownloadEntryStatus(entry, TransferStatus::Downloading);
    AttachRunningValues(entry);

    auto* worker = new ::DownloadThread(socket, file, size, offset);
    HandOver(socket, worker);
    AttachObject(entry, TransfersTypes::DownloadThread, static_cast<TransferWorker*>(worker));
    connect(
        worker, &::DownloadThread::DownloadProgress, worker,
        [this, worker](qint64 position, int rate) { OnDownloadProgress(worker, position, rate); });
    connect(worker, &::DownloadThread::DownloadError, worker,
            [this, worker] { OnDownloadError(worker); });
    connect(worker, &::DownloadThread::DownloadComplete, worker,
            [this, worker] { OnDownloadComplete(worker); });
    worker->start(QThread::InheritPriority);
    Log(LogCategories::kTransferQueue, 2, QStringLiteral("Downloading"), userItem);
}

bool TransferQueueManager::MayStartDownload(ItemPtr entry)
{
    ItemPtr user = entry[User];
    // The token outlived its download.
    if (entry[DownloadEntryStatus].AsString() == TransferStatus::Complete) {
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("Download already complete, refusing connection"), user);
        return false;
    }
    // Two workers on one partial file would interleave their bytes.
    if (entry[TransfersTypes::DownloadThread]) {
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("Download already running, refusing connection"), user);
        return false;
    }
    return true;
}

void TransferQueueManager::OnDownloadProgress(TransferWorker* worker, qint64 position,
                                              int bytesPerSecond)
{
    ItemPtr entry = EntryOfWorker(worker, TransfersTypes::DownloadThread, DownloadEntry);
    if (!entry)
        return;
    StoreProgress(entry, WritePosition, position, bytesPerSecond);
    Q_EMIT DownloadProgressed(entry);
}

void TransferQueueManager::OnDownloadError(TransferWorker* worker)
{
    if (ItemPtr entry = EntryOfWorker(worker, TransfersTypes::DownloadThread, DownloadEntry))
        SetDownloadEntryStatus(entry, TransferStatus::Aborted);
}

void TransferQueueManager::OnDownloadComplete(TransferWorker* worker)
{
    ItemPtr entry = EntryOfWorker(worker, TransfersTypes::DownloadThread, DownloadEntry);
    if (!entry)
        return;
    worker->wait();
    const QString target = MoveCompleteDownload(entry);
    if (target.isEmpty()) {
        // The bytes are all there, in the partial file: nothing is lost, but nothing is done.
        SetDownloadEntryStatus(entry, TransferStatus::LocalError);
        return;
    }
    SetDownloadEntryStatus(entry, TransferStatus::Complete);
    RemoveDownloadDownloadingFolderIfAppropriate(entry);
    RecordCompleteDownload(entry, target);
}

QString TransferQueueManager::MoveCompleteDownload(ItemPtr entry)
{
    ItemPtr user = entry[User];
    // The file the worker wrote: the download folder may have been changed while it ran.
    const QString source = PartialFilePath(entry);
    // The layout's name again, also for a download finished before under a free one.
    const QString wanted = ToLocalPath(LaidOutPath(entry, true));
    if (source.isEmpty() || wanted.isEmpty())
        return QString();
    const QFileInfo target(wanted);
    if (!QDir().mkpath(target.path())) {
        Log(LogCategories::kTransferQueue, 1,
            QStringLiteral("Could not create folder %1").arg(target.path()), user);
        return QString();
    }
    // A rename never replaces a file: a taken name is only ever skipped.
    for (int n = 0; n <= kMaxFreeNameTries; ++n) {
        const QString candidate =
            n == 0 ? wanted : target.dir().filePath(NumberedName(target.fileName(), n));
        if (QFile::rename(source, candidate)) {
            if (n > 0)
                Log(LogCategories::kTransferQueue, 1,
                    QStringLiteral("%1 was taken, saved as %2").arg(wanted, candidate), user);
            return candidate;
        }
        if (!QFileInfo::exists(candidate))
            break;
    }
    Log(LogCategories::kTransferQueue, 1,
        QStringLiteral("Could not move %1 to %2").arg(source, wanted), user);
    return QString();
}

void TransferQueueManager::RecordCompleteDownload(ItemPtr entry, const QString& completePath)
{
    ItemPtr user = entry[User];
    ItemPtr folder = d.GetType(CompleteDownloadFolder)
                         ->GetItem(Value(GetDownloadTargetFolder(entry, true).toStdString()));
    ItemPtr name = d.GetType(CompleteDownloadFilename)
                       ->GetItem(Value(QFileInfo(completePath).fileName().toStdString()));
    ItemSet keys;
    for (ItemPtr key : {user, folder, name})
        keys.Insert(key.Get());
    // The same file finished again: the record it has is its.
    if (ItemPtr known = d.GetItem(keys, CompleteDownload)) {
        entry += known;
        return;
    }

    ItemPtr record = d.GetType(CompleteDownload)->NewItem();
    record += user;
    record += folder;
    record += d.GetType(CompleteDownloadRelativeFolder)
                  ->GetItem(Value(GetDownloadRelativeDownloadFolder(entry).toStdString()));
    record += name;
    record +=
        d.GetType(CompleteDownloadFileSize)->GetItem(Value(entry[PeerTypes::FileSize].AsString()));
    record += d.GetType(CompleteDownloadCompletionTime)
                  ->GetItem(Value(Clock::NowText().toLatin1().toStdString()));
    // The search form relates its searches to downloads; without it there are none.
    Type* searchText = d.GetType(PeerTypes::SearchRequestText);
    if (d.GetType(DownloadEntry)->IsRelated(searchText)) {
        if (ItemPtr search = entry[PeerTypes::SearchRequestText])
            record += search;
    }
    entry += record;
    Q_EMIT CompleteDownloadAdded(record);
}

void TransferQueueManager::OnFileConnectionAccepted(std::string user, QTcpSocket* socket)
{
    ItemPtr connecting = d.GetType(UploadEntryStatus)->HasItem(Value(TransferStatus::Connecting));
    ItemPtr userItem = ServerStore::FindUser(user);
    const ItemSet candidates =
        connecting && userItem ? connecting.GetItems(UploadEntry).Connected(userItem) : ItemSet();
    auto* file =
        candidates.empty() ? nullptr : ItemPtr(*candidates.begin())[UploadFile].AsPointer<QFile>();
    if (!file) {
        Discard(socket);
        return;
    }
    ItemPtr entry = *candidates.begin();

    AttachObject(entry, UploadSocket, socket);
    SetUploadEntryStatus(entry, TransferStatus::Uploading);
    AttachRunningValues(entry);
    StampDataMoved(entry);
    AttachObject(entry, ReadPosition, new qint64(0));

    auto* worker = new ::UploadThread(socket, file, static_cast<int>(entry[TransferReq].AsUInt()),
                                      m_uploadLimits);
    HandOver(socket, worker);
    AttachObject(entry, TransfersTypes::UploadThread, static_cast<TransferWorker*>(worker));
    connect(
        worker, &::UploadThread::UploadProgress, worker,
        [this, worker](qint64 position, int rate) { OnUploadProgress(worker, position, rate); });
    connect(worker, &::UploadThread::UploadError, worker,
            [this, worker] { OnUploadError(worker); });
    connect(worker, &::UploadThread::UploadComplete, worker,
            [this, worker] { OnUploadComplete(worker); });
    worker->start(QThread::InheritPriority);
}

void TransferQueueManager::OnUploadProgress(TransferWorker* worker, qint64 position,
                                            int bytesPerSecond)
{
    ItemPtr entry = EntryOfWorker(worker, TransfersTypes::UploadThread, UploadEntry);
    if (!entry)
        return;
    StoreProgress(entry, ReadPosition, position, bytesPerSecond);
    StampDataMoved(entry);
    Q_EMIT UploadProgressed(entry);
}

void TransferQueueManager::OnUploadError(TransferWorker* worker)
{
    ItemPtr entry = EntryOfWorker(worker, TransfersTypes::UploadThread, UploadEntry);
    if (!entry)
        return;
    // Tells the peer (46), so that it asks again; the slot goes to the next upload.
    SetUploadEntryStatus(entry, TransferStatus::Aborted);
    StartNewUploads();
}

void TransferQueueManager::OnUploadComplete(TransferWorker* worker)
{
    ItemPtr entry = EntryOfWorker(worker, TransfersTypes::UploadThread, UploadEntry);
    if (!entry)
        return;
    const qint32* reported = ObjectOf<qint32>(entry, BytesPerSecond);
    const int rate = reported ? *reported : 0;
    Log(LogCategories::kTransferQueue, 1, QStringLiteral("Recording upload speed of %1").arg(rate));
    if (entry[SharesTypes::SharedFile][SharesTypes::SharedFileSize].AsInt64() >
            kMinSizeForUploadSpeed &&
        rate > 0)
        gp_server->SendUploadSpeed(rate);
    SetUploadEntryStatus(entry, TransferStatus::Complete);
    StartNewUploads();
}
