// The user's commands without a display: what each stores, in which order, whether it
// rebuilds the list, what it logs, and what it answers when the store refuses.
#include "core/blocking/TrojanTable.h"
#include "core/monitor/Commands.h"
#include "core/monitor/Guard.h"
#include "core/settings/EventLog.h"
#include "core/settings/Switches.h"
#include "platform/RegistryHive.h"
#include "support/FakeTcpTable.h"
#include "support/GuardRig.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QtTest>

using namespace quillon;
using monitor::Answer;
using monitor::CommandResult;
using monitor::RuleList;

namespace {

struct CommandRig : test::GuardServices {
    monitor::Commands commands{guard, hive, log, table};
    QStringList seen; // "store LIST NAME", "rebuild", "log ACTION", "done"

    CommandRig() {
        QObject::connect(&commands, &monitor::Commands::ruleStored,
                         [this](RuleList list, const QString& name) {
                             seen << QStringLiteral("store %1 %2").arg(int(list)).arg(name);
                         });
        QObject::connect(&guard, &monitor::Guard::rebuildStarting,
                         [this] { seen << QStringLiteral("rebuild"); });
        QObject::connect(
            &guard, &monitor::Guard::eventLogged,
            [this](const QString&, const QString&, const QString&, const QString& action) {
                seen << QStringLiteral("log ") + action;
            });
    }
    QString rule(RuleList list, const QString& name) {
        return hive.value(monitor::ruleKey(list), name).value_or(QStringLiteral("-"));
    }
    CommandResult::Status last = CommandResult::Status::NotCleared;
    monitor::Commands::Done done() {
        return [this](const CommandResult& r) {
            last = r.status;
            seen << QStringLiteral("done");
        };
    }
};

} // namespace

