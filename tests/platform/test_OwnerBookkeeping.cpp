// What the owner lookup remembers of descriptors as they close, move and come back under
// the same numbers, over a scripted /proc.
#include "platform/SocketOwners.h"

#include <QtTest>
#include <map>

using namespace quillon::platform;

namespace {

class ScriptedFs : public ProcFs {
public:
    struct Process {
        qint64 uid = 1000;
        std::map<int, quint64> fds; // descriptor -> socket inode (0: a file)
    };
    std::map<qint32, Process> running;

    bool processes(std::vector<qint32>& pids) override {
        pids.clear();
        for (const auto& [pid, p] : running) {
            pids.push_back(pid);
        }
        return true;
    }
    bool descriptors(qint32 pid, std::vector<int>& fds) override {
        const auto p = running.find(pid);
        if (p == running.end()) {
            return false;
        }
        fds.clear();
        for (const auto& [fd, inode] : p->second.fds) {
            fds.push_back(fd);
        }
        return true;
    }
    std::optional<quint64> socketInode(qint32 pid, int fd) override {
        const auto p = running.find(pid);
        if (p == running.end() || p->second.fds.count(fd) == 0) {
            return std::nullopt;
        }
        return p->second.fds.at(fd);
    }
    quint64 startTime(qint32 pid) override { return running.count(pid) != 0 ? 100 : 0; }
    qint64 processUser(qint32 pid) override {
        return running.count(pid) != 0 ? running.at(pid).uid : -1;
    }
    QString executable(qint32 pid) override { return QStringLiteral("/bin/p%1").arg(pid); }
    QString command(qint32 pid) override { return QStringLiteral("p%1").arg(pid); }
    QString userName(quint32 uid) override { return QStringLiteral("u%1").arg(uid); }
};

// "inode:pid" for each row of connections with these socket inodes ("+" after a shared
// socket's first holder, "-" for none).
QString owners(SocketOwners& lookup, const std::vector<quint64>& inodes) {
    std::vector<TcpRow> rows;
    for (const quint64 inode : inodes) {
        TcpRow r;
        r.dwState = StateEstablished;
        r.inode = static_cast<quint32>(inode);
        r.uid = 1000;
        rows.push_back(r);
    }
    std::vector<SocketOwner> found;
    lookup.resolve(rows, found);
    QStringList out;
    for (size_t i = 0; i < rows.size(); ++i) {
        const SocketOwner& o = found[i];
        out << QStringLiteral("%1:%2%3")
                   .arg(inodes[i])
                   .arg(o.hasProcess() ? QString::number(o.pid) : QStringLiteral("-"))
                   .arg(o.shared ? QStringLiteral("+") : QString());
    }
    return out.join(QLatin1Char(' '));
}

} // namespace

class TestOwnerBookkeeping : public QObject {
    Q_OBJECT

private slots:
    void descriptorsThatCloseMoveAndComeBack();
    void manySocketsClosedAtOnce();
};

void TestOwnerBookkeeping::descriptorsThatCloseMoveAndComeBack() {
    auto owned = std::make_unique<ScriptedFs>();
    ScriptedFs& fs = *owned;
    SocketOwners lookup(std::move(owned));
    fs.running[7].fds = {{0, 0}, {3, 11}, {4, 12}};
    fs.running[8].fds = {{3, 21}};
    QCOMPARE(owners(lookup, {11, 12, 21}), QStringLiteral("11:7 12:7 21:8"));

    // Connection 11 closed; its number now holds a new one.
    fs.running[7].fds[3] = 13;
    QCOMPARE(owners(lookup, {12, 13, 21}), QStringLiteral("12:7 13:7 21:8"));

    // Socket 12 moved to another number, and its old number holds a new socket: the process
    // still holds 12 through the new number.
    fs.running[7].fds[5] = 12;
    fs.running[7].fds[4] = 14;
    QCOMPARE(owners(lookup, {12, 13, 14, 21}), QStringLiteral("12:7 13:7 14:7 21:8"));

    // A copy of 13 closes while another stays; then a socket passed to process 8.
    fs.running[7].fds[6] = 13;
    fs.running[7].fds.erase(3);
    fs.running[7].fds[9] = 15;
    QCOMPARE(owners(lookup, {12, 13, 14, 15, 21}), QStringLiteral("12:7 13:7 14:7 15:7 21:8"));
    fs.running[8].fds[4] = 14;
    fs.running[8].fds[5] = 16;
    QCOMPARE(owners(lookup, {14, 16}), QStringLiteral("14:7+ 16:8"));

    // Process 7 ends: what it shared stays with 8, the rest has no process.
    fs.running.erase(7);
    fs.running[8].fds[6] = 17;
    QCOMPARE(owners(lookup, {12, 14, 16, 17}), QStringLiteral("12:- 14:8 16:8 17:8"));
}

void TestOwnerBookkeeping::manySocketsClosedAtOnce() {
    auto owned = std::make_unique<ScriptedFs>();
    ScriptedFs& fs = *owned;
    SocketOwners lookup(std::move(owned));
    std::vector<quint64> all;
    for (int fd = 3; fd < 5003; ++fd) {
        fs.running[7].fds[fd] = 100000 + fd;
        all.push_back(100000 + fd);
    }
    QVERIFY(!owners(lookup, all).contains(QLatin1Char('-')));

    // All but the last close together; two numbers come back with new sockets.
    for (int fd = 3; fd < 5002; ++fd) {
        fs.running[7].fds.erase(fd);
    }
    fs.running[7].fds[3] = 7;
    fs.running[7].fds[4000] = 8;
    QCOMPARE(owners(lookup, {7, 8, 105002}), QStringLiteral("7:7 8:7 105002:7"));
}

QTEST_GUILESS_MAIN(TestOwnerBookkeeping)
#include "test_OwnerBookkeeping.moc"
