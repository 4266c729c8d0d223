#pragma once

// The netlink side shared by everything that talks to the kernel's sock_diag: the walk over
// the messages of one received datagram, the socket calls around it, and the socket identity
// as sock_diag spells it. Plain C++ with no Qt, so that quillon-cut uses it as the program
// does.

#include "platform/CutProtocol.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <sys/types.h>

namespace quillon::platform::netlink {

// One message of a datagram: its header copied out, its payload where it lies (the payload
// is not promised to be aligned: copy it out before reading a struct from it).
struct Message {
    nlmsghdr header;
    const unsigned char* payload;
    std::size_t payloadLen;
};

enum class Walk {
    End,       // every message was visited
    Stopped,   // the visitor asked to stop
    Malformed, // bytes that are no message: a header cut short, or a length past the end
};

// Visits the messages of one datagram in order; `visit(const Message&)` returns true to go
// on. Messages are copied out rather than cast in place: nothing promises the buffer is
// aligned, and a malformed length would otherwise read past it. The messages before a
// malformed one have been visited when Malformed is returned.
template <typename Visit>
Walk ForEachMessage(const void* data, std::size_t len, Visit&& visit) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (len > 0) {
        Message m;
        if (len < sizeof m.header) {
            return Walk::Malformed;
        }
        std::memcpy(&m.header, p, sizeof m.header);
        if (m.header.nlmsg_len < sizeof m.header || m.header.nlmsg_len > len) {
            return Walk::Malformed;
        }
        m.payload = p + NLMSG_HDRLEN;
        m.payloadLen = m.header.nlmsg_len - sizeof m.header;
        const std::size_t step = std::min<std::size_t>(NLMSG_ALIGN(m.header.nlmsg_len), len);
        p += step;
        len -= step;
        if (!visit(static_cast<const Message&>(m))) {
            return Walk::Stopped;
        }
    }
    return Walk::End;
}

// Opens a sock_diag socket bound to a port of its own, with a receive timeout so that a
// reply that never comes cannot freeze the caller, and, when `receiveBuffer` is not 0, that
// much room for queued datagrams (best effort). Returns the descriptor or a negative errno.
int OpenSockDiag(std::uint32_t& portId, int timeoutSeconds, int receiveBuffer = 0);

// Sends one request to the kernel. Returns 0 or the errno.
int SendToKernel(int fd, const void* request, std::size_t len);

// Receives one datagram. Returns its length, 0 for a datagram to ignore (not sent by the
// kernel), or a negative errno; EMSGSIZE when it did not fit the buffer.
ssize_t ReceiveFromKernel(int fd, unsigned char* buffer, std::size_t size);

// Reads until a message answering `request` (same sequence number and port) settles it; the
// request has been sent. An error message settles it with its status: 0 for an
// acknowledgement, else the kernel's errno. Any other message of the request goes to
// `answer(const Message&)`, which returns true when it settles the exchange (with 0).
// Returns that result, or the negative errno of a failed receive.
template <typename Answer>
int AwaitAnswer(int fd, const nlmsghdr& request, unsigned char* buffer, std::size_t size,
                Answer&& answer) {
    for (;;) {
        const ssize_t n = ReceiveFromKernel(fd, buffer, size);
        if (n < 0) {
            return static_cast<int>(n);
        }
        bool settled = false;
        int result = 0;
        ForEachMessage(buffer, static_cast<std::size_t>(n), [&](const Message& m) {
            if (m.header.nlmsg_seq != request.nlmsg_seq ||
                m.header.nlmsg_pid != request.nlmsg_pid) {
                return true; // left over from an earlier request
            }
            if (m.header.nlmsg_type == NLMSG_ERROR) {
                int status = 0;
                if (m.payloadLen < sizeof status) {
                    return true;
                }
                std::memcpy(&status, m.payload, sizeof status);
                settled = true;
                result = status <= 0 ? -status : EPROTO; // the kernel sends 0 or -errno

                return false;
            }
            settled = answer(m);
            return !settled;
        });
        if (settled) {
            return result;
        }
    }
}

// A socket's identity as sock_diag takes it in a request (the addresses and ports in network
// byte order, the cookie split into its two words).
void FillSockId(inet_diag_sockid& id, const cutproto::SocketId& socket);

} // namespace quillon::platform::netlink
