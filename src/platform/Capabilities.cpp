#include "platform/Capabilities.h"

#include <arpa/inet.h>
#include <cerrno>
#include <linux/capability.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillon::platform {

void dropCapabilitiesUnlessRoot() {
    if (::getuid() == 0) {
        return; // root cuts by itself
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3]{};
    ::syscall(SYS_capset, &header, none);
}

bool hasNetAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    return (data[CAP_NET_ADMIN / 32].effective & (1u << (CAP_NET_ADMIN % 32))) != 0;
}

bool hasNetAdminOverOwnNetwork() {
    // SIOCGSKNS hands a socket's network namespace only to a caller that holds CAP_NET_ADMIN
    // in the user namespace owning it, or in one above it: the very test the kernel applies to
    // a destroy, answered without touching any connection or reading /proc.
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return hasNetAdmin();
    }
    const int ns = ::ioctl(s, SIOCGSKNS);
    const int error = errno;
    ::close(s);
    if (ns >= 0) {
        ::close(ns);
        return true;
    }
    if (error == EPERM) {
        return false;
    }
    // A kernel before 4.9 knows no such request: our own capabilities are all there is.
    return hasNetAdmin();
}

int openProbeListener(cutproto::SocketId& id) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return -errno;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    std::uint64_t cookie = 0;
    socklen_t cookieLen = sizeof cookie;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || ::listen(s, 1) < 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) < 0 ||
        ::getsockopt(s, SOL_SOCKET, SO_COOKIE, &cookie, &cookieLen) < 0) {
        const int error = errno;
        ::close(s);
        return -error;
    }
    id = cutproto::SocketId{};
    id.family = AF_INET;
    id.local[0] = addr.sin_addr.s_addr;
    id.localPort = addr.sin_port;
    id.cookie = cookie;
    return s;
}

bool writeAll(int fd, const unsigned char* data, std::size_t size) {
    std::size_t done = 0;
    bool socket = true;
    while (done < size) {
        ssize_t n = socket ? ::send(fd, data + done, size - done, MSG_NOSIGNAL) : 0;
        if (socket && n < 0 && errno == ENOTSOCK) {
            socket = false; // a pipe or a file: plain writes
        }
        if (!socket) {
            n = ::write(fd, data + done, size - done);
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace quillon::platform
