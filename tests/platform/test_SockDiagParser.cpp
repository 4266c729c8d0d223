// The sock_diag reply parser against dumps recorded from the kernel (tests/data/sockdiag)
// and variants made from them by hand.
#include "SockDiagFixtures.h"
#include "platform/SockDiagParser.h"
#include "support/TestSupport.h"

#include <QtTest>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <set>

using namespace quillon::platform;
using Parser = quillon::platform::sockdiag::DumpParser;
using Status = Parser::Status;

namespace {

QString fixture(const char* name) {
    return quillon::test::testDataDir() + QStringLiteral("/sockdiag/") + QLatin1String(name);
}

std::vector<QByteArray> datagrams(const char* name) {
    return quillon::test::sockdiag::readDatagrams(fixture(name));
}

// The request a recording answers: sequence number and port id of its first message.
std::pair<quint32, quint32> requestOf(const std::vector<QByteArray>& d) {
    nlmsghdr h{};
    std::memcpy(&h, d.front().constData(), sizeof h);
    return {h.nlmsg_seq, h.nlmsg_pid};
}

QString endpoint(quint32 addr, quint32 port) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = addr;
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return QStringLiteral("%1:%2").arg(QLatin1String(text)).arg(ntohs(static_cast<quint16>(port)));
}

QString endpoint6(const std::array<quint32, 4>& addr, quint32 port) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, addr.data(), text, sizeof text);
    return QStringLiteral("[%1]:%2")
        .arg(QLatin1String(text))
        .arg(ntohs(static_cast<quint16>(port)));
}

QString describe(const TcpRow& r) {
    return QStringLiteral("%1 %2 %3")
        .arg(r.dwState)
        .arg(r.ipv6 ? endpoint6(r.local6, r.dwLocalPort) : endpoint(r.dwLocalAddr, r.dwLocalPort),
             r.ipv6 ? endpoint6(r.remote6, r.dwRemotePort)
                    : endpoint(r.dwRemoteAddr, r.dwRemotePort));
}

QStringList describeAll(const std::vector<TcpRow>& rows) {
    QStringList out;
    for (const TcpRow& r : rows) {
        out << describe(r);
    }
    out.sort();
    return out;
}

// An ss address as describe() writes it: "a.b.c.d:p" for IPv4 and IPv4-mapped addresses,
// "[canonical]:p" for IPv6 ones ("*", the dual-stack wildcard, is "[::]"); a port "*" is 0.
// `unmapped` is set for an IPv6 address that is not IPv4-mapped.
QString ssEndpoint(const QString& text, bool& unmapped) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString addr = text.left(colon);
    QString port = text.mid(colon + 1);
    if (port == QLatin1String("*")) {
        port = QStringLiteral("0");
    }
    unmapped = false;
    if (addr == QLatin1String("*")) {
        addr = QStringLiteral("[::]");
    }
    if (addr.startsWith(QLatin1Char('['))) {
        addr = addr.mid(1, addr.size() - 2);
        if (!addr.startsWith(QLatin1String("::ffff:"))) {
            unmapped = true;
            return QLatin1Char('[') + addr + QStringLiteral("]:") + port;
        }
        addr = addr.mid(7);
    }
    in_addr a{};
    if (::inet_pton(AF_INET, addr.toLatin1().constData(), &a) != 1) {
        return {};
    }
    return addr + QLatin1Char(':') + port;
}

