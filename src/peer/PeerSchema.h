#pragma once

#include "server/ServerSchema.h"

// The store types of the peer connection manager by name, for every file that names one. Their
// declarations are the tables of PeerSchema.cpp. Besides the connection set-up they hold the
// searches this client sent, the results that come back and the attributes of result files,
// which the server connection, the shares and the search pages name too.
namespace PeerTypes {

// The types that the server's messages fill are named by the server connection, which links
// below this one.
using ServerTypes::CorrelationRank;
using ServerTypes::CorrelationText;
using ServerTypes::PeerConnectionRequest;
using ServerTypes::PeerConnectionRequestId;
using ServerTypes::PeerConnectionType;
using ServerTypes::SearchCorrelation;
using ServerTypes::SearchRequest;
using ServerTypes::SearchRequestText;
using ServerTypes::UserAddress;
using ServerTypes::UserObfuscatedPort;
using ServerTypes::UserPort;
using ServerTypes::WishlistSearch;

inline constexpr char UninitializedSocket[] = "uninitialized_socket";
inline constexpr char PeerSocket[] = "peer_socket";
inline constexpr char ConnectionOpenTime[] = "connection_open_time";
inline constexpr char LastActivityTime[] = "last_activity_time";
inline constexpr char IsObfuscated[] = "is_obfuscated";
inline constexpr char PeerConnectionRequestSocket[] = "peer_connection_request_socket";
inline constexpr char SocketCreationTime[] = "socket_creation_time";
inline constexpr char SearchResults[] = "search_results";
inline constexpr char SearchResult[] = "search_result";
inline constexpr char SearchResultsUserAvailable[] = "search_results_user_available";
inline constexpr char SearchResultsUserSpeed[] = "search_results_user_speed";
inline constexpr char SearchResultsUploadsInQueue[] = "search_results_uploads_in_queue";
inline constexpr char SearchResultFileName[] = "search_result_file_name";
inline constexpr char SearchResultFileFolder[] = "search_result_file_folder";
inline constexpr char FileSize[] = "file_size";
inline constexpr char MpegVersion[] = "mpeg_version";
inline constexpr char ChannelMode[] = "channel_mode";
inline constexpr char AudioFrequency[] = "audio_frequency";
inline constexpr char BitrateMode[] = "bitrate_mode";
inline constexpr char Bitrate[] = "bitrate";
inline constexpr char LengthSeconds[] = "length_seconds";
inline constexpr char UnsentMessage[] = "unsent_message";
inline constexpr char SendOrder[] = "send_order";
inline constexpr char SendTime[] = "send_time";
inline constexpr char ConnectToPeerRequest[] = "connect_to_peer_request";
inline constexpr char ConnectToPeerRequestStatus[] = "connect_to_peer_request_status";
inline constexpr char ConnectToPeerRequestSocket[] = "connect_to_peer_request_socket";
inline constexpr char IndirectConnectToPeerRequest[] = "indirect_connect_to_peer_request";

} // namespace PeerTypes
