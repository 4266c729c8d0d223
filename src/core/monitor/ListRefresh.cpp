#include "core/monitor/ListRefresh.h"

#include <cstring>

namespace quillon::monitor {

bool ListRefresh::poll(bool force) {
    if (!table_.snapshot(current_)) {
        return false;
    }
    if (!force && sameConnections(current_, built_)) {
        return false;
    }
    current_.swap(built_);
    // The snapshot buffer grew by doubling; the rows kept until the next change get exactly
    // their room, so a table of 40,000 rows does not hold room for 65,536. Done on a change
    // only: an unchanged tick allocates nothing.
    if (built_.capacity() - built_.size() > built_.size() / 8 + 64) {
        built_.shrink_to_fit();
    }
    return true;
}

bool ListRefresh::sameConnections(const std::vector<platform::TcpRow>& a,
                                  const std::vector<platform::TcpRow>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    // An unchanged table usually compares equal byte for byte, which is the cheapest test
    // there is; only when some bytes differ (a state change, padding) are the identities
    // compared field by field.
    if (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(platform::TcpRow)) == 0) {
        return true;
    }
    for (size_t k = 0; k < a.size(); ++k) {
        if (!a[k].sameConnection(b[k])) {
            return false;
        }
    }
    return true;
}

} // namespace quillon::monitor
