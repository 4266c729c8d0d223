#include "support/FakeTcpTable.h"

#include <QtEndian>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>

namespace quillon::test {

using platform::CutResult;
using platform::TcpRow;

namespace {

quint32 addressField(const QString& text) {
    in_addr a{};
    // An unparsable text gives 0.0.0.0, like a listening row's remote end.
    ::inet_pton(AF_INET, text.toLatin1().constData(), &a);
    return a.s_addr;
}

std::array<quint32, 4> address6Field(const QString& text) {
    std::array<quint32, 4> a{};
    // An unparsable text gives ::, like a listening row's remote end.
    ::inet_pton(AF_INET6, text.toLatin1().constData(), a.data());
    return a;
}

} // namespace

TcpRow FakeTcpTable::makeRow(const QString& remoteAddress, quint16 remotePort, quint16 localPort,
                             quint32 state, const QString& localAddress) {
    static std::atomic<quint64> nextCookie{1};
    TcpRow r;
    r.dwState = state;
    r.dwLocalPort = qToBigEndian(localPort);
    r.dwRemotePort = qToBigEndian(remotePort);
    if (remoteAddress.contains(QLatin1Char(':'))) {
        r.family = AF_INET6;
        r.ipv6 = true;
        r.local6 = address6Field(localAddress.isEmpty() ? QStringLiteral("::1") : localAddress);
        r.remote6 = address6Field(remoteAddress);
    } else {
        r.family = AF_INET;
        r.dwLocalAddr =
            addressField(localAddress.isEmpty() ? QStringLiteral("127.0.0.1") : localAddress);
        r.dwRemoteAddr = addressField(remoteAddress);
    }
    r.cookie = nextCookie++;
    return r;
}

TcpRow& FakeTcpTable::add(const TcpRow& row, int position) {
    if (position < 0 || position > static_cast<int>(rows_.size())) {
        position = static_cast<int>(rows_.size());
    }
    return *rows_.insert(rows_.begin() + position, row);
}

TcpRow& FakeTcpTable::add(const QString& remoteAddress, quint16 remotePort, quint16 localPort,
                          quint32 state) {
    return add(makeRow(remoteAddress, remotePort, localPort, state));
}

int FakeTcpTable::indexOf(const TcpRow& row) const {
    const auto it = std::find_if(rows_.begin(), rows_.end(),
                                 [&](const TcpRow& r) { return r.sameConnection(row); });
    return it == rows_.end() ? -1 : static_cast<int>(it - rows_.begin());
}

bool FakeTcpTable::remove(const TcpRow& row) {
    const int i = indexOf(row);
    if (i < 0) {
        return false;
    }
    removeAt(i);
    return true;
}

void FakeTcpTable::removeAt(int position) {
    if (position >= 0 && position < static_cast<int>(rows_.size())) {
        rows_.erase(rows_.begin() + position);
    }
}

void FakeTcpTable::move(int from, int to) {
    const int n = static_cast<int>(rows_.size());
    if (from < 0 || from >= n || to < 0 || to >= n || from == to) {
        return;
    }
    const TcpRow row = rows_[static_cast<size_t>(from)];
    rows_.erase(rows_.begin() + from);
    rows_.insert(rows_.begin() + to, row);
}

void FakeTcpTable::reverse() {
    std::reverse(rows_.begin(), rows_.end());
}

bool FakeTcpTable::setState(const TcpRow& row, quint32 state) {
    const int i = indexOf(row);
    if (i < 0) {
        return false;
    }
    rows_[static_cast<size_t>(i)].dwState = state;
    return true;
}

bool FakeTcpTable::snapshot(std::vector<TcpRow>& rows) {
    ++snapshots_;
    rows.clear();
    if (failing_) {
        return false;
    }
    for (const TcpRow& row : rows_) {
        if (!row.ipv6 || ipv6Rows()) {
            rows.push_back(row);
        }
    }
    return true;
}

CutResult FakeTcpTable::cut(const TcpRow& row) {
    const int i = indexOf(row);
    CutResult result = CutResult::AlreadyGone;
    if (i >= 0) {
        result = cutResult_;
        if (result == CutResult::Cut) {
            removeAt(i);
        }
    }
    cuts_.push_back({row, result});
    return result;
}

CutResult FakeTcpTable::probeCut() {
    ++probes_;
    return probeResult_;
}

} // namespace quillon::test
