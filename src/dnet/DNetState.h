#pragma once

// What the distributed network's files share: the manager's own keys in the store (dnet_global)
// and the items that name a socket.

#include "dnet/DNetSchema.h"
#include "store/Data.h"

#include <string>

class QTcpSocket;

namespace DNetState {

// Whether the key has a value, its value ("" when none), giving it one and taking it away.
bool Has(const char* key);
std::string Get(const char* key);
qint64 Number(const char* key);
void Set(const char* key, const std::string& value);
void Clear(const char* key);

// A parent exists exactly while its user name is known.
inline bool HasParent()
{
    return Has(DNetKeys::ParentUser);
}

// The item of that type named by the socket's address, or a null handle.
ItemPtr Named(const char* type, const QTcpSocket* socket);
// The socket an item is named by.
QTcpSocket* SocketOf(ItemPtr item);

} // namespace DNetState
