#pragma once

// The frames of the distributed tree, in both directions on every connection of type "D": a u32
// little-endian body length, then the body, plain (never scrambled). A body is a one-byte code
// and the fields of that code in the shared stream encoding:
//   3  search       u32 kind; for kind 49 only: string user, u32 token, string query
//   4  level        i32 level of the sender in the tree, -1 for none
//   5  group leader string name, empty for none
//   7  child depth  i32 depth of the sender's subtree (child to parent)
// The server embeds the same bodies in its code 93. The frame is the peer frame
// (peer/PeerFraming.h, BuildFrame), always unscrambled here.

#include <QByteArray>
#include <QtGlobal>

#include <string>

namespace DNetCode {

inline constexpr quint8 Search = 3;
inline constexpr quint8 Level = 4;
inline constexpr quint8 GroupLeader = 5;
inline constexpr quint8 ChildDepth = 7;

} // namespace DNetCode

// The kind of a search to answer here; a search of any other kind is only passed on.
inline constexpr quint32 kDNetSearchToAnswer = 49;

QByteArray DNetLevelBody(qint32 level);
QByteArray DNetGroupLeaderBody(const std::string& leader);
