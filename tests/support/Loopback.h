#pragma once

#include "platform/TcpTable.h"

#include <QString>
#include <cstdint>
#include <utility>
#include <vector>

// Kernel-facing tests and benchmarks: a private network namespace and loopback sockets in it.
namespace quillon::test::loopback {

// Moves the calling process (all of it: call before starting threads) into a network
// namespace of its own and brings `lo` up there, so that nothing the caller does can reach
// the machine's real connections. Returns the empty text on success, else why it could not.
QString enterPrivateNetns();

// Takes `lo` of the caller's network namespace (only ever a namespace of the test's own) back to
// how a new namespace has it: down and without its address, so that no IPv4 loopback socket
// can be bound. The sockets already on it stay. Returns the empty text on success, else why it
// could not.
QString takeLoopbackDown();

// Why kernel tests cannot run here (not root), or the empty text.
QString whyNoKernelTests();

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset(std::exchange(o.fd_, -1));
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A TCP listener on `address` ("127.0.0.1", "::", "::1"), `port` (0 = any free port).
// `v6only` applies to IPv6 listeners. Invalid on failure.
Fd listenOn(const char* address, std::uint16_t port, bool v6only = false, int backlog = 128);

// A connected client socket from `localAddress`:`localPort` (port 0 = any) to
// `remoteAddress`:`remotePort`. Invalid on failure. SO_REUSEADDR lets a test reuse a
// four-tuple whose earlier connection ended without TIME_WAIT.
Fd connectTo(const char* remoteAddress, std::uint16_t remotePort,
             const char* localAddress = nullptr, std::uint16_t localPort = 0);

// The next connection waiting on `listener` (blocks).
Fd acceptOne(const Fd& listener);

// Opens `pairs` more connections to `listener` (an IPv4 loopback listener) and keeps both ends
// of each in `keep`. Clients come from eight loopback addresses, 127.0.0.2 to 127.0.0.9, so
// that no one address runs short of ephemeral ports. False when one could not be opened.
bool addPairs(const Fd& listener, std::vector<Fd>& keep, int pairs);

// The local port of a socket (host order).
std::uint16_t localPort(const Fd& s);

// Ends a connection with a reset instead of FIN, so no TIME_WAIT is left behind.
void abortiveClose(Fd& s);

// Raises the open-file limit to at least `n` (up to the hard limit). Returns the new limit.
long raiseFileLimit(long n);

// The names of a cut's answers, for tests that report them from a child process.
const char* accessName(platform::CutAccess a);
const char* resultName(platform::CutResult r);

} // namespace quillon::test::loopback
