#pragma once

// The store types of the server connection by name, for every file that names one. Their
// declarations (primacy, relations, what is saved) are the tables of ServerSchema.cpp.
namespace ServerTypes {

inline constexpr char User[] = "user";
inline constexpr char IsOnline[] = "is_online";
inline constexpr char IsTracked[] = "is_tracked";
inline constexpr char IsPrivileged[] = "is_privileged";
inline constexpr char Room[] = "room";
inline constexpr char RoomAutojoin[] = "room_autojoin";
inline constexpr char UserCount[] = "user_count";
inline constexpr char IsPrivate[] = "is_private";
inline constexpr char IsMember[] = "is_member";
inline constexpr char InRoom[] = "in_room";
inline constexpr char RoomOwner[] = "room_owner";
inline constexpr char RoomOperators[] = "room_operators";
inline constexpr char RoomMembers[] = "room_members";
inline constexpr char IsOwner[] = "is_owner";
inline constexpr char IsOperator[] = "is_operator";
inline constexpr char AverageDownloadSpeed[] = "average_download_speed";
inline constexpr char SharedFilesCount[] = "shared_files_count";
inline constexpr char CountryCode[] = "country_code";
inline constexpr char InUserList[] = "in_user_list";
inline constexpr char UserListGroup[] = "user_list_group";
inline constexpr char GroupDownloadPriority[] = "group_download_priority";
inline constexpr char IsIgnored[] = "is_ignored";
inline constexpr char UserAddressRequest[] = "user_address_request";

// Declared by the peer connection manager (peer/PeerSchema.cpp), which reads them, and named
// here because the server's messages fill them: the addresses of users, the connection requests
// relayed by the server, our searches and the search terms related to them.
inline constexpr char UserAddress[] = "user_address";
inline constexpr char UserPort[] = "user_port";
inline constexpr char UserObfuscatedPort[] = "user_obfuscated_port";
inline constexpr char PeerConnectionRequest[] = "peer_connection_request";
inline constexpr char PeerConnectionRequestId[] = "peer_connection_request_id";
inline constexpr char PeerConnectionType[] = "peer_connection_type";
inline constexpr char SearchRequest[] = "search_request";
inline constexpr char SearchRequestText[] = "search_request_text";
inline constexpr char WishlistSearch[] = "wishlist_search";
inline constexpr char SearchCorrelation[] = "search_correlation";
inline constexpr char CorrelationText[] = "correlation_text";
inline constexpr char CorrelationRank[] = "correlation_rank";

} // namespace ServerTypes
