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
    {UninitializedSocket, RootPrimacy, false, false},
    {PeerSocket, RootPrimacy, false, false},
    {ConnectionOpenTime, ValuePrimacy, false, true},
    {LastActivityTime, RootPrimacy, false, true},
    {IsObfuscated, ValuePrimacy, true, true},
    {PeerConnectionRequest, RootPrimacy, true, false},
    {PeerConnectionRequestId, ValuePrimacy, false, true},
    {PeerConnectionType, ValuePrimacy, false, true},
    {PeerConnectionRequestSocket, RootPrimacy, false, false},
    {UserAddress, ValuePrimacy, false, true},
    {UserPort, ValuePrimacy, false, true},
    {UserObfuscatedPort, ValuePrimacy, false, true},
    {SocketCreationTime, ValuePrimacy, false, true},
    {SearchRequest, RootPrimacy, false, false},
    {SearchRequestText, RootPrimacy, false, true},
    {WishlistSearch, ValuePrimacy, true, true},
    {SearchResults, RootPrimacy, true, true},
    {SearchResult, ReachablePrimacy, true, true},
    {SearchResultsUserAvailable, ValuePrimacy, false, true},
    {SearchResultsUserSpeed, ValuePrimacy, false, true},
    {SearchResultsUploadsInQueue, ValuePrimacy, false, true},
    {SearchResultFileName, ValuePrimacy, false, true},
    {SearchResultFileFolder, ValuePrimacy, false, true},
    {FileSize, ValuePrimacy, false, true},
    {SearchCorrelation, ReachablePrimacy, true, true},
    {CorrelationText, ValuePrimacy, false, true},
    {CorrelationRank, ValuePrimacy, false, true},
    {MpegVersion, ValuePrimacy, false, true},
    {ChannelMode, ValuePrimacy, false, true},
    {AudioFrequency, ValuePrimacy, false, true},
    {BitrateMode, ValuePrimacy, false, true},
    {Bitrate, ValuePrimacy, false, true},
    {LengthSeconds, ValuePrimacy, false, true},
    {UnsentMessage, RootPrimacy, false, true},
    {SendOrder, ValuePrimacy, false, true},
    {SendTime, ValuePrimacy, false, true},
    {ConnectToPeerRequest, RootPrimacy, true, true},
    {ConnectToPeerRequestStatus, ValuePrimacy, false, true},
    {ConnectToPeerRequestSocket, RootPrimacy, false, true},
    {IndirectConnectToPeerRequest, RootPrimacy, false, true},
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
