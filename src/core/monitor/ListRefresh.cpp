#include "core/monitor/ListRefresh.h"

#include <algorithm>
#include <cstring>

namespace quillon::monitor {

bool ListRefresh::poll(bool force) {
    if (!table_.snapshot(current_)) {
        silentRows_ = true;
        return false;
    }
    silentRows_ = std::any_of(current_.begin(), current_.end(), [](const platform::TcpRow& r) {
        return r.dwState == platform::StateSynSent || r.dwState == platform::StateSynRcvd ||
               r.dwState == platform::StateFinWait2 || r.dwState == platform::StateTimeWait;
    });
    if (!force && sameConnections(current_, *built_)) {
        return false;
    }
    built_ = std::make_shared<const std::vector<platform::TcpRow>>(current_);
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
