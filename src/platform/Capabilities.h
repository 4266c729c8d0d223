#pragma once
// Plain C++ with no Qt: quillon-cut links this too.
#include "platform/CutProtocol.h"

#include <cstddef>

namespace quillon::platform {

// Gives up every capability the process holds unless it runs as root. Called first thing in
// main(), before Qt loads any plugin: Qt honours plugin and library paths from the
// environment, so a GUI binary left with a file capability (cap_net_admin+ep from an old set-up)
// would hand that capability to any code a user points it at. Cuts go through quillon-cut.
void dropCapabilitiesUnlessRoot();

// Whether this process holds CAP_NET_ADMIN in its effective set, in its own user namespace.
bool hasNetAdmin();

// Whether that capability reaches the sockets of this process's network namespace. The kernel
// checks a destroy against the user namespace that owns the network namespace, not against
// the caller's own: root of a user namespace of its own (a plain user's `unshare -U -r`) holds
// every capability there, and still may not cut a connection of the network namespace it
// shares with the machine.
bool hasNetAdminOverOwnNetwork();

// A TCP listener of this process's own on 127.0.0.1 (a free port), for the rights probe: the
// kernel looks a socket up before it checks the caller's rights, so only the destroy of a real
// socket tells whether cuts are permitted. Fills `id` with the listener's identity, cookie
// included, and returns its descriptor, or a negative errno when none can be made (loopback
// down, for one).
int openProbeListener(cutproto::SocketId& id);

// Writes all of `size` bytes to `fd`, going on after a signal or a partial write; false when
// the other end is gone or the write fails. A socket is written without SIGPIPE, so a peer
// that has died cannot take the writer down with it.
bool writeAll(int fd, const unsigned char* data, std::size_t size);

} // namespace quillon::platform