// The rows of an `ss -tanH` listing, described like describe() does; IPv6 sockets only with
// `ipv6`. A socket is IPv4 when its local address is: an IPv4-mapped listener has no remote
// address yet, which is 0.0.0.0 in an IPv4 row.
QStringList rowsFromSs(const QString& path, bool ipv6 = false) {
    static const QHash<QString, int> states = {
        {QStringLiteral("ESTAB"), 5},      {QStringLiteral("LISTEN"), 2},
        {QStringLiteral("TIME-WAIT"), 11}, {QStringLiteral("SYN-SENT"), 3},
        {QStringLiteral("SYN-RECV"), 4},   {QStringLiteral("FIN-WAIT-1"), 6},
        {QStringLiteral("FIN-WAIT-2"), 7}, {QStringLiteral("CLOSE-WAIT"), 8},
        {QStringLiteral("LAST-ACK"), 10},  {QStringLiteral("CLOSING"), 9},
        {QStringLiteral("UNCONN"), 1},
    };
    QStringList out;
    for (const QByteArray& line : quillon::test::fileBytes(path).split('\n')) {
        const QStringList cols =
            QString::fromLatin1(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (cols.size() < 5) {
            continue;
        }
        bool localV6 = false;
        bool remoteV6 = false;
        const QString local = ssEndpoint(cols[3], localV6);
        QString remote = ssEndpoint(cols[4], remoteV6);
        if (!localV6 && remoteV6) {
            remote = QStringLiteral("0.0.0.0:0");
        }
        if (local.isEmpty() || remote.isEmpty() || (localV6 && !ipv6)) {
            continue;
        }
        out << QStringLiteral("%1 %2 %3").arg(states.value(cols[0], 0)).arg(local, remote);
    }
    out.sort();
    return out;
}

// A parser started on the request a recording answers, filling rows of its own.
struct Dump {
    explicit Dump(const std::vector<QByteArray>& d, bool ipv6Rows = false) {
        const auto [seq, pid] = requestOf(d);
        p.begin(seq, pid, &rows, ipv6Rows);
    }
    std::vector<TcpRow> rows;
    Parser p;
};

// Feeds a whole recording; returns the status after each datagram.
std::vector<Status> feedAll(Parser& p, const std::vector<QByteArray>& d) {
    std::vector<Status> out;
    for (const QByteArray& part : d) {
        out.push_back(p.feed(part.constData(), static_cast<size_t>(part.size())));
    }
    return out;
}

} // namespace

class TestSockDiagParser : public QObject {
    Q_OBJECT

private slots:
    void recordedSinglePassDumpMatchesSs();
    void recordedPerFamilyDumpsMatchSs();
    void recordedIpv6RowsMatchSs();
    void interruptedDumpIsFlagged();
    void rejectedRequestIsAnError();
    void dumpEndingInErrorIsAnError();
    void truncatedMessageIsMalformed();
    void repliesOfOtherRequestsAreSkipped();
    void garbageNeverCrashes_data();
    void statusesBecomeErrnos_data();
    void statusesBecomeErrnos();
    void garbageNeverCrashes();
    void everyRowIsKept();
    void stateMapping_data();
    void stateMapping();
};

void TestSockDiagParser::recordedSinglePassDumpMatchesSs() {
    const auto d = datagrams("tcpdiag_loopback.bin");
    QVERIFY2(d.size() >= 2, "the recording is one multi-part dump");
    Dump dump(d);
    auto& [rows, p] = dump;
    const std::vector<Status> statuses = feedAll(p, d);
    for (size_t i = 0; i + 1 < statuses.size(); ++i) {
        QCOMPARE(statuses[i], Status::More);
    }
    QCOMPARE(statuses.back(), Status::Done);
    QVERIFY(!p.interrupted());

    const QStringList expected = rowsFromSs(fixture("tcpdiag_loopback.ss"));
    QVERIFY(expected.size() > 80);
    QCOMPARE(describeAll(rows), expected);
    QCOMPARE(p.rowsSeen(), rows.size());

    // The kernel walks its listeners first: rows keep its order, they are not sorted.
    QCOMPARE(rows.front().dwState, quint32{StateListen});
    QVERIFY(std::any_of(rows.begin(), rows.end(),
                        [](const TcpRow& r) { return r.dwState == StateTimeWait; }));

    // The three IPv4-mapped sockets (the dual-stack listener's accepted end, the IPv6
    // client of 127.0.0.1:8080 and the listener bound to ::ffff:127.0.0.1) keep their family
    // for the cut; every row has its own cookie.
    QCOMPARE(std::count_if(rows.begin(), rows.end(),
                           [](const TcpRow& r) { return r.family == AF_INET6; }),
             std::ptrdiff_t{3});
    std::set<quint64> cookies;
    for (const TcpRow& r : rows) {
        QVERIFY(r.family == AF_INET || r.family == AF_INET6);
        cookies.insert(r.cookie);
    }
    QCOMPARE(cookies.size(), rows.size());
    QVERIFY(!cookies.count(0));

    // Neither the dual-stack listener on [::]:8081 nor the pure IPv6 pair on ::1 is a row.
    for (const TcpRow& r : rows) {
        QVERIFY(!(r.dwState == StateListen && ntohs(static_cast<quint16>(r.dwLocalPort)) == 8081));
        QVERIFY(ntohs(static_cast<quint16>(r.dwLocalPort)) != 9000);
        QVERIFY(ntohs(static_cast<quint16>(r.dwRemotePort)) != 9000);
    }
}

