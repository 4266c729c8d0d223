#include "platform/SockDiagParser.h"

#include <algorithm>
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

// IPv4 sockets, and IPv6 sockets whose both ends are IPv4-mapped, are IPv4 connections;
// anything else (pure IPv6, a dual-stack listener on [::]) is not a row.
bool toRow(const inet_diag_msg& m, TcpRow& r) {
    if (m.idiag_family == AF_INET) {
        r.dwLocalAddr = m.id.idiag_src[0];
        r.dwRemoteAddr = m.id.idiag_dst[0];
    } else if (m.idiag_family == AF_INET6 && isV4Mapped(m.id.idiag_src) &&
               isV4Mapped(m.id.idiag_dst)) {
        r.dwLocalAddr = m.id.idiag_src[3];
        r.dwRemoteAddr = m.id.idiag_dst[3];
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

void DumpParser::begin(quint32 seq, quint32 portId, std::vector<TcpRow>* rows) {
    rows_ = rows;
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
    const auto* p = static_cast<const unsigned char*>(data);
    while (len > 0) {
        // Messages are copied out rather than cast in place: nothing promises the caller's
        // buffer is aligned, and a malformed length would otherwise read past it.
        nlmsghdr h;
        if (len < sizeof h) {
            return failMalformed();
        }
        std::memcpy(&h, p, sizeof h);
        if (h.nlmsg_len < sizeof h || h.nlmsg_len > len) {
            return failMalformed(); // a truncated message
        }
        const std::size_t payloadLen = h.nlmsg_len - sizeof h;
        const unsigned char* payload = p + NLMSG_HDRLEN;
        const std::size_t step = std::min<std::size_t>(NLMSG_ALIGN(h.nlmsg_len), len);
        p += step;
        len -= step;

        if (h.nlmsg_seq != seq_ || h.nlmsg_pid != portId_) {
            continue; // left over from an earlier request
        }
        if (h.nlmsg_flags & NLM_F_DUMP_INTR) {
            interrupted_ = true;
        }
        switch (h.nlmsg_type) {
        case NLMSG_NOOP:
            continue;
        case NLMSG_DONE: {
            // The dump's own status: a negative errno when it stopped on an error.
            int status = 0;
            if (payloadLen >= sizeof status) {
                std::memcpy(&status, payload, sizeof status);
            }
            if (status < 0) {
                return fail(errnoOf(status));
            }
            finished_ = true;
            return Status::Done;
        }
        case NLMSG_ERROR: {
            nlmsgerr e;
            if (payloadLen < sizeof e.error) {
                return failMalformed();
            }
            std::memcpy(&e.error, payload, sizeof e.error);
            if (e.error == 0) {
                continue; // an acknowledgement, not an answer
            }
            fail(e.error < 0 ? errnoOf(e.error) : EPROTO);
            rejected_ = true;
            return Status::Failed;
        }
        case NLMSG_OVERRUN:
            return fail(ENOBUFS);
        case SOCK_DIAG_BY_FAMILY:
        case TCPDIAG_GETSOCK: {
            inet_diag_msg m;
            if (payloadLen < sizeof m) {
                return failMalformed();
            }
            std::memcpy(&m, payload, sizeof m);
            TcpRow row;
            if (!toRow(m, row)) {
                continue;
            }
            ++seen_;
            if (rows_ && rows_->size() < static_cast<std::size_t>(kMaxRows)) {
                rows_->push_back(row);
            }
            continue;
        }
        default:
            continue; // a message type this reader does not know carries no row
        }
    }
    return Status::More;
}

} // namespace quillon::platform::sockdiag
