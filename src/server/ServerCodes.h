#pragma once

#include <QtGlobal>

// Every message code of the server protocol. The same number names a request and the server's
// answer to it where the two belong together (5: add a user / the add-user reply), so one name
// covers both directions. Requests are built in ServerRequests.cpp, received messages are routed
// by Server::HandleMessage in ServerMessages.cpp.
namespace ServerCode {
enum : quint32
{
    Login = 1,
    SetWaitPort = 2,
    GetUserAddress = 3,
    AddUser = 5,
    UntrackUser = 6,
    GetUserStatus = 7,
    RoomChat = 13,
    EnterRoom = 14,
    LeaveRoom = 15,
    UserJoinedRoom = 16,
    UserLeftRoom = 17,
    ConnectToPeer = 18,
    PrivateChat = 22,
    AcknowledgePrivateChat = 23,
    FileSearch = 26,
    KeepAlive = 32,
    SharedFoldersFiles = 35,
    GetUserStats = 36,
    RoomList = 64,
    PrivilegedUsers = 69,
    DNetHasParent = 71,
    DNetParentMinSpeed = 83,
    DNetParentSpeedConnectionRatio = 84,
    OwnPrivileges = 92,
    DNetMessage = 93,
    DNetCanParent = 100,
    DNetPossibleParents = 102,
    WishListSearch = 103,
    WishListWait = 104,
    UploadSpeed = 121,
    DNetLevel = 126,
    DNetGroupLeader = 127,
    DNetDeliveryReport = 128,
    DNetChildDepth = 129,
    DNetReset = 130,
    PrivateRoomMembers = 133,
    PrivateRoomAddMember = 134,
    PrivateRoomRemoveMember = 135,
    PrivateRoomGiveUpMembership = 136,
    PrivateRoomGiveUpOwnership = 137,
    PrivateRoomMembershipGranted = 139,
    PrivateRoomMembershipRevoked = 140,
    PrivateRoomInvitations = 141,
    PrivateRoomAddOperator = 143,
    PrivateRoomRemoveOperator = 144,
    PrivateRoomMadeOperator = 145,
    PrivateRoomOperators = 148,
    SearchCorrelations = 153,
    CantConnectToPeer = 1001,
};
} // namespace ServerCode
