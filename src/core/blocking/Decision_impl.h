#pragma once

// Implementation of the template Decide, included at the end of blocking/Decision.h.

#include "platform/Inet.h"
#include "platform/TcpTable.h"

#include <QString>
#include <QStringView>
#include <array>
#include <optional>
#include <utility>

namespace quillon::blocking {

namespace detail {

// The three verdicts of one connection, in the order address, remote port, local port.
// nullopt as soon as one lookup fails: the condition being evaluated then counts as met,
// so the lookups after the failed one would not change anything.
template <typename VerdictFn>
std::optional<std::array<QString, 3>> lookUpVerdicts(VerdictFn& verdict, const QString& RemA,
                                                     const QString& RemP, const QString& LocP) {
    std::array<QString, 3> verdicts;
    const std::array<std::pair<RuleKind, const QString*>, 3> names{
        {{RuleKind::Address, &RemA}, {RuleKind::RemotePort, &RemP}, {RuleKind::LocalPort, &LocP}}};
    for (std::size_t k = 0; k < names.size(); ++k) {
        std::optional<QString> data = verdict(names[k].first, *names[k].second);
        if (!data) {
            return std::nullopt;
        }
        verdicts[k] = std::move(*data);
    }
    return verdicts;
}

// Whether an address text is an IPv6 address of the local network (link-local fe80::/10 or
// unique local fc00::/7), which the local-network switch exempts as it does 192.168 and 10.
// IPv4 texts have no colon and are not looked at further.
inline bool isIpv6LocalNetwork(const QString& RemA) {
    char text[platform::Inet::kIpv6TextSize];
    return RemA.contains(u':') && platform::Inet::AddressBytes(RemA, text) &&
           platform::Inet::IsIpv6LocalNetwork(text);
}

inline bool isDeny(const QString& verdict) {
    return verdict == QStringView(u"1");
}

inline bool isAllow(const QString& verdict) {
    return verdict == QStringView(u"0");
}

} // namespace detail

template <typename VerdictFn, typename TrojanFn>
Outcome Decide(const QString& RemA, const QString& RemP, const QString& LocP, qint16 state,
               std::optional<int> check1, int level, VerdictFn&& verdict, TrojanFn&& isTrojan,
               const PendingAlerts& pending) {
    // 1. Local-network exemption. A switch that cannot be read leads into the prefix tests
    //    as if it were checked. The IPv4 prefixes are compared character by character, so
    //    only 192.168.x.x and 10.x.x.x are exempt: 172.16.0.1 is not, nor is 100.1.2.3. Of
    //    IPv6, link-local and unique-local addresses are; loopback (::1) is no more exempt
    //    than 127.0.0.1.
    if (!check1 || *check1 == 1) {
        if (RemA.startsWith(QStringView(u"192.168")) || RemA.startsWith(QStringView(u"10.")) ||
            detail::isIpv6LocalNetwork(RemA)) {
            return Outcome::Nothing;
        }
    }

    // 2. While an alert is open, connections sharing its address or either port wait for
    //    the user's answer instead of raising a second question.
    if (pending.matches(RemA, RemP, LocP)) {
        return Outcome::HeldBack;
    }

    // 3. Level evaluation. The verdicts are looked up again for the alert condition rather
    //    than reused, so each condition sees the rules as stored at that moment; a failed
    //    lookup or trojan test counts as its condition met.
    bool cut = false;
    bool alert = false;
    switch (level) {
    case 1:
    case 2: {
        const auto forCut = detail::lookUpVerdicts(verdict, RemA, RemP, LocP);
        cut = !forCut || detail::isDeny((*forCut)[0]) || detail::isDeny((*forCut)[1]) ||
              detail::isDeny((*forCut)[2]);
        const auto forAlert = detail::lookUpVerdicts(verdict, RemA, RemP, LocP);
        if (!forAlert) {
            alert = true;
        } else if (level == 1) {
            // High: anything short of an explicit allow for all three fields is questioned.
            alert = !detail::isAllow((*forAlert)[0]) || !detail::isAllow((*forAlert)[1]) ||
                    !detail::isAllow((*forAlert)[2]);
        } else {
            // Medium: one allow rule for any of the three fields lets the connection pass.
            alert = !detail::isAllow((*forAlert)[0]) && !detail::isAllow((*forAlert)[1]) &&
                    !detail::isAllow((*forAlert)[2]);
        }
        break;
    }
    case 3: {
        // Low: no rule cuts anything; only connections on a known trojan port are questioned.
        const std::optional<bool> trojan = isTrojan(LocP);
        alert = !trojan || *trojan;
        break;
    }
    default:
        break;
    }

    // 4. Listening sockets are never cut or questioned.
    if (state == 2) {
        return Outcome::Nothing;
    }

    // 5. and 6. The cut is examined first, so a deny rule wins over any allow rule.
    if (cut) {
        return Outcome::Cut;
    }
    // A question about a connection that has already closed could only store a rule for
    // something gone; the user is not asked.
    if (state == platform::StateClosed || state == platform::StateTimeWait) {
        return Outcome::Nothing;
    }
    if (alert) {
        // With every slot live there is nowhere to queue the question; the connection is
        // decided again at a later rebuild, once a window has closed.
        if (pending.full()) {
            return Outcome::Nothing;
        }
        return Outcome::Alert;
    }
    return Outcome::Nothing;
}

} // namespace quillon::blocking
