#pragma once

// The store types of the transfer engine by name, for every file that names one. Their
// declarations (primacy, relations, what is saved) are the tables of TransfersSchema.cpp.
namespace TransfersTypes {

// A download: one per (user, file name, remote folder).
inline constexpr char DownloadEntry[] = "download_entry";
inline constexpr char FileName[] = "file_name";
inline constexpr char RemoteFolder[] = "remote_folder";
inline constexpr char DownloadFolder[] = "download_folder";
inline constexpr char DownloadEntryStatus[] = "download_entry_status";
inline constexpr char DownloadOrder[] = "download_order";
// The partial file a download owns, as the file system names it: only its owner resumes it.
inline constexpr char PartialFile[] = "partial_file";
inline constexpr char SubfolderSaveLevel[] = "subfolder_save_level";
inline constexpr char PlaceInLine[] = "place_in_line";
inline constexpr char RemoteTransferReq[] = "remote_transfer_req";
inline constexpr char DenialReason[] = "denial_reason";
// The size a peer offered a download with when it was not the size queued: the download was
// ended "aborted" for it and is not asked for again by itself.
inline constexpr char OfferedSize[] = "offered_size";
// Tokens of our own transfer requests, and when a user was last asked to queue downloads.
inline constexpr char TransferReq[] = "transfer_req";
inline constexpr char LastQueueRequestTime[] = "last_queue_request_time";
inline constexpr char LastStatusChangeTime[] = "last_status_change_time";
// Marks a status item (of a download or an upload) as one that holds a slot.
inline constexpr char IsActive[] = "is_active";

// Live objects of a running transfer: their values are the objects' addresses, never saved.
inline constexpr char DownloadSocket[] = "download_socket";
inline constexpr char DownloadFile[] = "download_file";
inline constexpr char DownloadThread[] = "download_thread";
inline constexpr char UploadSocket[] = "upload_socket";
inline constexpr char UploadFile[] = "upload_file";
inline constexpr char UploadThread[] = "upload_thread";
// Heap values of a running transfer, each owned by its item (freed when the item goes).
inline constexpr char WritePosition[] = "write_position";                         // qint64
inline constexpr char ReadPosition[] = "read_position";                           // qint64
inline constexpr char LastReceiptTime[] = "last_receipt_time";                    // QDateTime
inline constexpr char LastSpeedMeasurementTime[] = "last_speed_measurement_time"; // QDateTime
inline constexpr char BytesPerSecond[] = "bytes_per_second";                      // qint32
inline constexpr char BytesSinceLastReceipt[] = "bytes_since_last_receipt";       // qint64
inline constexpr char BytesUploaded[] = "bytes_uploaded";                         // qint64

// An upload: one per (user, shared file).
inline constexpr char UploadEntry[] = "upload_entry";
inline constexpr char UploadEntryStatus[] = "upload_entry_status";
inline constexpr char UploadOrder[] = "upload_order";
inline constexpr char EffectiveUploadOrder[] = "effective_upload_order";
inline constexpr char FilenameAsRequested[] = "filename_as_requested";
inline constexpr char UploadStartTime[] = "upload_start_time";

// A finished download's record.
inline constexpr char CompleteDownload[] = "complete_download";
inline constexpr char CompleteDownloadFolder[] = "complete_download_folder";
inline constexpr char CompleteDownloadRelativeFolder[] = "complete_download_relative_folder";
inline constexpr char CompleteDownloadFilename[] = "complete_download_filename";
inline constexpr char CompleteDownloadFileSize[] = "complete_download_file_size";
inline constexpr char CompleteDownloadCompletionTime[] = "complete_download_completion_time";

} // namespace TransfersTypes

// The status texts. Only those marked active hold a slot; leaving one tears the transfer down.
namespace TransferStatus {

inline constexpr char Queued[] = "queued";
inline constexpr char Downloading[] = "downloading"; // active
inline constexpr char Complete[] = "complete";
inline constexpr char Aborted[] = "aborted";
inline constexpr char LocalError[] = "local error";
inline constexpr char Denied[] = "denied";
// Uploads only.
inline constexpr char Requesting[] = "requesting";               // active
inline constexpr char Connecting[] = "connecting";               // active
inline constexpr char WaitingForOffset[] = "waiting for offset"; // active
inline constexpr char Uploading[] = "uploading";                 // active

} // namespace TransferStatus
