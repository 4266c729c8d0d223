#include "platform/NetlinkWalk.h"

#include <cerrno>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace quillon::platform::netlink {

int OpenSockDiag(std::uint32_t& portId, int timeoutSeconds, int receiveBuffer) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        return -errno;
    }
    // Both are best effort: the defaults work, these only add headroom and a bound.
    if (receiveBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    const timeval timeout{timeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    socklen_t len = sizeof local;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) < 0) {
        const int error = errno;
        ::close(fd);
        return -error;
    }
    portId = local.nl_pid;
    return fd;
}

int SendToKernel(int fd, const void* request, std::size_t len) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        const ssize_t n =
            ::sendto(fd, request, len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
        if (n >= 0) {
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
}

ssize_t ReceiveFromKernel(int fd, unsigned char* buffer, std::size_t size) {
    sockaddr_nl from{};
    iovec iov{buffer, size};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    for (;;) {
        const ssize_t n = ::recvmsg(fd, &msg, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -errno;
        }
        if (msg.msg_flags & MSG_TRUNC) {
            return -EMSGSIZE;
        }
        return from.nl_pid == 0 ? n : 0;
    }
}

void FillSockId(inet_diag_sockid& id, const cutproto::SocketId& socket) {
    id.idiag_sport = socket.localPort;
    id.idiag_dport = socket.remotePort;
    std::memcpy(id.idiag_src, socket.local.data(), sizeof id.idiag_src);
    std::memcpy(id.idiag_dst, socket.remote.data(), sizeof id.idiag_dst);
    id.idiag_if = socket.ifIndex;
    id.idiag_cookie[0] = static_cast<std::uint32_t>(socket.cookie);
    id.idiag_cookie[1] = static_cast<std::uint32_t>(socket.cookie >> 32);
}

} // namespace quillon::platform::netlink
