// The kernel's TCP table and the cut, against real loopback connections. The whole test
// process moves into a network namespace of its own first, so it sees and cuts only the
// connections it made itself.
#include "core/blocking/Decision.h"
#include "core/blocking/TrojanTable.h"
#include "core/monitor/Guard.h"
#include "core/monitor/modNetstat.h"
#include "core/settings/EventLog.h"
#include "core/settings/Switches.h"
#include "core/settings/modReg.h"
#include "platform/NetlinkTcpTable.h"
#include "platform/RegistryHive.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"

#include <QtTest>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <linux/capability.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <optional>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// Every heap allocation of this process is counted, to show that a warm snapshot makes none.
namespace {
std::atomic<long> gAllocations{0};
}

void* operator new(std::size_t n) {
    ++gAllocations;
    if (void* p = std::malloc(n ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace quillon::platform;
using namespace quillon::test::loopback;
namespace modNetstat = quillon::monitor::modNetstat;
namespace blocking = quillon::blocking;

namespace {

quint16 portOf(quint32 field) {
    return ntohs(static_cast<quint16>(field & 0xFFFF));
}

quint32 addr(const char* text) {
    in_addr a{};
    ::inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

// The row of the socket bound to localPort and connected to remotePort (0 for a listener).
std::optional<TcpRow> findRow(const std::vector<TcpRow>& rows, quint16 localPort,
                              quint16 remotePort, quint32 state = 0) {
    for (const TcpRow& r : rows) {
        if (portOf(r.dwLocalPort) == localPort && portOf(r.dwRemotePort) == remotePort &&
            (state == 0 || r.dwState == state)) {
            return r;
        }
    }
    return std::nullopt;
}

// A round trip through a connection: both ends can still talk.
bool talks(const Fd& a, const Fd& b) {
    char c = 'q';
    if (::send(a.get(), &c, 1, MSG_NOSIGNAL) != 1) {
        return false;
    }
    c = 0;
    if (::recv(b.get(), &c, 1, 0) != 1 || c != 'q') {
        return false;
    }
    return ::send(b.get(), &c, 1, MSG_NOSIGNAL) == 1 && ::recv(a.get(), &c, 1, 0) == 1;
}

// Takes snapshots until `ready` holds for one (state changes such as TIME_WAIT follow the
// close asynchronously), at most about two seconds.
template <typename F>
bool snapshotUntil(NetlinkTcpTable& table, std::vector<TcpRow>& rows, F ready) {
    for (int i = 0; i < 200; ++i) {
        if (table.snapshot(rows) && ready(rows)) {
            return true;
        }
        QThread::msleep(10);
    }
    return false;
}

bool dropNetAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    const quint32 bit = 1u << (CAP_NET_ADMIN % 32);
    auto& d = data[CAP_NET_ADMIN / 32];
    d.effective &= ~bit;
    d.permitted &= ~bit;
    d.inheritable &= ~bit;
    return ::syscall(SYS_capset, &header, data) == 0;
}

// Runs `body` in a forked child and returns the bytes it wrote to the pipe it was given.
template <typename F>
QByteArray inChild(F body) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        body(fds[1]);
        ::_exit(0);
    }
    ::close(fds[1]);
    QByteArray out;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
        out.append(buf, n);
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}

void report(int fd, const char* text) {
    (void)::write(fd, text, std::strlen(text));
}

} // namespace

class TestNetlinkTcpTable : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void listenerAndConnectionsAppear();
    void mappedDualStackIsIpv4AndPureIpv6IsNot();
    void ipv6RowsCarryCanonicalTexts();
    void deniedIpv6ConnectionsAreCut_data();
    void deniedIpv6ConnectionsAreCut();
    void ipv6SwitchOffLeavesIpv6ConnectionsAlone();
    void timeWaitRowsAppear();
    void halfOpenConnectionIsSynRcvd();
    void perFamilyDumpsGiveTheSameTable();
    void manyConnectionsAllAppear();
    void cutDropsOnlyThatConnection();
    void cutOfReplacedConnectionLeavesTheNewOne();
    void cutOfForeignRowFails();
    void probeAnswersYesAsRootAndTouchesNothing();
    void withoutNetAdminNothingIsCut();
    void probeWithoutLoopbackStillAnswers();

private:
    NetlinkTcpTable table_;
    std::vector<TcpRow> rows_;
};

