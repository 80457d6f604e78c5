#pragma once

// The store types of the transfers page, declared by TransfersForm::Init, and the context tool
// bar's sets and actions it answers. None of the types is saved: rows are made again from the
// entries at every start, and alerts last one run.
namespace TransferRowTypes {

// The rows of the downloads tree: a user, a folder of that user (linked to its remote_folder) and
// a file (linked to its download_entry). Values are the rows' addresses (shell/Ties.h).
inline constexpr char DownloadListUserNode[] = "download_list_user_node";
inline constexpr char DownloadListFolderNode[] = "download_list_folder_node";
inline constexpr char DownloadListNode[] = "download_list_node";
// The same for the uploads tree, whose folders are shared_file_folder items.
inline constexpr char UploadListUserNode[] = "upload_list_user_node";
inline constexpr char UploadListFolderNode[] = "upload_list_folder_node";
inline constexpr char UploadListNode[] = "upload_list_node";
// A request to be told when downloads complete: linked to one download_entry (the file), to a
// user and a remote_folder (the user's downloads from that folder), or to a user only (all of
// the user's downloads).
inline constexpr char CompleteDownloadAlert[] = "complete_download_alert";
// A row of the complete-downloads list, linked to its complete_download record.
inline constexpr char CompleteDownloadNode[] = "complete_download_node";

} // namespace TransferRowTypes

namespace TransferActions {

// The downloads tree is registered under the first set, the uploads tree under the second.
inline constexpr char DownloadsSet[] = "downloads";
inline constexpr char UploadsSet[] = "uploads";

inline constexpr char ExpandDownloadFolders[] = "expand_download_folders";
inline constexpr char ExpandDownloadUsers[] = "expand_download_users";
inline constexpr char ClearCompleteDownloads[] = "clear_complete_downloads";
inline constexpr char ExpandUploadFolders[] = "expand_upload_folders";
inline constexpr char ExpandUploadUsers[] = "expand_upload_users";
inline constexpr char ClearCompleteAndAbortedUploads[] = "clear_complete_and_aborted_uploads";
// Shows the list of finished downloads, made on the first request.
inline constexpr char CompleteDownloads[] = "complete_downloads";
// Answered, though no set offers them: the selected download row's downloads removed, and its
// user put on the user list.
inline constexpr char RemoveDownload[] = "remove_download";
inline constexpr char DlAddUser[] = "dl_add_user";

} // namespace TransferActions
