#include "dnet/DNetState.h"

#include "dnet/DNetSchema.h"

#include <QTcpSocket>

namespace DNetState {

namespace {

ItemPtr Key(const char* key)
{
    return d.GetType(DNetTypes::DNetGlobal)->GetItem(Value(key));
}

} // namespace

bool Has(const char* key)
{
    return Key(key).IsConnected(DNetTypes::DNetValue);
}

std::string Get(const char* key)
{
    return Key(key)[DNetTypes::DNetValue].AsString();
}

qint64 Number(const char* key)
{
    return Key(key)[DNetTypes::DNetValue].AsInt64();
}

void Set(const char* key, const std::string& value)
{
    Key(key) += d.GetType(DNetTypes::DNetValue)->GetItem(Value(value));
}

void Clear(const char* key)
{
    Key(key).Disconnect(DNetTypes::DNetValue);
}

ItemPtr Named(const char* type, const QTcpSocket* socket)
{
    return d.GetType(type)->HasItem(Value(socket));
}

QTcpSocket* SocketOf(ItemPtr item)
{
    return item.AsPointer<QTcpSocket>();
}

} // namespace DNetState