void TestSockDiagParser::recordedPerFamilyDumpsMatchSs() {
    // Without the single-pass request the table is two dumps appended into one vector.
    for (const bool ipv6 : {false, true}) {
        std::vector<TcpRow> rows;
        for (const char* name : {"sockdiag_inet.bin", "sockdiag_inet6.bin"}) {
            const auto d = datagrams(name);
            QVERIFY(!d.empty());
            const auto [seq, pid] = requestOf(d);
            Parser p;
            p.begin(seq, pid, &rows, ipv6);
            QCOMPARE(feedAll(p, d).back(), Status::Done);
        }
        QCOMPARE(describeAll(rows), rowsFromSs(fixture("tcpdiag_loopback.ss"), ipv6));
    }
}

void TestSockDiagParser::recordedIpv6RowsMatchSs() {
    // IPv6 connections are rows too, beside the IPv4 ones and in the kernel's order.
    const auto d = datagrams("tcpdiag_loopback.bin");
    QVERIFY(!d.empty());
    Dump dump(d, true);
    auto& [rows, p] = dump;
    QCOMPARE(feedAll(p, d).back(), Status::Done);
    const QStringList expected = rowsFromSs(fixture("tcpdiag_loopback.ss"), true);
    QCOMPARE(describeAll(rows), expected);
    QCOMPARE(p.rowsSeen(), rows.size());
    QVERIFY(expected.size() > rowsFromSs(fixture("tcpdiag_loopback.ss")).size());

    // The dual-stack listener on [::] is one IPv6 listening row; IPv6 rows keep no IPv4
    // address.
    QCOMPARE(std::count_if(rows.begin(), rows.end(),
                           [](const TcpRow& r) {
                               return r.dwState == StateListen &&
                                      ntohs(static_cast<quint16>(r.dwLocalPort)) == 8081;
                           }),
             std::ptrdiff_t{1});
    for (const TcpRow& r : rows) {
        QVERIFY(!r.ipv6 || (r.family == AF_INET6 && r.dwLocalAddr == 0 && r.dwRemoteAddr == 0));
    }
}

void TestSockDiagParser::interruptedDumpIsFlagged() {
    const auto d = datagrams("tcpdiag_intr.bin");
    QVERIFY2(!d.empty(), "missing fixture tcpdiag_intr.bin");
    Dump dump(d);
    auto& [rows, p] = dump;
    QCOMPARE(feedAll(p, d).back(), Status::Done);
    QVERIFY(p.interrupted());
    QCOMPARE(describeAll(rows), rowsFromSs(fixture("tcpdiag_loopback.ss")));

    // A new dump starts unflagged.
    const auto clean = datagrams("tcpdiag_loopback.bin");
    QVERIFY(!clean.empty());
    rows.clear();
    p.begin(requestOf(clean).first, requestOf(clean).second, &rows);
    QCOMPARE(feedAll(p, clean).back(), Status::Done);
    QVERIFY(!p.interrupted());
}

void TestSockDiagParser::rejectedRequestIsAnError() {
    const auto d = datagrams("sockdiag_rejected.bin");
    QVERIFY2(!d.empty(), "missing fixture sockdiag_rejected.bin");
    QCOMPARE(d.size(), size_t{1});
    Dump dump(d);
    auto& [rows, p] = dump;
    QCOMPARE(feedAll(p, d).back(), Status::Failed);
    QCOMPARE(p.error(), EINVAL);
    QVERIFY(p.rejected());
    QVERIFY(!p.malformed());
    QVERIFY(rows.empty());
    // Once failed, more bytes change nothing.
    const auto more = datagrams("tcpdiag_loopback.bin");
    QVERIFY(!more.empty());
    QCOMPARE(p.feed(more[0].constData(), static_cast<size_t>(more[0].size())), Status::Failed);
    QVERIFY(rows.empty());
}

