// The guard's per-tick work without a display: the change test, the decisions in snapshot
// order, a cut and its log record, a question with its pending slot, and the switches.
#include "core/blocking/TrojanTable.h"
#include "core/monitor/Guard.h"
#include "core/settings/EventLog.h"
#include "core/settings/Switches.h"
#include "core/settings/modReg.h"
#include "platform/RegistryHive.h"
#include "support/FakeTcpTable.h"
#include "support/GuardRig.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

using namespace quillon;
using settings::Switch;

namespace {

// A guard over a scripted table, a fresh hive, log and trojan file, recording what it does.
struct GuardRig : test::GuardServices {
    QStringList seen; // "judge RemA", "alert RemA slot", "log RemA action", "yield"

    GuardRig() {
        test::writeTrojanFile(dir.filePath(QStringLiteral("QLWD.dat")), {});
        QObject::connect(&guard, &monitor::Guard::judging,
                         [this](const monitor::modNetstat::ConnectionRow& row) {
                             seen << QStringLiteral("judge ") + row.RemA;
                         });
        QObject::connect(&guard, &monitor::Guard::alertRequested,
                         [this](const monitor::modNetstat::ConnectionRow& row, qint32 slot) {
                             seen << QStringLiteral("alert %1 %2").arg(row.RemA).arg(slot);
                         });
        QObject::connect(
            &guard, &monitor::Guard::eventLogged,
            [this](const QString& remA, const QString&, const QString&, const QString& action) {
                seen << QStringLiteral("log %1 %2").arg(remA, action);
            });
        guard.setLetEventsRun([this] { seen << QStringLiteral("yield"); });
    }
    void deny(const QString& key, const QString& name) {
        settings::modReg::WriteRegString(hive, settings::modReg::HKEY_LOCAL_MACHINE, key, name,
                                         QStringLiteral("1"));
    }
};

} // namespace

