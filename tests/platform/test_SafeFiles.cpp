// The files beside the executable as others may have left them: the event log WDlog.log and
// the trojan table QLWD.dat as links, devices and FIFOs are refused (as missing) and nothing
// is written through them; the log is emptied in place; root writes no log in a folder that
// another user can write.
#include "core/blocking/TrojanTable.h"
#include "core/settings/EventLog.h"
#include "platform/SafeFiles.h"
#include "support/TestSupport.h"

#include <QtTest>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using quillon::blocking::TrojanTable;
using quillon::settings::EventLog;
namespace SafeFiles = quillon::platform::SafeFiles;
namespace test = quillon::test;

class TestSafeFiles : public QObject {
    Q_OBJECT
    test::ScratchFolder m_dir;

    // Makes a stranger of `kind` at `path`; `target` is what a link points at.
    bool plant(const QString& kind, const QString& path, const QString& target) {
        const QByteArray p = QFile::encodeName(path);
        if (kind == QLatin1String("link to a file")) {
            return QFile::link(target, path);
        }
        if (kind == QLatin1String("link to a device")) {
            return QFile::link(QStringLiteral("/dev/zero"), path);
        }
        if (kind == QLatin1String("device")) {
            return ::mknod(p.constData(), S_IFCHR | 0666, makedev(1, 5)) == 0; // like /dev/zero
        }
        return ::mkfifo(p.constData(), 0666) == 0;
    }

private slots:
    void strangersRefused_data() {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"link to a file", "link to a device", "device", "fifo"}) {
            QTest::newRow(kind) << QString::fromLatin1(kind);
        }
    }
    void strangersRefused() {
        QFETCH(QString, kind);
        if (kind == QLatin1String("device") && ::geteuid() != 0) {
            QSKIP("making a device node takes root");
        }
        const QString folder = m_dir.fresh(QStringLiteral("prog%1"));
        QVERIFY(QDir().mkpath(folder));
        const QString target = folder + QStringLiteral("/root-only.txt");
        const QByteArray secret("80\x01trojan\x01x\r\n");
        QVERIFY(test::writeFile(target, secret));

        const QString log = folder + QStringLiteral("/WDlog.log");
        QVERIFY(plant(kind, log, target));
        EventLog events(log);
        QVERIFY(!events.writable());
        QVERIFY(!events.LogEvent(QStringLiteral("1.2.3.4"), QStringLiteral("80"),
                                 QStringLiteral("1025"), QStringLiteral("已断开连接")));
        QVERIFY(!events.clear());
        bool opened = true;
        QVERIFY(test::readLog(log, &opened).empty());
        QVERIFY(!opened);

        // The trojan table in the same shape answers as a missing one: an error, at once.
        const QString table = folder + QStringLiteral("/QLWD.dat");
        QVERIFY(plant(kind, table, target));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(TrojanTable(table).IsTrojan(QStringLiteral("80")), std::nullopt);
        QVERIFY(clock.elapsed() < 2000);

        QCOMPARE(test::fileBytes(target), secret);
        QVERIFY(QFileInfo(log).isSymLink() || !QFileInfo(log).isFile());
    }

    // Emptied in place: the same file, owner and mode (the install's group rights) stay.
    void clearEmptiesInPlace() {
        const QString log = m_dir.fresh(QStringLiteral("WDlog%1.log"));
        QVERIFY(test::writeFile(log, "\"1:00:00-2026-1-1\",\"1.2.3.4\",\"80\",\"1\",\"x\"\r\n"));
        QCOMPARE(::chmod(QFile::encodeName(log).constData(), 0660), 0);
        struct stat before {};
        QCOMPARE(::stat(QFile::encodeName(log).constData(), &before), 0);
        QVERIFY(EventLog(log).clear());
        struct stat after {};
        QCOMPARE(::stat(QFile::encodeName(log).constData(), &after), 0);
        QCOMPARE(after.st_size, off_t(0));
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mode, before.st_mode);
    }

    // Root neither creates nor writes the log in a folder another user could write; the
    // program's data there is still read.
    void rootWritesNoLogInOthersFolder_data() {
        QTest::addColumn<QString>("change");
        QTest::newRow("folder of a user's") << QStringLiteral("chown");
        QTest::newRow("group-writable folder") << QStringLiteral("g+w");
        QTest::newRow("everyone's folder") << QStringLiteral("1777");
    }
    void rootWritesNoLogInOthersFolder() {
        QFETCH(QString, change);
        if (::geteuid() != 0) {
            QSKIP("only root is held to folders of root's");
        }
        if (!SafeFiles::rootOnlyPath(m_dir.path())) {
            QSKIP("the scratch folder lies below a folder others can write");
        }
        const QString folder = m_dir.fresh(QStringLiteral("user%1"));
        QVERIFY(QDir().mkpath(folder));
        const QByteArray f = QFile::encodeName(folder);
        const QString log = folder + QStringLiteral("/WDlog.log");
        EventLog events(log);
        QVERIFY(events.writable());
        if (change == QLatin1String("chown")) {
            QCOMPARE(::chown(f.constData(), 54321, 54321), 0);
        } else {
            QCOMPARE(::chmod(f.constData(), change == QLatin1String("g+w") ? 0775 : 01777), 0);
        }
        QVERIFY(!events.writable());
        QVERIFY(!events.LogEvent(QStringLiteral("1.2.3.4"), QStringLiteral("80"),
                                 QStringLiteral("1025"), QStringLiteral("已断开连接")));
        QVERIFY(!QFile::exists(log));
        QVERIFY(!events.clear());
        QVERIFY(!QFile::exists(log));
        // An existing log there is not written either.
        QVERIFY(test::writeFile(log, "kept"));
        QVERIFY(!events.LogEvent(QStringLiteral("1.2.3.4"), QStringLiteral("80"),
                                 QStringLiteral("1025"), QStringLiteral("已断开连接")));
        QVERIFY(!events.clear());
        QCOMPARE(test::fileBytes(log), QByteArray("kept"));

        const QString table = folder + QStringLiteral("/QLWD.dat");
        QVERIFY(test::writeTrojanFile(table, {{QStringLiteral("31337"), QStringLiteral("BO")}}));
        QCOMPARE(TrojanTable(table).IsTrojan(QStringLiteral("31337")), std::optional<bool>(true));
    }

    // Under a root-owned sticky folder such as /tmp no one else may rename or remove root's
    // entries, so root logs in a folder of its own there; under an open folder that is not
    // sticky it does not, and says why.
    void rootWritesItsLogBelowAStickyFolder() {
        if (::geteuid() != 0) {
            QSKIP("only root is held to folders of root's");
        }
        const QString sticky = m_dir.fresh(QStringLiteral("sticky%1"));
        const QString folder = sticky + QStringLiteral("/prog");
        QVERIFY(QDir().mkpath(folder));
        QCOMPARE(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        QCOMPARE(::chmod(QFile::encodeName(sticky).constData(), 01777), 0);
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
        if (!SafeFiles::rootOnlyPath(m_dir.path())) {
            QSKIP("the scratch folder lies below a folder others can change");
        }
        EventLog events(folder + QStringLiteral("/WDlog.log"));
        QVERIFY(events.writable());
        QVERIFY(!events.declinedAsRoot());
        QVERIFY(events.LogEvent(QStringLiteral("1.2.3.4"), QStringLiteral("80"),
                                QStringLiteral("1025"), QStringLiteral("已断开连接")));
        QCOMPARE(::chmod(QFile::encodeName(sticky).constData(), 0777), 0);
        QVERIFY(!events.writable());
        QVERIFY(events.declinedAsRoot());
    }
};

QTEST_GUILESS_MAIN(TestSafeFiles)
#include "test_SafeFiles.moc"