void TestSockDiagParser::dumpEndingInErrorIsAnError() {
    const auto d = datagrams("sockdiag_done_error.bin");
    QVERIFY(!d.empty());
    Dump dump(d);
    auto& [rows, p] = dump;
    QCOMPARE(feedAll(p, d).back(), Status::Failed);
    QVERIFY(p.error() != 0);
    QVERIFY(!p.malformed());
}

void TestSockDiagParser::truncatedMessageIsMalformed() {
    const auto d = datagrams("tcpdiag_truncated.bin");
    QVERIFY2(!d.empty(), "missing fixture tcpdiag_truncated.bin");
    Dump dump(d);
    auto& [rows, p] = dump;
    QCOMPARE(p.feed(d[0].constData(), static_cast<size_t>(d[0].size())), Status::Failed);
    QVERIFY(p.malformed());
    QCOMPARE(p.error(), EBADMSG);
}

void TestSockDiagParser::repliesOfOtherRequestsAreSkipped() {
    // Two datagrams of the same rows, one with an older sequence number and one addressed to
    // another port, come before the real answer: their rows must not be counted.
    const auto d = datagrams("tcpdiag_stale.bin");
    QVERIFY2(!d.empty(), "missing fixture tcpdiag_stale.bin");
    const auto real = datagrams("tcpdiag_loopback.bin");
    QVERIFY(!real.empty());
    QCOMPARE(d.size(), real.size() + 2);
    Dump dump(real);
    auto& [rows, p] = dump;
    const std::vector<Status> statuses = feedAll(p, d);
    QCOMPARE(statuses[0], Status::More);
    QCOMPARE(statuses[1], Status::More);
    QVERIFY(rows.size() > 0);
    QCOMPARE(statuses.back(), Status::Done);
    QCOMPARE(describeAll(rows), rowsFromSs(fixture("tcpdiag_loopback.ss")));
}

void TestSockDiagParser::garbageNeverCrashes_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("malformed");
    QTest::newRow("shorter than a header") << QByteArray(10, '\x01') << true;
    nlmsghdr h{};
    h.nlmsg_len = 8; // shorter than its own header
    QTest::newRow("length below header")
        << QByteArray(reinterpret_cast<char*>(&h), sizeof h) << true;
    h.nlmsg_len = 4000; // longer than the datagram
    QTest::newRow("length past end") << QByteArray(reinterpret_cast<char*>(&h), sizeof h) << true;
    h.nlmsg_len = sizeof h;
    h.nlmsg_type = 20; // a row message without its body
    QTest::newRow("row without body") << QByteArray(reinterpret_cast<char*>(&h), sizeof h) << true;
    h.nlmsg_type = NLMSG_ERROR; // an error without its errno
    QTest::newRow("error without errno")
        << QByteArray(reinterpret_cast<char*>(&h), sizeof h) << true;
    h.nlmsg_type = NLMSG_DONE; // a done without status: a clean end
    QTest::newRow("bare done") << QByteArray(reinterpret_cast<char*>(&h), sizeof h) << false;
}

void TestSockDiagParser::garbageNeverCrashes() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, malformed);
    std::vector<TcpRow> rows;
    Parser p;
    p.begin(0, 0, &rows);
    const Status s = p.feed(bytes.constData(), static_cast<size_t>(bytes.size()));
    QCOMPARE(s, malformed ? Status::Failed : Status::Done);
    QCOMPARE(p.malformed(), malformed);
    QVERIFY(rows.empty());
}