void TestNetlinkTcpTable::initTestCase() {
    if (const QString why = enterPrivateNetns(); !why.isEmpty()) {
        QSKIP(qPrintable(why));
    }
    raiseFileLimit(2048);
    modNetstat::InitStateNames();
    QVERIFY(table_.snapshot(rows_));
    QVERIFY2(rows_.empty(), "a new network namespace has no connections");
}

void TestNetlinkTcpTable::listenerAndConnectionsAppear() {
    Fd listener = listenOn("127.0.0.1", 8080);
    QVERIFY(listener.valid());
    Fd client = connectTo("127.0.0.1", 8080, "127.0.0.2");
    Fd server = acceptOne(listener);
    QVERIFY(client.valid() && server.valid());
    const quint16 clientPort = localPort(client);

    QVERIFY(table_.snapshot(rows_));
    QCOMPARE(rows_.size(), size_t{3});
    QVERIFY(table_.singlePassDump());

    const auto l = findRow(rows_, 8080, 0);
    QVERIFY(l);
    QCOMPARE(l->dwState, quint32{StateListen});
    QCOMPARE(l->dwLocalAddr, addr("127.0.0.1"));
    QCOMPARE(l->family, quint8{AF_INET});
    auto text = modNetstat::MakeConnectionRow(*l, 0);
    QCOMPARE(text.RemA, QStringLiteral("0.0.0.0"));
    QCOMPARE(text.RemP, QStringLiteral("0"));
    QCOMPARE(text.LocP, QStringLiteral("8080"));
    QCOMPARE(modNetstat::StateText(text.state), QStringLiteral("监听连接"));

    const auto c = findRow(rows_, clientPort, 8080);
    QVERIFY(c);
    QCOMPARE(c->dwLocalAddr, addr("127.0.0.2"));
    text = modNetstat::MakeConnectionRow(*c, 1);
    QCOMPARE(text.RemA, QStringLiteral("127.0.0.1"));
    QCOMPARE(text.RemP, QStringLiteral("8080"));
    QCOMPARE(text.LocP, QString::number(clientPort));
    QCOMPARE(modNetstat::StateText(text.state), QStringLiteral("待定连接"));

    const auto s = findRow(rows_, 8080, clientPort);
    QVERIFY(s);
    text = modNetstat::MakeConnectionRow(*s, 2);
    QCOMPARE(text.RemA, QStringLiteral("127.0.0.2"));
    QCOMPARE(text.state, qint16{StateEstablished});
    QVERIFY(s->cookie != c->cookie && s->cookie != l->cookie && c->cookie != 0);

    // The kernel lists its listeners first.
    QCOMPARE(rows_.front().dwState, quint32{StateListen});
}

