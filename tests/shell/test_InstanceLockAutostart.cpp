// The single-instance lock and the start-with-the-system entry.
#include "platform/Autostart.h"
#include "platform/InstanceLock.h"
#include "support/TestSupport.h"

#include <QDateTime>
#include <QFile>
#include <QLockFile>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/wait.h>
#include <unistd.h>

using quillon::platform::InstanceLock;
namespace Autostart = quillon::platform::Autostart;

namespace {

// A child process of this test binary that holds the lock at `path` until told to go; it
// then ends at once without releasing it, as a crashed Quillon would.
class LockHolder {
public:
    explicit LockHolder(const QString& path) {
        int up[2];
        int down[2];
        if (::pipe(up) != 0 || ::pipe(down) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(up[0]);
            ::close(down[1]);
            QLockFile lock(path);
            lock.setStaleLockTime(0);
            const char ok = lock.tryLock(0) ? '1' : '0';
            (void)!::write(up[1], &ok, 1);
            char go;
            (void)!::read(down[0], &go, 1);
            ::_exit(0);
        }
        ::close(up[1]);
        ::close(down[0]);
        goFd_ = down[1];
        char ok = '0';
        locked_ = ::read(up[0], &ok, 1) == 1 && ok == '1';
        ::close(up[0]);
    }
    ~LockHolder() { end(); }

    bool locked() const { return locked_; }

    // Lets the child end (leaving its lock file behind) and waits for it.
    void end() {
        if (pid_ <= 0) {
            return;
        }
        ::close(goFd_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int goFd_ = -1;
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
    void defaultLockPathIsWritableFolder() {
        const QString path = InstanceLock::defaultPath();
        QVERIFY(path == QStringLiteral("/run/lock/quillon.lock") ||
                path.endsWith(QStringLiteral("/quillon.lock")));
        QVERIFY(QFileInfo(QFileInfo(path).absolutePath()).isWritable());
    }

    void secondLockInSameProcessRefused() {
        const QString path = m_dir.fresh(QStringLiteral("q%1.lock"));
        InstanceLock first(path);
        QVERIFY(first.tryLock());
        QVERIFY(first.isLocked());
        InstanceLock second(path);
        QVERIFY(!second.tryLock());
        QVERIFY(!second.isLocked());
        // A foreign QLockFile is refused as well: the two agree on the file.
        QLockFile other(path);
        QVERIFY(!other.tryLock(0));

        first.unlock();
        QVERIFY(!QFile::exists(path));
        QVERIFY(second.tryLock());
    }

    void lockReleasedWhenDestroyed() {
        const QString path = m_dir.fresh(QStringLiteral("q%1.lock"));
        {
            InstanceLock lock(path);
            QVERIFY(lock.tryLock());
        }
        InstanceLock again(path);
        QVERIFY(again.tryLock());
    }

    // A copy that has run for days keeps its lock: age alone never makes it stale.
    void liveHolderKeepsOldLock() {
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
    }

    // The holder dies without unlocking: its lock file stays, and the next start takes over.
    void staleLockOfDeadProcessReclaimed() {
        const QString path = m_dir.fresh(QStringLiteral("q%1.lock"));
        LockHolder holder(path);
        QVERIFY(holder.locked());
        InstanceLock second(path);
        QVERIFY(!second.tryLock());

        holder.end();
        QVERIFY(QFile::exists(path));
        QVERIFY(second.tryLock());
        QVERIFY(readAll(path).startsWith(QString::number(QCoreApplication::applicationPid())));
    }

    void lockInMissingFolderFails() {
        InstanceLock lock(m_dir.filePath(QStringLiteral("no/such/folder/q.lock")));
        QVERIFY(!lock.tryLock());
        QVERIFY(!lock.isLocked());
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
