#include "peer/PeerMessenger.h"

#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "store/Schema.h"

// None of these types is saved: connections, attempts, queued messages and search results last
// one run.

namespace {

using namespace PeerTypes;
using ServerTypes::User;

const SchemaType kTypes[] = {
    {UninitializedSocket, RootPrimacy, false, false, ValueKind::Address},
    {PeerSocket, RootPrimacy, false, false, ValueKind::Address},
    {ConnectionOpenTime, ValuePrimacy, false, true, ValueKind::Time},
    {LastActivityTime, RootPrimacy, false, true, ValueKind::Address},
    {IsObfuscated, ValuePrimacy, true, true, ValueKind::None},
    {PeerConnectionRequest, RootPrimacy, true, false, ValueKind::None},
    {PeerConnectionRequestId, ValuePrimacy, false, true, ValueKind::Number},
    {PeerConnectionType, ValuePrimacy, false, true, ValueKind::Word},
    {PeerConnectionRequestSocket, RootPrimacy, false, false, ValueKind::Address},
    {UserAddress, ValuePrimacy, false, true, ValueKind::Number},
    {UserPort, ValuePrimacy, false, true, ValueKind::Number},
    {UserObfuscatedPort, ValuePrimacy, false, true, ValueKind::Number},
    {SocketCreationTime, ValuePrimacy, false, true, ValueKind::Time},
    {SearchRequest, RootPrimacy, false, false, ValueKind::Number},
    {SearchRequestText, RootPrimacy, false, true, ValueKind::Utf8},
    {WishlistSearch, ValuePrimacy, true, true, ValueKind::None},
    {SearchResults, RootPrimacy, true, true, ValueKind::None},
    {SearchResult, ReachablePrimacy, true, true, ValueKind::None},
    {SearchResultsUserAvailable, ValuePrimacy, false, true, ValueKind::Word},
    {SearchResultsUserSpeed, ValuePrimacy, false, true, ValueKind::Number},
    {SearchResultsUploadsInQueue, ValuePrimacy, false, true, ValueKind::Number},
    {SearchResultFileName, ValuePrimacy, false, true, ValueKind::Path},
    {SearchResultFileFolder, ValuePrimacy, false, true, ValueKind::Path},
    {FileSize, ValuePrimacy, false, true, ValueKind::Number},
    {SearchCorrelation, ReachablePrimacy, true, true, ValueKind::None},
    {CorrelationText, ValuePrimacy, false, true, ValueKind::Utf8},
    {CorrelationRank, ValuePrimacy, false, true, ValueKind::Number},
    {MpegVersion, ValuePrimacy, false, true, ValueKind::Number},
    {ChannelMode, ValuePrimacy, false, true, ValueKind::Word},
    {AudioFrequency, ValuePrimacy, false, true, ValueKind::Number},
    {BitrateMode, ValuePrimacy, false, true, ValueKind::Word},
    {Bitrate, ValuePrimacy, false, true, ValueKind::Number},
    {LengthSeconds, ValuePrimacy, false, true, ValueKind::Number},
    {UnsentMessage, RootPrimacy, false, true, ValueKind::Address},
    {SendOrder, ValuePrimacy, false, true, ValueKind::Number},
    {SendTime, ValuePrimacy, false, true, ValueKind::Time},
    {ConnectToPeerRequest, RootPrimacy, true, true, ValueKind::None},
    {ConnectToPeerRequestStatus, ValuePrimacy, false, true, ValueKind::Word},
    {ConnectToPeerRequestSocket, RootPrimacy, false, true, ValueKind::Address},
    {IndirectConnectToPeerRequest, RootPrimacy, false, true, ValueKind::Number},
};

const SchemaRelation kRelations[] = {
    {PeerSocket, User, Many, One},
    {PeerSocket, ConnectionOpenTime, Many, One},
    {PeerSocket, LastActivityTime, Many, One},
    {PeerSocket, IsObfuscated, Many, One},
    {UninitializedSocket, IsObfuscated, Many, One},
    {UninitializedSocket, SocketCreationTime, Many, One},
    {PeerConnectionRequest, PeerConnectionRequestId, Many, One},
    {PeerConnectionRequest, PeerConnectionRequestSocket, One, One},
    {PeerConnectionRequest, User, Many, One},
    {PeerConnectionRequest, PeerConnectionType, Many, One},
    {PeerConnectionRequest, IsObfuscated, Many, One},
    {PeerConnectionRequestSocket, SocketCreationTime, Many, One},
    {User, UserAddress, Many, One},
    {User, UserPort, Many, One},
    {User, UserObfuscatedPort, Many, One},
    {SearchRequest, SearchRequestText, Many, One},
    {SearchRequest, WishlistSearch, Many, One},
    {SearchRequest, SearchResults, One, Many, true},
    {SearchResults, SearchResult, One, Many, true},
    {SearchResults, User, Many, One},
    {SearchResults, SearchResultsUserAvailable, Many, One},
    {SearchResults, SearchResultsUserSpeed, Many, One},
    {SearchResults, SearchResultsUploadsInQueue, Many, One},
    {SearchResult, SearchResultFileName, Many, One},
    {SearchResult, SearchResultFileFolder, Many, One},
    {SearchResult, FileSize, Many, One},
    {SearchRequestText, SearchCorrelation, One, Many},
    {SearchCorrelation, CorrelationText, Many, One},
    {SearchCorrelation, CorrelationRank, Many, One},
    {SearchResult, BitrateMode, Many, One},
    {SearchResult, Bitrate, Many, One},
    {SearchResult, LengthSeconds, Many, One},
    {UnsentMessage, User, Many, One},
    {UnsentMessage, SendOrder, One, One},
    {UnsentMessage, SendTime, Many, One},
    {ConnectToPeerRequest, ConnectToPeerRequestStatus, Many, One},
    {ConnectToPeerRequest, ConnectToPeerRequestSocket, One, One},
    {ConnectToPeerRequest, User, Many, One},
    {ConnectToPeerRequest, PeerConnectionType, Many, One},
    {ConnectToPeerRequest, IndirectConnectToPeerRequest, One, One},
    {ConnectToPeerRequestSocket, SocketCreationTime, Many, One},
    {IndirectConnectToPeerRequest, SendTime, Many, One},
    {ConnectToPeerRequestSocket, User, Many, One},
    {ConnectToPeerRequestSocket, PeerConnectionType, Many, One},
    {ConnectToPeerRequestSocket, IsObfuscated, Many, One},
    {IndirectConnectToPeerRequest, User, Many, One},
    {IndirectConnectToPeerRequest, PeerConnectionType, Many, One},
};

} // namespace

void PeerMessenger::CreateData(DataSaver& saver)
{
    DeclareSchema(MakeSchema(kTypes, kRelations), saver);
}
