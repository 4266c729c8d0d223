#include "platform/SocketIdentity.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace quillon::platform {

cutproto::SocketId SocketIdOf(const TcpRow& row) {
    cutproto::SocketId id;
    id.family = row.family;
    if (row.family == AF_INET6) {
        // The kernel finds an IPv6 socket by the addresses it was dumped with, IPv4-mapped or
        // not.
        id.local = row.local6;
        id.remote = row.remote6;
    } else {
        id.local[0] = row.dwLocalAddr;
        id.remote[0] = row.dwRemoteAddr;
    }
    id.localPort = static_cast<std::uint16_t>(row.dwLocalPort & 0xFFFF);
    id.remotePort = static_cast<std::uint16_t>(row.dwRemotePort & 0xFFFF);
    id.ifIndex = row.ifIndex;
    id.cookie = row.cookie;
    return id;
}

} // namespace quillon::platform
