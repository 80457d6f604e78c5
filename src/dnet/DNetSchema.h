#pragma once

// The store types of the distributed network by name. Their declarations are the tables of
// DNetSchema.cpp. Nothing of the tree is saved: a restart begins with no parent, no children and
// no users tried.
namespace DNetTypes {

// Flag on a user tried once as a parent; never cleared while the user's item lasts.
inline constexpr char AttemptedDNetConnection[] = "attempted_dnet_connection";
// The manager's own keys (below) and their values.
inline constexpr char DNetGlobal[] = "dnet_global";
inline constexpr char DNetValue[] = "dnet_value";
// One per child connection, named by the child socket's address.
inline constexpr char DNetChild[] = "dnet_child";
inline constexpr char DNetChildDepth[] = "dnet_child_depth";
// One per parent candidate connection, named by the socket's address, with what it told us.
inline constexpr char DNetParentCandidate[] = "dnet_parent_candidate";
inline constexpr char DNetCandidateLevel[] = "dnet_candidate_level";
inline constexpr char DNetCandidateLeader[] = "dnet_candidate_leader";

} // namespace DNetTypes

// The keys of dnet_global; a key without a dnet_value has none.
namespace DNetKeys {

// The parent's user name: a parent exists exactly while this has a value.
inline constexpr char ParentUser[] = "dnet_parent_user";
// The parent socket's address.
inline constexpr char ParentSocket[] = "dnet_parent_socket";
inline constexpr char GroupLeader[] = "dnet_group_leader";
// Our own level in the tree, decimal.
inline constexpr char Level[] = "dnet_level";
// The depth of the subtree below us, decimal; kept only while above 0.
inline constexpr char ChildDepth[] = "dnet_child_depth";

} // namespace DNetKeys
