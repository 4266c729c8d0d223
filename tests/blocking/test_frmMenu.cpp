// The connection menu's commands on the selected list row, and the tray menu's items.
#include "core/monitor/ConnectionListModel.h"
#include "core/monitor/Guard.h"
#include "core/settings/modReg.h"
#include "support/ProgramRig.h"
#include "support/UiTestMain.h"
#include "ui/blocking/frmMenu.h"
#include "ui/monitor/frmMain.h"
#include "ui/shell/frmWarnExit.h"

#include <QMenu>
#include <QSignalSpy>
#include <QTreeView>
#include <QtTest>

using namespace quillon;
using namespace quillon::settings::modReg;
using platform::CutResult;
using platform::TcpRow;
using test::FakeTcpTable;
using test::ProgramRig;

namespace {

// A listening socket on port 135, then 61.1.2.3:4321 -> local port 80; level 3, so the
// rebuilds cut nothing unless a test raises the level.
struct MenuRig : ProgramRig {
    MenuRig() {
        setSubnet(false);
        setLevel(3);
        writeTrojans({});
        listening = table.add(FakeTcpTable::makeRow(
            QStringLiteral("0.0.0.0"), 0, 135, platform::StateListen, QStringLiteral("0.0.0.0")));
        connection = table.add(QStringLiteral("61.1.2.3"), 4321, 80);
        guard().RefreshTable(false);
    }
    blocking::frmMenu& menu() { return program().menu(); }
    TcpRow listening;
    TcpRow connection;
};

} // namespace

class TestFrmMenu : public QObject {
    Q_OBJECT

private slots:
    // The list shows its state texts without a start-up having set them.
    void initTestCase() { monitor::modNetstat::InitStateNames(); }
    void menusHoldTheirItemsInOrder();
    void blockIpWritesOneRuleRebuildsAndLogs();
    void blockIpCutsAtMediumLevelDuringItsRebuild();
    void blockAllWritesAddressThenPorts();
    void blockCommandsOnAListeningRow();
    void commandsWithoutSelectedRowDoNothing();
    void rebuildKeepsOnlyASelection();
    void commandChosenDuringARebuildRunsWholeAfterIt();
    void disconnectCutsTheRowsOwnConnection();
    void disconnectThatCutNothingLogsNothing();
    void disconnectOnAListeningRow();
    void openRestoresOrShowsTheMainWindow();
    void exitOpensThePrompt();
};

void TestFrmMenu::menusHoldTheirItemsInOrder() {
    ProgramRig rig;
    blocking::frmMenu& menu = rig.program().menu();
    QVERIFY(!menu.isVisible());
    QCOMPARE(menu.mnuMain->title(), QStringLiteral("主窗"));
    QCOMPARE(menu.mnuConn->title(), QStringLiteral("控制窗"));
    QCOMPARE(menu.mnuMain->actions(), (QList<QAction*>{menu.mnuOpen, menu.mnuSep, menu.mnuExit}));
    QCOMPARE(menu.mnuOpen->text(), QStringLiteral("&打开"));
    QVERIFY(menu.mnuSep->isSeparator());
    QCOMPARE(menu.mnuExit->text(), QStringLiteral("E&退出"));
    QCOMPARE(menu.mnuConn->actions(),
             (QList<QAction*>{menu.mnuDis, menu.mnuSep2, menu.mnuBlockAll, menu.mnuBlockIP,
                              menu.mnuBlockRP, menu.mnuBlockLP}));
    const QStringList captions{"断开连接",    "", "禁止所有", "禁止IP", "禁止远程端口",
                               "禁止本地端口"};
    for (int k = 0; k < captions.size(); ++k) {
        QCOMPARE(menu.mnuConn->actions()[k]->text(), captions[k]);
    }
    QVERIFY(menu.mnuSep2->isSeparator());
}

void TestFrmMenu::blockIpWritesOneRuleRebuildsAndLogs() {
    MenuRig rig;
    rig.selectRow(1);
    QSignalSpy resets(rig.main().listModel, &QAbstractItemModel::modelReset);
    rig.menu().mnuBlockIP->trigger();
    QCOMPARE(rig.ruleKeysInOrder(), QStringList{"ip"});
    QCOMPARE(rig.values(BlockIpKey), QStringList{"61.1.2.3=1"});
    QCOMPARE(resets.size(), 1);
    QCOMPARE(rig.log(), QStringList{"61.1.2.3|4321|80|禁止所有连接"});
    // Level 3: stored, but nothing is cut.
    QVERIFY(rig.table.cuts().empty());

    // The other single-field commands write their own list, the same log text.
    rig.selectRow(1);
    rig.menu().mnuBlockRP->trigger();
    rig.selectRow(1);
    rig.menu().mnuBlockLP->trigger();
    QCOMPARE(rig.rule(BlockRpKey, "4321"), QStringLiteral("1"));
    QCOMPARE(rig.rule(BlockLpKey, "80"), QStringLiteral("1"));
    QCOMPARE(rig.log().size(), 3);
    QCOMPARE(rig.log().last(), QStringLiteral("61.1.2.3|4321|80|禁止所有连接"));
}

