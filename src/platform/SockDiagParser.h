#pragma once

#include "platform/TcpTable.h"

#include <cstddef>
#include <vector>

// The pure half of the kernel TCP table: turns the bytes of a sock_diag dump into rows.
// Kept apart from the socket code so that it can be fed recorded and hand-made dumps.
namespace quillon::platform::netlink {
struct Message;
}

namespace quillon::platform::sockdiag {

// Kernel TCP state (ESTABLISHED = 1 ... NEW_SYN_RECV = 12) in the program's numbering;
// 0 ("unknown") for a state the program has no number for.
quint32 MapKernelState(quint32 kernelState);

// Reads the replies of one dump, one received datagram at a time.
class DumpParser {
public:
    enum class Status {
        More,   // the dump goes on: feed the next datagram
        Done,   // the dump ended well
        Failed, // the kernel reported an error or the bytes are malformed: see error()
    };

    // Starts a dump whose request carried `seq` and was sent from netlink port `portId`.
    // Rows are appended to `rows` (not cleared here: a dump of two families appends twice),
    // every one of them. Without `ipv6Rows` IPv6 connections are skipped, leaving the
    // IPv4 ones (IPv4-mapped sockets included).
    void begin(quint32 seq, quint32 portId, std::vector<TcpRow>* rows, bool ipv6Rows = true);

    // One datagram as received. Messages of another request (stale sequence number or port)
    // are skipped, and so are sockets that are no row.
    Status feed(const void* data, std::size_t len);

    // The kernel flagged the dump as inconsistent (its tables changed while it was dumped).
    bool interrupted() const { return interrupted_; }

    // After Failed: the kernel's errno, or EBADMSG for malformed bytes.
    int error() const { return error_; }

    // After Failed: the bytes were malformed (rather than an error the kernel reported).
    bool malformed() const { return malformed_; }

    // After Failed: the kernel answered the request itself with an error (rather than
    // ending a dump it had started with one).
    bool rejected() const { return rejected_; }

    // Rows the dump reported, including any beyond the cap.
    std::size_t rowsSeen() const { return seen_; }

private:
    Status take(const netlink::Message& m);
    Status fail(int error);
    Status failMalformed();

    std::vector<TcpRow>* rows_ = nullptr;
    bool ipv6Rows_ = true;
    quint32 seq_ = 0;
    quint32 portId_ = 0;
    bool interrupted_ = false;
    bool finished_ = false;
    bool malformed_ = false;
    bool rejected_ = false;
    int error_ = 0;
    std::size_t seen_ = 0;
};

} // namespace quillon::platform::sockdiag
