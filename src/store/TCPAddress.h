#pragma once

#include <QtGlobal>

#include <utility>

// An IPv4 address as a 32-bit number and a port; on the wire u32 then i32.
using TCPAddress = std::pair<quint32, qint32>;
