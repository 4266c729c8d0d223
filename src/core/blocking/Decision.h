#pragma once

#include "core/blocking/PendingAlerts.h"

#include <QString>
#include <optional>

namespace quillon::blocking {

// HeldBack: a pending entry shares the connection's address or a port, so it waits for that
// question's answer undecided; the caller judges it again once the answer is in.
enum class Outcome { Nothing, Cut, Alert, HeldBack };

// Which rule key a verdict comes from.
enum class RuleKind { Address, RemotePort, LocalPort };

// The block decision for one connection, a pure function of its inputs.
//   check1    value of the local-network check box (1 checked; 0 clear, 2 grey count as off),
//             nullopt when it could not be read
//   level     the security level (1 high, 2 medium, 3 low; anything else decides nothing)
//   verdict   verdict(RuleKind, const QString& name) -> std::optional<QString>: looks up a
//             rule: the stored data ("1" deny, "0" allow, else no rule), or nullopt when the
//             lookup failed (which counts as the condition met)
//   isTrojan  isTrojan(const QString& port) -> std::optional<bool>, called with LocP: the
//             trojan test of the local port; nullopt when it failed (counts as met)
//   pending   the pending-alert list; the decision only reads it. Outcome::Alert means the
//             caller appends the connection; with every slot live the outcome is Nothing, so
//             the connection is decided again once an alert window has closed.
// The order of the steps is fixed: local-network exemption, pending match, level
// evaluation (six lookups at levels 1 and 2, the trojan test at level 3), listening rows,
// then cut before alert, so a deny rule always wins over an allow rule. A connection already
// closed (TIME_WAIT, CLOSED) is cut like any other but never questioned.
// Callables are templates so that the 250 ms path pays no std::function.
template <typename VerdictFn, typename TrojanFn>
Outcome Decide(const QString& RemA, const QString& RemP, const QString& LocP, qint16 state,
               std::optional<int> check1, int level, VerdictFn&& verdict, TrojanFn&& isTrojan,
               const PendingAlerts& pending);

} // namespace quillon::blocking

#include "core/blocking/Decision_impl.h"
