// The cut helper quillon-cut and Quillon's side of it: the request format against malformed,
// short and oversized input; the real helper over its pipe against real loopback connections
// (a listener is refused, a connection is cut exactly once); and runs as a member and as a
// non-member of the helper's group by a user of the test's own, holding no capability; and root
// of a user namespace of its own, whose capabilities do not reach the connections.
#include "platform/Capabilities.h"
#include "platform/CutHelper.h"
#include "platform/CutProtocol.h"
#include "platform/NetlinkTcpTable.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"

#include <QtTest>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillon::platform;
using namespace quillon::test::loopback;
namespace proto = quillon::platform::cutproto;

namespace {

// A user and group no account of the machine uses: the test's own.
constexpr uid_t kUser = 47211;
constexpr gid_t kUserGroup = 47211;
constexpr gid_t kHelperGroup = 47212;

QByteArray bytesOf(const proto::Request& r) {
    const auto b = proto::encode(r);
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

proto::Request connectionRequest() {
    proto::Request r;
    r.kind = proto::Kind::Cut;
    r.id.family = AF_INET;
    r.id.local[0] = htonl(0x7F000001);
    r.id.remote[0] = htonl(0x7F000002);
    r.id.localPort = htons(40000);
    r.id.remotePort = htons(80);
    r.id.cookie = 77;
    return r;
}

// Field offsets in the request, as the format lays it out.
constexpr int kAtSize = 0, kAtMagic = 4, kAtVersion = 8, kAtKind = 9, kAtFamily = 10,
              kAtReserved0 = 11, kAtLocal1 = 16, kAtRemote3 = 40, kAtLocalPort = 44,
              kAtReserved1 = 52, kAtCookie = 56;

struct HelperRun {
    QList<proto::Answer> answers;
    bool wellFormed = true; // every byte out was part of an answer
    int exitCode = -1;
};

// Runs quillon-cut (as this process's user) on `input` and collects what it says.
HelperRun runHelper(const QString& helper, const QByteArray& input) {
    HelperRun run;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        return run;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pair[1], 0);
        ::dup2(pair[1], 1);
        ::close(pair[0]);
        ::close(pair[1]);
        const QByteArray file = QFile::encodeName(helper);
        ::execl(file.constData(), "quillon-cut", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pair[1]);
    (void)!::send(pair[0], input.constData(), size_t(input.size()), MSG_NOSIGNAL);
    ::shutdown(pair[0], SHUT_WR);
    QByteArray out;
    char buf[256];
    for (ssize_t n; (n = ::read(pair[0], buf, sizeof buf)) > 0;) {
        out.append(buf, n);
    }
    ::close(pair[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.wellFormed = out.size() % qsizetype(proto::kAnswerSize) == 0;
    for (qsizetype at = 0; at + qsizetype(proto::kAnswerSize) <= out.size();
         at += qsizetype(proto::kAnswerSize)) {
        proto::Answer a{};
        run.wellFormed =
            run.wellFormed &&
            proto::parseAnswer(reinterpret_cast<const unsigned char*>(out.constData() + at), a);
        run.answers << a;
    }
    return run;
}

// The kernel's row of the socket with this local and remote port.
std::optional<TcpRow> rowOf(NetlinkTcpTable& table, quint16 localPort, quint16 remotePort) {
    std::vector<TcpRow> rows;
    if (!table.snapshot(rows)) {
        return std::nullopt;
    }
    for (const TcpRow& r : rows) {
        if (ntohs(quint16(r.dwLocalPort)) == localPort &&
            ntohs(quint16(r.dwRemotePort)) == remotePort) {
            return r;
        }
    }
    return std::nullopt;
}

// One end of a connection still reaches the other.
bool talks(const Fd& a, const Fd& b) {
    char c = 'q';
    return ::send(a.get(), &c, 1, MSG_NOSIGNAL) == 1 && ::recv(b.get(), &c, 1, 0) == 1;
}

// Writes `text` to this process's /proc/self/`file`: the empty text, else why it could not.
std::string writeOwnProcFile(const char* file, const char* text) {
    const std::string path = std::string("/proc/self/") + file;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const ssize_t size = ssize_t(std::strlen(text));
    const bool written = fd >= 0 && ::write(fd, text, size_t(size)) == size;
    const std::string why = written ? std::string() : path + ": " + std::strerror(errno);
    if (fd >= 0) {
        ::close(fd);
    }
    return why;
}

// Run in a forked child. A loopback connection in a network namespace of its own, with `lo`
// left up or taken down; then the user 65534 as root of a new user namespace over that same
// network namespace, as a plain user's `unshare -U -r` leaves it. Says what the program's table
// and the helper answer there and whether the connection lives, or "skip: why" when this
// system allows no such user namespace.
std::string asUserNamespaceRoot(bool loopbackUp, const QString& helperPath) {
    if (const QString why = enterPrivateNetns(); !why.isEmpty()) {
        return "error: " + why.toStdString();
    }
    Fd listener = listenOn("127.0.0.1", 0);
    const quint16 port = localPort(listener);
    Fd client = connectTo("127.0.0.1", port, "127.0.0.5");
    Fd server = acceptOne(listener);
    if (!client.valid() || !server.valid()) {
        return "error: no loopback connection";
    }
    if (!loopbackUp) {
        if (const QString why = takeLoopbackDown(); !why.isEmpty()) {
            return "error: " + why.toStdString();
        }
    }
    constexpr uid_t kNobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0) {
        return std::string("skip: cannot become user 65534: ") + std::strerror(errno);
    }
    // The change of user left the process undumpable, which makes its /proc files root's; it
    // could not write its own id maps then.
    ::prctl(PR_SET_DUMPABLE, 1);
    if (::unshare(CLONE_NEWUSER) != 0) {
        return std::string("skip: unshare(CLONE_NEWUSER): ") + std::strerror(errno);
    }
    for (const auto& [file, text] :
         {std::pair{"setgroups", "deny"}, {"uid_map", "0 65534 1"}, {"gid_map", "0 65534 1"}}) {
        if (const std::string why = writeOwnProcFile(file, text); !why.empty()) {
            return "skip: " + why;
        }
    }
    if (::getuid() != 0 || !hasNetAdmin()) {
        return "skip: a new user namespace gives no capabilities on this system";
    }
    if (!loopbackUp && listenOn("127.0.0.1", 0).valid()) {
        return "error: a loopback listener can still be made";
    }
    NetlinkTcpTable table;
    table.setCutHelper(helperPath); // as the program does: holding the capability, it cuts itself
    const auto row = rowOf(table, localPort(client), port);
    if (!row) {
        return "error: the connection is not in the table";
    }
    CutHelper helper(helperPath);
    std::string said = accessName(table.cutAccess());
    said = said + ' ' + resultName(table.cut(*row));
    said = said + ", helper " + accessName(helper.access()) + ' ' + resultName(helper.cut(*row));
    char c;
    const bool alive = ::recv(client.get(), &c, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    return said + (alive ? ", alive" : ", cut");
}

} // namespace

class TestCutHelper : public QObject {
    Q_OBJECT
    quillon::test::ScratchFolder m_dir;
    QString m_helper;
    QString m_noKernel;

private slots:
    void initTestCase() {
        m_helper = quillon::test::shippedFile(QStringLiteral("quillon-cut"));
        QVERIFY(QFileInfo(m_helper).isExecutable());
        m_noKernel = enterPrivateNetns();
    }

    void parse_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("error");
        const QByteArray good = bytesOf(connectionRequest());
        // The good request with `with` written over it at `at`.
        auto patched = [&good](int at, const QByteArray& with) {
            return QByteArray(good).replace(at, with.size(), with);
        };
        auto word = [](quint32 v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
        using E = proto::ParseError;
        QTest::newRow("connection") << good << int(E::Ok);
        QTest::newRow("probe") << bytesOf(proto::Request{proto::Kind::Probe, {}}) << int(E::Ok);
        QTest::newRow("ipv6 uses all words")
            << patched(kAtFamily, QByteArray(1, char(AF_INET6))).replace(kAtLocal1, 4, word(1))
            << int(E::Ok);
        QTest::newRow("size too small") << patched(kAtSize, word(8)) << int(E::WrongSize);
        QTest::newRow("size too large") << patched(kAtSize, word(1 << 20)) << int(E::WrongSize);
        QTest::newRow("magic") << patched(kAtMagic, word(0x12345678)) << int(E::WrongMagic);
        QTest::newRow("version") << patched(kAtVersion, "\x01") << int(E::WrongVersion);
        QTest::newRow("kind 0") << patched(kAtKind, QByteArray(1, 0)) << int(E::UnknownKind);
        QTest::newRow("kind 9") << patched(kAtKind, "\x09") << int(E::UnknownKind);
        QTest::newRow("family unix") << patched(kAtFamily, "\x01") << int(E::UnknownFamily);
        QTest::newRow("reserved byte") << patched(kAtReserved0, "\x01") << int(E::NonZeroReserved);
        QTest::newRow("reserved word") << patched(kAtReserved1, word(1)) << int(E::NonZeroReserved);
        QTest::newRow("ipv4, more address") << patched(kAtLocal1, word(1)) << int(E::BadAddress);
        QTest::newRow("ipv4, more remote") << patched(kAtRemote3, word(1)) << int(E::BadAddress);
        QTest::newRow("no local port")
            << patched(kAtLocalPort, QByteArray(2, 0)) << int(E::BadPort);
        QTest::newRow("cookie 0") << patched(kAtCookie, QByteArray(8, 0)) << int(E::BadCookie);
        QTest::newRow("no-cookie marker")
            << patched(kAtCookie, QByteArray(8, char(0xFF))) << int(E::BadCookie);
        QTest::newRow("probe with an identity")
            << patched(kAtKind, QByteArray(1, char(proto::Kind::Probe))) << int(E::ProbeNotEmpty);
    }
    void parse() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, error);
        QCOMPARE(bytes.size(), qsizetype(proto::kRequestSize));
        proto::Request r;
        QCOMPARE(int(proto::parse(reinterpret_cast<const unsigned char*>(bytes.constData()), r)),
                 error);
        if (error == int(proto::ParseError::Ok) && r.kind == proto::Kind::Cut) {
            QCOMPARE(bytesOf(r), bytes);
        }
    }

