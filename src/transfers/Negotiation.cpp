#include "transfers/TransferQueueManager.h"

#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharesSchema.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "transfers/TransfersSchema.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Before file data flows, each transfer is agreed over the messaging connection: the uploader
// offers the file with a token (code 40, sent by the scheduler), the downloader allows or
// refuses it (code 41), and on an allowed answer the uploader opens the file and asks for a
// file connection, which starts with the token.

using namespace TransfersTypes;
using ServerTypes::User;

namespace {

// Opens path for reading if it is a regular file. A folder fails, and so does a FIFO or a
// device, which could block this thread in open() or read() for as long as nobody writes.
// The path is the file's bytes as the share scan listed them: a name that is not UTF-8 (an old
// Latin-1 copy) would not survive a trip through text.
QFile* OpenRegularFile(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    auto* file = new QFile(QFile::decodeName(path));
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        delete file;
        return nullptr;
    }
    return file;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Downloading side: a peer offers a file we asked for

void TransferQueueManager::OnFileTransferRequest(std::string user, int direction, uint token,
                                                 std::string file, qint64 size)
{
    ItemPtr userItem = ServerStore::FindUser(user);
    if (direction != 1) {
        Log(LogCategories::kTransferQueue, 1,
            QStringLiteral("Received download request from %1 for file %2, currently not "
                           "processing")
                .arg(TextForLog(user), TextForLog(file)),
            userItem);
        return;
    }
    Log(LogCategories::kTransferQueue, 1,
        QStringLiteral("Received upload request from %1 for file %2, req %3")
            .arg(TextForLog(user), TextForLog(file))
            .arg(token),
        userItem);

    ItemPtr entry = GetDownloadEntry(user, GetFileName(file), GetFolder(file));
    if (!entry) {
        Log(LogCategories::kTransferQueue, 2, QStringLiteral("Denied, Cancelled"), userItem);
        peerMessenger->DenyTransferRequest(user, token, "Cancelled");
        return;
    }
    const std::string status = entry[DownloadEntryStatus].AsString();
    if (status == TransferStatus::Complete) {
        Log(LogCategories::kTransferQueue, 2, QStringLiteral("Denied, Complete"), userItem);
        peerMessenger->DenyTransferRequest(user, token, "Complete");
        return;
    }

    // Another size is another file than the one the user chose (changed since, or a peer that
    // lies), and the bytes would be taken as it all the same: 0 would end the download
    // "complete" and empty. It ends here, and is not asked for again by itself, or a peer that
    // keeps offering it so would have it asked for round after round.
    const qint64 expected = entry[PeerTypes::FileSize].AsInt64();
    if (size != expected) {
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("%1 offered with %2 bytes, expected %3")
                .arg(TextForLog(file))
                .arg(size)
                .arg(expected),
            userItem);
        SetDownloadEntryStatus(entry, TransferStatus::Aborted);
        entry += d.GetType(OfferedSize)->GetItem(Value(size));
        peerMessenger->DenyTransferRequest(user, token, "Cancelled");
        return;
    }

    // The file connection that follows names the download by this user and token alone.
    ItemPtr tokenItem = d.GetType(RemoteTransferReq)->GetItem(Value(token));
    // The download waits for one file connection, whatever the number of offers: the earlier
    // token's is withdrawn with it.
    if (ItemPtr earlier = entry[RemoteTransferReq]; earlier && earlier != tokenItem)
        peerMessenger->WithdrawFileConnection(user, quint32(earlier.AsUInt()));
    for (Item* other : tokenItem.GetItems(DownloadEntry)) {
        if (ItemPtr(other)[User] == userItem)
            ItemPtr(other).Disconnect(tokenItem);
    }
    entry += tokenItem;
    if (status == TransferStatus::Downloading) {
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("Transfer is already downloading, cancelling..."), userItem);
        SetDownloadEntryStatus(entry, TransferStatus::Aborted);
    }
    peerMessenger->AcceptTransferRequest(user, token, false, 0);
    Log(LogCategories::kTransferQueue, 2, QStringLiteral("Accepted"), userItem);
}

// ---------------------------------------------------------------------------------------------
// Uploading side: the peer answers our offer

void TransferQueueManager::OnFileTransferResponse(std::string user, uint token, bool allowed,
                                                  bool hasSize, qint64 size, std::string reason)
{
    // An allowed answer may carry a size; nothing here needs it.
    Q_UNUSED(hasSize);
    Q_UNUSED(size);
    ItemPtr userItem = ServerStore::FindUser(user);
    Log(LogCategories::kTransferQueue, 1,
        QStringLiteral("Received file transfer response from user %1 for req %2, transfer %3")
            .arg(TextForLog(user))
            .arg(token)
            .arg(allowed ? QStringLiteral("accepted") : QStringLiteral("not accepted")),
        userItem);

    ItemPtr tokenItem = d.GetType(TransferReq)->HasItem(Value(token));
    if (!tokenItem) {
        Log(LogCategories::kTransferQueue, 2, QStringLiteral("req not found"), userItem);
        return;
    }
    if (tokenItem.IsConnected(DownloadEntry)) {
        Log(LogCategories::kTransferQueue, 2, QStringLiteral("Found download, not processing"),
            userItem);
        return;
    }
    ItemPtr entry = tokenItem[UploadEntry];
    if (!entry) {
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("Neither upload or download attached to req, weird"), userItem);
        return;
    }
    Log(LogCategories::kTransferQueue, 2, QStringLiteral("Found upload"), userItem);
    if (entry[User].AsString() != user) {
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("Upload user %1 not the same as user who opened the connection, not "
                           "doing anything")
                .arg(TextForLog(entry[User].AsString())),
            userItem);
        return;
    }

    if (!allowed) {
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("Upload was not accepted, marking denied"), userItem);
        entry += d.GetType(DenialReason)->GetItem(Value(reason));
        SetUploadEntryStatus(entry, TransferStatus::Denied);
        StartNewUploads();
        return;
    }
    const std::string status = entry[UploadEntryStatus].AsString();
    if (status != TransferStatus::Requesting) {
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("Upload no longer in requesting phase, instead status is %1. Not "
                           "processing.")
                .arg(TextForLog(status)),
            userItem);
        return;
    }

    // Sharing is what counts when the upload starts, not when it was queued.
    if (!IsUploadStillShared(entry)) {
        Log(LogCategories::kTransferQueue, 2, QStringLiteral("Denied, file not shared"), userItem);
        DenyAndRemoveUpload(entry, "File not shared.");
        StartNewUploads();
        return;
    }
    // The file's own stored path, never the peer's spelling of it.
    ItemPtr shared = entry[SharesTypes::SharedFile];
    const QByteArray path = QByteArray(shared[SharesTypes::SharedFileFolder].AsCStr()) + '/' +
                            shared[SharesTypes::SharedFileName].AsCStr();
    QFile* file = OpenRegularFile(path);
    if (!file) {
        Log(LogCategories::kTransferQueue, 2,
            QStringLiteral("File could not be opened, marking local error and sending denial "
                           "message. Shouldn't we have done this before we requested the "
                           "transfer?"),
            userItem);
        peerMessenger->DenyUpload(user, entry[FilenameAsRequested].AsString(), "File read error.");
        SetUploadEntryStatus(entry, TransferStatus::LocalError);
        StartNewUploads();
        return;
    }
    Log(LogCategories::kTransferQueue, 2, QStringLiteral("Requesting file connection to user"),
        userItem);
    peerMessenger->RequestFileConnectionToUser(user);
    AttachObject(entry, UploadFile, file);
    SetUploadEntryStatus(entry, TransferStatus::Connecting);
}