class TestGuard : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { monitor::modNetstat::InitStateNames(); }

    void tickRebuildsOnlyOnChangeAndJudgesInOrder() {
        GuardRig rig;
        rig.switches.setLevel(3);
        rig.table.add(test::FakeTcpTable::makeRow(
            QStringLiteral("0.0.0.0"), 0, 135, platform::StateListen, QStringLiteral("0.0.0.0")));
        rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
        QSignalSpy finished(&rig.guard, &monitor::Guard::rebuildFinished);

        QCOMPARE(rig.guard.timer().interval(), 250);
        QVERIFY(!rig.guard.timer().isActive());
        rig.guard.timer().start();
        QTRY_VERIFY(rig.table.snapshotCount() >= 3);
        rig.guard.timer().stop();
        // Several ticks, one rebuild: the unchanged table is judged once.
        QCOMPARE(finished.size(), 1);
        QCOMPARE(rig.seen, (QStringList{"judge 0.0.0.0", "judge 61.1.2.3"}));
        QCOMPARE(rig.guard.LastRowCount, qsizetype(2));
        QCOMPARE(rig.guard.model().rowCount(), 2);

        // Listening rows hidden: judged all the same.
        rig.guard.setListsListening(false);
        rig.guard.RefreshTable(true);
        QCOMPARE(rig.guard.model().rowCount(), 1);
        QCOMPARE(rig.seen.size(), 4);
    }

    void deniedRowIsCutAndLoggedUnsettledOneAsked() {
        GuardRig rig;
        rig.deny(settings::modReg::BlockLpKey, QStringLiteral("8080"));
        const platform::TcpRow denied = rig.table.add(QStringLiteral("61.1.2.3"), 4322, 8080);
        rig.table.add(QStringLiteral("62.1.2.3"), 5000, 81);
        rig.table.add(QStringLiteral("62.1.2.3"), 5001, 82); // shares the pending address

        rig.guard.RefreshTable(false);

        QCOMPARE(rig.seen,
                 (QStringList{"judge 61.1.2.3", "yield", "log 61.1.2.3 已断开连接",
                              "judge 62.1.2.3", "alert 62.1.2.3 0", "yield", "judge 62.1.2.3"}));
        QCOMPARE(rig.table.cuts().size(), size_t(1));
        QVERIFY(rig.table.cuts()[0].row.sameConnection(denied));
        QCOMPARE(test::readLog(rig.log.filePath()).size(), size_t(1));
        QCOMPARE(rig.guard.pending.AlertCount, 1);

        // The question's entry given back: later owners are told, and the next rebuild asks.
        QSignalSpy shifted(&rig.guard, &monitor::Guard::alertsShifted);
        rig.guard.ShiftAlertList(0);
        QCOMPARE(shifted.size(), 1);
        QCOMPARE(rig.guard.pending.AlertCount, 0);
        rig.guard.ShiftAlertList(0);
        QCOMPARE(shifted.size(), 1);
    }

    // A closed connection is never asked about; a deny rule still cuts it.
    void closedConnectionRaisesNoQuestion() {
        GuardRig rig;
        rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80, platform::StateTimeWait);
        rig.table.add(QStringLiteral("62.1.2.3"), 4322, 81, platform::StateClosed);
        rig.table.add(QStringLiteral("63.1.2.3"), 4323, 8080, platform::StateTimeWait);
        rig.deny(settings::modReg::BlockLpKey, QStringLiteral("8080"));
        rig.guard.RefreshTable(false);
        QCOMPARE(rig.guard.pending.AlertCount, 0);
        QCOMPARE(rig.seen.last(), QStringLiteral("log 63.1.2.3 已断开连接"));
    }

    // 300 questions at once: 12 are asked, the rest wait in order, holding their entries,
    // and each is judged again as a window closes; one gone, closed or denied meanwhile is
    // not asked and gives its entry back.
    void questionsBeyondTwelveWaitTheirTurn() {
        GuardRig rig;
        std::vector<platform::TcpRow> rows;
        for (int i = 0; i < 300; ++i) {
            rows.push_back(rig.table.add(QStringLiteral("61.1.%1.%2").arg(i / 256).arg(i % 256),
                                         static_cast<quint16>(5000 + i),
                                         static_cast<quint16>(20000 + i)));
        }
        QList<qint32> slotsGiven;
        QStringList asked;
        QObject::connect(&rig.guard, &monitor::Guard::alertRequested,
                         [&](const monitor::modNetstat::ConnectionRow& row, qint32 slot) {
                             asked << row.RemA;
                             slotsGiven << slot;
                         });
        QSignalSpy counts(&rig.guard, &monitor::Guard::questionsChanged);
        rig.guard.RefreshTable(false);
        QCOMPARE(asked.size(), 12);
        QCOMPARE(rig.guard.pending.AlertCount, 300);
        QCOMPARE(rig.guard.questionsWaiting(), 288);
        QCOMPARE(counts.last(), (QVariantList{12, 288}));

        rig.table.remove(rows[12]);                            // gone
        rig.table.setState(rows[13], platform::StateTimeWait); // closed
        rig.deny(settings::modReg::BlockRpKey, QStringLiteral("5014"));
        rig.guard.ShiftAlertList(3);
        QCOMPARE(asked.size(), 12); // not inside the close
        QCoreApplication::processEvents();
        QCOMPARE(asked.size(), 13);
        QCOMPARE(asked.last(), QStringLiteral("61.1.0.15"));
        QCOMPARE(slotsGiven.last(), 11);
        QCOMPARE(rig.guard.pending.AlertCount, 296);
        QCOMPARE(rig.guard.pending.AlertRemA[11], QStringLiteral("61.1.0.15"));
        QCOMPARE(counts.last(), (QVariantList{12, 284}));

        // Every window closed in turn: each waiting question is asked, in order.
        while (rig.guard.pending.AlertCount > 0) {
            rig.guard.ShiftAlertList(0);
            QCoreApplication::processEvents();
        }
        QCOMPARE(asked.size(), 297);
        QCOMPARE(asked.last(), QStringLiteral("61.1.1.43"));
        QCOMPARE(counts.last(), (QVariantList{0, 0}));
        // The denied one is cut at the next tick, though no connection came or went.
        rig.guard.RefreshTable(false);
        QCOMPARE(rig.table.cuts().size(), size_t(1));
    }

    void everyRowOfALargeTableIsJudgedListedAndKeyed() {
        // More rows than any 16-bit count: the denied connection listed last is judged and
        // cut all the same, and the positions and keys past 32,767 carry on.
        GuardRig rig;
        rig.switches.setSubnet(true); // the filler rows pass without a rule lookup
        rig.deny(settings::modReg::BlockLpKey, QStringLiteral("8080"));
        constexpr int kFiller = 40000;
        for (int i = 0; i < kFiller; ++i) {
            rig.table.add(QStringLiteral("10.0.0.1"), static_cast<quint16>(1024 + i % 60000),
                          static_cast<quint16>(2000 + i / 60000));
        }
        const platform::TcpRow denied = rig.table.add(QStringLiteral("61.1.2.3"), 4322, 8080);

        rig.guard.RefreshTable(false);

        QCOMPARE(rig.guard.LastRowCount, qsizetype(kFiller + 1));
        QCOMPARE(rig.seen.size(), kFiller + 1 + 2); // every judgement, then yield and log
        QCOMPARE(rig.seen.last(), QStringLiteral("log 61.1.2.3 已断开连接"));
        QCOMPARE(rig.table.cuts().size(), size_t(1));
        QVERIFY(rig.table.cuts()[0].row.sameConnection(denied));
        const monitor::ConnectionListModel& model = rig.guard.model();
        QCOMPARE(model.rowCount(), kFiller + 1);
        QCOMPARE(model.key(kFiller), QStringLiteral("x40000"));
        QCOMPARE(model.findConnection(denied), kFiller);
    }

    // Commands given during a rebuild (two answers and a menu command, say) run after it one
    // at a time, each whole with its own rebuild, in the order given; one given during a
    // command's own rebuild waits for that command to end.
    void commandsGivenDuringARebuildRunWholeInOrder() {
        GuardRig rig;
        rig.table.add(QStringLiteral("62.1.2.3"), 5000, 81); // asked about: lets events in
        QStringList order;
        int yields = 0;
        const auto command = [&](const QString& name) {
            return [&, name] {
                order << QStringLiteral("start ") + name;
                rig.guard.RefreshTable(true);
                order << QStringLiteral("end ") + name;
            };
        };
        rig.guard.setLetEventsRun([&] {
            if (++yields == 1) {
                for (const char* name : {"A", "B", "C"}) {
                    rig.guard.whenIdle(command(QString::fromLatin1(name)));
                }
            }
        });
        QObject::connect(&rig.guard, &monitor::Guard::rebuildStarting, [&] {
            if (order == QStringList{"start A"}) {
                rig.guard.whenIdle(command(QStringLiteral("D"))); // inside A's own rebuild
            }
        });
        rig.guard.RefreshTable(false);
        QCOMPARE(order, (QStringList{"start A", "end A", "start B", "end B", "start C", "end C",
                                     "start D", "end D"}));
    }

    void switchesTakeEffectAtTheNextDecision() {
        GuardRig rig;
        rig.table.add(QStringLiteral("192.168.1.5"), 443, 50000);
        // Nothing stored: level 2, local network not exempt.
        rig.guard.RefreshTable(false);
        QCOMPARE(rig.seen.last(), QStringLiteral("yield"));
        rig.guard.ShiftAlertList(0);

        rig.switches.setSubnet(true);
        rig.seen.clear();
        rig.guard.RefreshTable(true);
        QCOMPARE(rig.seen, QStringList{"judge 192.168.1.5"});
        QCOMPARE(rig.switches.read(Switch::Subnet), QStringLiteral("1"));

        // A level stored by someone else counts once the settings are read again; one the
        // decision does not know counts as the default.
        rig.switches.setSubnet(false);
        rig.switches.write(Switch::Level, QStringLiteral("3"));
        rig.guard.RefreshTable(true);
        QCOMPARE(rig.guard.pending.AlertCount, 1);
        rig.guard.ShiftAlertList(0);
        rig.switches.invalidate();
        rig.guard.RefreshTable(true);
        QCOMPARE(rig.guard.pending.AlertCount, 0);
        rig.switches.write(Switch::Level, QStringLiteral("7"));
        rig.switches.load();
        QCOMPARE(rig.switches.level(), 2);
    }

    void ipv6SwitchDecidesWhetherIpv6RowsCount_data() {
        QTest::addColumn<QString>("stored"); // null: absent
        QTest::addColumn<bool>("counted");
        QTest::newRow("absent") << QString() << true;
        QTest::newRow("1") << QStringLiteral("1") << true;
        QTest::newRow("other text") << QStringLiteral("yes") << true;
        QTest::newRow("0") << QStringLiteral("0") << false;
    }

    void ipv6SwitchDecidesWhetherIpv6RowsCount() {
        QFETCH(QString, stored);
        QFETCH(bool, counted);
        GuardRig rig;
        if (!stored.isNull()) {
            rig.switches.write(Switch::Ipv6, stored);
        }
        rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
        rig.table.add(test::FakeTcpTable::makeRow(QStringLiteral("2001:db8::5"), 443, 50000,
                                                  platform::StateEstablished));
        const QStringList both{"judge 61.1.2.3",    "alert 61.1.2.3 0",    "yield",
                               "judge 2001:db8::5", "alert 2001:db8::5 1", "yield"};
        const QStringList ipv4Only = both.mid(0, 3);

        rig.guard.RefreshTable(false);
        QCOMPARE(rig.seen, counted ? both : ipv4Only);
        QCOMPARE(rig.guard.model().rowCount(), counted ? 2 : 1);

        // Turned round, the switch counts from the next tick: the set of connections changed,
        // so the tick rebuilds without being forced.
        rig.guard.ShiftAlertList(0);
        rig.guard.ShiftAlertList(0);
        rig.seen.clear();
        rig.switches.setIpv6(!counted);
        QCOMPARE(rig.switches.read(Switch::Ipv6),
                 counted ? QStringLiteral("0") : QStringLiteral("1"));
        rig.guard.RefreshTable(false);
        QCOMPARE(rig.seen, counted ? ipv4Only : both);
        QCOMPARE(rig.guard.model().rowCount(), counted ? 1 : 2);
    }
};

QTEST_GUILESS_MAIN(TestGuard)
#include "test_Guard.moc"
