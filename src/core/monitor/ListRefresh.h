#pragma once

#include "platform/TcpTable.h"

#include <memory>
#include <vector>

namespace quillon::monitor {

// Decides, once per poll, whether the connection list must be rebuilt, at the cost of one
// snapshot and one comparison when nothing changed.
//
// A rebuild is due when forced, or when the set of connections differs from the one the
// list was last built from: one appeared or went (by family, addresses, ports and socket
// cookie). Comparing identities rather than counts means a connection that opens while
// another closes is still judged; a mere state change is not a new connection. The
// comparison follows snapshot order: a reordered table is rebuilt too, so that the rows'
// positions always match the snapshot the list was built from.
class ListRefresh {
public:
    using Snapshot = std::shared_ptr<const std::vector<platform::TcpRow>>;

    explicit ListRefresh(platform::TcpTable& table)
        : table_(table), built_(std::make_shared<const std::vector<platform::TcpRow>>()) {}

    // Takes a snapshot. Returns true when a rebuild is due; the rows to rebuild from are
    // then rows(), and they become the set later polls compare against. A snapshot that
    // could not be read is no evidence of a change: it never asks for a rebuild.
    bool poll(bool force);

    // The rows of the last rebuild, in snapshot order. Never changed: a poll that returns
    // true makes a new one, so the list can keep showing these as long as it holds them.
    const std::vector<platform::TcpRow>& rows() const { return *built_; }
    const Snapshot& snapshot() const { return built_; }

    // Whether the latest snapshot held rows that can leave the table without any state change
    // the kernel reports: half-open ones, orphaned FIN_WAIT2 ones and TIME_WAIT ones, which
    // expire on their own. While it does, an unchanged change count proves nothing.
    bool silentRows() const { return silentRows_; }

    // Whether two tables hold the same connections in the same order.
    static bool sameConnections(const std::vector<platform::TcpRow>& a,
                                const std::vector<platform::TcpRow>& b);

private:
    platform::TcpTable& table_;
    // The latest snapshot, a buffer every poll reuses so that an unchanged tick allocates
    // nothing once warm; and the rows the list was built from, copied from it at exactly
    // their size when they change and shared with the list, which holds no copy of its own.
    std::vector<platform::TcpRow> current_;
    Snapshot built_;
    bool silentRows_ = true;
};

} // namespace quillon::monitor
