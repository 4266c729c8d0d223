// Owner lookup against real processes holding loopback connections, in a network namespace
// of the test's own.
#include "platform/NetlinkTcpTable.h"
#include "platform/SocketOwners.h"
#include "support/Loopback.h"

#include <QtTest>
#include <arpa/inet.h>
#include <csignal>
#include <functional>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillon::platform;
using namespace quillon::test::loopback;

namespace {

// Counts the reads of /proc, those of this very process apart (other processes of the
// machine come and go while the test runs).
class CountingFs : public ProcFs {
public:
    int processLists = 0;
    int fdLists = 0;
    int ownLinks = 0;
    int links = 0;
    void reset() { processLists = fdLists = ownLinks = links = 0; }
    bool processes(std::vector<qint32>& pids) override {
        ++processLists;
        return ProcFs::processes(pids);
    }
    bool descriptors(qint32 pid, std::vector<int>& fds) override {
        ++fdLists;
        return ProcFs::descriptors(pid, fds);
    }
    std::optional<quint64> socketInode(qint32 pid, int fd) override {
        ++links;
        ownLinks += pid == ::getpid();
        return ProcFs::socketInode(pid, fd);
    }
};

// A forked process: runs `setup` with the write end of a pipe, whose bytes the parent gets
// back, then waits until it is killed.
struct Child {
    pid_t pid = -1;
    QByteArray said;
    Child() = default;
    Child(Child&& o) noexcept : pid(std::exchange(o.pid, -1)), said(o.said) {}
    ~Child() { stop(); }
    void stop() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};

Child spawn(const std::function<void(int)>& setup) {
    Child c;
    int fds[2];
    if (::pipe(fds) != 0) {
        return c;
    }
    c.pid = ::fork();
    if (c.pid == 0) {
        ::close(fds[0]);
        setup(fds[1]);
        ::close(fds[1]);
        for (;;) {
            ::pause();
        }
    }
    ::close(fds[1]);
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
        c.said.append(buf, n);
    }
    ::close(fds[0]);
    return c;
}

void say(int fd, const QByteArray& text) {
    (void)!::write(fd, text.constData(), static_cast<size_t>(text.size()));
}

bool becomeUser(uid_t uid) {
    return ::setgroups(0, nullptr) == 0 && ::setgid(uid) == 0 && ::setuid(uid) == 0;
}

std::optional<size_t> rowOf(const std::vector<TcpRow>& rows, quint16 localPort,
                            quint32 state = StateEstablished) {
    for (size_t i = 0; i < rows.size(); ++i) {
        if (ntohs(static_cast<quint16>(rows[i].dwLocalPort)) == localPort &&
            rows[i].dwState == state) {
            return i;
        }
    }
    return std::nullopt;
}

QString nameOf(uid_t uid) {
    const passwd* pw = ::getpwuid(uid);
    return pw != nullptr ? QString::fromLocal8Bit(pw->pw_name) : QString::number(uid);
}

QString ownExecutable() {
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

} // namespace

class TestSocketOwners : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void childsConnectionNamesItsProgram();
    void otherUsersProcessShowsItsUserOnly();
    void sharedSocketNamesFirstHolderAndOthers();
    void timeWaitHasNoOwner();
    void knownSocketsAreNotReadAgain();

private:
    // A fresh snapshot and its owners.
    bool look(SocketOwners& owners) {
        return table_.snapshot(rows_) && (owners.resolve(rows_, found_), true);
    }

    NetlinkTcpTable table_;
    std::vector<TcpRow> rows_;
    std::vector<SocketOwner> found_;
    Fd listener_;
    quint16 port_ = 0;
};

void TestSocketOwners::initTestCase() {
    if (const QString why = enterPrivateNetns(); !why.isEmpty()) {
        QSKIP(qPrintable(why));
    }
    raiseFileLimit(2048);
    listener_ = listenOn("127.0.0.1", 0);
    QVERIFY(listener_.valid());
    port_ = localPort(listener_);
}

void TestSocketOwners::childsConnectionNamesItsProgram() {
    const quint16 port = port_;
    Child child = spawn([port](int out) {
        ::prctl(PR_SET_NAME, "ownerprobe");
        static Fd kept; // held until the child is killed
        kept = connectTo("127.0.0.1", port, "127.0.0.2");
        say(out, QByteArray::number(localPort(kept)));
    });
    QVERIFY(child.pid > 0);
    Fd server = acceptOne(listener_);
    const quint16 childPort = static_cast<quint16>(child.said.toUInt());
    QVERIFY(childPort != 0);

    SocketOwners owners;
    QVERIFY(look(owners));
    const auto c = rowOf(rows_, childPort);
    const auto s = rowOf(rows_, port_);
    QVERIFY(c && s);
    const SocketOwner& o = found_[*c];
    QCOMPARE(o.pid, child.pid);
    QCOMPARE(o.command, QStringLiteral("ownerprobe"));
    QCOMPARE(o.path, ownExecutable());
    QCOMPARE(o.user, nameOf(::getuid()));
    QVERIFY(!o.shared);
    // The other end is this process's own.
    QCOMPARE(found_[*s].pid, ::getpid());
}