void TestFrmMenu::blockIpCutsAtMediumLevelDuringItsRebuild() {
    MenuRig rig;
    rig.setLevel(2);
    rig.setRule(BlockLpKey, "135", "0");
    rig.selectRow(1);
    rig.menu().BlockList(true, false, false);
    QCOMPARE(rig.table.cuts().size(), size_t(1));
    QVERIFY(rig.table.cuts()[0].row.sameConnection(rig.connection));
    QCOMPARE(rig.log(),
             (QStringList{"61.1.2.3|4321|80|已断开连接", "61.1.2.3|4321|80|禁止所有连接"}));
}

void TestFrmMenu::blockAllWritesAddressThenPorts() {
    MenuRig rig;
    rig.selectRow(1);
    rig.menu().mnuBlockAll->trigger();
    QCOMPARE(rig.ruleKeysInOrder(), (QStringList{"ip", "rp", "lp"}));
    QCOMPARE(rig.rule(BlockIpKey, "61.1.2.3"), QStringLiteral("1"));
    QCOMPARE(rig.rule(BlockRpKey, "4321"), QStringLiteral("1"));
    QCOMPARE(rig.rule(BlockLpKey, "80"), QStringLiteral("1"));
    QCOMPARE(rig.log(), QStringList{"61.1.2.3|4321|80|禁止所有连接"});
}

void TestFrmMenu::blockCommandsOnAListeningRow() {
    MenuRig rig;
    rig.selectRow(0);
    rig.menu().mnuBlockIP->trigger();
    QCOMPARE(rig.rule(BlockIpKey, "无IP来源"), QStringLiteral("1"));
    QCOMPARE(rig.log(), QStringList{"无IP来源|等待状态|135|禁止所有连接"});

    // Denying its local port cuts connections to that port, never the listening socket.
    rig.setLevel(2);
    rig.setRule(BlockIpKey, "61.1.2.3", "0");
    rig.setRule(BlockIpKey, "61.7.7.7", "0");
    const TcpRow incoming = rig.table.add(QStringLiteral("61.7.7.7"), 5000, 135);
    rig.guard().RefreshTable(false);
    QVERIFY(rig.program().alerts().isEmpty());
    rig.selectRow(0);
    const size_t before = rig.table.cuts().size();
    rig.menu().mnuBlockLP->trigger();
    QCOMPARE(rig.rule(BlockLpKey, "135"), QStringLiteral("1"));
    bool incomingCut = false;
    for (size_t k = before; k < rig.table.cuts().size(); ++k) {
        QVERIFY(!rig.table.cuts()[k].row.sameConnection(rig.listening));
        incomingCut = incomingCut || rig.table.cuts()[k].row.sameConnection(incoming);
    }
    QVERIFY(incomingCut);
    QCOMPARE(rig.log().last(), QStringLiteral("无IP来源|等待状态|135|禁止所有连接"));
}

void TestFrmMenu::commandsWithoutSelectedRowDoNothing() {
    MenuRig rig;
    QSignalSpy resets(rig.main().listModel, &QAbstractItemModel::modelReset);
    for (QAction* item : rig.menu().mnuConn->actions()) {
        item->trigger();
    }
    QVERIFY(rig.ruleKeysInOrder().isEmpty());
    QVERIFY(rig.table.cuts().empty());
    QVERIFY(rig.log().isEmpty());
    QCOMPARE(resets.size(), 0);
}

void TestFrmMenu::rebuildKeepsOnlyASelection() {
    MenuRig rig;
    monitor::frmMain& m = rig.main();
    m.show();
    rig.selectRow(1);
    // A click on empty list space clears the selection; the current row stays behind.
    QWidget* viewport = m.ListView1->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(20, viewport->height() - 5));
    QVERIFY(m.ListView1->selectionModel()->selectedRows().isEmpty());
    QVERIFY(m.ListView1->currentIndex().isValid());
    // A new connection rebuilds the list while the menu is open: still nothing selected.
    rig.table.add(QStringLiteral("61.9.9.9"), 5000, 81);
    rig.guard().RefreshTable(false);
    QVERIFY(m.ListView1->selectionModel()->selectedRows().isEmpty());
    rig.menu().mnuBlockIP->trigger();
    rig.menu().mnuDis->trigger();
    QVERIFY(rig.ruleKeysInOrder().isEmpty());
    QVERIFY(rig.table.cuts().empty());
    QVERIFY(rig.log().isEmpty());
}

