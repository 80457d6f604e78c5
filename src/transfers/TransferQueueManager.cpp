#include "transfers/TransferQueueManager.h"

#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "shares/SharesSchema.h"
#include "store/Dependency.h"
#include "store/Settings.h"
#include "transfers/TransferWorkers.h"
#include "transfers/TransfersSchema.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTcpSocket>

TransferQueueManager* transferQueueManager = nullptr;

using namespace TransfersTypes;

namespace {

const char kNeededBy[] = "The transfer engine";

// The heap values (the types whose values are addresses of objects the items own), with the
// handler that frees each when its item goes.
struct OwnedValue
{
    const char* type;
    void (TransferQueueManager::*removed)(Item*);
};

template <class T> void DeleteObject(Item* item)
{
    delete ItemPtr(item).AsPointer<T>();
}

} // namespace

TransferQueueManager::TransferQueueManager()
{
    m_downloadBatches = std::make_unique<DownloadBatches>(*this);
    // Uploads name shared files; downloads are asked for through the peer connection manager
    // and their users tracked through the server connection.
    for (const char* t :
         {ServerTypes::User, PeerTypes::FileSize, SharesTypes::SharedFile, DownloadEntry})
        RequireType(kNeededBy, t);
    RequireService(gp_server, kNeededBy, "the server connection");
    RequireService(peerMessenger, kNeededBy, "the peer connection manager");
    transferQueueManager = this;

    m_types.entry = d.GetType(DownloadEntry);
    m_types.user = d.GetType(ServerTypes::User);
    m_types.fileName = d.GetType(FileName);
    m_types.remoteFolder = d.GetType(RemoteFolder);
    m_types.fileSize = d.GetType(PeerTypes::FileSize);
    m_types.level = d.GetType(SubfolderSaveLevel);
    m_types.order = d.GetType(DownloadOrder);
    m_types.status = d.GetType(DownloadEntryStatus);
    m_types.partialFile = d.GetType(PartialFile);
    m_types.file = d.GetType(TransfersTypes::DownloadFile);
    m_types.completeDownload = d.GetType(CompleteDownload);
    m_types.online = d.GetType(ServerTypes::IsOnline);

    const OwnedValue owned[] = {
        {WritePosition, &TransferQueueManager::OnWritePositionRemoved},
        {LastReceiptTime, &TransferQueueManager::OnLastReceiptTimeRemoved},
        {LastSpeedMeasurementTime, &TransferQueueManager::OnLastSpeedMeasurementTimeRemoved},
        {BytesPerSecond, &TransferQueueManager::OnBytesPerSecondRemoved},
        {BytesSinceLastReceipt, &TransferQueueManager::OnBytesSinceLastReceiptRemoved},
        {BytesUploaded, &TransferQueueManager::OnBytesUploadedRemoved},
        {ReadPosition, &TransferQueueManager::OnReadPositionRemoved},
    };
    for (const OwnedValue& value : owned)
        d.GetType(value.type)->itemRemovedEvent.Add(NewEventHandler(this, value.removed));

    d.GetType(UploadEntry)
        ->itemRemovedEvent.Add(NewEventHandler(this, &TransferQueueManager::OnUploadEntryRemoved));
    m_uploadCandidates = std::make_unique<UploadCandidates>();
    // Ages of stored times are kept beside the store by item id, which a later item may reuse.
    for (const char* type : {UploadEntry, DownloadEntry, ServerTypes::User})
        d.GetType(type)->itemRemovedEvent.Add(
            NewEventHandler(this, &TransferQueueManager::OnTimedItemRemoved));
    // A user coming online has their downloads asked for again, and uploads waiting for them
    // may start.
    auto* online = new PathNode(&d, ServerTypes::User);
    new PathNode(online, ServerTypes::IsOnline, PathConnected);
    d.AddPathEventHandler(online, NewEventHandler(this, &TransferQueueManager::OnUserOnline));

    // Defaults, written before the store file is loaded: saved values replace them. The folder
    // is kept in the file system's encoding, and read back the same way.
    if (!Settings::HasValue(SettingKeys::DownloadFolder)) {
        Settings::Set(SettingKeys::DownloadFolder,
                      QFile::encodeName(QDir::homePath() + QStringLiteral("/Quorvale Downloads"))
                          .toStdString());
    }
    if (!Settings::HasValue(SettingKeys::TransferOrderCounter))
        Settings::SetNumber(SettingKeys::TransferOrderCounter, 1);
    Settings::SetNumber(SettingKeys::TransferReqCounter, 1);

    // The statuses that hold a slot, each with a mark of its own.
    Type* active = d.GetType(IsActive);
    d.GetType(DownloadEntryStatus)->GetItem(Value(TransferStatus::Downloading)) +=
        active->NewItem();
    Type* uploadStatus = d.GetType(UploadEntryStatus);
    for (const char* status : {TransferStatus::Connecting, TransferStatus::Uploading,
                               TransferStatus::Requesting, TransferStatus::WaitingForOffset})
        uploadStatus->GetItem(Value(status)) += active->NewItem();

    if (!Settings::HasValue(SettingKeys::UploadSpeedLimit)) {
        Settings::SetNumber(SettingKeys::UploadSpeedLimit, 0);
        Settings::SetYes(SettingKeys::UploadSpeedLimitEnabled, false);
    }
    Settings::SetNumber(SettingKeys::UploadSlots, 1);
}