void TestNetlinkTcpTable::mappedDualStackIsIpv4AndPureIpv6IsNot() {
    Fd dual = listenOn("::", 8081);
    Fd v6 = listenOn("::1", 9000, true);
    QVERIFY(dual.valid() && v6.valid());
    Fd c4 = connectTo("127.0.0.1", 8081, "127.0.0.4");
    Fd s4 = acceptOne(dual);
    Fd c6 = connectTo("::1", 9000);
    Fd s6 = acceptOne(v6);
    QVERIFY(c4.valid() && s4.valid() && c6.valid() && s6.valid());
    const quint16 port4 = localPort(c4);
    const quint16 port6 = localPort(c6);

    // An IPv4-only table: the program with IPv6 connections left out.
    NetlinkTcpTable ipv4Only;
    ipv4Only.setIpv6Rows(false);
    QVERIFY(ipv4Only.snapshot(rows_));
    // The accepted end of the IPv4 client lives on an IPv6 socket with mapped addresses.
    const auto mapped = findRow(rows_, 8081, port4);
    QVERIFY(mapped);
    QCOMPARE(mapped->family, quint8{AF_INET6});
    QCOMPARE(mapped->dwLocalAddr, addr("127.0.0.1"));
    QCOMPARE(mapped->dwRemoteAddr, addr("127.0.0.4"));
    QCOMPARE(modNetstat::IpToText(mapped->dwRemoteAddr), QStringLiteral("127.0.0.4"));
    QVERIFY(findRow(rows_, port4, 8081));

    // The dual-stack listener on [::] and the ::1 pair are not IPv4 rows.
    QVERIFY(!mapped->ipv6);
    QVERIFY(!findRow(rows_, 8081, 0));
    QVERIFY(!findRow(rows_, 9000, 0));
    QVERIFY(!findRow(rows_, 9000, port6));
    QVERIFY(!findRow(rows_, port6, 9000));

    // The mapped socket is cut by the id it was dumped with: IPv6 family, mapped addresses.
    QCOMPARE(table_.cut(*mapped), CutResult::Cut);
    char c;
    errno = 0;
    QCOMPARE(::recv(s4.get(), &c, 1, MSG_DONTWAIT), ssize_t{-1});
    QCOMPARE(errno, ECONNABORTED);
    QVERIFY(talks(c6, s6));
}

void TestNetlinkTcpTable::ipv6RowsCarryCanonicalTexts() {
    Fd dual = listenOn("::", 8091);
    Fd v6 = listenOn("::1", 9001, true);
    Fd c6 = connectTo("::1", 9001);
    Fd s6 = acceptOne(v6);
    QVERIFY(dual.valid() && c6.valid() && s6.valid());
    const quint16 port6 = localPort(c6);

    QVERIFY(table_.snapshot(rows_));
    const auto listener = findRow(rows_, 8091, 0);
    QVERIFY(listener && listener->ipv6);
    QCOMPARE(modNetstat::MakeConnectionRow(*listener, 0).RemA, QStringLiteral("::"));
    for (const auto& [local, remote] : {std::pair{port6, quint16{9001}}, {quint16{9001}, port6}}) {
        const auto r = findRow(rows_, local, remote, StateEstablished);
        QVERIFY(r && r->ipv6 && r->family == AF_INET6);
        const auto text = modNetstat::MakeConnectionRow(*r, 0);
        QCOMPARE(text.RemA + ' ' + text.RemP + ' ' + text.LocP,
                 QStringLiteral("::1 %1 %2").arg(remote).arg(local));
    }
}

void TestNetlinkTcpTable::deniedIpv6ConnectionsAreCut_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("cuts");
    // The address rule names both ends of the pair, the remote-port rule the client's only.
    QTest::newRow("address ::1") << int(blocking::RuleKind::Address) << QStringLiteral("::1") << 2;
    QTest::newRow("remote port") << int(blocking::RuleKind::RemotePort) << QStringLiteral("9002")
                                 << 1;
}

