#include "support/Loopback.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillon::test::loopback {

namespace {

QString errnoText(const char* what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

// Fills `ss` from an address text of either family.
bool makeAddress(const char* text, std::uint16_t port, sockaddr_storage& ss, socklen_t& len) {
    std::memset(&ss, 0, sizeof ss);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    if (::inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (::inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

} // namespace

void Fd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

QString whyNoKernelTests() {
    if (::geteuid() != 0) {
        return QStringLiteral("kernel tests need root (a private network namespace and "
                              "CAP_NET_ADMIN); run the suite as root to include them");
    }
    return {};
}

QString enterPrivateNetns() {
    if (const QString why = whyNoKernelTests(); !why.isEmpty()) {
        return why;
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        return errnoText("unshare(CLONE_NEWNET)");
    }
    // A new namespace has only lo, and it is down: no loopback addresses until it is up.
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return errnoText("socket");
    }
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (up) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        up = ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    const QString why = up ? QString() : errnoText("bringing lo up");
    ::close(s);
    return why;
}

QString takeLoopbackDown() {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return errnoText("socket");
    }
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool down = ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (down) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
        down = ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    // A loopback that is merely down keeps its local routes, and 127.0.0.1 can still be bound;
    // setting the address 0.0.0.0 removes it.
    if (down) {
        ifr = ifreq{};
        std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
        reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr)->sin_family = AF_INET;
        down = ::ioctl(s, SIOCSIFADDR, &ifr) == 0;
    }
    const QString why = down ? QString() : errnoText("taking lo down");
    ::close(s);
    return why;
}

Fd listenOn(const char* address, std::uint16_t port, bool v6only, int backlog) {
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!makeAddress(address, port, ss, len)) {
        return {};
    }
    Fd s(::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) {
        return {};
    }
    const int one = 1;
    const int only = v6only ? 1 : 0;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (ss.ss_family == AF_INET6) {
        ::setsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
        ::listen(s.get(), backlog) != 0) {
        return {};
    }
    return s;
}

Fd connectTo(const char* remoteAddress, std::uint16_t remotePort, const char* localAddress,
             std::uint16_t localPort) {
    sockaddr_storage remote;
    socklen_t remoteLen = 0;
    if (!makeAddress(remoteAddress, remotePort, remote, remoteLen)) {
        return {};
    }
    Fd s(::socket(remote.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) {
        return {};
    }
    if (localAddress) {
        sockaddr_storage local;
        socklen_t localLen = 0;
        const int one = 1;
        ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (!makeAddress(localAddress, localPort, local, localLen) ||
            ::bind(s.get(), reinterpret_cast<sockaddr*>(&local), localLen) != 0) {
            return {};
        }
    }
    for (;;) {
        if (::connect(s.get(), reinterpret_cast<sockaddr*>(&remote), remoteLen) == 0) {
            return s;
        }
        if (errno != EINTR) {
            return {};
        }
    }
}

Fd acceptOne(const Fd& listener) {
    for (;;) {
        const int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 || errno != EINTR) {
            return Fd(fd);
        }
    }
}

bool addPairs(const Fd& listener, std::vector<Fd>& keep, int pairs) {
    const std::uint16_t port = localPort(listener);
    for (int i = 0; i < pairs; ++i) {
        const std::string from = "127.0.0." + std::to_string(2 + (keep.size() / 2) % 8);
        Fd c = connectTo("127.0.0.1", port, from.c_str());
        Fd s = acceptOne(listener);
        if (!c.valid() || !s.valid()) {
            return false;
        }
        keep.push_back(std::move(c));
        keep.push_back(std::move(s));
    }
    return true;
}

std::uint16_t localPort(const Fd& s) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
        return 0;
    }
    return ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

void abortiveClose(Fd& s) {
    const linger l{1, 0};
    ::setsockopt(s.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    s.reset();
}

long raiseFileLimit(long n) {
    rlimit r{};
    ::getrlimit(RLIMIT_NOFILE, &r);
    if (r.rlim_cur < static_cast<rlim_t>(n)) {
        r.rlim_cur = std::min<rlim_t>(static_cast<rlim_t>(n), r.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &r);
        ::getrlimit(RLIMIT_NOFILE, &r);
    }
    return static_cast<long>(r.rlim_cur);
}

const char* accessName(platform::CutAccess a) {
    switch (a) {
    case platform::CutAccess::Ok:
        return "Ok";
    case platform::CutAccess::NoHelper:
        return "NoHelper";
    case platform::CutAccess::NotInGroup:
        return "NotInGroup";
    case platform::CutAccess::NoCapability:
        return "NoCapability";
    case platform::CutAccess::NotSupported:
        return "NotSupported";
    case platform::CutAccess::Failed:
        return "Failed";
    }
    return "?";
}

const char* resultName(platform::CutResult r) {
    switch (r) {
    case platform::CutResult::Cut:
        return "Cut";
    case platform::CutResult::AlreadyGone:
        return "AlreadyGone";
    case platform::CutResult::NotPermitted:
        return "NotPermitted";
    case platform::CutResult::NotSupported:
        return "NotSupported";
    case platform::CutResult::Failed:
        return "Failed";
    }
    return "?";
}

} // namespace quillon::test::loopback