    // One reading of a destroy's errno, the helper's answer and the in-process cut's result.
    void errnoAnswers_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("result");
        using A = proto::Answer;
        using R = CutResult;
        QTest::newRow("done") << 0 << int(A::Cut) << int(R::Cut);
        QTest::newRow("ENOENT") << ENOENT << int(A::AlreadyGone) << int(R::AlreadyGone);
        QTest::newRow("ESTALE") << ESTALE << int(A::AlreadyGone) << int(R::AlreadyGone);
        QTest::newRow("EPERM") << EPERM << int(A::NotPermitted) << int(R::NotPermitted);
        QTest::newRow("EACCES") << EACCES << int(A::NotPermitted) << int(R::NotPermitted);
        QTest::newRow("EOPNOTSUPP") << EOPNOTSUPP << int(A::NotSupported) << int(R::NotSupported);
        QTest::newRow("EIO") << EIO << int(A::Failed) << int(R::Failed);
    }
    void errnoAnswers() {
        QFETCH(int, error);
        QFETCH(int, answer);
        QFETCH(int, result);
        QCOMPARE(int(proto::answerOfErrno(error)), answer);
        QCOMPARE(int(NetlinkTcpTable::resultOfErrno(error)), result);
    }

    // The helper's reading of its input: a request cut short gets no answer, a size it does
    // not know ends the conversation after one refusal, a bad field is refused alone.
    void helperStream_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<int>("exitCode");
        const QByteArray probe = bytesOf(proto::Request{proto::Kind::Probe, {}});
        const QByteArray oversized = QByteArray("\x64\0\0\0", 4) + QByteArray(96, 'x');
        const QByteArray badMagic = QByteArray(probe).replace(kAtMagic, 4, QByteArray(4, 0));
        const int refused = int(proto::Answer::BadRequest);
        const int can = int(proto::Answer::Cut);
        QTest::newRow("nothing") << QByteArray() << QList<int>{} << 0;
        QTest::newRow("probe") << probe << QList<int>{can} << 0;
        QTest::newRow("short size") << probe.left(2) << QList<int>{} << 1;
        QTest::newRow("short request") << probe.left(30) << QList<int>{} << 1;
        QTest::newRow("probe, then short") << probe + probe.left(63) << QList<int>{can} << 1;
        QTest::newRow("oversized") << oversized << QList<int>{refused} << 2;
        QTest::newRow("bad field, then probe") << badMagic + probe << QList<int>{refused, can} << 0;
        QTest::newRow("garbage") << QByteArray(64, 'x') << QList<int>{refused} << 2;
    }
    void helperStream() {
        QFETCH(QByteArray, input);
        QFETCH(QList<int>, answers);
        QFETCH(int, exitCode);
        if (!m_noKernel.isEmpty()) {
            QSKIP(qPrintable(m_noKernel));
        }
        const HelperRun run = runHelper(m_helper, input);
        QVERIFY(run.wellFormed);
        QList<int> got;
        for (proto::Answer a : run.answers) {
            got << int(a);
        }
        QCOMPARE(got, answers);
        QCOMPARE(run.exitCode, exitCode);
    }

    void helperCutsConnectionsOnly_data() {
        QTest::addColumn<QByteArray>("serverAddress");
        QTest::addColumn<QByteArray>("clientAddress");
        QTest::newRow("IPv4") << QByteArray("127.0.0.1") << QByteArray("127.0.0.3");
        QTest::newRow("IPv6") << QByteArray("::1") << QByteArray("::1");
    }

    // A listening socket is looked up and refused; a connection is cut, exactly once; an
    // identity whose cookie belongs to no socket touches nothing.
    void helperCutsConnectionsOnly() {
        if (!m_noKernel.isEmpty()) {
            QSKIP(qPrintable(m_noKernel));
        }
        QFETCH(QByteArray, serverAddress);
        QFETCH(QByteArray, clientAddress);
        Fd listener = listenOn(serverAddress.constData(), 0, true);
        QVERIFY(listener.valid());
        const quint16 port = localPort(listener);
        Fd client = connectTo(serverAddress.constData(), port, clientAddress.constData());
        Fd server = acceptOne(listener);
        QVERIFY(client.valid() && server.valid());

        NetlinkTcpTable table;
        const auto listening = rowOf(table, port, 0);
        const auto connection = rowOf(table, localPort(client), port);
        QVERIFY(listening && connection);

        proto::Request toListener{proto::Kind::Cut, CutHelper::socketId(*listening)};
        proto::Request toConnection{proto::Kind::Cut, CutHelper::socketId(*connection)};
        proto::Request wrongCookie = toConnection;
        wrongCookie.id.cookie += 1000;
        const HelperRun run = runHelper(m_helper, bytesOf(toListener) + bytesOf(wrongCookie));
        QCOMPARE(run.answers,
                 (QList<proto::Answer>{proto::Answer::NotConnection, proto::Answer::AlreadyGone}));
        QVERIFY(talks(client, server));
        Fd again = connectTo(serverAddress.constData(), port);
        QVERIFY(again.valid()); // the listener still listens

        // Quillon's side: the helper is started once and serves every cut.
        CutHelper helper(m_helper);
        QCOMPARE(helper.access(), CutAccess::Ok);
        QCOMPARE(helper.cut(*connection), CutResult::Cut);
        QVERIFY(!talks(server, client));
        QCOMPARE(helper.cut(*connection), CutResult::AlreadyGone);
    }

    void missingHelperCannotCut() {
        CutHelper helper(m_dir.filePath(QStringLiteral("no-such-helper")));
        QCOMPARE(helper.access(), CutAccess::NoHelper);
        TcpRow row;
        row.family = AF_INET;
        row.dwLocalPort = htons(1);
        row.cookie = 5;
        QCOMPARE(helper.cut(row), CutResult::NotPermitted);
    }

    // A user of the test's own, holding no capability, runs the program's table with the
    // helper installed root:group 0750 with cap_net_admin+ep: in the group it cuts, outside it
    // the helper cannot even be started and nothing is cut.
    void memberAndNonMember_data() {
        QTest::addColumn<bool>("member");
        QTest::newRow("member") << true;
        QTest::newRow("not a member") << false;
    }
    void memberAndNonMember() {
        QFETCH(bool, member);
        if (!m_noKernel.isEmpty()) {
            QSKIP(qPrintable(m_noKernel));
        }
        // The helper as the install leaves it, in a folder the user may enter.
        const QString folder = m_dir.fresh(QStringLiteral("prog%1"));
        QVERIFY(QDir().mkpath(folder));
        QCOMPARE(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
        const QString helper = folder + QStringLiteral("/quillon-cut");
        QVERIFY(QFile::copy(m_helper, helper));
        const QByteArray file = QFile::encodeName(helper);
        QCOMPARE(::chown(file.constData(), 0, kHelperGroup), 0);
        QCOMPARE(::chmod(file.constData(), 0750), 0);
        QCOMPARE(QProcess::execute(QStringLiteral("setcap"),
                                   {QStringLiteral("cap_net_admin+ep"), helper}),
                 0);

        Fd listener = listenOn("127.0.0.1", 0);
        const quint16 port = localPort(listener);
        Fd client = connectTo("127.0.0.1", port, "127.0.0.4");
        Fd server = acceptOne(listener);
        NetlinkTcpTable rootTable;
        const auto row = rowOf(rootTable, localPort(client), port);
        QVERIFY(row);

        const pid_t pid = ::fork();
        if (pid == 0) {
            const gid_t groups[] = {kHelperGroup};
            if (::setgroups(member ? 1 : 0, groups) != 0 ||
                ::setresgid(kUserGroup, kUserGroup, kUserGroup) != 0 ||
                ::setresuid(kUser, kUser, kUser) != 0) {
                ::_exit(100);
            }
            NetlinkTcpTable table;
            table.setCutHelper(helper);
            const int access = int(table.cutAccess());
            const int cut = int(table.cut(*row));
            ::_exit(access * 10 + cut);
        }
        int status = 0;
        QCOMPARE(::waitpid(pid, &status, 0), pid);
        QVERIFY(WIFEXITED(status));
        const int code = WEXITSTATUS(status);
        QVERIFY2(code != 100, "cannot become the test's user");
        if (member) {
            QCOMPARE(CutAccess(code / 10), CutAccess::Ok);
            QCOMPARE(CutResult(code % 10), CutResult::Cut);
            QVERIFY(!talks(server, client));
        } else {
            QCOMPARE(CutAccess(code / 10), CutAccess::NotInGroup);
            QCOMPARE(CutResult(code % 10), CutResult::NotPermitted);
            QVERIFY(talks(client, server));
        }
    }

    void userNamespaceRootCannotCut_data() {
        QTest::addColumn<bool>("loopbackUp");
        QTest::newRow("loopback up") << true;
        QTest::newRow("loopback down") << false;
    }

    // Root of a user namespace of its own holds every capability there, but the network
    // namespace, and so every connection in it, belongs to the user namespace above, against
    // which the kernel checks a cut: each one fails. The probes must say so, in the program and
    // in the helper, whether they have a loopback listener of their own to try or none.
    void userNamespaceRootCannotCut() {
        QFETCH(bool, loopbackUp);
        if (!m_noKernel.isEmpty()) {
            QSKIP(qPrintable(m_noKernel));
        }
        if (quillon::test::fileBytes(QStringLiteral("/proc/sys/kernel/unprivileged_userns_clone"))
                .trimmed() == "0") {
            QSKIP("user namespaces are closed to plain users (unprivileged_userns_clone = 0)");
        }
        // The helper where the user 65534 may run it.
        const QString folder = m_dir.fresh(QStringLiteral("userns%1"));
        QVERIFY(QDir().mkpath(folder));
        QCOMPARE(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
        const QString helper = folder + QStringLiteral("/quillon-cut");
        QVERIFY(QFile::copy(m_helper, helper));
        QCOMPARE(::chmod(QFile::encodeName(helper).constData(), 0755), 0);

        int fds[2];
        QCOMPARE(::pipe(fds), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            const std::string said = asUserNamespaceRoot(loopbackUp, helper);
            (void)!::write(fds[1], said.data(), said.size());
            ::_exit(0);
        }
        ::close(fds[1]);
        QByteArray said;
        char buf[256];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
            said.append(buf, n);
        }
        ::close(fds[0]);
        int status = 0;
        QCOMPARE(::waitpid(pid, &status, 0), pid);
        if (said.startsWith("skip: ")) {
            QSKIP(said.mid(6).constData());
        }
        QCOMPARE(said,
                 QByteArray("NoCapability NotPermitted, helper NoCapability NotPermitted, alive"));
    }
};

QTEST_GUILESS_MAIN(TestCutHelper)
#include "test_CutHelper.moc"