// A deny rule holds over IPv6 as over IPv4: decided on the row's texts, cut by its identity.
void TestNetlinkTcpTable::deniedIpv6ConnectionsAreCut() {
    QFETCH(int, kind);
    QFETCH(QString, name);
    QFETCH(int, cuts);
    Fd listener = listenOn("::1", 9002, true);
    Fd client = connectTo("::1", 9002);
    Fd server = acceptOne(listener);
    QVERIFY(client.valid() && server.valid() && table_.snapshot(rows_));

    const auto verdict = [&](blocking::RuleKind k, const QString& n) {
        return std::optional<QString>(int(k) == kind && n == name ? QStringLiteral("1")
                                                                  : QString());
    };
    const auto noTrojan = [](const QString&) { return std::optional<bool>(false); };
    const auto pending = std::make_unique<blocking::PendingAlerts>();
    int decided = 0;
    for (const TcpRow& r : rows_) {
        const auto t = modNetstat::MakeConnectionRow(r, 0);
        if ((t.LocP == "9002" || t.RemP == "9002") &&
            blocking::Decide(t.RemA, t.RemP, t.LocP, t.state, 1, 2, verdict, noTrojan, *pending) ==
                blocking::Outcome::Cut) {
            // Cutting one end of a loopback pair resets the other, which may be gone already.
            const CutResult result = table_.cut(t.identity);
            QVERIFY(result == CutResult::Cut || (decided > 0 && result == CutResult::AlreadyGone));
            ++decided;
        }
    }
    QCOMPARE(decided, cuts);
    char c;
    errno = 0;
    QCOMPARE(::recv(client.get(), &c, 1, MSG_DONTWAIT), ssize_t{-1});
    QVERIFY(errno == ECONNABORTED || errno == ECONNRESET); // cut, or reset by its cut peer
    QVERIFY(Fd(connectTo("::1", 9002)).valid());           // the listener is never cut
}

// The guard over the kernel's table with the ipv6 switch at "0": a denied IPv6 pair is neither
// judged nor cut; switched back on, the next tick cuts it.
void TestNetlinkTcpTable::ipv6SwitchOffLeavesIpv6ConnectionsAlone() {
    namespace settings = quillon::settings;
    Fd listener = listenOn("::1", 9003, true);
    Fd client = connectTo("::1", 9003);
    Fd server = acceptOne(listener);
    QVERIFY(client.valid() && server.valid());

    quillon::test::ScratchFolder dir;
    RegistryHive hive(dir.filePath(QStringLiteral("registry.db")));
    settings::EventLog log(dir.filePath(QStringLiteral("WDlog.log")));
    QVERIFY(quillon::test::writeTrojanFile(dir.filePath(QStringLiteral("QLWD.dat")), {}));
    blocking::TrojanTable trojans(dir.filePath(QStringLiteral("QLWD.dat")));
    settings::Switches switches(hive);
    NetlinkTcpTable table;
    quillon::monitor::Guard guard({table, hive, log, trojans, switches});
    QStringList judged;
    QObject::connect(&guard, &quillon::monitor::Guard::judging,
                     [&](const modNetstat::ConnectionRow& row) { judged << row.RemA; });
    QVERIFY(settings::modReg::WriteRegString(hive, settings::modReg::HKEY_LOCAL_MACHINE,
                                             settings::modReg::BlockIpKey, QStringLiteral("::1"),
                                             QStringLiteral("1")));

    QVERIFY(switches.write(settings::Switch::Ipv6, QStringLiteral("0")));
    guard.RefreshTable(true);
    QVERIFY2(!judged.contains(QStringLiteral("::1")), qPrintable(judged.join(' ')));
    QVERIFY(talks(client, server));

    switches.setIpv6(true);
    guard.RefreshTable(false);
    QVERIFY(judged.contains(QStringLiteral("::1")));
    char c;
    errno = 0;
    QCOMPARE(::recv(client.get(), &c, 1, MSG_DONTWAIT), ssize_t{-1});
    QVERIFY(errno == ECONNABORTED || errno == ECONNRESET);
}

