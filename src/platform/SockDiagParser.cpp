#include "platform/SockDiagParser.h"

#include "platform/NetlinkWalk.h"

#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>

namespace quillon::platform::sockdiag {

namespace {

// The kernel's TCP states (include/net/tcp_states.h); the uapi headers do not export them.
enum KernelState : quint32 {
    kEstablished = 1,
    kSynSent = 2,
    kSynRecv = 3,
    kFinWait1 = 4,
    kFinWait2 = 5,
    kTimeWait = 6,
    kClose = 7,
    kCloseWait = 8,
    kLastAck = 9,
    kListen = 10,
    kClosing = 11,
    kNewSynRecv = 12,
};

bool isV4Mapped(const __be32 a[4]) {
    return a[0] == 0 && a[1] == 0 && a[2] == htonl(0xFFFF);
}

bool isUnspecified(const __be32 a[4]) {
    return a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] == 0;
}

// IPv4 sockets, and IPv6 sockets whose local address is IPv4-mapped (the remote one too, or
// none yet), are IPv4 connections; any other IPv6 socket is an IPv6 connection, a row only
// when `ipv6Rows`. A dual-stack listener on [::] is one socket, so one IPv6 row.
bool toRow(const inet_diag_msg& m, bool ipv6Rows, TcpRow& r) {
    if (m.idiag_family == AF_INET) {
        r.dwLocalAddr = m.id.idiag_src[0];
        r.dwRemoteAddr = m.id.idiag_dst[0];
    } else if (m.idiag_family == AF_INET6) {
        std::memcpy(r.local6.data(), m.id.idiag_src, sizeof m.id.idiag_src);
        std::memcpy(r.remote6.data(), m.id.idiag_dst, sizeof m.id.idiag_dst);
        if (isV4Mapped(m.id.idiag_src) &&
            (isV4Mapped(m.id.idiag_dst) || isUnspecified(m.id.idiag_dst))) {
            r.dwLocalAddr = m.id.idiag_src[3];
            r.dwRemoteAddr = m.id.idiag_dst[3];
        } else if (ipv6Rows) {
            r.ipv6 = true;
        } else {
            return false;
        }
    } else {
        return false;
    }
    r.dwState = MapKernelState(m.idiag_state);
    // The ports keep their network byte order in the low 16 bits, as the classic row has them.
    r.dwLocalPort = m.id.idiag_sport;
    r.dwRemotePort = m.id.idiag_dport;
    r.family = m.idiag_family;
    r.ifIndex = m.id.idiag_if;
    r.cookie = static_cast<quint64>(m.id.idiag_cookie[0]) |
               (static_cast<quint64>(m.id.idiag_cookie[1]) << 32);
    r.uid = m.idiag_uid;
    r.inode = m.idiag_inode;
    return true;
}

} // namespace

quint32 MapKernelState(quint32 kernelState) {
    switch (kernelState) {
    case kEstablished:
        return StateEstablished;
    case kSynSent:
        return StateSynSent;
    case kSynRecv:
    case kNewSynRecv: // a request socket: the half-open connection of a listener
        return StateSynRcvd;
    case kFinWait1:
        return StateFinWait1;
    case kFinWait2:
        return StateFinWait2;
    case kTimeWait:
        return StateTimeWait;
    case kClose:
        return StateClosed;
    case kCloseWait:
        return StateCloseWait;
    case kLastAck:
        return StateLastAck;
    case kListen:
        return StateListen;
    case kClosing:
        return StateClosing;
    default:
        return 0;
    }
}

void DumpParser::begin(quint32 seq, quint32 portId, std::vector<TcpRow>* rows, bool ipv6Rows) {
    rows_ = rows;
    ipv6Rows_ = ipv6Rows;
    seq_ = seq;
    portId_ = portId;
    interrupted_ = false;
    finished_ = false;
    malformed_ = false;
    rejected_ = false;
    error_ = 0;
    seen_ = 0;
}

namespace {

// The errno a negative status carries. The kernel only ever sends -1 ... -4095; anything
// beyond (INT_MIN above all, whose negation overflows) is a malformed status, not an errno.
int errnoOf(int status) {
    constexpr int kMaxErrno = 4095;
    return status >= -kMaxErrno ? -status : EPROTO;
}

} // namespace

DumpParser::Status DumpParser::fail(int error) {
    finished_ = true;
    error_ = error;
    return Status::Failed;
}

DumpParser::Status DumpParser::failMalformed() {
    fail(EBADMSG);
    malformed_ = true;
    return Status::Failed;
}

DumpParser::Status DumpParser::feed(const void* data, std::size_t len) {
    if (finished_) {
        return error_ ? Status::Failed : Status::Done;
    }
    Status status = Status::More;
    const netlink::Walk walk = netlink::ForEachMessage(data, len, [&](const netlink::Message& m) {
        status = take(m);
        return status == Status::More;
    });
    if (walk == netlink::Walk::Malformed) {
        return failMalformed(); // a truncated message
    }
    return status;
}

DumpParser::Status DumpParser::take(const netlink::Message& m) {
    const nlmsghdr& h = m.header;
    if (h.nlmsg_seq != seq_ || h.nlmsg_pid != portId_) {
        return Status::More; // left over from an earlier request
    }
    if (h.nlmsg_flags & NLM_F_DUMP_INTR) {
        interrupted_ = true;
    }
    switch (h.nlmsg_type) {
    case NLMSG_DONE: {
        // The dump's own status: a negative errno when it stopped on an error.
        int status = 0;
        if (m.payloadLen >= sizeof status) {
            std::memcpy(&status, m.payload, sizeof status);
        }
        if (status < 0) {
            return fail(errnoOf(status));
        }
        finished_ = true;
        return Status::Done;
    }
    case NLMSG_ERROR: {
        nlmsgerr e;
        if (m.payloadLen < sizeof e.error) {
            return failMalformed();
        }
        std::memcpy(&e.error, m.payload, sizeof e.error);
        if (e.error == 0) {
            return Status::More; // an acknowledgement, not an answer
        }
        fail(e.error < 0 ? errnoOf(e.error) : EPROTO);
        rejected_ = true;
        return Status::Failed;
    }
    case NLMSG_OVERRUN:
        return fail(ENOBUFS);
    case SOCK_DIAG_BY_FAMILY:
    case TCPDIAG_GETSOCK: {
        inet_diag_msg d;
        if (m.payloadLen < sizeof d) {
            return failMalformed();
        }
        std::memcpy(&d, m.payload, sizeof d);
        TcpRow row;
        if (!toRow(d, ipv6Rows_, row)) {
            return Status::More;
        }
        ++seen_;
        if (rows_) {
            rows_->push_back(row);
        }
        return Status::More;
    }
    default:
        return Status::More; // NLMSG_NOOP, or a type this reader does not know: no row
    }
}

} // namespace quillon::platform::sockdiag
