#include "platform/NetlinkTcpTable.h"

#include "platform/Capabilities.h"
#include "platform/CutHelper.h"
#include "platform/NetlinkWalk.h"
#include "platform/SocketIdentity.h"

#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

// One kernel datagram of a dump is at most 32 KiB (the kernel sizes dump buffers by the
// reader's buffer, up to that); twice that leaves room to spare.
constexpr std::size_t kBufferSize = 64 * 1024;

// Queued dump datagrams wait in the socket's buffer between reads.
constexpr int kSocketBuffer = 256 * 1024;

// A dump whose tables changed underneath is retried this many times in all; after that the
// last dump's rows are kept: they are real sockets, only the set may be slightly stale.
constexpr int kDumpAttempts = 3;

// Every kernel TCP state from ESTABLISHED (1) to NEW_SYN_RECV (12). Bound-only sockets
// (BOUND_INACTIVE, 13) are not connections and are not asked for.
constexpr quint32 kAllStates = ((1u << 13) - 1) & ~1u;

// A reply that never comes must not freeze the caller (the user-interface thread).
constexpr int kReplyTimeoutSeconds = 2;

struct DumpRequestLegacy {
    nlmsghdr nlh;
    inet_diag_req req;
};

struct DumpRequestV2 {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
};

DumpRequestV2 destroyRequest(const cutproto::SocketId& id) {
    DumpRequestV2 r{};
    r.nlh.nlmsg_len = sizeof r;
    r.nlh.nlmsg_type = SOCK_DESTROY;
    r.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    r.req.sdiag_family = id.family;
    r.req.sdiag_protocol = IPPROTO_TCP;
    r.req.idiag_states = ~0u;
    netlink::FillSockId(r.req.id, id);
    return r;
}

} // namespace

NetlinkTcpTable::NetlinkTcpTable() : buffer_(new unsigned char[kBufferSize]) {}

NetlinkTcpTable::~NetlinkTcpTable() {
    closeDumpSocket();
    if (destroyFd_ >= 0) {
        ::close(destroyFd_);
    }
}

bool NetlinkTcpTable::openDumpSocket() {
    const int fd = netlink::OpenSockDiag(dumpPort_, kReplyTimeoutSeconds, kSocketBuffer);
    if (fd < 0) {
        lastError_ = -fd;
        return false;
    }
    dumpFd_ = fd;
    return true;
}

void NetlinkTcpTable::closeDumpSocket() {
    if (dumpFd_ >= 0) {
        ::close(dumpFd_);
        dumpFd_ = -1;
    }
}

bool NetlinkTcpTable::snapshot(std::vector<TcpRow>& rows) {
    lastError_ = 0;
    for (int attempt = 1;; ++attempt) {
        const DumpOutcome outcome = dumpOnce(rows);
        if (outcome == DumpOutcome::Ok ||
            (outcome == DumpOutcome::Interrupted && attempt == kDumpAttempts)) {
            return true;
        }
        if (outcome != DumpOutcome::Interrupted) {
            rows.clear();
            return false;
        }
    }
}

NetlinkTcpTable::DumpOutcome NetlinkTcpTable::dumpOnce(std::vector<TcpRow>& rows) {
    rows.clear();
    if (dumpFd_ < 0 && !openDumpSocket()) {
        return DumpOutcome::Failed;
    }
    if (singlePass_) {
        // The legacy TCP request dumps with no family filter: IPv4 and IPv6 sockets in one
        // walk of the kernel's tables, which halves the fixed cost of a snapshot.
        DumpRequestLegacy r{};
        r.nlh.nlmsg_len = sizeof r;
        r.nlh.nlmsg_type = TCPDIAG_GETSOCK;
        r.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        r.req.idiag_family = AF_INET;
        r.req.idiag_states = kAllStates;
        r.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
        r.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
        const DumpOutcome outcome = runDump(&r.nlh, rows);
        if (outcome != DumpOutcome::Refused) {
            return outcome;
        }
        // A kernel without the legacy request: one dump per family from now on.
        singlePass_ = false;
        rows.clear();
    }
    bool interrupted = false;
    for (const quint8 family : {quint8{AF_INET}, quint8{AF_INET6}}) {
        DumpRequestV2 r{};
        r.nlh.nlmsg_len = sizeof r;
        r.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        r.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        r.req.sdiag_family = family;
        r.req.sdiag_protocol = IPPROTO_TCP;
        r.req.idiag_states = kAllStates;
        r.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
        r.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
        const DumpOutcome outcome = runDump(&r.nlh, rows);
        if (outcome == DumpOutcome::Refused || outcome == DumpOutcome::Failed) {
            return DumpOutcome::Failed;
        }
        interrupted = interrupted || outcome == DumpOutcome::Interrupted;
    }
    return interrupted ? DumpOutcome::Interrupted : DumpOutcome::Ok;
}

