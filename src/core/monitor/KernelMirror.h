#pragma once

#include "platform/KernelGuard.h"

#include <QString>
#include <optional>
#include <set>

namespace quillon::platform {
class RegistryHive;
}
namespace quillon::settings {
class Switches;
}
namespace quillon::blocking {
class PendingAlerts;
}

namespace quillon::monitor {

// Keeps the kernel guard's tables equal to what the block decision would cut on: the level, the
// local-network and IPv6 switches, the deny rules and the fields of the pending questions. The
// kernel acts only where the decision's outcome is a cut, so the allow rules (which never
// overrule a deny) are not needed there, and questions are still raised by the poll.
//
// A rule is loaded only under the name the poll would look it up by: the canonical text of an
// address ("10.0.0.1", "2001:db8::1") and the decimal text of a port ("80"). An address or port
// stored in another spelling never matches a connection there, so it does not here either.
class KernelMirror {
public:
    KernelMirror(platform::KernelGuard& guard, platform::RegistryHive& hive,
                 settings::Switches& switches, const blocking::PendingAlerts& pending);

    // Reads the deny rules again at the next sync (after a write, ours or another process's).
    void rulesChanged() { rulesDue_ = true; }
    // Brings every table in line now: the switches (compared each time), the pending fields,
    // and the rules when due or when a new helper took over with empty tables. Open connections
    // that the changes forbid are cut at once. False when the guard refused a change.
    bool sync();
    // The pending list changed: only its fields are brought in line, at once, so that the
    // kernel holds back what the poll holds back.
    bool pendingChanged();

    // The entry a rule's name stands for in `set`; nullopt for a name no connection shows.
    static std::optional<platform::KernelEntry> entryOf(platform::cutproto::Set set,
                                                        const QString& name);

private:
    using Entries = std::set<platform::KernelEntry>;
    // Sends what differs between `sent` and `wanted`, additions first, and keeps in `sent`
    // what the guard took; false when it refused anything.
    bool apply(Entries& sent, const Entries& wanted);
    Entries readRules();
    Entries readHolds() const;

    platform::KernelGuard& guard_;
    platform::RegistryHive& hive_;
    settings::Switches& switches_;
    const blocking::PendingAlerts& pending_;
    quint64 generation_ = 0;
    bool rulesDue_ = true;
    bool holdsDue_ = true;
    Entries rules_;
    Entries holds_;
    std::optional<int> level_;
    bool exempt_ = false;
    bool ipv6_ = true;
};

} // namespace quillon::monitor
