#pragma once

#include <QString>
#include <array>

namespace quillon::blocking {

// The pending-alert list: one entry per open alert window, in the order the alerts were
// raised. While an entry is live, every connection sharing its remote address, remote port
// or local port is left undecided.
class PendingAlerts {
public:
    static constexpr int kSlots = 1001;

    std::array<QString, kSlots> AlertRemA;
    std::array<QString, kSlots> AlertRemP;
    std::array<QString, kSlots> AlertLocP;
    qint32 AlertCount = 0;

    bool full() const { return AlertCount >= kSlots; }

    // Whether any live entry shares the remote address, remote port or local port.
    bool matches(const QString& remA, const QString& remP, const QString& locP) const;

    // Appends an entry; returns its slot, or -1 when all slots are live (nothing written).
    qint32 append(const QString& remA, const QString& remP, const QString& locP);

    // Removes the live entry at slot t: later entries move down one slot, in order.
    // Returns false (nothing changed) for a slot outside the live range.
    // Owners of moved entries must move their own slot down too (see
    // monitor::Guard::ShiftAlertList).
    bool shift(qint32 t);
};

} // namespace quillon::blocking
