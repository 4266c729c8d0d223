#include "platform/Capabilities.h"

#include <cerrno>
#include <linux/capability.h>
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
