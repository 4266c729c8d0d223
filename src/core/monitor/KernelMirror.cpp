#include "core/monitor/KernelMirror.h"

#include "core/blocking/PendingAlerts.h"
#include "core/monitor/modNetstat.h"
#include "core/settings/Switches.h"
#include "core/settings/modReg.h"
#include "platform/Inet.h"
#include "platform/RegistryHive.h"

#include <algorithm>
#include <iterator>

namespace quillon::monitor {

namespace {

using platform::cutproto::Set;

constexpr int kIpv4 = 2;  // AF_INET, as the guard's entries name families
constexpr int kIpv6 = 10; // AF_INET6

bool isAddressSet(Set set) {
    return set == Set::DenyAddress || set == Set::HoldAddress;
}

} // namespace

KernelMirror::KernelMirror(platform::KernelGuard& guard, platform::RegistryHive& hive,
                           settings::Switches& switches, const blocking::PendingAlerts& pending)
    : guard_(guard), hive_(hive), switches_(switches), pending_(pending) {}

std::optional<platform::KernelEntry> KernelMirror::entryOf(Set set, const QString& name) {
    platform::KernelEntry entry;
    entry.set = set;
    if (isAddressSet(set)) {
        char text[platform::Inet::kIpv6TextSize];
        if (!platform::Inet::AddressBytes(name, text)) {
            return std::nullopt;
        }
        const int family = platform::Inet::AddressOfText(text, entry.address);
        // Only the text the list shows for that address matches a connection.
        const QString shown = family == kIpv4   ? modNetstat::IpToText(entry.address[0])
                              : family == kIpv6 ? modNetstat::Ipv6ToText(entry.address)
                                                : QString();
        if (shown.isEmpty() || shown != name) {
            return std::nullopt;
        }
        entry.family = static_cast<quint8>(family);
        return entry;
    }
    bool ok = false;
    const uint port = name.toUInt(&ok);
    // Port 0 is no connection's remote port and the kernel's mark for a local port not chosen.
    if (!ok || port == 0 || port > 0xFFFF || QString::number(port) != name) {
        return std::nullopt;
    }
    entry.port = static_cast<quint16>(port);
    return entry;
}

KernelMirror::Entries KernelMirror::readRules() {
    namespace modReg = settings::modReg;
    Entries wanted;
    const std::pair<const QString*, Set> keys[] = {{&modReg::BlockIpKey, Set::DenyAddress},
                                                   {&modReg::BlockRpKey, Set::DenyRemotePort},
                                                   {&modReg::BlockLpKey, Set::DenyLocalPort}};
    for (const auto& [key, set] : keys) {
        // Only a stored "1" denies; a key that cannot be read keeps the rules loaded before, as
        // the poll's failed lookups count as no rule rather than as a change.
        const bool read =
            hive_.forEachValue(*key, [&, set = set](std::string_view name, std::string_view data) {
                if (data != "1") {
                    return;
                }
                const QString text =
                    QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
                if (const auto entry = entryOf(set, text)) {
                    wanted.insert(*entry);
                }
            });
        if (!read && hive_.keyExists(*key)) {
            std::copy_if(rules_.begin(), rules_.end(), std::inserter(wanted, wanted.end()),
                         [set = set](const platform::KernelEntry& e) { return e.set == set; });
        }
    }
    return wanted;
}

KernelMirror::Entries KernelMirror::readHolds() const {
    Entries wanted;
    for (qint32 k = 0; k < pending_.AlertCount; ++k) {
        const std::pair<const QString*, Set> fields[] = {
            {&pending_.AlertRemA[static_cast<size_t>(k)], Set::HoldAddress},
            {&pending_.AlertRemP[static_cast<size_t>(k)], Set::HoldRemotePort},
            {&pending_.AlertLocP[static_cast<size_t>(k)], Set::HoldLocalPort}};
        for (const auto& [text, set] : fields) {
            if (const auto entry = entryOf(set, *text)) {
                wanted.insert(*entry);
            }
        }
    }
    return wanted;
}

bool KernelMirror::apply(Entries& sent, const Entries& wanted) {
    std::vector<platform::KernelEntry> added;
    std::set_difference(wanted.begin(), wanted.end(), sent.begin(), sent.end(),
                        std::back_inserter(added));
    std::vector<platform::KernelEntry> removed;
    std::set_difference(sent.begin(), sent.end(), wanted.begin(), wanted.end(),
                        std::back_inserter(removed));
    bool ok = true;
    // Additions first: a deny is in force before anything that would loosen it goes.
    const std::vector<bool> addedTaken = guard_.changeAll(added, true);
    for (std::size_t k = 0; k < added.size(); ++k) {
        if (addedTaken[k]) {
            sent.insert(added[k]);
        } else {
            ok = false;
        }
    }
    const std::vector<bool> removedTaken = guard_.changeAll(removed, false);
    for (std::size_t k = 0; k < removed.size(); ++k) {
        if (removedTaken[k]) {
            sent.erase(removed[k]);
        } else {
            ok = false;
        }
    }
    return ok;
}

bool KernelMirror::pendingChanged() {
    if (guard_.generation() != generation_) {
        return sync(); // a new helper: everything goes again
    }
    const Entries before = holds_;
    const bool ok = apply(holds_, readHolds());
    holdsDue_ = !ok;
    // A field that no longer holds anything back may leave a forbidden connection open.
    const bool released = std::any_of(before.begin(), before.end(),
                                      [this](const auto& e) { return !holds_.contains(e); });
    return (released ? guard_.sweep() : true) && ok;
}

bool KernelMirror::sync() {
    if (guard_.state() != platform::Immediate::On) {
        return false;
    }
    if (guard_.generation() != generation_) {
        generation_ = guard_.generation();
        rules_.clear();
        holds_.clear();
        level_.reset();
        rulesDue_ = true;
        holdsDue_ = true;
    }
    bool ok = true;
    bool tightened = false;
    const int level = switches_.level();
    const bool exempt = switches_.subnet();
    const bool ipv6 = switches_.ipv6();
    // Holds first, so that the first rules loaded never cut what a question holds back. They
    // follow each change of the pending list at once; here only for a new helper, or after the
    // helper refused one.
    if (holdsDue_) {
        const Entries holdsBefore = holds_;
        holdsDue_ = !apply(holds_, readHolds());
        ok = !holdsDue_ && ok;
        tightened = std::any_of(holdsBefore.begin(), holdsBefore.end(),
                                [this](const auto& e) { return !holds_.contains(e); });
    }
    if (rulesDue_) {
        // An entry the kernel refused (a table full) is not tried again before the rules next
        // change: the poll still cuts by it.
        const Entries before = rules_;
        ok = apply(rules_, readRules()) && ok;
        rulesDue_ = false;
        tightened =
            tightened || std::any_of(rules_.begin(), rules_.end(),
                                     [&before](const auto& e) { return !before.contains(e); });
    }
    if (!level_ || *level_ != level || exempt_ != exempt || ipv6_ != ipv6) {
        if (guard_.setSettings(level, exempt, ipv6)) {
            level_ = level;
            exempt_ = exempt;
            ipv6_ = ipv6;
            tightened = true;
        } else {
            ok = false;
        }
    }
    if (tightened) {
        ok = guard_.sweep() && ok;
    }
    return ok;
}

} // namespace quillon::monitor
