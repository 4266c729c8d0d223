#include "platform/SocketIdentity.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quillon::platform {

cutproto::SocketId SocketIdOf(const TcpRow& row) {
    cutproto::SocketId id;
    id.family = row.family;
    if (row.family == AF_INET6) {
        // The socket was dumped with its IPv4-mapped addresses; the kernel finds it by them.
        id.local = {0, 0, htonl(0xFFFF), row.dwLocalAddr};
        id.remote = {0, 0, htonl(0xFFFF), row.dwRemoteAddr};
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
