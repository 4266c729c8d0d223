#pragma once

#include "platform/TcpTable.h"

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
    explicit ListRefresh(platform::TcpTable& table) : table_(table) {}

    // Takes a snapshot. Returns true when a rebuild is due; the rows to rebuild from are
    // then rows(), and they become the set later polls compare against. A snapshot that
    // could not be read is no evidence of a change: it never asks for a rebuild.
    bool poll(bool force);

    // The rows of the last rebuild, in snapshot order. Stable until the next poll that
    // returns true.
    const std::vector<platform::TcpRow>& rows() const { return built_; }

    // Whether two tables hold the same connections in the same order.
    static bool sameConnections(const std::vector<platform::TcpRow>& a,
                                const std::vector<platform::TcpRow>& b);

private:
    platform::TcpTable& table_;
    // The latest snapshot and the one the list was built from; swapped on a rebuild, so a
    // poll reuses both buffers and allocates nothing once warm.
    std::vector<platform::TcpRow> current_;
    std::vector<platform::TcpRow> built_;
};

} // namespace quillon::monitor
