#pragma once

#include <QtGlobal>
#include <array>
#include <cstdint>
#include <vector>

namespace quillon::platform {

// TCP states in the numbering the whole program uses (the one users know from other
// desktop tools); the Linux implementation maps the kernel's states onto it.
enum TcpState : quint32 {
    StateClosed = 1,
    StateListen = 2,
    StateSynSent = 3,
    StateSynRcvd = 4,
    StateEstablished = 5,
    StateFinWait1 = 6,
    StateFinWait2 = 7,
    StateCloseWait = 8,
    StateClosing = 9,
    StateLastAck = 10,
    StateTimeWait = 11,
    StateDeleteTcb = 12,
};

// One connection of the kernel's table. The first five fields keep the classic row layout:
// addresses in network byte order (the first octet of the dotted form is the lowest-addressed
// byte), ports in network byte order in the low 16 bits. An IPv6 connection (`ipv6`) has its
// addresses in local6/remote6 instead, and 0 in dwLocalAddr/dwRemoteAddr.
// The rest is the connection's identity, which the cut needs to act on exactly this socket.
struct TcpRow {
    quint32 dwState = 0;
    quint32 dwLocalAddr = 0;
    quint32 dwLocalPort = 0;
    quint32 dwRemoteAddr = 0;
    quint32 dwRemotePort = 0;

    quint8 family = 0;   // AF_INET or AF_INET6, as dumped
    quint32 ifIndex = 0; // bound device, part of the kernel's socket id
    quint64 cookie = 0;  // the kernel's socket cookie: never reused while the host runs
    quint32 uid = 0;     // the socket's user
    quint32 inode = 0;   // the socket's inode, which names it under /proc/PID/fd; 0: none

    // An AF_INET6 socket's addresses as dumped, IPv4-mapped ones included (all zero for an
    // AF_INET socket). `ipv6` tells an IPv6 connection from an IPv4 one on an IPv6 socket.
    std::array<quint32, 4> local6{};
    std::array<quint32, 4> remote6{};
    bool ipv6 = false;

    // Same connection: same family, addresses, ports and cookie. The state is not part of it.
    bool sameConnection(const TcpRow& o) const {
        return family == o.family && cookie == o.cookie && dwLocalAddr == o.dwLocalAddr &&
               dwRemoteAddr == o.dwRemoteAddr && dwLocalPort == o.dwLocalPort &&
               dwRemotePort == o.dwRemotePort && local6 == o.local6 && remote6 == o.remote6;
    }
};

// What became of a cut.
enum class CutResult {
    Cut,          // the kernel dropped the connection
    AlreadyGone,  // no such connection any more (closed, or its four-tuple now holds another)
    NotPermitted, // the process lacks CAP_NET_ADMIN
    NotSupported, // the kernel was built without socket destroy
    Failed,       // anything else (the netlink socket could not be opened, ...)
};

// Why this process can or cannot cut, in the detail the rights notice needs.
enum class CutAccess {
    Ok,
    NoHelper,     // not privileged itself, and the cut helper is not installed beside it
    NotInGroup,   // the helper may not be run by this user (not in its group)
    NoCapability, // neither this process nor the helper holds CAP_NET_ADMIN
    NotSupported, // the kernel was built without socket destroy
    Failed,       // anything else
};

class KernelGuard;

// The machine's TCP table. Implementations: the kernel's (NetlinkTcpTable) and the scripted
// fake under tests/support.
class TcpTable {
public:
    virtual ~TcpTable() = default;

    // Whether IPv6 connections are rows (the default: rules must hold whatever the family)
    // or left out of snapshots, leaving the IPv4 table (IPv4-mapped sockets included).
    void setIpv6Rows(bool on) { ipv6Rows_ = on; }
    bool ipv6Rows() const { return ipv6Rows_; }

    // Replaces `rows` with the current table, in the order the kernel returns it, every
    // row of it: a connection left out would never be judged. Returns false (rows empty) when the
    // table could not be read. The vector is reused by callers so that a poll allocates nothing
    // once warm.
    virtual bool snapshot(std::vector<TcpRow>& rows) = 0;

    // Drops exactly the connection `row` describes, never another one.
    virtual CutResult cut(const TcpRow& row) = 0;

    // Whether cut() can work for this process, found without touching any connection:
    // Cut when it can, NotPermitted / NotSupported / Failed when it cannot.
    virtual CutResult probeCut() = 0;

    // The kernel half that refuses and cuts between polls, where there is one.
    virtual KernelGuard* kernelGuard() { return nullptr; }

    // The same question answered in full: what stands in the way of cutting.
    virtual CutAccess cutAccess() {
        switch (probeCut()) {
        case CutResult::Cut:
            return CutAccess::Ok;
        case CutResult::NotPermitted:
            return CutAccess::NoCapability;
        case CutResult::NotSupported:
            return CutAccess::NotSupported;
        case CutResult::AlreadyGone:
        case CutResult::Failed:
            break;
        }
        return CutAccess::Failed;
    }

protected:
    bool ipv6Rows_ = true;
};

} // namespace quillon::platform
