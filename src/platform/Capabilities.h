#pragma once
// Plain C++ with no Qt: quillon-cut links this too.
#include <cstddef>

namespace quillon::platform {

// Gives up every capability the process holds unless it runs as root. Called first thing in
// main(), before Qt loads any plugin: Qt honours plugin and library paths from the
// environment, so a GUI binary left with a file capability (cap_net_admin+ep from an old set-up)
// would hand that capability to any code a user points it at. Cuts go through quillon-cut.
void dropCapabilitiesUnlessRoot();

// Whether this process may destroy sockets (CAP_NET_ADMIN in its effective set).
bool hasNetAdmin();

// Writes all of `size` bytes to `fd`, going on after a signal or a partial write; false when
// the other end is gone or the write fails. A socket is written without SIGPIPE, so a peer
// that has died cannot take the writer down with it.
bool writeAll(int fd, const unsigned char* data, std::size_t size);

} // namespace quillon::platform