// `request` is the header of a whole request of nlmsg_len bytes; it gets its sequence number
// and port here.
NetlinkTcpTable::DumpOutcome NetlinkTcpTable::runDump(nlmsghdr* request,
                                                      std::vector<TcpRow>& rows) {
    request->nlmsg_seq = ++dumpSeq_;
    request->nlmsg_pid = dumpPort_;
    if (const int error = netlink::SendToKernel(dumpFd_, request, request->nlmsg_len)) {
        lastError_ = error;
        closeDumpSocket();
        return DumpOutcome::Failed;
    }
    parser_.begin(request->nlmsg_seq, dumpPort_, &rows, ipv6Rows_);
    for (;;) {
        const ssize_t n = netlink::ReceiveFromKernel(dumpFd_, buffer_.get(), kBufferSize);
        if (n < 0) {
            // The rest of the dump may still be queued; a new socket starts clean.
            lastError_ = static_cast<int>(-n);
            closeDumpSocket();
            return DumpOutcome::Failed;
        }
        switch (parser_.feed(buffer_.get(), static_cast<std::size_t>(n))) {
        case sockdiag::DumpParser::Status::More:
            continue;
        case sockdiag::DumpParser::Status::Done:
            return parser_.interrupted() ? DumpOutcome::Interrupted : DumpOutcome::Ok;
        case sockdiag::DumpParser::Status::Failed:
            lastError_ = parser_.error();
            if (parser_.malformed()) {
                closeDumpSocket();
                return DumpOutcome::Failed;
            }
            return parser_.rejected() ? DumpOutcome::Refused : DumpOutcome::Failed;
        }
    }
}

int NetlinkTcpTable::destroy(nlmsghdr* request) {
    if (destroyFd_ < 0) {
        const int fd = netlink::OpenSockDiag(destroyPort_, kReplyTimeoutSeconds, kSocketBuffer);
        if (fd < 0) {
            return -fd;
        }
        destroyFd_ = fd;
    }
    request->nlmsg_seq = ++destroySeq_;
    request->nlmsg_pid = destroyPort_;
    if (const int error = netlink::SendToKernel(destroyFd_, request, request->nlmsg_len)) {
        return error;
    }
    // Only the acknowledgement (or error) of this request settles it.
    const int result = netlink::AwaitAnswer(destroyFd_, *request, buffer_.get(), kBufferSize,
                                            [](const netlink::Message&) { return false; });
    if (result < 0) {
        ::close(destroyFd_);
        destroyFd_ = -1;
        return -result;
    }
    return result;
}

CutResult NetlinkTcpTable::resultOfErrno(int error) {
    return CutHelper::resultOf(cutproto::answerOfErrno(error));
}

void NetlinkTcpTable::setCutHelper(const QString& path) {
    helper_ = path.isEmpty() ? nullptr : std::make_unique<CutHelper>(path);
}

KernelGuard* NetlinkTcpTable::kernelGuard() {
    return helper_.get();
}

bool NetlinkTcpTable::cutsInProcess() {
    if (privileged_ < 0) {
        privileged_ = hasNetAdmin() ? 1 : 0;
    }
    return privileged_ == 1 || !helper_;
}

CutResult NetlinkTcpTable::cut(const TcpRow& row) {
    if (row.family != AF_INET && row.family != AF_INET6) {
        return CutResult::Failed; // not a row of the kernel's table
    }
    if (!cutsInProcess()) {
        return helper_->cut(row);
    }
    DumpRequestV2 r = destroyRequest(SocketIdOf(row));
    return resultOfErrno(destroy(&r.nlh));
}

int NetlinkTcpTable::probeWithOwnListener(bool& madeListener) {
    // The kernel looks the socket up before it checks the caller's rights, so asking to
    // destroy a socket that does not exist answers ENOENT even without CAP_NET_ADMIN. The
    // honest question is the destroy of a real socket: a loopback listener of our own, with
    // its cookie, that nobody else knows about.
    cutproto::SocketId own;
    const int s = openProbeListener(own);
    madeListener = s >= 0;
    if (s < 0) {
        return -s;
    }
    DumpRequestV2 r = destroyRequest(own);
    const int error = destroy(&r.nlh);
    ::close(s);
    return error;
}

CutAccess NetlinkTcpTable::cutAccess() {
    if (!cutsInProcess()) {
        return helper_->access();
    }
    return TcpTable::cutAccess();
}

CutResult NetlinkTcpTable::probeCut() {
    if (!cutsInProcess()) {
        switch (helper_->access()) {
        case CutAccess::Ok:
            return CutResult::Cut;
        case CutAccess::NotSupported:
            return CutResult::NotSupported;
        case CutAccess::Failed:
            return CutResult::Failed;
        case CutAccess::NoHelper:
        case CutAccess::NotInGroup:
        case CutAccess::NoCapability:
            break;
        }
        return CutResult::NotPermitted;
    }
    return probeInProcess();
}

CutResult NetlinkTcpTable::probeInProcess() {
    bool madeListener = false;
    const int error = probeWithOwnListener(madeListener);
    if (madeListener) {
        // ENOENT here would mean the kernel could not find a socket we hold open.
        return error == ENOENT ? CutResult::Failed : resultOfErrno(error);
    }
    // No loopback listener to ask about (loopback down, for one). Cookie 0 is never given to
    // a socket and port 0 never bound, so this id matches nothing: ENOENT says the kernel
    // can destroy sockets, EOPNOTSUPP that it cannot. The rights come from our capabilities,
    // as far as they reach the network namespace the connections live in.
    cutproto::SocketId nothing;
    nothing.family = AF_INET;
    DumpRequestV2 r = destroyRequest(nothing);
    const int support = destroy(&r.nlh);
    if (support != ENOENT) {
        return support == 0 ? CutResult::Failed : resultOfErrno(support);
    }
    return hasNetAdminOverOwnNetwork() ? CutResult::Cut : CutResult::NotPermitted;
}

} // namespace quillon::platform
