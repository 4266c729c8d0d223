#pragma once

#include "platform/CutProtocol.h"
#include "platform/TcpTable.h"

namespace quillon::platform {

// The kernel's identity of the socket a row was dumped from (family, addresses and ports as
// dumped, bound device, cookie): what a cut names, in process or through quillon-cut.
cutproto::SocketId SocketIdOf(const TcpRow& row);

} // namespace quillon::platform