void TestNetlinkTcpTable::timeWaitRowsAppear() {
    Fd listener = listenOn("127.0.0.1", 8082);
    Fd client = connectTo("127.0.0.1", 8082, "127.0.0.5");
    Fd server = acceptOne(listener);
    const quint16 clientPort = localPort(client);
    client.reset(); // the end that closes first waits in TIME_WAIT
    char c;
    QCOMPARE(::recv(server.get(), &c, 1, 0), ssize_t{0});
    server.reset();

    QVERIFY(snapshotUntil(table_, rows_, [&](const std::vector<TcpRow>& rows) {
        return findRow(rows, clientPort, 8082, StateTimeWait).has_value();
    }));
    const auto tw = findRow(rows_, clientPort, 8082, StateTimeWait);
    QCOMPARE(modNetstat::StateText(static_cast<qint32>(tw->dwState)),
             QStringLiteral("TIME_WAIT连接"));
    QCOMPARE(modNetstat::IpToText(tw->dwLocalAddr), QStringLiteral("127.0.0.5"));
}

void TestNetlinkTcpTable::halfOpenConnectionIsSynRcvd() {
    // With TCP_DEFER_ACCEPT the listener keeps a connection that has sent no data as a
    // request socket (the kernel's NEW_SYN_RECV) while the client already counts itself
    // established.
    Fd listener = listenOn("127.0.0.1", 8088);
    const int seconds = 30;
    QCOMPARE(::setsockopt(listener.get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds),
             0);
    Fd client = connectTo("127.0.0.1", 8088, "127.0.0.8");
    QVERIFY(client.valid());
    const quint16 port = localPort(client);
    QVERIFY(table_.snapshot(rows_));
    const auto half = findRow(rows_, 8088, port);
    QVERIFY(half);
    QCOMPARE(half->dwState, quint32{StateSynRcvd});
    QCOMPARE(modNetstat::StateText(static_cast<qint32>(half->dwState)),
             QStringLiteral("SYN_RCVD连接"));
    QCOMPARE(findRow(rows_, port, 8088)->dwState, quint32{StateEstablished});

    // A half-open connection can be cut too, and then is gone.
    QCOMPARE(table_.cut(*half), CutResult::Cut);
    QVERIFY(table_.snapshot(rows_));
    QVERIFY(!findRow(rows_, 8088, port));
}

void TestNetlinkTcpTable::perFamilyDumpsGiveTheSameTable() {
    // Kernels without the single-pass request get one dump per family: the same rows, the
    // IPv4 sockets first.
    Fd dual = listenOn("::", 8089);
    Fd c4 = connectTo("127.0.0.1", 8089, "127.0.0.9");
    Fd s4 = acceptOne(dual);
    QVERIFY(c4.valid() && s4.valid());
    NetlinkTcpTable perFamily;
    perFamily.setSinglePassDump(false);
    std::vector<TcpRow> single;
    std::vector<TcpRow> two;
    // Sockets of earlier tests may still be finishing their close between two snapshots:
    // compare again until the table holds still.
    const auto sameTable = [&] {
        if (!table_.snapshot(single) || !perFamily.snapshot(two) || two.size() != single.size()) {
            return false;
        }
        return std::all_of(single.begin(), single.end(), [&](const TcpRow& r) {
            return std::any_of(two.begin(), two.end(),
                               [&](const TcpRow& t) { return t.sameConnection(r); });
        });
    };
    bool same = false;
    for (int i = 0; i < 20 && !same; ++i) {
        same = sameTable();
    }
    QVERIFY(same);
    QVERIFY(!perFamily.singlePassDump());
    const auto firstMapped =
        std::find_if(two.begin(), two.end(), [](const TcpRow& r) { return r.family == AF_INET6; });
    QVERIFY(firstMapped != two.end());
    QVERIFY(
        std::all_of(firstMapped, two.end(), [](const TcpRow& r) { return r.family == AF_INET6; }));
}

