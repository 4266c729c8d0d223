#pragma once

#include "platform/KernelGuard.h"
#include "platform/TcpTable.h"

#include <QString>
#include <vector>

namespace quillon::test {

// A TCP table the test scripts: rows appear, disappear, reorder and change state between
// snapshots; every cut and probe is recorded and answered as the test chooses.
class FakeTcpTable : public platform::TcpTable {
public:
    struct CutRecord {
        platform::TcpRow row;       // as the caller passed it
        platform::CutResult result; // what the fake answered
    };

    // A row of a connection from localAddress:localPort to remoteAddress:remotePort, with a
    // cookie no other row built in this process has. A remote address with a colon makes an
    // IPv6 row (its local end ::1 unless given).
    static platform::TcpRow makeRow(const QString& remoteAddress, quint16 remotePort,
                                    quint16 localPort, quint32 state,
                                    const QString& localAddress = QString());

    // The table as the next snapshot returns it (without the IPv6 rows while ipv6Rows() is
    // off, as the kernel's table leaves them out).
    void setRows(std::vector<platform::TcpRow> rows) { rows_ = std::move(rows); }
    const std::vector<platform::TcpRow>& rows() const { return rows_; }

    // A connection appears at the end (or at `position`).
    platform::TcpRow& add(const platform::TcpRow& row, int position = -1);
    platform::TcpRow& add(const QString& remoteAddress, quint16 remotePort, quint16 localPort,
                          quint32 state = platform::StateEstablished);

    // A connection ends: false when it was not in the table.
    bool remove(const platform::TcpRow& row);
    void removeAt(int position);

    // Reorders: the row at `from` moves to `to`; reverse() turns the whole table round.
    void move(int from, int to);
    void reverse();

    // A connection changes state (same identity).
    bool setState(const platform::TcpRow& row, quint32 state);

    // The next snapshots fail (rows empty, false) while this is on.
    void setFailing(bool failing) { failing_ = failing; }

    // The answer to a cut of a row that is in the table; Cut (the default) also removes it.
    // A cut of a row no longer in the table always answers AlreadyGone.
    void setCutResult(platform::CutResult result) { cutResult_ = result; }
    void setProbeResult(platform::CutResult result) { probeResult_ = result; }

    const std::vector<CutRecord>& cuts() const { return cuts_; }
    int snapshotCount() const { return snapshots_; }
    int probeCount() const { return probes_; }

    bool snapshot(std::vector<platform::TcpRow>& rows) override;
    platform::CutResult cut(const platform::TcpRow& row) override;
    platform::CutResult probeCut() override;

    // The kernel half the guard is to use; none by default.
    void setKernelGuard(platform::KernelGuard* kernel) { kernel_ = kernel; }
    platform::KernelGuard* kernelGuard() override { return kernel_; }

private:
    int indexOf(const platform::TcpRow& row) const;

    std::vector<platform::TcpRow> rows_;
    std::vector<CutRecord> cuts_;
    platform::CutResult cutResult_ = platform::CutResult::Cut;
    platform::CutResult probeResult_ = platform::CutResult::Cut;
    bool failing_ = false;
    int snapshots_ = 0;
    int probes_ = 0;
    platform::KernelGuard* kernel_ = nullptr;
};

} // namespace quillon::test