class TestCommands : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { monitor::modNetstat::InitStateNames(); }

    // Each answer stores its rules in its own order, rebuilds the list (all but the allow),
    // and only then logs and reports; the allow stores "0" rules, which no list shows.
    void answersStoreRebuildThenLog_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("verdicts"); // ip rp lp
        QTest::newRow("禁止 ip") << int(Answer::DenyIp)
                                 << QStringList{"store 0 9.9.9.9", "rebuild", "log 拒绝IP连接"}
                                 << "1 - -";
        QTest::newRow("放行通过") << int(Answer::Allow) << QStringList{"log 允许连接"} << "0 0 0";
        QTest::newRow("禁程远端口")
            << int(Answer::DenyRemotePort)
            << QStringList{"store 1 4444", "rebuild", "log 禁止远程端口连接"} << "- 1 -";
        QTest::newRow("禁本地端口")
            << int(Answer::DenyLocalPort)
            << QStringList{"store 2 1025", "rebuild", "log 禁止本机端口连接"} << "- - 1";
        QTest::newRow("全部禁止") << int(Answer::DenyAll)
                                  << QStringList{"store 2 1025", "store 1 4444", "store 0 9.9.9.9",
                                                 "rebuild", "log 全部禁止连接"}
                                  << "1 1 1";
    }
    void answersStoreRebuildThenLog() {
        QFETCH(int, answer);
        QFETCH(QStringList, steps);
        QFETCH(QString, verdicts);
        CommandRig rig;
        rig.commands.answer(Answer(answer), QStringLiteral("9.9.9.9"), QStringLiteral("4444"),
                            QStringLiteral("1025"), rig.done());
        QCOMPARE(rig.seen, steps << QStringLiteral("done"));
        QCOMPARE(rig.last, CommandResult::Status::Done);
        QCOMPARE(QStringList({rig.rule(RuleList::Ip, QStringLiteral("9.9.9.9")),
                              rig.rule(RuleList::RemotePort, QStringLiteral("4444")),
                              rig.rule(RuleList::LocalPort, QStringLiteral("1025"))})
                     .join(u' '),
                 verdicts);
        QCOMPARE(test::readLog(rig.log.filePath()).size(), size_t(1));
    }

    // Connections a question held back are judged at the first tick after it was answered
    // and its window closed, with no connection come or gone; a question closed unanswered
    // puts them off until the next change, as before.
    void heldBackConnectionsAreJudgedAfterAnAnswer() {
        CommandRig rig;
        rig.switches.setLevel(1);
        rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
        rig.table.add(QStringLiteral("61.1.2.3"), 4322, 81); // both share the address
        rig.table.add(QStringLiteral("61.1.2.3"), 4323, 82);
        QStringList asked;
        QObject::connect(&rig.guard, &monitor::Guard::alertRequested,
                         [&](const monitor::modNetstat::ConnectionRow& row, qint32) {
                             asked << row.RemA + u':' + row.RemP;
                         });
        rig.guard.RefreshTable(false);
        QCOMPARE(asked, QStringList{"61.1.2.3:4321"});
        rig.guard.ShiftAlertList(0); // closed without an answer
        rig.guard.RefreshTable(false);
        QCOMPARE(asked.size(), 1);

        rig.guard.RefreshTable(true);
        const auto closeWindow = [&](const CommandResult&) { rig.guard.ShiftAlertList(0); };
        rig.commands.answer(Answer::Allow, QStringLiteral("61.1.2.3"), QStringLiteral("4321"),
                            QStringLiteral("80"), closeWindow);
        rig.guard.RefreshTable(false);
        QCOMPARE(asked, (QStringList{"61.1.2.3:4321", "61.1.2.3:4321", "61.1.2.3:4322"}));

        // A deny answer: its own connection, held back by its entry during the answer's
        // rebuild, is cut at the next tick; the connection it held back is asked about.
        rig.commands.answer(Answer::DenyLocalPort, QStringLiteral("61.1.2.3"),
                            QStringLiteral("4322"), QStringLiteral("81"), closeWindow);
        QVERIFY(rig.table.cuts().empty());
        rig.guard.RefreshTable(false);
        QCOMPARE(rig.table.cuts().size(), size_t(1));
        QCOMPARE(asked.last(), QStringLiteral("61.1.2.3:4323"));
    }

    // The menu's deny stores what was chosen, rebuilds and logs; its cut cuts that connection
    // alone and logs only a cut that happened.
    void menuCommands() {
        CommandRig rig;
        const platform::TcpRow row = rig.table.add(QStringLiteral("9.9.9.9"), 4444, 1025);
        rig.commands.cut(row, QStringLiteral("9.9.9.9"), QStringLiteral("4444"),
                         QStringLiteral("1025"), rig.done());
        QCOMPARE(rig.seen, (QStringList{"log 异常连接中断", "done"}));
        QCOMPARE(rig.table.cuts().size(), size_t(1));
        rig.seen.clear();
        rig.commands.cut(row, QStringLiteral("9.9.9.9"), QStringLiteral("4444"),
                         QStringLiteral("1025"), rig.done()); // gone by now
        QCOMPARE(rig.seen, QStringList{"done"});
        QCOMPARE(rig.last, CommandResult::Status::NotCut);

        rig.seen.clear();
        rig.commands.deny(true, false, true, QStringLiteral("9.9.9.9"), QStringLiteral("4444"),
                          QStringLiteral("1025"), rig.done());
        QCOMPARE(rig.seen, (QStringList{"store 0 9.9.9.9", "store 2 1025", "rebuild",
                                        "log 禁止所有连接", "done"}));
        QCOMPARE(rig.rule(RuleList::RemotePort, QStringLiteral("4444")), QStringLiteral("-"));
    }

    // The console's edits report what happened; the lists hear of every change, and a store
    // that refuses says why.
    void consoleEditsAndRefusals() {
        CommandRig rig;
        QSignalSpy deleted(&rig.commands, &monitor::Commands::ruleDeleted);
        QVERIFY(rig.commands.addRule(RuleList::LocalPort, QStringLiteral("31337")).done());
        QCOMPARE(rig.seen, QStringList{"store 2 31337"});
        QVERIFY(rig.commands.deleteRule(RuleList::LocalPort, QStringLiteral("31337")).done());
        QCOMPARE(deleted.size(), 1);
        QCOMPARE(rig.rule(RuleList::LocalPort, QStringLiteral("31337")), QStringLiteral("-"));
        QVERIFY(rig.guard.LogEvent(QStringLiteral("1.2.3.4"), {}, {}, QStringLiteral("x")));
        QVERIFY(rig.commands.clearLog().done());
        QCOMPARE(test::readLog(rig.log.filePath()).size(), size_t(0));

        // A hive whose folder is a plain file can store nothing.
        QVERIFY(test::writeFile(rig.dir.filePath(QStringLiteral("file")), "x"));
        platform::RegistryHive broken(rig.dir.filePath(QStringLiteral("file/registry.db")));
        monitor::Commands commands(rig.guard, broken, rig.log, rig.table);
        const CommandResult refused = commands.addRule(RuleList::Ip, QStringLiteral("1.2.3.4"));
        QCOMPARE(refused.status, CommandResult::Status::NotStored);
        QVERIFY(!refused.why.isEmpty());
        // An answer or a menu deny whose rules were refused reports it and logs nothing.
        rig.seen.clear();
        commands.answer(Answer::DenyIp, QStringLiteral("1.2.3.4"), QStringLiteral("80"),
                        QStringLiteral("1025"), rig.done());
        commands.deny(true, true, true, QStringLiteral("1.2.3.4"), QStringLiteral("80"),
                      QStringLiteral("1025"), rig.done());
        QCOMPARE(rig.seen, (QStringList{"rebuild", "done", "rebuild", "done"}));
        QCOMPARE(rig.last, CommandResult::Status::NotStored);
        QCOMPARE(test::readLog(rig.log.filePath()).size(), size_t(0));
    }
};

QTEST_GUILESS_MAIN(TestCommands)
#include "test_Commands.moc"
