// The single-instance lock and the start-with-the-system entry.
#include "platform/Autostart.h"
#include "platform/InstanceLock.h"
#include "platform/SafeFiles.h"
#include "support/TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using quillon::platform::InstanceLock;
namespace Autostart = quillon::platform::Autostart;

namespace {

// A child process of this test binary that holds the lock at `path` until it is killed with
// SIGKILL, as a crashed or killed Quillon would end: nothing released on the way out.
class LockHolder {
public:
    explicit LockHolder(const QString& path) {
        int up[2];
        if (::pipe(up) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(up[0]);
            InstanceLock lock(path);
            const char ok = lock.tryLock() ? '1' : '0';
            (void)!::write(up[1], &ok, 1);
            for (;;) {
                ::pause();
            }
        }
        ::close(up[1]);
        char ok = '0';
        locked_ = ::read(up[0], &ok, 1) == 1 && ok == '1';
        ::close(up[0]);
    }
    ~LockHolder() { kill(); }

    bool locked() const { return locked_; }

    void kill() {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    bool locked_ = false;
};

QString readAll(const QString& path) {
    return QString::fromUtf8(quillon::test::fileBytes(path));
}

} // namespace

class TestInstanceLockAutostart : public QObject {
    Q_OBJECT
    quillon::test::ScratchFolder m_dir;

private slots:
    // The default place is a folder of the user's own that no one else may write.
    void defaultLockPathIsPrivate() {
        const QString path = InstanceLock::defaultPath();
        QVERIFY(path.endsWith(QStringLiteral("/quillon.lock")));
        const QFileInfo folder(QFileInfo(path).absolutePath());
        QVERIFY(folder.isDir() && !folder.isSymLink());
        QCOMPARE(folder.ownerId(), ::geteuid());
        QVERIFY(!(folder.permissions() & (QFileDevice::WriteGroup | QFileDevice::WriteOther)));
    }

    void secondLockRefusedUntilReleased() {
        const QString path = m_dir.fresh(QStringLiteral("q%1.lock"));
        InstanceLock first(path);
        QVERIFY(first.tryLock());
        QVERIFY(first.isLocked());
        InstanceLock second(path);
        QVERIFY(!second.tryLock());
        QVERIFY(second.heldElsewhere());

        first.unlock();
        QVERIFY(second.tryLock());
        {
            InstanceLock scoped(path); // released when destroyed, below
            QVERIFY(!scoped.tryLock());
            second.unlock();
            QVERIFY(scoped.tryLock());
        }
        QVERIFY(second.tryLock());
    }