void TestSocketOwners::otherUsersProcessShowsItsUserOnly() {
    constexpr uid_t kHolder = 65534;
    constexpr uid_t kViewer = 65533;
    const quint16 port = port_;
    Child holder = spawn([port](int out) {
        if (!becomeUser(kHolder)) {
            return;
        }
        static Fd kept;
        kept = connectTo("127.0.0.1", port, "127.0.0.3");
        say(out, QByteArray::number(localPort(kept)));
    });
    Fd server = acceptOne(listener_);
    const quint16 holderPort = static_cast<quint16>(holder.said.toUInt());
    QVERIFY2(holderPort != 0, "the other user's process could not connect");

    // Another user without rights sees who holds it, but not which program.
    Child viewer = spawn([holderPort](int out) {
        if (!becomeUser(kViewer)) {
            say(out, "no setuid");
            return;
        }
        NetlinkTcpTable table;
        std::vector<TcpRow> rows;
        std::vector<SocketOwner> found;
        SocketOwners owners;
        if (!table.snapshot(rows)) {
            say(out, "no snapshot");
            return;
        }
        owners.resolve(rows, found);
        const auto r = rowOf(rows, holderPort);
        say(out, r ? QByteArray::number(found[*r].pid) + '|' + found[*r].user.toUtf8()
                   : QByteArray("no row"));
    });
    QCOMPARE(QString::fromUtf8(viewer.said), QStringLiteral("0|") + nameOf(kHolder));

    // Root sees the program too.
    SocketOwners owners;
    QVERIFY(look(owners));
    const auto r = rowOf(rows_, holderPort);
    QVERIFY(r);
    QCOMPARE(found_[*r].pid, holder.pid);
    QCOMPARE(found_[*r].user, nameOf(kHolder));
}

void TestSocketOwners::sharedSocketNamesFirstHolderAndOthers() {
    Fd client = connectTo("127.0.0.1", port_, "127.0.0.4");
    Fd server = acceptOne(listener_);
    const quint16 clientPort = localPort(client);
    Child heir = spawn([](int) {}); // inherits every descriptor, the client's among them
    QVERIFY(heir.pid > 0);

    SocketOwners owners;
    QVERIFY(look(owners));
    auto r = rowOf(rows_, clientPort);
    QVERIFY(r);
    QVERIFY(found_[*r].shared);
    QVERIFY(found_[*r].pid == ::getpid() || found_[*r].pid == heir.pid);

    // When one holder ends, the socket falls to the other, alone now.
    heir.stop();
    QVERIFY(look(owners));
    r = rowOf(rows_, clientPort);
    QVERIFY(r);
    QCOMPARE(found_[*r].pid, ::getpid());
    QVERIFY(!found_[*r].shared);
}

void TestSocketOwners::timeWaitHasNoOwner() {
    Fd client = connectTo("127.0.0.1", port_, "127.0.0.5");
    Fd server = acceptOne(listener_);
    const quint16 clientPort = localPort(client);
    client.reset(); // the side that closes first waits
    server.reset();

    SocketOwners owners;
    std::optional<size_t> r;
    for (int i = 0; i < 200 && !r; ++i) {
        QVERIFY(look(owners));
        r = rowOf(rows_, clientPort, StateTimeWait);
        if (!r) {
            QThread::msleep(10);
        }
    }
    QVERIFY(r);
    QVERIFY(found_[*r].empty());
}

void TestSocketOwners::knownSocketsAreNotReadAgain() {
    std::vector<Fd> keep;
    QVERIFY(addPairs(listener_, keep, 100));
    auto* fs = new CountingFs;
    SocketOwners owners{std::unique_ptr<ProcFs>(fs)};
    QVERIFY(look(owners));
    QVERIFY(fs->ownLinks >= 200); // the first lookup reads everything once

    // Nothing new: nothing read.
    fs->reset();
    QVERIFY(look(owners));
    QCOMPARE(fs->processLists + fs->fdLists + fs->links, 0);

    // One more connection: of this process, only its two new descriptors are read.
    fs->reset();
    QVERIFY(addPairs(listener_, keep, 1));
    QVERIFY(look(owners));
    // (The listing's own descriptor, closed by the time it is read, may count as a third.)
    QVERIFY2(fs->ownLinks >= 2 && fs->ownLinks <= 3, qPrintable(QString::number(fs->ownLinks)));
    const quint16 newest = localPort(keep[keep.size() - 2]);
    auto r = rowOf(rows_, newest);
    QVERIFY(r);
    QCOMPARE(found_[*r].pid, ::getpid());

    // A connection that ends frees its descriptor numbers; a new one taking them is found.
    abortiveClose(keep[keep.size() - 2]);
    abortiveClose(keep[keep.size() - 1]);
    keep.resize(keep.size() - 2);
    QVERIFY(look(owners));
    QVERIFY(addPairs(listener_, keep, 1));
    QVERIFY(look(owners));
    r = rowOf(rows_, localPort(keep[keep.size() - 2]));
    QVERIFY(r);
    QCOMPARE(found_[*r].pid, ::getpid());
    QVERIFY(!found_[*r].shared);
}

QTEST_GUILESS_MAIN(TestSocketOwners)
#include "test_SocketOwners.moc"
