#pragma once

#include "platform/CutProtocol.h"
#include "platform/TcpTable.h"

#include <QtGlobal>
#include <array>
#include <compare>
#include <optional>
#include <vector>

namespace quillon::platform {

// One entry of the kernel's tables: an address (family AF_INET or AF_INET6, network byte
// order, IPv4 in word 0) or a port (family 0, host byte order).
struct KernelEntry {
    cutproto::Set set = cutproto::Set::None;
    quint8 family = 0;
    std::array<quint32, 4> address{};
    quint16 port = 0;

    auto operator<=>(const KernelEntry&) const = default;
};

// What the kernel half did on its own: refused a connect, or cut a connection. `row` is the
// connection as the table would show it; a refused connect has no local address, and its local
// port is the one bound beforehand, or 0.
struct KernelReport {
    bool refused = false;
    TcpRow row;
    quint32 suppressed = 0; // refusals of the same address and port not reported before
};

// Whether immediate enforcement works, and if not, why.
enum class Immediate {
    On,
    NotOffered,      // the table has no kernel half (a table made up for tests)
    NoHelper,        // quillon-cut is not installed beside the program
    NotInGroup,      // this user may not run it
    NoCapability,    // it lacks cap_bpf or cap_perfmon (a checked-out build has cap_net_admin only)
    NoKernelSupport, // the kernel has no BTF, no such hook, or refuses BPF
    NoCgroup,        // no cgroup2 file system is mounted
    HelperEnded,     // it ended and did not come back
    Failed,
};

// The kernel half of the firewall, in quillon-cut: it refuses the connects and cuts the
// connections that the tables say are forbidden, without waiting for the next poll, and counts
// the table's changes. Its tables are empty whenever a new helper started (generation()).
class KernelGuard {
public:
    virtual ~KernelGuard() = default;

    // Starts the helper when needed and tells what works.
    virtual Immediate state() = 0;
    // Changes whenever a helper with empty tables took over; whoever fills them fills them anew.
    virtual quint64 generation() const = 0;
    // Whether changes() counts every change of the table but the rows that leave silently.
    virtual bool countsChanges() = 0;

    virtual bool setSettings(int level, bool exempt, bool ipv6) = 0;
    // Adds or removes entries, all sent before the first answer is awaited; tells which were
    // taken (a full table refuses).
    virtual std::vector<bool> changeAll(const std::vector<KernelEntry>& entries, bool add) = 0;
    bool change(const KernelEntry& entry, bool add) { return changeAll({entry}, add).front(); }
    // Judges every open connection again, cutting the forbidden ones.
    virtual bool sweep() = 0;
    // How many times a TCP socket of this network namespace changed state; nullopt when unknown.
    virtual std::optional<quint64> changes() = 0;

    // Readable when reports wait; -1 when none can come.
    virtual int reportDescriptor() const = 0;
    // Appends the waiting reports without blocking. False when the helper ended.
    virtual bool takeReports(std::vector<KernelReport>& out) = 0;
    // Starts a helper again after it ended (once per end); false when that failed.
    virtual bool restart() = 0;
};

} // namespace quillon::platform