void TestFrmMenu::commandChosenDuringARebuildRunsWholeAfterIt() {
    // Chosen while a decision lets events run halfway through a rebuild (the list is being
    // refilled and shows no selection): the commands act on the row chosen, after the
    // rebuild, each in its own order (a block rebuilds, cutting, before it logs).
    MenuRig rig;
    rig.setLevel(2);
    rig.setRule(BlockLpKey, "135", "0");
    rig.setRule(BlockRpKey, "4321", "0");
    rig.setRule(BlockIpKey, "61.9.9.9", "0");
    rig.selectRow(1);
    QStringList order;
    bool chosen = false;
    QObject::connect(&rig.guard(), &monitor::Guard::judging,
                     [&](const monitor::modNetstat::ConnectionRow& row) {
                         order << row.RemA;
                         if (row.RemA == u"61.9.9.9" && !chosen) {
                             chosen = true;
                             rig.menu().mnuBlockIP->trigger();
                             rig.menu().mnuDis->trigger();
                             order << QStringLiteral("chosen");
                         }
                     });
    rig.table.add(QStringLiteral("61.9.9.9"), 5000, 81);
    rig.guard().RefreshTable(false);
    QCOMPARE(order, (QStringList{"0.0.0.0", "61.1.2.3", "61.9.9.9", "chosen", "0.0.0.0", "61.1.2.3",
                                 "61.9.9.9"}));
    QCOMPARE(rig.values(BlockIpKey), (QStringList{"61.9.9.9=0", "61.1.2.3=1"}));
    QCOMPARE(rig.log(),
             (QStringList{"61.1.2.3|4321|80|已断开连接", "61.1.2.3|4321|80|禁止所有连接"}));
    // The disconnect came second and found its connection already cut by the block.
    QCOMPARE(rig.table.cuts().size(), size_t(2));
    QVERIFY(rig.table.cuts()[1].row.sameConnection(rig.connection));
}

void TestFrmMenu::disconnectCutsTheRowsOwnConnection() {
    MenuRig rig;
    rig.selectRow(1);
    // The table changes after the list was built: the row at position 1 now is another
    // connection, and the list has not been rebuilt.
    rig.table.reverse();
    rig.menu().mnuDis->trigger();
    QCOMPARE(rig.table.cuts().size(), size_t(1));
    QVERIFY(rig.table.cuts()[0].row.sameConnection(rig.connection));
    QCOMPARE(rig.log(), QStringList{"61.1.2.3|4321|80|异常连接中断"});
    // No rule, no rebuild: the row stays until the list is rebuilt.
    QVERIFY(rig.ruleKeysInOrder().isEmpty());
    QCOMPARE(rig.rowCount(), 2);
}

void TestFrmMenu::disconnectThatCutNothingLogsNothing() {
    for (CutResult answer : {CutResult::NotPermitted, CutResult::AlreadyGone}) {
        MenuRig rig;
        rig.selectRow(1);
        rig.table.setCutResult(answer);
        rig.menu().mnuDis->trigger();
        QCOMPARE(rig.table.cuts().size(), size_t(1));
        QVERIFY(rig.log().isEmpty());
    }
    // Gone since the list was built: the fake answers AlreadyGone and nothing else is cut.
    MenuRig rig;
    rig.selectRow(1);
    rig.table.remove(rig.connection);
    rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    rig.menu().mnuDis->trigger();
    QCOMPARE(rig.table.cuts().size(), size_t(1));
    QCOMPARE(rig.table.cuts()[0].result, CutResult::AlreadyGone);
    QCOMPARE(rig.table.rows().size(), size_t(2));
    QVERIFY(rig.log().isEmpty());
}

void TestFrmMenu::disconnectOnAListeningRow() {
    // Cutting a listener would kill the service behind it: nothing is cut, nothing logged.
    MenuRig rig;
    rig.selectRow(0);
    rig.menu().mnuDis->trigger();
    QVERIFY(rig.table.cuts().empty());
    QVERIFY(rig.log().isEmpty());
}

void TestFrmMenu::openRestoresOrShowsTheMainWindow() {
    ProgramRig rig;
    monitor::frmMain& m = rig.main();
    QVERIFY(!m.isVisible());
    rig.program().menu().mnuOpen->trigger();
    QVERIFY(m.isVisible());
    QCOMPARE(m.windowState() & ~Qt::WindowActive, Qt::WindowNoState);

    // Shown but covered by another window: it comes forward and takes the focus.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    rig.program().menu().mnuOpen->trigger();
    QTRY_COMPARE(QApplication::activeWindow(), &m);

    m.showMinimized();
    QVERIFY(m.isMinimized());
    rig.program().menu().mnuOpen->trigger();
    QVERIFY(m.isVisible());
    QVERIFY(!m.isMinimized());

    m.setWindowState(Qt::WindowMaximized);
    rig.program().menu().mnuOpen->trigger();
    QVERIFY(m.isVisible());
    QVERIFY(m.isMaximized());
}

void TestFrmMenu::exitOpensThePrompt() {
    ProgramRig rig;
    rig.program().menu().mnuExit->trigger();
    shell::frmWarnExit& prompt = rig.program().warnExit();
    QVERIFY(prompt.isVisible());
    QVERIFY(!prompt.isModal());
    QVERIFY(!prompt.confirmed());
}

QUILLON_UI_TEST_MAIN(TestFrmMenu)
#include "test_frmMenu.moc"