// The status word of an error or of the end of a dump is the kernel's negative errno; any
// other value, the most negative int above all, is no errno and is reported as a protocol
// fault.
void TestSockDiagParser::statusesBecomeErrnos_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("error");
    QTest::newRow("error EPERM") << int{NLMSG_ERROR} << -EPERM << EPERM;
    QTest::newRow("error largest errno") << int{NLMSG_ERROR} << -4095 << 4095;
    QTest::newRow("error beyond errnos") << int{NLMSG_ERROR} << -4096 << EPROTO;
    QTest::newRow("error INT_MIN") << int{NLMSG_ERROR} << INT_MIN << EPROTO;
    QTest::newRow("error positive") << int{NLMSG_ERROR} << 7 << EPROTO;
    QTest::newRow("done ENOBUFS") << int{NLMSG_DONE} << -ENOBUFS << ENOBUFS;
    QTest::newRow("done INT_MIN") << int{NLMSG_DONE} << INT_MIN << EPROTO;
}

void TestSockDiagParser::statusesBecomeErrnos() {
    QFETCH(int, type);
    QFETCH(int, status);
    QFETCH(int, error);
    nlmsghdr h{};
    h.nlmsg_len = sizeof h + sizeof status;
    h.nlmsg_type = static_cast<quint16>(type);
    QByteArray bytes(reinterpret_cast<const char*>(&h), sizeof h);
    bytes.append(reinterpret_cast<const char*>(&status), sizeof status);
    std::vector<TcpRow> rows;
    Parser p;
    p.begin(0, 0, &rows);
    QCOMPARE(p.feed(bytes.constData(), static_cast<size_t>(bytes.size())), Status::Failed);
    QCOMPARE(p.error(), error);
    QVERIFY(!p.malformed());
}

void TestSockDiagParser::everyRowIsKept() {
    // A table larger than any 16-bit count: every row is kept, none past some limit is
    // dropped (a connection left out would never be judged), and the dump is read to its end.
    constexpr size_t kPast16Bit = 32768;
    const auto d = datagrams("tcpdiag_loopback.bin");
    QVERIFY2(!d.empty(), "missing fixture tcpdiag_loopback.bin");
    const QByteArray& rowsPart = d.front();
    Dump dump(d);
    auto& [rows, p] = dump;
    size_t fed = 0;
    while (p.rowsSeen() <= kPast16Bit) {
        QCOMPARE(p.feed(rowsPart.constData(), static_cast<size_t>(rowsPart.size())), Status::More);
        ++fed;
    }
    QCOMPARE(rows.size(), p.rowsSeen());
    QVERIFY(rows.size() > kPast16Bit);
    for (size_t i = 1; i < d.size(); ++i) {
        p.feed(d[i].constData(), static_cast<size_t>(d[i].size()));
    }
    QCOMPARE(rows.size(), p.rowsSeen());
    QVERIFY(fed > 1);
}

void TestSockDiagParser::stateMapping_data() {
    QTest::addColumn<quint32>("kernel");
    QTest::addColumn<quint32>("mapped");
    QTest::newRow("ESTABLISHED") << 1u << quint32{StateEstablished};
    QTest::newRow("SYN_SENT") << 2u << quint32{StateSynSent};
    QTest::newRow("SYN_RECV") << 3u << quint32{StateSynRcvd};
    QTest::newRow("FIN_WAIT1") << 4u << quint32{StateFinWait1};
    QTest::newRow("FIN_WAIT2") << 5u << quint32{StateFinWait2};
    QTest::newRow("TIME_WAIT") << 6u << quint32{StateTimeWait};
    QTest::newRow("CLOSE") << 7u << quint32{StateClosed};
    QTest::newRow("CLOSE_WAIT") << 8u << quint32{StateCloseWait};
    QTest::newRow("LAST_ACK") << 9u << quint32{StateLastAck};
    QTest::newRow("LISTEN") << 10u << quint32{StateListen};
    QTest::newRow("CLOSING") << 11u << quint32{StateClosing};
    QTest::newRow("NEW_SYN_RECV") << 12u << quint32{StateSynRcvd};
    QTest::newRow("none") << 0u << 0u;
    QTest::newRow("BOUND_INACTIVE") << 13u << 0u;
    QTest::newRow("out of range") << 255u << 0u;
}

void TestSockDiagParser::stateMapping() {
    QFETCH(quint32, kernel);
    QFETCH(quint32, mapped);
    QCOMPARE(sockdiag::MapKernelState(kernel), mapped);
}

QTEST_GUILESS_MAIN(TestSockDiagParser)
#include "test_SockDiagParser.moc"
