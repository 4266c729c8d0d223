#include "core/blocking/PendingAlerts.h"

#include <algorithm>

namespace quillon::blocking {

namespace {

// The live range as far as the storage goes: a count that was corrupted from outside must
// never make a reader step past the slots.
qint32 liveCount(qint32 count) {
    return std::clamp<qint32>(count, 0, PendingAlerts::kSlots);
}

} // namespace

bool PendingAlerts::matches(const QString& remA, const QString& remP, const QString& locP) const {
    // The count is read once: the entries are compared in the order they were raised, and a
    // single shared field is enough to leave the connection undecided.
    const qint32 count = liveCount(AlertCount);
    for (qint32 k = 0; k < count; ++k) {
        if (remA == AlertRemA[k] || remP == AlertRemP[k] || locP == AlertLocP[k]) {
            return true;
        }
    }
    return false;
}

qint32 PendingAlerts::append(const QString& remA, const QString& remP, const QString& locP) {
    if (AlertCount < 0 || full()) {
        return -1;
    }
    const qint32 slot = AlertCount;
    AlertRemA[slot] = remA;
    AlertRemP[slot] = remP;
    AlertLocP[slot] = locP;
    ++AlertCount;
    return slot;
}

bool PendingAlerts::shift(qint32 t) {
    const qint32 count = liveCount(AlertCount);
    // Removing a slot outside the live range would otherwise drop the newest live entry
    // while its window is still open.
    if (t < 0 || t >= count) {
        return false;
    }
    // Entries above t move down one place in order; the slot that falls out of the live range
    // keeps its old text, which nobody reads.
    for (qint32 k = t + 1; k < count; ++k) {
        AlertRemA[k - 1] = AlertRemA[k];
        AlertRemP[k - 1] = AlertRemP[k];
        AlertLocP[k - 1] = AlertLocP[k];
    }
    AlertCount = count - 1;
    return true;
}

} // namespace quillon::blocking