void TestNetlinkTcpTable::manyConnectionsAllAppear() {
    // More rows than one netlink datagram holds, and far more than 101.
    constexpr int kPairs = 200;
    Fd listener = listenOn("127.0.0.1", 8083, false, kPairs);
    std::vector<Fd> clients;
    std::vector<Fd> servers;
    for (int i = 0; i < kPairs; ++i) {
        const QByteArray from = "127.0.0." + QByteArray::number(10 + i % 10);
        clients.push_back(connectTo("127.0.0.1", 8083, from.constData()));
        servers.push_back(acceptOne(listener));
        QVERIFY(clients.back().valid() && servers.back().valid());
    }
    QVERIFY(table_.snapshot(rows_));
    for (const Fd& c : clients) {
        const quint16 port = localPort(c);
        QVERIFY(findRow(rows_, port, 8083, StateEstablished));
        QVERIFY(findRow(rows_, 8083, port, StateEstablished));
    }
    QVERIFY(rows_.size() >= size_t{2 * kPairs + 1});

    // The caller's vector is reused: once warm, another snapshot of the same table keeps
    // its storage and allocates nothing at all.
    const TcpRow* storage = rows_.data();
    const size_t capacity = rows_.capacity();
    std::vector<TcpRow> cold;
    long before = gAllocations.load();
    QVERIFY(table_.snapshot(cold));
    QVERIFY2(gAllocations.load() > before, "a fresh vector has to grow: the count works");
    before = gAllocations.load();
    const bool ok = table_.snapshot(rows_);
    const long allocations = gAllocations.load() - before;
    QVERIFY(ok);
    QCOMPARE(allocations, 0L);
    QCOMPARE(rows_.data(), storage);
    QCOMPARE(rows_.capacity(), capacity);
}

void TestNetlinkTcpTable::cutDropsOnlyThatConnection() {
    Fd listener = listenOn("127.0.0.1", 8084);
    std::vector<Fd> clients;
    std::vector<Fd> servers;
    for (int i = 0; i < 5; ++i) {
        const QByteArray from = "127.0.0." + QByteArray::number(30 + i);
        clients.push_back(connectTo("127.0.0.1", 8084, from.constData()));
        servers.push_back(acceptOne(listener));
    }
    QVERIFY(table_.snapshot(rows_));
    const auto victim = findRow(rows_, localPort(clients[2]), 8084);
    QVERIFY(victim);

    QCOMPARE(table_.cut(*victim), CutResult::Cut);

    // The owner learns its connection was aborted.
    char c;
    errno = 0;
    QCOMPARE(::recv(clients[2].get(), &c, 1, MSG_DONTWAIT), ssize_t{-1});
    QCOMPARE(errno, ECONNABORTED);

    // Every other connection and the listener live on.
    for (size_t i = 0; i < clients.size(); ++i) {
        if (i != 2) {
            QVERIFY2(talks(clients[i], servers[i]), qPrintable(QString::number(i)));
        }
    }
    Fd late = connectTo("127.0.0.1", 8084, "127.0.0.39");
    Fd lateServer = acceptOne(listener);
    QVERIFY(late.valid() && lateServer.valid() && talks(late, lateServer));

    QVERIFY(table_.snapshot(rows_));
    QVERIFY(!findRow(rows_, portOf(victim->dwLocalPort), 8084, StateEstablished));
    QVERIFY(findRow(rows_, 8084, 0, StateListen));

    // A second cut of the same row finds nothing to do.
    QCOMPARE(table_.cut(*victim), CutResult::AlreadyGone);
}