    // A live holder keeps the lock however old its file; killed with SIGKILL, it leaves
    // nothing that blocks the next start.
    void holderKilledLeavesNoStaleLock() {
        const QString path = m_dir.fresh(QStringLiteral("q%1.lock"));
        LockHolder holder(path);
        QVERIFY(holder.locked());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-3),
                                 QFileDevice::FileModificationTime));
        file.close();
        InstanceLock second(path);
        QVERIFY(!second.tryLock());
        QVERIFY(second.heldElsewhere());

        holder.kill();
        QVERIFY(QFile::exists(path));
        QVERIFY(second.tryLock());
    }

    // What others may leave at the lock's place never keeps the program from starting, and
    // nothing is written through it.
    void strangerAtLockPlace_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("junk") << QStringLiteral("junk");
        QTest::newRow("empty") << QStringLiteral("empty");
        QTest::newRow("symlink") << QStringLiteral("symlink");
        QTest::newRow("dangling symlink") << QStringLiteral("dangling");
        QTest::newRow("another user's file") << QStringLiteral("foreign");
        QTest::newRow("folder") << QStringLiteral("folder");
    }
    void strangerAtLockPlace() {
        QFETCH(QString, kind);
        const QString path = m_dir.fresh(QStringLiteral("q%1.lock"));
        const QString target = m_dir.fresh(QStringLiteral("target%1"));
        const QByteArray original("12345\nhost\nquillon\n");
        QVERIFY(quillon::test::writeFile(target, original));
        if (kind == QLatin1String("junk")) {
            QVERIFY(quillon::test::writeFile(path, QByteArray("\x01\xff garbage 999999", 17)));
        } else if (kind == QLatin1String("empty")) {
            QVERIFY(quillon::test::writeFile(path, {}));
        } else if (kind == QLatin1String("symlink")) {
            QVERIFY(QFile::link(target, path));
        } else if (kind == QLatin1String("dangling")) {
            QVERIFY(QFile::link(target + QStringLiteral(".none"), path));
        } else if (kind == QLatin1String("foreign")) {
            if (::geteuid() != 0) {
                QSKIP("only root can make a file of another user's here");
            }
            QVERIFY(quillon::test::writeFile(path, original));
            QCOMPARE(::chown(QFile::encodeName(path).constData(), 54321, 54321), 0);
        } else {
            QVERIFY(QDir().mkdir(path));
        }
        InstanceLock lock(path);
        QVERIFY(lock.tryLock());
        const QFileInfo info(path);
        QVERIFY(info.isFile() && !info.isSymLink());
        QCOMPARE(info.ownerId(), ::geteuid());
        QCOMPARE(quillon::test::fileBytes(target), original);
        InstanceLock second(path);
        QVERIFY(!second.tryLock());
    }

    void lockInMissingFolderFails() {
        InstanceLock lock(m_dir.filePath(QStringLiteral("no/such/folder/q.lock")));
        QVERIFY(!lock.tryLock());
        QVERIFY(!lock.isLocked());
        QVERIFY(!lock.heldElsewhere());
    }

    // The machine-wide entry only for a binary that no one but root can replace; else the
    // user's own, and nothing for root.
    void autostartScope_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("asRoot");
        QTest::addColumn<int>("asUser");
        const int machine = int(Autostart::Scope::MachineWide);
        const int user = int(Autostart::Scope::User);
        const int none = int(Autostart::Scope::None);
        QTest::newRow("root's, no one else may write") << QString() << machine << machine;
        QTest::newRow("binary of a user's") << QStringLiteral("chown file") << none << user;
        QTest::newRow("folder of a user's") << QStringLiteral("chown folder") << none << user;
        QTest::newRow("group-writable binary") << QStringLiteral("g+w file") << none << user;
        QTest::newRow("group-writable folder") << QStringLiteral("g+w folder") << none << user;
        QTest::newRow("everyone's folder") << QStringLiteral("o+w folder") << none << user;
        // No one else may rename or remove root's binary in a sticky folder of root's.
        QTest::newRow("sticky folder") << QStringLiteral("sticky folder") << machine << machine;
        QTest::newRow("link on the way") << QStringLiteral("link") << none << user;
    }
    void autostartScope() {
        QFETCH(QString, change);
        QFETCH(int, asRoot);
        QFETCH(int, asUser);
        if (::geteuid() != 0) {
            QSKIP("making files of root's and of other users' takes root");
        }
        if (!quillon::platform::SafeFiles::rootOnlyPath(m_dir.path())) {
            QSKIP("the scratch folder lies below a folder others can write");
        }
        const QString top = m_dir.fresh(QStringLiteral("prog%1"));
        const QString folder = top + QStringLiteral("/bin");
        QString binary = folder + QStringLiteral("/quillon");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(quillon::test::writeFile(binary, "#!/bin/sh\n"));
        const auto mode = [](const QString& path, mode_t m) {
            return ::chmod(QFile::encodeName(path).constData(), m) == 0;
        };
        QVERIFY(mode(top, 0755) && mode(folder, 0755) && mode(binary, 0755));
        const QByteArray file = QFile::encodeName(binary);
        const QByteArray dir = QFile::encodeName(folder);
        if (change == QLatin1String("chown file")) {
            QCOMPARE(::chown(file.constData(), 54321, 54321), 0);
        } else if (change == QLatin1String("chown folder")) {
            QCOMPARE(::chown(dir.constData(), 54321, 54321), 0);
        } else if (change == QLatin1String("g+w file")) {
            QVERIFY(mode(binary, 0775));
        } else if (change == QLatin1String("g+w folder")) {
            QVERIFY(mode(folder, 0775));
        } else if (change == QLatin1String("o+w folder")) {
            QVERIFY(mode(folder, 0777));
        } else if (change == QLatin1String("sticky folder")) {
            QVERIFY(mode(folder, 01777));
        } else if (change == QLatin1String("link")) {
            const QString link = top + QStringLiteral("/via");
            QVERIFY(QFile::link(folder, link));
            binary = link + QStringLiteral("/quillon");
        }
        QCOMPARE(int(Autostart::scopeFor(binary, true)), asRoot);
        QCOMPARE(int(Autostart::scopeFor(binary, false)), asUser);
    }

    void autostartEntryWritten() {
        const QString path = m_dir.fresh(QStringLiteral("a%1/xdg/autostart/quillon.desktop"));
        QVERIFY(Autostart::write(path, QStringLiteral("/opt/quillon/bin/quillon")));
        const QString text = readAll(path);
        QVERIFY(text.startsWith(QStringLiteral("[Desktop Entry]\n")));
        QVERIFY(text.contains(QStringLiteral("\nType=Application\n")));
        QVERIFY(text.contains(QStringLiteral("\nName=Quillon防火墙\n")));
        QVERIFY(text.contains(QStringLiteral("\nExec=\"/opt/quillon/bin/quillon\"\n")));
        const auto perms = QFile::permissions(path);
        QVERIFY(perms & QFileDevice::ReadOther);
        QVERIFY(!(perms & QFileDevice::WriteOther));

        // Every start writes it afresh: a moved binary is followed, nothing of the old stays.
        QVERIFY(Autostart::write(path, QStringLiteral("/usr/bin/quillon")));
        const QString again = readAll(path);
        QVERIFY(again.contains(QStringLiteral("\nExec=\"/usr/bin/quillon\"\n")));
        QVERIFY(!again.contains(QStringLiteral("/opt/")));
        QCOMPARE(again.count(QStringLiteral("Exec=")), 1);
    }

    // Paths with the characters an Exec line treats specially still start this very binary.
    void autostartExecQuoting_data() {
        QTest::addColumn<QString>("binary");
        QTest::addColumn<QString>("exec");
        QTest::newRow("space") << QStringLiteral("/home/a b/quillon")
                               << QStringLiteral("Exec=\"/home/a b/quillon\"");
        QTest::newRow("dollar and quote")
            << QStringLiteral("/x/$HOME\"q") << QStringLiteral("Exec=\"/x/\\\\$HOME\\\\\"q\"");
        QTest::newRow("percent") << QStringLiteral("/x/100%/quillon")
                                 << QStringLiteral("Exec=\"/x/100%%/quillon\"");
        QTest::newRow("backslash")
            << QStringLiteral("/x/a\\b") << QStringLiteral("Exec=\"/x/a\\\\\\\\b\"");
        QTest::newRow("chinese") << QStringLiteral("/opt/防火墙/quillon")
                                 << QStringLiteral("Exec=\"/opt/防火墙/quillon\"");
    }
    void autostartExecQuoting() {
        QFETCH(QString, binary);
        QFETCH(QString, exec);
        const QStringList lines = Autostart::entryText(binary).split(QLatin1Char('\n'));
        QVERIFY2(lines.contains(exec), qPrintable(Autostart::entryText(binary)));
    }

    // Without the rights (here: a folder that cannot exist) the entry is skipped quietly.
    void autostartSkippedWhenUnwritable() {
        QTemporaryDir dir;
        QVERIFY(quillon::test::writeFile(dir.filePath(QStringLiteral("etc")), {}));
        const QString path = dir.filePath(QStringLiteral("etc/xdg/autostart/quillon.desktop"));
        QVERIFY(!Autostart::write(path, QStringLiteral("/usr/bin/quillon")));
        QVERIFY(!QFile::exists(path));
        QVERIFY(!Autostart::write(QString(), QStringLiteral("/usr/bin/quillon")));
    }

    void autostartReadOnlyFolderSkipped() {
        if (::geteuid() == 0) {
            QSKIP("root writes into read-only folders; the missing-folder case covers this");
        }
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        QVERIFY(!Autostart::write(dir.filePath(QStringLiteral("quillon.desktop")),
                                  QStringLiteral("/usr/bin/quillon")));
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner);
    }
};

QTEST_GUILESS_MAIN(TestInstanceLockAutostart)
#include "test_InstanceLockAutostart.moc"
