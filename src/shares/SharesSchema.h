#pragma once

// The store types of the shared-folder manager by name, for every file that names one. Their
// declarations are the tables of SharesSchema.cpp.
namespace SharesTypes {

// The local share.
inline constexpr char SharedFolder[] = "shared_folder";
inline constexpr char SharedFile[] = "shared_file";
inline constexpr char SharedFileName[] = "shared_file_name";
inline constexpr char SharedFileLowercaseName[] = "shared_file_lowercase_name";
inline constexpr char SharedFileFolder[] = "shared_file_folder";
inline constexpr char SharedFileFolderLowercaseName[] = "shared_file_folder_lowercase_name";
inline constexpr char SharedFileSize[] = "shared_file_size";
inline constexpr char SharedPublic[] = "shared_public";
inline constexpr char SharedUserlist[] = "shared_userlist";
inline constexpr char IsScanned[] = "is_scanned";
// Share lists received from other users.
inline constexpr char UserShare[] = "user_share";
inline constexpr char UserShareLoaded[] = "user_share_loaded";
inline constexpr char UserShareFolder[] = "user_share_folder";
inline constexpr char UserShareFolderParent[] = "user_share_folder_parent";
inline constexpr char UserShareFolderChild[] = "user_share_folder_child";
inline constexpr char UserShareFolderName[] = "user_share_folder_name";
inline constexpr char UserShareFile[] = "user_share_file";
inline constexpr char UserShareFileName[] = "user_share_file_name";
// The word index, and users shared nothing with.
inline constexpr char SearchToken[] = "search_token";
inline constexpr char Unshared[] = "unshared";

} // namespace SharesTypes