TransferQueueManager::~TransferQueueManager()
{
    // Every worker ends before anything it uses goes: uploads first, then downloads.
    for (const char* type : {TransfersTypes::UploadThread, TransfersTypes::DownloadThread}) {
        for (Item* item : g(type))
            StopWorker(ItemPtr(item).AsPointer<TransferWorker>());
    }
    // The engine owns the objects behind its items. They go with it, and so do the items, so
    // that no address outlives its object in a store that outlives the engine (a host that
    // builds the engine again, a test).
    for (const char* type : {TransfersTypes::UploadThread, TransfersTypes::DownloadThread}) {
        for (Item* item : g(type))
            delete ItemPtr(item).AsPointer<TransferWorker>();
    }
    for (const char* type : {UploadSocket, DownloadSocket}) {
        for (Item* item : g(type))
            delete ItemPtr(item).AsPointer<QTcpSocket>();
    }
    for (const char* type : {UploadFile, DownloadFile}) {
        for (Item* item : g(type))
            delete ItemPtr(item).AsPointer<QFile>();
    }
    for (const char* type :
         {TransfersTypes::UploadThread, TransfersTypes::DownloadThread, UploadSocket,
          DownloadSocket, UploadFile, DownloadFile, WritePosition, ReadPosition, LastReceiptTime,
          LastSpeedMeasurementTime, BytesPerSecond, BytesSinceLastReceipt, BytesUploaded})
        g(type).Remove();

    if (transferQueueManager == this)
        transferQueueManager = nullptr;
}

void TransferQueueManager::DataLoaded()
{
    // Whatever a download was doing when the file was saved, nothing of it runs now.
    ItemPtr queued = d.GetType(DownloadEntryStatus)->GetItem(Value(TransferStatus::Queued));
    const ItemSet entries = g(DownloadEntry);
    for (Item* entry : entries) {
        if (ItemPtr(entry)[DownloadEntryStatus].AsString() != TransferStatus::Complete)
            ItemPtr(entry) += queued;
    }
    // Stores from before downloads owned their partial files: each is claimed once, here, and
    // saved with its owner from then on.
    AdoptPartialFiles(entries);
    // Their users' online state decides when they are asked for again.
    for (Item* user : entries.GetItems(ServerTypes::User))
        gp_server->TrackUser(user->AsString());
    Q_EMIT TransfersLoaded();
    DetermineUploadSpeedLimit();
}

const TransferQueueManager::TransferObjects TransferQueueManager::kDownloadObjects = {
    TransfersTypes::DownloadThread,
    DownloadFile,
    DownloadSocket,
    {WritePosition, LastReceiptTime, BytesPerSecond}};
const TransferQueueManager::TransferObjects TransferQueueManager::kUploadObjects = {
    TransfersTypes::UploadThread,
    UploadFile,
    UploadSocket,
    {ReadPosition, LastReceiptTime, LastSpeedMeasurementTime, BytesPerSecond}};

void TransferQueueManager::ReleaseTransfer(ItemPtr entry, const TransferObjects& objects,
                                           bool deferDeletion)
{
    // The worker first: until it has ended it may still use the file and the socket.
    if (ItemPtr item = entry[objects.thread]) {
        auto* worker = item.AsPointer<TransferWorker>();
        item.Remove();
        StopWorker(worker);
        if (deferDeletion)
            worker->deleteLater();
        else
            delete worker;
    }
    if (ItemPtr item = entry[objects.file]) {
        auto* file = item.AsPointer<QFile>();
        item.Remove();
        file->close();
        delete file;
    }
    // Discarded: nobody hears of it any more, and its deletion waits when it has to.
    if (ItemPtr item = entry[objects.socket]) {
        auto* socket = item.AsPointer<QTcpSocket>();
        item.Remove();
        socket->disconnect();
        socket->close();
        if (deferDeletion)
            socket->deleteLater();
        else
            delete socket;
    }
    for (const char* value : objects.values) {
        if (value)
            entry[value].Remove();
    }
}

void TransferQueueManager::StopWorker(TransferWorker* worker)
{
    if (!worker)
        return;
    worker->SignalExit();
    worker->wait();
}

void TransferQueueManager::OnWritePositionRemoved(Item* item)
{
    DeleteObject<qint64>(item);
}

void TransferQueueManager::OnReadPositionRemoved(Item* item)
{
    DeleteObject<qint64>(item);
}

void TransferQueueManager::OnLastReceiptTimeRemoved(Item* item)
{
    DeleteObject<QDateTime>(item);
}

void TransferQueueManager::OnLastSpeedMeasurementTimeRemoved(Item* item)
{
    DeleteObject<QDateTime>(item);
}

void TransferQueueManager::OnBytesPerSecondRemoved(Item* item)
{
    DeleteObject<qint32>(item);
}

void TransferQueueManager::OnBytesSinceLastReceiptRemoved(Item* item)
{
    DeleteObject<qint64>(item);
}

void TransferQueueManager::OnBytesUploadedRemoved(Item* item)
{
    DeleteObject<qint64>(item);
}