void TestNetlinkTcpTable::cutOfReplacedConnectionLeavesTheNewOne() {
    Fd listener = listenOn("127.0.0.1", 8085);
    Fd oldClient = connectTo("127.0.0.1", 8085, "127.0.0.40", 40000);
    Fd oldServer = acceptOne(listener);
    QVERIFY(oldClient.valid() && oldServer.valid());
    QVERIFY(table_.snapshot(rows_));
    const auto old = findRow(rows_, 40000, 8085);
    QVERIFY(old);

    // The old connection ends with a reset (no TIME_WAIT holds the four-tuple) and a new
    // one takes exactly the same addresses and ports.
    abortiveClose(oldClient);
    oldServer.reset();
    Fd newClient = connectTo("127.0.0.1", 8085, "127.0.0.40", 40000);
    QVERIFY(newClient.valid());
    Fd newServer = acceptOne(listener);
    QVERIFY(table_.snapshot(rows_));
    const auto now = findRow(rows_, 40000, 8085);
    QVERIFY(now);
    QCOMPARE(now->dwLocalAddr, old->dwLocalAddr);
    QCOMPARE(now->dwRemoteAddr, old->dwRemoteAddr);
    QVERIFY(now->cookie != old->cookie);

    QCOMPARE(table_.cut(*old), CutResult::AlreadyGone);
    QVERIFY(talks(newClient, newServer));
    QVERIFY(table_.snapshot(rows_));
    QVERIFY(findRow(rows_, 40000, 8085, StateEstablished));
}

void TestNetlinkTcpTable::cutOfForeignRowFails() {
    // A row the kernel never gave (no family) is refused without asking it.
    TcpRow made;
    made.dwLocalAddr = addr("127.0.0.1");
    made.dwLocalPort = htons(1);
    QCOMPARE(table_.cut(made), CutResult::Failed);
}

void TestNetlinkTcpTable::probeAnswersYesAsRootAndTouchesNothing() {
    Fd listener = listenOn("127.0.0.1", 8086);
    Fd client = connectTo("127.0.0.1", 8086, "127.0.0.50");
    Fd server = acceptOne(listener);
    QVERIFY(table_.snapshot(rows_));
    const std::vector<TcpRow> before = rows_;

    QCOMPARE(table_.probeCut(), CutResult::Cut);
    QCOMPARE(table_.probeCut(), CutResult::Cut);

    QVERIFY(table_.snapshot(rows_));
    QCOMPARE(rows_.size(), before.size());
    for (size_t i = 0; i < rows_.size(); ++i) {
        QVERIFY(rows_[i].sameConnection(before[i]));
    }
    QVERIFY(talks(client, server));
}

void TestNetlinkTcpTable::withoutNetAdminNothingIsCut() {
    Fd listener = listenOn("127.0.0.1", 8087);
    Fd client = connectTo("127.0.0.1", 8087, "127.0.0.60");
    Fd server = acceptOne(listener);
    QVERIFY(table_.snapshot(rows_));
    const auto row = findRow(rows_, localPort(client), 8087);
    QVERIFY(row);

    const QByteArray answer = inChild([&](int out) {
        if (!dropNetAdmin()) {
            report(out, "capset failed");
            return;
        }
        NetlinkTcpTable table;
        std::vector<TcpRow> rows;
        report(out, table.snapshot(rows) && !rows.empty() ? "snapshot " : "no snapshot ");
        report(out, resultName(table.probeCut()));
        report(out, " ");
        report(out, resultName(table.cut(*row)));
    });
    // Reading the table needs no rights; cutting does, and the probe knows it.
    QCOMPARE(answer, QByteArray("snapshot NotPermitted NotPermitted"));
    QVERIFY(talks(client, server));
}

void TestNetlinkTcpTable::probeWithoutLoopbackStillAnswers() {
    // In a namespace whose loopback is down the probe has no listener of its own to ask
    // about and falls back on kernel support and our capabilities.
    const QByteArray answer = inChild([](int out) {
        if (::unshare(CLONE_NEWNET) != 0) {
            report(out, "unshare failed");
            return;
        }
        NetlinkTcpTable table;
        report(out, resultName(table.probeCut()));
        report(out, " ");
        if (!dropNetAdmin()) {
            report(out, "capset failed");
            return;
        }
        report(out, resultName(table.probeCut()));
    });
    QCOMPARE(answer, QByteArray("Cut NotPermitted"));
}

QTEST_GUILESS_MAIN(TestNetlinkTcpTable)
#include "test_NetlinkTcpTable.moc"
