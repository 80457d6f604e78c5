#include "transfers/TransferQueueManager.h"

#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "shares/SharesSchema.h"
#include "store/Schema.h"
#include "transfers/TransfersSchema.h"

// What the transfer engine keeps: downloads, uploads and finished downloads, each fact a link to
// a value item. Downloads and finished downloads are saved with their names, folders, sizes,
// statuses, order and level, and downloads with the partial file each owns; nothing of a running
// transfer is (tokens, sockets, files, threads, positions, rates, times, places in line, denial
// reasons, sizes offered), and nothing of uploads.

namespace {

using namespace TransfersTypes;
using PeerTypes::FileSize;
using PeerTypes::SearchRequestText;
using ServerTypes::User;
using SharesTypes::SharedFile;

const SchemaType kTypes[] = {
    {DownloadEntry, RootPrimacy, true, true, ValueKind::None},
    {FileName, ValuePrimacy, false, true, ValueKind::Path},
    {RemoteFolder, ReachablePrimacy, false, true, ValueKind::Path},
    {DownloadFolder, ReachablePrimacy, false, true, ValueKind::Path},
    {TransferReq, ValuePrimacy, false, true, ValueKind::Number},
    {RemoteTransferReq, ValuePrimacy, false, true, ValueKind::Number},
    {DownloadSocket, RootPrimacy, false, true, ValueKind::Address},
    {DownloadFile, RootPrimacy, false, true, ValueKind::Address},
    {WritePosition, ValuePrimacy, false, true, ValueKind::Address},
    {DownloadEntryStatus, RootPrimacy, false, true, ValueKind::Word},
    {DownloadOrder, ValuePrimacy, false, true, ValueKind::Number},
    {UploadSocket, RootPrimacy, false, true, ValueKind::Address},
    {UploadFile, RootPrimacy, false, true, ValueKind::Address},
    {ReadPosition, ValuePrimacy, false, true, ValueKind::Address},
    {UploadEntryStatus, RootPrimacy, false, true, ValueKind::Word},
    {UploadOrder, ValuePrimacy, false, true, ValueKind::Number},
    {IsActive, ValuePrimacy, true, true, ValueKind::None},
    {LastReceiptTime, ValuePrimacy, false, true, ValueKind::Address},
    {LastSpeedMeasurementTime, ValuePrimacy, false, true, ValueKind::Address},
    {BytesPerSecond, ValuePrimacy, false, true, ValueKind::Address},
    {BytesSinceLastReceipt, ValuePrimacy, false, true, ValueKind::Address},
    {PlaceInLine, ValuePrimacy, false, true, ValueKind::Number},
    {LastQueueRequestTime, ValuePrimacy, false, true, ValueKind::Time},
    {DownloadThread, RootPrimacy, false, true, ValueKind::Address},
    {SubfolderSaveLevel, ValuePrimacy, false, true, ValueKind::Number},
    {LastStatusChangeTime, ValuePrimacy, false, true, ValueKind::Time},

    {UploadEntry, RootPrimacy, true, true, ValueKind::None},
    {FilenameAsRequested, ValuePrimacy, false, true, ValueKind::Path},
    {UploadStartTime, ValuePrimacy, false, true, ValueKind::Time},
    {BytesUploaded, ValuePrimacy, false, true, ValueKind::Address},
    {UploadThread, RootPrimacy, false, true, ValueKind::Address},
    {EffectiveUploadOrder, ValuePrimacy, false, true, ValueKind::Number},

    {DenialReason, ValuePrimacy, false, true, ValueKind::Utf8},
    {OfferedSize, ValuePrimacy, false, true, ValueKind::Number},
    {PartialFile, ValuePrimacy, false, true, ValueKind::Path},

    {CompleteDownload, RootPrimacy, true, true, ValueKind::None},
    {CompleteDownloadFolder, ReachablePrimacy, false, true, ValueKind::Path},
    {CompleteDownloadRelativeFolder, ReachablePrimacy, false, true, ValueKind::Path},
    {CompleteDownloadFilename, ValuePrimacy, false, true, ValueKind::Path},
    {CompleteDownloadFileSize, ValuePrimacy, false, true, ValueKind::Number},
    {CompleteDownloadCompletionTime, ValuePrimacy, false, true, ValueKind::Time},
};

// {a, b, a-items per b-item, b-items per a-item}: {DownloadEntry, User, Many, One} reads "an
// entry has one user, a user many entries".
const SchemaRelation kRelations[] = {
    {DownloadEntry, User, Many, One},
    {DownloadEntry, FileName, Many, One},
    {DownloadEntry, RemoteFolder, Many, One},
    {DownloadEntry, FileSize, Many, One},
    {DownloadEntry, DownloadFolder, Many, One},
    {DownloadEntry, TransferReq, One, One},
    {DownloadEntry, RemoteTransferReq, Many, One},
    {DownloadEntry, DownloadSocket, One, One},
    {DownloadEntry, DownloadThread, One, One},
    {DownloadEntry, DownloadFile, One, One},
    {DownloadEntry, WritePosition, Many, One},
    {DownloadEntry, DownloadEntryStatus, Many, One},
    {DownloadEntry, DownloadOrder, One, One},
    {DownloadEntry, LastReceiptTime, One, One},
    {DownloadEntry, LastSpeedMeasurementTime, One, One},
    {DownloadEntry, BytesPerSecond, One, One},
    {DownloadEntry, BytesSinceLastReceipt, One, One},
    {DownloadEntry, PlaceInLine, Many, One},
    {DownloadEntry, SubfolderSaveLevel, Many, One},
    {DownloadEntry, LastStatusChangeTime, Many, One},
    {DownloadEntry, OfferedSize, Many, One},
    {DownloadEntry, PartialFile, One, One},
    {DownloadEntryStatus, IsActive, Many, One},
    {User, LastQueueRequestTime, Many, One},

    {UploadEntry, User, Many, One},
    {UploadEntry, SharedFile, Many, One},
    {UploadEntry, UploadSocket, One, One},
    {UploadEntry, UploadFile, One, One},
    {UploadEntry, ReadPosition, Many, One},
    {UploadEntry, UploadEntryStatus, Many, One},
    {UploadEntry, UploadOrder, One, One},
    {UploadEntry, TransferReq, One, One},
    {UploadEntryStatus, IsActive, Many, One},
    {UploadEntry, FilenameAsRequested, Many, One},
    {UploadEntry, UploadStartTime, Many, One},
    {UploadEntry, BytesUploaded, Many, One},
    {UploadEntry, LastStatusChangeTime, Many, One},
    {UploadEntry, LastReceiptTime, One, One},
    {UploadEntry, LastSpeedMeasurementTime, One, One},
    {UploadEntry, BytesPerSecond, One, One},
    {UploadEntry, BytesSinceLastReceipt, One, One},
    {UploadEntry, UploadThread, One, One},
    {UploadEntry, EffectiveUploadOrder, One, One},

    // One reason may serve many entries.
    {DenialReason, DownloadEntry, One, Many},
    {DenialReason, UploadEntry, One, Many},

    {CompleteDownload, User, Many, One},
    {CompleteDownload, CompleteDownloadFolder, Many, One},
    {CompleteDownload, CompleteDownloadRelativeFolder, Many, One},
    {CompleteDownload, CompleteDownloadFilename, Many, One},
    {CompleteDownload, CompleteDownloadCompletionTime, Many, One},
    {CompleteDownload, CompleteDownloadFileSize, Many, One},
    {CompleteDownload, SearchRequestText, Many, One},
    // The record of the file a download was saved as, which is named by it when the layout's
    // name was taken. Both ends are saved, and the link with them.
    {DownloadEntry, CompleteDownload, Many, One},
};

const SchemaSaved kSaved[] = {
    {DownloadEntry},
    {User, DownloadEntry},
    {FileName, DownloadEntry},
    {RemoteFolder, DownloadEntry},
    {FileSize, DownloadEntry},
    {DownloadFolder, DownloadEntry},
    {DownloadEntryStatus, DownloadEntry},
    {DownloadOrder, DownloadEntry},
    {SubfolderSaveLevel, DownloadEntry},
    {PartialFile, DownloadEntry},

    {CompleteDownload},
    {User, CompleteDownload},
    {CompleteDownloadFolder, CompleteDownload},
    {CompleteDownloadRelativeFolder, CompleteDownload},
    {CompleteDownloadFilename, CompleteDownload},
    {CompleteDownloadFileSize, CompleteDownload},
    {CompleteDownloadCompletionTime, CompleteDownload},
};

} // namespace

void TransferQueueManager::CreateData(DataSaver& saver)
{
    DeclareSchema(MakeSchema(kTypes, kRelations, kSaved), saver);
}
