#pragma once

// The store types of the share browser, declared by SharesForm::Init, and the context tool bar's
// sets and actions of its tabs. None is saved: each item's value is the address of the tab or
// row it stands for (shell/Ties.h).
namespace ShareTypes {

// A browse tab, linked to its user: at most one tab per user.
inline constexpr char UserShareTab[] = "user_share_tab";
// A folder row of a tab's folder tree, linked to its user_share_folder.
inline constexpr char UserShareFolderNode[] = "user_share_folder_node";
// A file row of a tab's file list, linked to its user_share_file.
inline constexpr char UserShareFileNode[] = "user_share_file_node";

} // namespace ShareTypes

namespace ShareActions {

// Every tab registers its folder tree under the first set and its file list under the second.
inline constexpr char ShareFoldersSet[] = "share_folders";
inline constexpr char ShareFilesSet[] = "share_files";

inline constexpr char DownloadShareFolder[] = "download_share_folder";
inline constexpr char ExpandLevel[] = "expand_level";
inline constexpr char CollapseAll[] = "collapse_all";
inline constexpr char ExpandAll[] = "expand_all";
inline constexpr char DownloadShareFile[] = "download_share_file";

} // namespace ShareActions
