// The kernel guard as Quillon drives it: the real quillon-cut with its BPF programs through
// CutHelper, as root in a network namespace of the test's own, on loopback only.
#include "platform/CutHelper.h"
#include "platform/NetlinkTcpTable.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"

#include <QtTest>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillon::platform;
using namespace quillon::test::loopback;
using Set = quillon::platform::cutproto::Set;

namespace {

// Ports of the test's own, for sockets bound before their port could be told to the guard.
constexpr quint16 kBoundPort = 47301;
constexpr quint16 kOtherNetnsPort = 47302;

// The socket address of an IPv4 or IPv6 text; its length, or 0 when it is neither.
socklen_t parse(const char* text, quint16 port, sockaddr_storage& ss) {
    ss = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (::inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        return sizeof *v4;
    }
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    return ::inet_pton(AF_INET6, text, &v6->sin6_addr) == 1 ? sizeof *v6 : 0;
}

// One connect from a new socket, bound to `localPort` first when it is not 0: 0 when it
// connected, else its errno (-1: no socket). One that cannot complete gives up after a second.
int attempt(const char* address, quint16 port, quint16 localPort = 0) {
    sockaddr_storage to, from;
    const socklen_t len = parse(address, port, to);
    Fd s(::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval second{1, 0};
    const int one = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const socklen_t fromLen = parse(to.ss_family == AF_INET ? "0.0.0.0" : "::", localPort, from);
    if (len == 0 ||
        (localPort != 0 && ::bind(s.get(), reinterpret_cast<sockaddr*>(&from), fromLen) != 0)) {
        return -1;
    }
    return ::connect(s.get(), reinterpret_cast<sockaddr*>(&to), len) == 0 ? 0 : errno;
}

KernelEntry addressEntry(Set set, const char* text) {
    KernelEntry e{set, AF_INET};
    if (::inet_pton(AF_INET, text, e.address.data()) != 1) {
        e.family = AF_INET6;
        ::inet_pton(AF_INET6, text, e.address.data());
    }
    return e;
}

KernelEntry portEntry(Set set, quint16 port) {
    return KernelEntry{set, 0, {}, port};
}

// Packets lo sent in this network namespace. /proc/net follows the reader's namespace, where
// /sys/class/net shows the one sysfs was mounted in.
quint64 loopbackSent() {
    const QByteArray text = quillon::test::fileBytes(QStringLiteral("/proc/net/dev"));
    const qsizetype at = text.indexOf(" lo:") + 4; // eight fields received, then bytes, packets
    return text.mid(at, text.indexOf('\n', at) - at).simplified().split(' ').value(9).toULongLong();
}

// The reports that arrive within `ms`, waiting no longer once `count` did.
std::vector<KernelReport> collect(CutHelper& guard, std::size_t count, int ms = 1000) {
    std::vector<KernelReport> out;
    QElapsedTimer clock;
    clock.start();
    while (out.size() < count && clock.elapsed() < ms) {
        pollfd p{guard.reportDescriptor(), POLLIN, 0};
        if (::poll(&p, 1, int(ms - clock.elapsed())) > 0 && !guard.takeReports(out)) {
            break;
        }
    }
    return out;
}

// The quillon-cut that this thread started: its one child left running.
pid_t helperPid() {
    const QString children = QStringLiteral("/proc/self/task/%1/children").arg(::gettid());
    return quillon::test::fileBytes(children).trimmed().toInt();
}

// Runs `work` in a forked child (one thread, free to change its user or namespace) and returns
// what it said.
template <typename Work>
QByteArray inChild(Work work) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return "error: pipe";
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const std::string said = work();
        (void)!::write(fds[1], said.data(), said.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    QFile pipe;
    pipe.open(fds[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const QByteArray said = pipe.readAll();
    ::waitpid(pid, nullptr, 0);
    return said;
}

// Data rows as tables, one line each; the test fetches its row's index.
template <typename Row, std::size_t N>
void addRows(const Row (&rows)[N]) {
    QTest::addColumn<int>("row");
    for (std::size_t i = 0; i < N; ++i) {
        QTest::newRow(rows[i].name) << int(i);
    }
}

struct Refusal {
    const char *name, *target;
    const char* denied; // an address, or null: the remote port
    bool ipv6;          // the IPv6 switch
    quint16 bound;      // the local port bound before the connect, or 0
};
// An IPv4-mapped address is judged as IPv4 and reads as IPv4, even with IPv6 off.
constexpr Refusal kRefusals[] = {
    {"IPv4", "127.0.0.9", "127.0.0.9", true, kBoundPort},
    {"IPv6", "::1", "::1", true, 0},
    {"remote port", "127.0.0.1", nullptr, true, 0},
    {"IPv4-mapped", "::ffff:127.0.0.9", "127.0.0.9", true, 0},
    {"IPv4-mapped, IPv6 off", "::ffff:127.0.0.9", "127.0.0.9", false, 0},
};

struct CutCase {
    const char *name, *server, *client;
    Set set;
    bool serverSide; // which end of the connection the rule forbids
    bool swept;      // the rule comes while the connection is open
};
constexpr CutCase kCuts[] = {
    {"event, IPv4", "127.0.0.1", "127.0.0.1", Set::DenyLocalPort, true, false},
    {"event, IPv6", "::1", "::1", Set::DenyLocalPort, true, false},
    {"sweep, address", "127.0.0.1", "127.0.0.7", Set::DenyAddress, true, true},
    {"sweep, remote port", "127.0.0.1", "127.0.0.7", Set::DenyRemotePort, false, true},
    {"sweep, local port, IPv6", "::1", "::1", Set::DenyLocalPort, true, true},
};

struct Spare {
    const char* name;
    int level;
    bool exempt, ipv6;
    const char* target; // denied
    Set hold;           // a pending question's field, or None
    int error;          // of the spared connect
};
// The exempt addresses have no route in a namespace with only lo: their connects fail in the
// kernel's route lookup, before any packet.
constexpr Spare kSpares[] = {
    {"level 3", 3, false, true, "127.0.0.9", Set::None, 0},
    {"IPv6 off", 2, false, false, "::1", Set::None, 0},
    {"held address", 2, false, true, "127.0.0.9", Set::HoldAddress, 0},
    {"held remote port", 1, false, true, "127.0.0.9", Set::HoldRemotePort, 0},
    {"held local port", 2, false, true, "127.0.0.9", Set::HoldLocalPort, 0},
    {"exempt 10/8", 2, true, true, "10.20.30.40", Set::None, ENETUNREACH},
    {"exempt 192.168/16", 1, true, true, "192.168.7.7", Set::None, ENETUNREACH},
    {"exempt fc00::/7", 2, true, true, "fd00::7", Set::None, ENETUNREACH},
};

} // namespace

class TestKernelGuard : public QObject {
    Q_OBJECT
    quillon::test::ScratchFolder m_dir;
    QString m_helper;
    QString m_skip;                     // why the guard cannot be tried here
    std::unique_ptr<CutHelper> m_guard; // each case's own, so that its tables start empty

private slots:
    void initTestCase() {
        m_helper = quillon::test::shippedFile(QStringLiteral("quillon-cut"));
        QVERIFY(QFileInfo(m_helper).isExecutable());
        m_skip = enterPrivateNetns();
        if (!m_skip.isEmpty()) {
            return;
        }
        const Immediate state = CutHelper(m_helper).state();
        if (state == Immediate::NoKernelSupport || state == Immediate::NoCgroup) {
            m_skip = state == Immediate::NoCgroup ? "no cgroup2 file system is mounted"
                                                  : "this kernel refuses the helper's BPF programs";
            return;
        }
        QCOMPARE(state, Immediate::On);
    }

    void init() {
        if (!m_skip.isEmpty()) {
            QSKIP(qPrintable(m_skip));
        }
        m_guard = std::make_unique<CutHelper>(m_helper);
        QCOMPARE(m_guard->state(), Immediate::On);
        QVERIFY(m_guard->setSettings(2, false, true));
    }
    void cleanup() { m_guard.reset(); }

    // A denied connect fails at once, sends nothing and is reported as the table shows it.
    void refusesDeniedConnect_data() { addRows(kRefusals); }
    void refusesDeniedConnect() {
        QFETCH(int, row);
        const Refusal& t = kRefusals[row];
        Fd listener = listenOn("::", 0); // both families
        const quint16 port = localPort(listener);
        QVERIFY(m_guard->setSettings(2, false, t.ipv6));
        QVERIFY(m_guard->change(t.denied ? addressEntry(Set::DenyAddress, t.denied)
                                         : portEntry(Set::DenyRemotePort, port),
                                true));
        const quint64 sent = loopbackSent();
        QCOMPARE(attempt(t.target, port, t.bound), EPERM);
        QCOMPARE(loopbackSent(), sent);
        ::fcntl(listener.get(), F_SETFL, O_NONBLOCK);
        QVERIFY(::accept(listener.get(), nullptr, nullptr) < 0 && errno == EAGAIN);

        const auto reports = collect(*m_guard, 2, 200);
        QCOMPARE(reports.size(), std::size_t(1));
        const KernelReport& r = reports[0];
        QVERIFY(r.refused && r.row.cookie != 0);
        QCOMPARE(r.suppressed, 0u);
        QCOMPARE(r.row.dwState, quint32(StateSynSent));
        QCOMPARE(r.row.dwRemotePort, quint32(htons(port)));
        QCOMPARE(r.row.dwLocalPort, quint32(htons(t.bound)));
        const KernelEntry want = addressEntry(Set::DenyAddress, t.target);
        QCOMPARE(r.row.ipv6, qstrcmp(t.target, "::1") == 0);
        if (r.row.ipv6) {
            QVERIFY(r.row.remote6 == want.address);
        } else {
            QCOMPARE(r.row.dwRemoteAddr, want.address[want.family == AF_INET ? 0 : 3]);
        }
    }

    // A connection is cut on its own event when its rule came first (an incoming one to a
    // denied local port: within moments, not at a poll), and by the sweep when the rule came
    // while it was open, which leaves it alone until then. Only the forbidden end is cut.
    void cuts_data() { addRows(kCuts); }
    void cuts() {
        QFETCH(int, row);
        const CutCase& t = kCuts[row];
        Fd listener = listenOn(t.server, 0, true);
        const quint16 port = localPort(listener);
        const KernelEntry rule =
            t.set == Set::DenyAddress ? addressEntry(t.set, t.client) : portEntry(t.set, port);
        QVERIFY(t.swept || m_guard->change(rule, true));
        QElapsedTimer clock;
        clock.start();
        Fd out = connectTo(t.server, port, t.client);
        Fd in = acceptOne(listener);
        QVERIFY(out.valid() && in.valid()); // the handshake completes before any cut
        char c = 'q';
        if (t.swept) {
            QVERIFY(m_guard->change(rule, true));
            QCOMPARE(::send(out.get(), &c, 1, MSG_NOSIGNAL), ssize_t(1));
            QCOMPARE(::recv(in.get(), &c, 1, 0), ssize_t(1));
            QVERIFY(collect(*m_guard, 1, 100).empty());
            QVERIFY(m_guard->sweep());
        }
        const auto reports = collect(*m_guard, 1);
        if (!t.swept) {
            qInfo("cut %lld ms after the connect", clock.elapsed());
            QVERIFY2(clock.elapsed() < 250, "the cut waited for more than the connection's event");
        }
        QCOMPARE(reports.size(), std::size_t(1));
        const Fd& cut = t.serverSide ? in : out;
        const Fd& peer = t.serverSide ? out : in;
        QVERIFY(!reports[0].refused);
        QCOMPARE(reports[0].row.family, quint8(t.server[0] == ':' ? AF_INET6 : AF_INET));
        QCOMPARE(reports[0].row.dwLocalPort, quint32(htons(localPort(cut))));
        QCOMPARE(reports[0].row.dwRemotePort, quint32(htons(localPort(peer))));
        QCOMPARE(::recv(peer.get(), &c, 1, 0), ssize_t(-1));
        QCOMPARE(errno, ECONNRESET);
        QVERIFY(collect(*m_guard, 1, 200).empty()); // once, not again at a later state
    }

    // What spares a denied connect; each row first shows the rule refusing without it.
    void spared_data() { addRows(kSpares); }
    void spared() {
        QFETCH(int, row);
        const Spare& t = kSpares[row];
        Fd listener = listenOn("::", 0);
        const quint16 port = localPort(listener);
        const quint16 bound = t.hold == Set::HoldLocalPort ? kBoundPort : 0;
        QVERIFY(m_guard->change(addressEntry(Set::DenyAddress, t.target), true));
        QCOMPARE(attempt(t.target, port, bound), EPERM);

        QVERIFY(m_guard->setSettings(t.level, t.exempt, t.ipv6));
        if (t.hold != Set::None) {
            QVERIFY(m_guard->change(t.hold == Set::HoldAddress
                                        ? addressEntry(t.hold, t.target)
                                        : portEntry(t.hold, bound ? bound : port),
                                    true));
        }
        const quint64 sent = loopbackSent();
        QCOMPARE(attempt(t.target, port, bound), t.error);
        if (t.error == 0) {
            QVERIFY(acceptOne(listener).valid());
            QVERIFY(loopbackSent() > sent); // the counter does see this namespace's packets
        } else {
            QCOMPARE(loopbackSent(), sent);
        }
        const auto reports = collect(*m_guard, 2, 200);
        QCOMPARE(reports.size(), std::size_t(1)); // the refusal without it, and no cut
        QVERIFY(reports[0].refused);
    }

    // The guard judges its own network namespace only: another one connects to denied
    // addresses and ports, and its sockets' changes are not counted.
    void otherNamespaceUntouched() {
        QVERIFY(m_guard->countsChanges());
        for (const char* address : {"127.0.0.9", "::1"}) {
            QVERIFY(m_guard->change(addressEntry(Set::DenyAddress, address), true));
        }
        QVERIFY(m_guard->change(portEntry(Set::DenyRemotePort, kOtherNetnsPort), true));
        QVERIFY(m_guard->change(portEntry(Set::DenyLocalPort, kOtherNetnsPort), true));
        const auto changes = m_guard->changes();
        QVERIFY(changes);
        const QByteArray said = inChild([] {
            if (const QString why = enterPrivateNetns(); !why.isEmpty()) {
                return "error: " + why.toStdString();
            }
            std::string told;
            for (const char* address : {"127.0.0.9", "::1"}) {
                Fd listener = listenOn(address, kOtherNetnsPort, true);
                Fd client = connectTo(address, kOtherNetnsPort);
                Fd server = client.valid() ? acceptOne(listener) : Fd();
                char c = 'q';
                const bool talks = server.valid() &&
                                   ::send(client.get(), &c, 1, MSG_NOSIGNAL) == 1 &&
                                   ::recv(server.get(), &c, 1, 0) == 1;
                told += std::string(address) + (talks ? " talks " : " failed ");
            }
            return told;
        });
        QCOMPARE(said, QByteArray("127.0.0.9 talks ::1 talks "));
        QVERIFY(collect(*m_guard, 1, 200).empty());
        QVERIFY(m_guard->changes() == changes);
        QCOMPARE(attempt("127.0.0.9", kOtherNetnsPort), EPERM); // still judged here
        Fd listener = listenOn("127.0.0.1", 0);
        QVERIFY(connectTo("127.0.0.1", localPort(listener)).valid());
        QVERIFY(*m_guard->changes() > *changes);
    }

    // A killed helper takes its programs with it: nothing is refused any more until restart()
    // brings a new one, whose tables start empty.
    void killedHelperFailsOpen() {
        Fd listener = listenOn("127.0.0.9", 0);
        const quint16 port = localPort(listener);
        const KernelEntry deny = addressEntry(Set::DenyAddress, "127.0.0.9");
        QVERIFY(m_guard->change(deny, true));
        QCOMPARE(attempt("127.0.0.9", port), EPERM);
        QCOMPARE(collect(*m_guard, 1).size(), std::size_t(1));
        const quint64 generation = m_guard->generation();

        const pid_t pid = helperPid();
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid, SIGKILL), 0);
        pollfd p{m_guard->reportDescriptor(), POLLIN, 0};
        QCOMPARE(::poll(&p, 1, 2000), 1);
        std::vector<KernelReport> reports;
        QVERIFY(!m_guard->takeReports(reports));
        QVERIFY(reports.empty());
        QCOMPARE(m_guard->reportDescriptor(), -1);
        QCOMPARE(m_guard->state(), Immediate::HelperEnded);
        QCOMPARE(attempt("127.0.0.9", port), 0);

        QVERIFY(m_guard->restart());
        QVERIFY(m_guard->generation() > generation);
        const pid_t again = helperPid();
        QVERIFY(again > 0 && again != pid);
        QVERIFY(m_guard->setSettings(2, false, true));
        QCOMPARE(attempt("127.0.0.9", port), 0);
        QVERIFY(m_guard->change(deny, true));
        QCOMPARE(attempt("127.0.0.9", port), EPERM);
    }

    // A helper with cap_net_admin alone, as a checked-out build has it, run by a plain user:
    // no BPF, said as such, and cuts on request still work.
    void withoutBpfCapabilities() {
        const QString folder = m_dir.fresh(QStringLiteral("plain%1"));
        QVERIFY(QDir().mkpath(folder));
        for (const QString& path : {m_dir.path(), folder}) {
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0755), 0);
        }
        const QString helper = folder + QStringLiteral("/quillon-cut");
        QVERIFY(QFile::copy(m_helper, helper));
        QCOMPARE(::chmod(QFile::encodeName(helper).constData(), 0755), 0);
        QCOMPARE(QProcess::execute(QStringLiteral("setcap"),
                                   {QStringLiteral("cap_net_admin+ep"), helper}),
                 0);
        Fd listener = listenOn("127.0.0.1", 0);
        Fd client = connectTo("127.0.0.1", localPort(listener));
        Fd server = acceptOne(listener);
        std::vector<TcpRow> rows;
        QVERIFY(NetlinkTcpTable().snapshot(rows));
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const TcpRow& r) {
            return r.dwLocalPort == htons(localPort(client));
        });
        QVERIFY(row != rows.end());

        const QByteArray said = inChild([&] {
            constexpr uid_t kNobody = 65534;
            if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
                ::setresuid(kNobody, kNobody, kNobody) != 0) {
                return std::string("error: cannot become user 65534");
            }
            CutHelper plain(helper);
            const int state = int(plain.state());
            const bool settings = plain.setSettings(2, false, true);
            return std::to_string(state) + (settings ? " settings " : " no settings ") +
                   resultName(plain.cut(*row));
        });
        QCOMPARE(said, QByteArray::number(int(Immediate::NoCapability)) + " no settings Cut");
        char c;
        QCOMPARE(::recv(server.get(), &c, 1, 0), ssize_t(-1));
        QCOMPARE(errno, ECONNRESET);
    }

    // A program retrying a denied connect in a loop yields one report a second; the next one
    // says how many went unreported, so that every refusal is counted exactly once.
    void refusalsRateLimited() {
        QVERIFY(m_guard->change(addressEntry(Set::DenyAddress, "127.0.0.9"), true));
        constexpr int kTries = 200;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < kTries; ++i) {
            QCOMPARE(attempt("127.0.0.9", 9), EPERM);
        }
        qInfo("%d refusals in %lld ms", kTries, clock.elapsed());
        std::vector<KernelReport> reports = collect(*m_guard, 3, 300);
        const std::size_t inLoop = reports.size();
        QVERIFY(inLoop == 1 || inLoop == 2); // 2 only when the loop took over a second
        QTest::qSleep(1100);
        QCOMPARE(attempt("127.0.0.9", 9), EPERM);
        const auto last = collect(*m_guard, 2, 300);
        QCOMPARE(last.size(), std::size_t(1));
        QVERIFY(inLoop == 2 || last[0].suppressed == kTries - 1);
        reports.insert(reports.end(), last.begin(), last.end());
        quint32 counted = 0;
        for (const KernelReport& r : reports) {
            QVERIFY(r.refused);
            QCOMPARE(r.row.dwRemotePort, quint32(htons(9)));
            counted += 1 + r.suppressed;
        }
        QCOMPARE(counted, quint32(kTries + 1));
    }
};

QTEST_GUILESS_MAIN(TestKernelGuard)
#include "test_KernelGuard.moc"
