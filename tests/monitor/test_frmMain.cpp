// The main window: the connection list and when it is rebuilt, the block decision's
// outcomes, the toolbar and the list's pop-up menu.
#include "core/monitor/ConnectionListModel.h"
#include "core/monitor/Guard.h"
#include "core/monitor/ProgramText.h"
#include "core/settings/modReg.h"
#include "support/ProgramRig.h"
#include "support/TestSupport.h"
#include "support/UiTestMain.h"
#include "ui/blocking/frmAlert.h"
#include "ui/blocking/frmMenu.h"
#include "ui/monitor/frmMain.h"
#include "ui/settings/frmOptions.h"

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QtTest>

using namespace quillon;
using namespace quillon::settings::modReg;
using platform::CutResult;
using platform::TcpRow;
using test::FakeTcpTable;
using test::ProgramRig;

Q_DECLARE_METATYPE(quillon::platform::SocketOwner)

namespace {

// Every decision the guard makes, as "position:RemA", in order.
struct DecisionLog {
    explicit DecisionLog(monitor::Guard& guard) {
        QObject::connect(&guard, &monitor::Guard::judging,
                         [this](const monitor::modNetstat::ConnectionRow& row) {
                             seen << QStringLiteral("%1:%2").arg(row.position).arg(row.RemA);
                         });
    }
    QStringList seen;
};

// Runs `observe` at the start of every decision the guard makes.
template <typename F>
void onJudging(monitor::Guard& guard, F observe) {
    QObject::connect(&guard, &monitor::Guard::judging, observe);
}

// The example table: a listening socket on port 135 and a connection to 10.0.0.5:80 from
// local port 1025.
void exampleTable(FakeTcpTable& table) {
    table.add(FakeTcpTable::makeRow(QStringLiteral("0.0.0.0"), 0, 135, platform::StateListen,
                                    QStringLiteral("0.0.0.0")));
    table.add(QStringLiteral("10.0.0.5"), 80, 1025);
}

// The example table at level 3, where a decision neither cuts nor asks.
struct ExampleRig : ProgramRig {
    ExampleRig() {
        setLevel(3);
        exampleTable(table);
    }
};

} // namespace

class TestFrmMain : public QObject {
    Q_OBJECT

private slots:
    // The list shows its state texts without a start-up having set them.
    void initTestCase() { monitor::modNetstat::InitStateNames(); }
    void layoutAndInitialState();

    // List contents and when the list is rebuilt.
    void exampleTableShowsListeningRowsInAllConnectionsMode();
    void otherCaptionsHideListeningRowsButJudgeThem();
    void unchangedTableTicksDoNothing();
    void forcedRebuildJudgesEveryRowAgain();
    void replacedConnectionIsRebuiltAndJudged();
    void stateChangeAloneIsNoRebuild();
    void emptyTableAfterRowsClearsTheList();
    void unreadableTableLeavesTheListAlone();
    void selectionFollowsItsConnection();
    void selectedRowKeepsItsPlaceOnScreen();
    void rowIsListedBeforeItsDecision();
    void programColumn_data();
    void programColumn();

    // Re-entrancy.
    void tickDuringRebuildIsDroppedForcedRequestRunsOnceAfter();

    // Toolbar.
    void toolbarClickDuringRebuildWaitsForIt();
    void stopButtonPausesAndResumesPolling();
    void filterButtonSwitchesListModeAndStoresIt();
    void filterButtonFromRestoredHidingMode();
    void refreshButtonOverUnchangedTableDoesNothing();
    void consoleButtonOpensSecurityTab();

    // Decision outcomes.
    void denyRuleCutsTheRowsOwnConnectionAndLogsOnce();
    void cutThatDidNotHappenIsNotLogged_data();
    void cutThatDidNotHappenIsNotLogged();
    void undecidedConnectionsRaiseAlertsInOrder();
    void pendingAlertHoldsBackSharedFields();
    void answerDuringARebuildRunsWholeAfterIt();
    void unreadableHiveIsNoRule_data();
    void unreadableHiveIsNoRule();

    // Pop-up menu.
    void connectionMenuOnlyOnRightButtonOverNonEmptyList();
};

// The program column: the command name, the whole line as its tooltip.
void TestFrmMain::programColumn_data() {
    QTest::addColumn<platform::SocketOwner>("owner");
    QTest::addColumn<QString>("cell");
    QTest::addColumn<QString>("tip");
    const QString user = QStringLiteral("alice");
    QTest::newRow("process") << platform::SocketOwner{42, "/usr/bin/ssh", "ssh", false, user}
                             << "ssh"
                             << "程序：/usr/bin/ssh（PID 42，用户 alice）";
    QTest::newRow("shared") << platform::SocketOwner{42, "/usr/bin/ssh", "ssh", true, user}
                            << "ssh 等"
                            << "程序：/usr/bin/ssh 等（PID 42，用户 alice）";
    QTest::newRow("user only") << platform::SocketOwner{0, {}, {}, false, user}
                               << "未知（用户 alice）"
                               << "程序：未知（用户 alice）";
    QTest::newRow("no socket") << platform::SocketOwner{} << ""
                               << "";
}

void TestFrmMain::programColumn() {
    QFETCH(platform::SocketOwner, owner);
    QFETCH(QString, cell);
    QFETCH(QString, tip);
    monitor::ConnectionListModel model;
    model.beginRebuild(std::make_shared<const std::vector<platform::TcpRow>>(
        1, test::FakeTcpTable::makeRow(QStringLiteral("61.1.2.3"), 4321, 80, 5)));
    model.append(0, owner);
    model.endRebuild();
    const QModelIndex i = model.index(0, monitor::ConnectionListModel::ColProgram);
    QCOMPARE(model.data(i).toString(), cell);
    QCOMPARE(model.data(i, Qt::ToolTipRole).toString(), tip);
}

void TestFrmMain::layoutAndInitialState() {
    ProgramRig rig;
    monitor::frmMain& m = rig.program().main();
    QCOMPARE(m.windowTitle(), QStringLiteral("Quillon防火墙"));
    QCOMPARE(m.size(), QSize(449, 359));
    QCOMPARE(m.ListView1->geometry(), QRect(16, 40, 359, 275));
    QCOMPARE(m.Toolbar1->geometry(), QRect(376, 40, 57, 275));
    QCOMPARE(m.Text1->geometry(), QRect(16, 312, 417, 19));
    QCOMPARE(m.WebBrowser1->geometry().top(), 440);
    QCOMPARE(m.Picture1->geometry(), QRect(-8, 184, 65, 65));
    QVERIFY(m.Text1->isReadOnly());
    QCOMPARE(m.Text1->text(), QString(53, ' ') + QStringLiteral("Quillon超敏感防火墙"));
    QCOMPARE(m.Picture1->pixmap().size(), QSize(71, 63));

    QCOMPARE(m.ListView1->model()->columnCount(), 5);
    const QStringList headers{"IP地址", "远程端口", "本地端口", "属性", "程序"};
    const int widths[] = {169, 127, 127, 226, 136};
    for (int c = 0; c < 5; ++c) {
        QCOMPARE(m.listModel->headerData(c, Qt::Horizontal).toString(), headers[c]);
        QCOMPARE(m.ListView1->columnWidth(c), widths[c]);
    }

    QVERIFY(m.tmrRefresh->isActive());
    QCOMPARE(m.tmrRefresh->interval(), 250);
    QCOMPARE(rig.guard().LastRowCount, qsizetype(0));

    const QStringList captions{"停止", "刷新", "", "所有连接", "控制台", ""};
    for (int p = 1; p <= 6; ++p) {
        QToolButton* b = m.button(p);
        if (p == 3 || p == 6) {
            QVERIFY(b == nullptr);
            continue;
        }
        QVERIFY(b != nullptr);
        QCOMPARE(b->text(), captions[p - 1]);
        QCOMPARE(b->isCheckable(), p == 1 || p == 4);
        QVERIFY(!b->isChecked());
        QVERIFY(!b->icon().isNull());
        // Cold and hot pictures differ.
        const QImage cold = b->icon().pixmap(32, QIcon::Normal).toImage();
        const QImage hot = b->icon().pixmap(32, QIcon::Active).toImage();
        QCOMPARE(cold.size(), QSize(32, 32));
        QVERIFY(cold != hot);
    }
    QVERIFY(m.button(0) == nullptr);
    QVERIFY(m.button(7) == nullptr);
}

void TestFrmMain::exampleTableShowsListeningRowsInAllConnectionsMode() {
    ProgramRig rig;
    rig.setSubnet(false);
    rig.setRule(BlockIpKey, QStringLiteral("10.0.0.5"), QStringLiteral("0"));
    exampleTable(rig.table);
    DecisionLog decisions(rig.guard());

    rig.guard().RefreshTable(false);

    QCOMPARE(rig.keys(), (QStringList{"x0", "x1"}));
    QCOMPARE(rig.rowTexts(0), (QStringList{"无IP来源", "等待状态", "135", "监听连接"}));
    QCOMPARE(rig.rowTexts(1), (QStringList{"10.0.0.5", "80", "1025", "待定连接"}));
    // The listening row is judged with its real (all-zero) remote address.
    QCOMPARE(decisions.seen, (QStringList{"0:0.0.0.0", "1:10.0.0.5"}));
    QCOMPARE(rig.guard().LastRowCount, qsizetype(2));
    QVERIFY(rig.program().alerts().isEmpty());
    QVERIFY(rig.table.cuts().empty());
}

void TestFrmMain::otherCaptionsHideListeningRowsButJudgeThem() {
    for (const QString& caption : {QStringLiteral("已经连接"), QStringLiteral("全部")}) {
        ProgramRig rig;
        rig.setSubnet(false);
        rig.setRule(BlockIpKey, QStringLiteral("10.0.0.5"), QStringLiteral("0"));
        exampleTable(rig.table);
        DecisionLog decisions(rig.guard());
        rig.main().setListModeCaption(caption);

        rig.guard().RefreshTable(false);

        QCOMPARE(rig.keys(), QStringList{"x1"});
        QCOMPARE(rig.rowTexts(0), (QStringList{"10.0.0.5", "80", "1025", "待定连接"}));
        QCOMPARE(decisions.seen, (QStringList{"0:0.0.0.0", "1:10.0.0.5"}));
    }
}

void TestFrmMain::unchangedTableTicksDoNothing() {
    ExampleRig rig;
    monitor::frmMain& m = rig.main();
    DecisionLog decisions(rig.guard());
    QSignalSpy resets(m.listModel, &QAbstractItemModel::modelReset);

    rig.guard().RefreshTable(false);
    QCOMPARE(decisions.seen.size(), 2);
    QCOMPARE(resets.size(), 1);

    const int snapshots = rig.table.snapshotCount();
    m.tmrRefresh->start();
    QTRY_VERIFY(rig.table.snapshotCount() >= snapshots + 2);
    m.tmrRefresh->stop();
    QCOMPARE(decisions.seen.size(), 2);
    QCOMPARE(resets.size(), 1);
    QCOMPARE(rig.keys(), (QStringList{"x0", "x1"}));

    // An empty table before the first rebuild is no change either.
    ProgramRig empty;
    DecisionLog none(empty.guard());
    QSignalSpy emptyResets(empty.main().listModel, &QAbstractItemModel::modelReset);
    empty.guard().RefreshTable(false);
    QVERIFY(none.seen.isEmpty());
    QCOMPARE(emptyResets.size(), 0);
}

void TestFrmMain::forcedRebuildJudgesEveryRowAgain() {
    ExampleRig rig;
    monitor::frmMain& m = rig.main();
    DecisionLog decisions(rig.guard());
    QSignalSpy resets(m.listModel, &QAbstractItemModel::modelReset);

    rig.guard().RefreshTable(false);
    rig.guard().RefreshTable(true);
    QCOMPARE(decisions.seen, (QStringList{"0:0.0.0.0", "1:10.0.0.5", "0:0.0.0.0", "1:10.0.0.5"}));
    QCOMPARE(resets.size(), 2);
    QCOMPARE(rig.keys(), (QStringList{"x0", "x1"}));
}

void TestFrmMain::replacedConnectionIsRebuiltAndJudged() {
    ProgramRig rig;
    rig.setSubnet(false);
    rig.setLevel(2);
    rig.setRule(BlockIpKey, QStringLiteral("61.1.2.3"), QStringLiteral("0"));
    rig.setRule(BlockIpKey, QStringLiteral("61.9.9.9"), QStringLiteral("1"));
    const TcpRow first = rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    rig.main();
    DecisionLog decisions(rig.guard());
    rig.guard().RefreshTable(false);
    QCOMPARE(decisions.seen, QStringList{"0:61.1.2.3"});

    // One connection closes while a forbidden one opens: same count, different set.
    rig.table.remove(first);
    const TcpRow second = rig.table.add(QStringLiteral("61.9.9.9"), 5555, 80);
    rig.guard().RefreshTable(false);

    QCOMPARE(decisions.seen, (QStringList{"0:61.1.2.3", "0:61.9.9.9"}));
    QCOMPARE(rig.rowTexts(0).first(), QStringLiteral("61.9.9.9"));
    QCOMPARE(rig.table.cuts().size(), size_t(1));
    QVERIFY(rig.table.cuts()[0].row.sameConnection(second));
    QCOMPARE(rig.guard().LastRowCount, qsizetype(1));
}

void TestFrmMain::stateChangeAloneIsNoRebuild() {
    ProgramRig rig;
    rig.setLevel(3);
    const TcpRow row = rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    rig.main();
    DecisionLog decisions(rig.guard());
    rig.guard().RefreshTable(false);
    rig.table.setState(row, platform::StateCloseWait);
    rig.guard().RefreshTable(false);
    QCOMPARE(decisions.seen.size(), 1);
    QCOMPARE(rig.rowTexts(0).last(), QStringLiteral("待定连接"));

    // A reordered table is rebuilt so that the keys match the snapshot again.
    rig.table.add(QStringLiteral("61.1.2.4"), 4322, 81);
    rig.guard().RefreshTable(false);
    rig.table.reverse();
    rig.guard().RefreshTable(false);
    QCOMPARE(rig.rowTexts(0).first(), QStringLiteral("61.1.2.4"));
    QCOMPARE(rig.keys(), (QStringList{"x0", "x1"}));
}

void TestFrmMain::emptyTableAfterRowsClearsTheList() {
    ExampleRig rig;
    rig.main();
    rig.guard().RefreshTable(false);
    QCOMPARE(rig.rowCount(), 2);
    rig.table.setRows({});
    rig.guard().RefreshTable(false);
    QCOMPARE(rig.rowCount(), 0);
    QCOMPARE(rig.guard().LastRowCount, qsizetype(0));
}

void TestFrmMain::unreadableTableLeavesTheListAlone() {
    ExampleRig rig;
    rig.main();
    DecisionLog decisions(rig.guard());
    rig.guard().RefreshTable(false);
    rig.table.setFailing(true);
    rig.guard().RefreshTable(false);
    rig.guard().RefreshTable(true);
    QCOMPARE(rig.rowCount(), 2);
    QCOMPARE(decisions.seen.size(), 2);
    // Once readable again, the unchanged table is still no change.
    rig.table.setFailing(false);
    rig.guard().RefreshTable(false);
    QCOMPARE(decisions.seen.size(), 2);
}

void TestFrmMain::selectionFollowsItsConnection() {
    ProgramRig rig;
    rig.setLevel(3);
    rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    rig.table.add(QStringLiteral("61.1.2.4"), 4322, 81);
    monitor::frmMain& m = rig.main();
    rig.guard().RefreshTable(false);
    rig.selectRow(1);
    rig.table.add(QStringLiteral("61.1.2.5"), 4323, 82, platform::StateEstablished);
    rig.table.move(2, 0);
    rig.guard().RefreshTable(false);
    QCOMPARE(rig.rowTexts(m.ListView1->currentIndex().row()).first(), QStringLiteral("61.1.2.4"));
}

// Under churn the selected row stays where it stood on screen, and every cell of a row tells
// its program when hovered, since the program column lies out of sight.
void TestFrmMain::selectedRowKeepsItsPlaceOnScreen() {
    ProgramRig rig;
    rig.setLevel(3);
    for (int i = 0; i < 200; ++i) {
        rig.table.add(QStringLiteral("61.1.%1.%2").arg(i / 250).arg(i % 250 + 1),
                      static_cast<quint16>(4000 + i), 80, platform::StateEstablished);
    }
    monitor::frmMain& m = rig.main();
    m.show();
    rig.guard().RefreshTable(false);
    m.ListView1->scrollTo(m.listModel->index(100, 0), QAbstractItemView::PositionAtTop);
    rig.selectRow(105);
    const QRect before = m.ListView1->visualRect(m.ListView1->currentIndex());
    QVERIFY(m.ListView1->viewport()->rect().contains(before));
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 4; ++i) { // four come before it, two above it go
            rig.table.add(platform::TcpRow(test::FakeTcpTable::makeRow(
                              QStringLiteral("62.1.%1.%2").arg(round).arg(i + 1),
                              static_cast<quint16>(5000 + round * 4 + i), 80, 5)),
                          0);
        }
        rig.table.removeAt(10);
        rig.table.removeAt(11);
        rig.guard().RefreshTable(false);
        QCOMPARE(rig.rowTexts(m.ListView1->currentIndex().row()).first(),
                 QStringLiteral("61.1.0.106"));
        QCOMPARE(m.ListView1->visualRect(m.ListView1->currentIndex()).top(), before.top());
    }

    platform::SocketOwner owner;
    owner.pid = 4242;
    owner.path = QStringLiteral("/usr/bin/client");
    owner.user = QStringLiteral("alice");
    monitor::ConnectionListModel model;
    model.beginRebuild(std::make_shared<const std::vector<platform::TcpRow>>(
        1, test::FakeTcpTable::makeRow(QStringLiteral("61.1.2.3"), 4321, 80, 5)));
    model.append(0, owner);
    model.endRebuild();
    const QString program = monitor::ProgramLineText(owner);
    for (int column = 0; column < monitor::ConnectionListModel::ColumnCount; ++column) {
        const QString tip = model.data(model.index(0, column), Qt::ToolTipRole).toString();
        QVERIFY2(tip.endsWith(program) && !program.isEmpty(), qPrintable(tip));
    }
}

void TestFrmMain::rowIsListedBeforeItsDecision() {
    ExampleRig rig;
    rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    monitor::frmMain& m = rig.main();
    m.setListModeCaption(QStringLiteral("已经连接"));
    QStringList listedAtDecision;
    onJudging(rig.guard(), [&](const monitor::modNetstat::ConnectionRow& row) {
        const int n = m.listModel->itemCount();
        listedAtDecision << QStringLiteral("%1:%2")
                                .arg(row.position)
                                .arg(n == 0 ? QString() : m.listModel->item(n - 1).connection.RemA);
    });
    rig.guard().RefreshTable(false);
    // The hidden listening row adds nothing; every other row is the last item when judged.
    QCOMPARE(listedAtDecision, (QStringList{"0:", "1:10.0.0.5", "2:61.1.2.3"}));
}

void TestFrmMain::tickDuringRebuildIsDroppedForcedRequestRunsOnceAfter() {
    ExampleRig rig;
    monitor::frmMain& m = rig.main();

    QStringList seen;
    int depth = 0;
    bool nested = false;
    bool armed = true;
    onJudging(rig.guard(), [&](const monitor::modNetstat::ConnectionRow& row) {
        nested = nested || depth > 0;
        seen << QStringLiteral("%1:%2").arg(row.position).arg(row.RemA);
        if (!armed) {
            return;
        }
        armed = false;
        // What the decision's yield lets in: a tick over a changed table, two forced
        // commands and another tick.
        rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
        QTimer::singleShot(0, &m, [&rig] { rig.guard().RefreshTable(false); });
        QTimer::singleShot(0, &m, [&rig] { rig.guard().RefreshTable(true); });
        QTimer::singleShot(0, &m, [&rig] { rig.guard().RefreshTable(true); });
        QTimer::singleShot(0, &m, [&rig] { rig.guard().RefreshTable(false); });
        ++depth;
        QCoreApplication::processEvents();
        --depth;
    });

    rig.guard().RefreshTable(false);

    QVERIFY(!nested);
    // The first rebuild finishes on its own snapshot; the remembered forced request then
    // rebuilds once from the changed table.
    QCOMPARE(seen,
             (QStringList{"0:0.0.0.0", "1:10.0.0.5", "0:0.0.0.0", "1:10.0.0.5", "2:61.1.2.3"}));
    QCOMPARE(rig.keys(), (QStringList{"x0", "x1", "x2"}));
    QCOMPARE(rig.guard().LastRowCount, qsizetype(3));

    // Nothing is left over: the next unchanged tick does nothing.
    rig.guard().RefreshTable(false);
    QCOMPARE(seen.size(), 5);
}

void TestFrmMain::toolbarClickDuringRebuildWaitsForIt() {
    ExampleRig rig;
    rig.table.add(FakeTcpTable::makeRow(QStringLiteral("0.0.0.0"), 0, 445, platform::StateListen,
                                        QStringLiteral("0.0.0.0")));
    monitor::frmMain& m = rig.main();
    QStringList modes; // the list mode each decision's rebuild ran under
    onJudging(rig.guard(), [&](const monitor::modNetstat::ConnectionRow& row) {
        modes << QStringLiteral("%1:%2").arg(row.position).arg(m.button(4)->text());
        if (modes.size() == 1) {
            m.button(4)->click();
        }
    });
    rig.guard().RefreshTable(false);
    QCOMPARE(modes, (QStringList{"0:所有连接", "1:所有连接", "2:所有连接", "0:已经连接",
                                 "1:已经连接", "2:已经连接"}));
    QCOMPARE(rig.keys(), QStringList{"x1"});
}

void TestFrmMain::stopButtonPausesAndResumesPolling() {
    ProgramRig rig;
    monitor::frmMain& m = rig.program().main();
    QToolButton* b = m.button(1);
    b->setToolTip(QStringLiteral("x"));
    b->click();
    QCOMPARE(b->text(), QStringLiteral("继续"));
    QVERIFY(b->isChecked());
    QVERIFY(b->toolTip().isEmpty());
    QVERIFY(!m.tmrRefresh->isActive());
    // Pressed, the button shows what the next click does: play instead of pause.
    QVERIFY(b->icon().pixmap(32, QIcon::Normal, QIcon::On).toImage() !=
            b->icon().pixmap(32, QIcon::Normal, QIcon::Off).toImage());
    b->click();
    QCOMPARE(b->text(), QStringLiteral("停止"));
    QVERIFY(!b->isChecked());
    QVERIFY(m.tmrRefresh->isActive());
    QVERIFY(b->toolTip().isEmpty());
}

void TestFrmMain::filterButtonSwitchesListModeAndStoresIt() {
    ExampleRig rig;
    monitor::frmMain& m = rig.main();
    rig.guard().RefreshTable(false);
    QToolButton* b = m.button(4);

    b->click();
    QCOMPARE(b->text(), QStringLiteral("已经连接"));
    QVERIFY(b->isChecked());
    QVERIFY(b->toolTip().isEmpty());
    QCOMPARE(rig.keys(), QStringList{"x1"});
    QCOMPARE(rig.option("所有连接"), "1");

    b->click();
    QCOMPARE(b->text(), QStringLiteral("所有连接"));
    QVERIFY(!b->isChecked());
    QCOMPARE(rig.keys(), (QStringList{"x0", "x1"}));
    QCOMPARE(rig.option("所有连接"), "0");
}

void TestFrmMain::filterButtonFromRestoredHidingMode() {
    ExampleRig rig;
    monitor::frmMain& m = rig.main();
    QToolButton* b = m.button(4);
    b->setChecked(true);
    m.setListModeCaption(QStringLiteral("全部"));
    b->setToolTip(QStringLiteral("显示所有连接"));
    rig.guard().RefreshTable(true);
    QCOMPARE(rig.keys(), QStringList{"x1"});

    b->click();
    QCOMPARE(b->text(), QStringLiteral("所有连接"));
    QVERIFY(!b->isChecked());
    QVERIFY(b->toolTip().isEmpty());
    QCOMPARE(rig.keys(), (QStringList{"x0", "x1"}));
    QCOMPARE(rig.option("所有连接"), "0");
}

void TestFrmMain::refreshButtonOverUnchangedTableDoesNothing() {
    ExampleRig rig;
    monitor::frmMain& m = rig.main();
    DecisionLog decisions(rig.guard());
    m.button(2)->click();
    QCOMPARE(decisions.seen.size(), 2);
    m.button(2)->click();
    QCOMPARE(decisions.seen.size(), 2);
    rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    m.button(2)->click();
    QCOMPARE(decisions.seen.size(), 5);
}

void TestFrmMain::consoleButtonOpensSecurityTab() {
    ProgramRig rig;
    monitor::frmMain& m = rig.main();
    QVERIFY(!rig.program().optionsExists());
    m.button(5)->click();
    QVERIFY(rig.program().optionsExists());
    settings::frmOptions& options = rig.options();
    QVERIFY(options.isVisible());
    QVERIFY(!options.isModal());
    QCOMPARE(options.SSTab1->currentIndex(), 2);
}

void TestFrmMain::denyRuleCutsTheRowsOwnConnectionAndLogsOnce() {
    ProgramRig rig;
    rig.setSubnet(false);
    rig.setLevel(2);
    rig.setRule(BlockIpKey, QStringLiteral("61.1.2.3"), QStringLiteral("0"));
    rig.setRule(BlockLpKey, QStringLiteral("8080"), QStringLiteral("1"));
    rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    const TcpRow denied = rig.table.add(QStringLiteral("61.1.2.3"), 4322, 8080);

    rig.guard().RefreshTable(false);

    QCOMPARE(rig.table.cuts().size(), size_t(1));
    QVERIFY(rig.table.cuts()[0].row.sameConnection(denied));
    QCOMPARE(rig.log(), QStringList{"61.1.2.3|4322|8080|已断开连接"});
    // The cut row stays listed until a later rebuild.
    QCOMPARE(rig.rowCount(), 2);
    rig.guard().RefreshTable(false);
    QCOMPARE(rig.rowCount(), 1);
    QCOMPARE(rig.log().size(), 1);
}

void TestFrmMain::cutThatDidNotHappenIsNotLogged_data() {
    QTest::addColumn<CutResult>("answer");
    QTest::newRow("already gone") << CutResult::AlreadyGone;
    QTest::newRow("not permitted") << CutResult::NotPermitted;
    QTest::newRow("not supported") << CutResult::NotSupported;
    QTest::newRow("failed") << CutResult::Failed;
}

void TestFrmMain::cutThatDidNotHappenIsNotLogged() {
    QFETCH(CutResult, answer);
    ProgramRig rig;
    rig.setSubnet(false);
    rig.setLevel(1);
    rig.setRule(BlockRpKey, QStringLiteral("4321"), QStringLiteral("1"));
    rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    rig.table.setCutResult(answer);

    rig.guard().RefreshTable(false);

    QCOMPARE(rig.table.cuts().size(), size_t(1));
    QVERIFY(rig.log().isEmpty());
    QVERIFY(rig.program().alerts().isEmpty());
}

void TestFrmMain::undecidedConnectionsRaiseAlertsInOrder() {
    ProgramRig rig;
    rig.setSubnet(false);
    rig.setLevel(2);
    rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    rig.table.add(QStringLiteral("62.1.2.3"), 5321, 81);
    rig.main();

    rig.guard().RefreshTable(false);

    const QList<blocking::frmAlert*> alerts = rig.program().alerts();
    QCOMPARE(alerts.size(), 2);
    QCOMPARE(rig.guard().pending.AlertCount, 2);
    const QStringList remA{"61.1.2.3", "62.1.2.3"};
    const QStringList remP{"4321", "5321"};
    const QStringList locP{"80", "81"};
    for (int k = 0; k < 2; ++k) {
        blocking::frmAlert* a = alerts[k];
        QCOMPARE(a->t, k);
        QCOMPARE(a->b_Type, qint16(1));
        QCOMPARE(a->RemA, remA[k]);
        QCOMPARE(a->RemP, remP[k]);
        QCOMPARE(a->LocP, locP[k]);
        QCOMPARE(rig.guard().pending.AlertRemA[size_t(k)], remA[k]);
        QCOMPARE(rig.guard().pending.AlertRemP[size_t(k)], remP[k]);
        QCOMPARE(rig.guard().pending.AlertLocP[size_t(k)], locP[k]);
        QVERIFY(a->isVisible());
        QVERIFY(a->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(a->Label1->text().startsWith(remA[k] + QStringLiteral(" 此IP尝试连接本地端口: ")));
    }
    QVERIFY(rig.table.cuts().empty());
    QVERIFY(rig.log().isEmpty());
}

void TestFrmMain::pendingAlertHoldsBackSharedFields() {
    ProgramRig rig;
    rig.setSubnet(false);
    rig.setLevel(2);
    rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    rig.main();
    rig.guard().RefreshTable(false);
    QCOMPARE(rig.program().alerts().size(), 1);

    // Sharing the address (even though it is now denied) or the remote port: left alone.
    rig.setRule(BlockIpKey, QStringLiteral("61.1.2.3"), QStringLiteral("1"));
    rig.table.add(QStringLiteral("61.1.2.3"), 9999, 9998);
    rig.table.add(QStringLiteral("63.1.2.3"), 4321, 9997);
    rig.guard().RefreshTable(true);
    QCOMPARE(rig.program().alerts().size(), 1);
    QVERIFY(rig.table.cuts().empty());

    // Closed, the entry goes; the next rebuild decides them all.
    rig.program().alerts().first()->close();
    ProgramRig::settle();
    QCOMPARE(rig.guard().pending.AlertCount, 0);
    rig.guard().RefreshTable(true);
    QCOMPARE(rig.table.cuts().size(), size_t(2));
}

void TestFrmMain::answerDuringARebuildRunsWholeAfterIt() {
    ProgramRig rig;
    rig.setSubnet(false);
    rig.setLevel(2);
    rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    rig.main();
    rig.guard().RefreshTable(false);
    QCOMPARE(rig.program().alerts().size(), 1);
    blocking::frmAlert* alert = rig.program().alerts().first();

    // "禁止 ip" is pressed while a rebuild lets events run: the answer waits for that
    // rebuild, then runs whole, its own rebuild still finding the alert pending.
    rig.setRule(BlockIpKey, QStringLiteral("62.1.2.3"), QStringLiteral("0"));
    rig.table.add(QStringLiteral("62.1.2.3"), 5000, 81);
    QStringList order;
    onJudging(rig.guard(), [&](const monitor::modNetstat::ConnectionRow& row) {
        order << row.RemA;
        if (row.RemA == u"62.1.2.3" && order.size() == 2) {
            alert->Command1->click();
            order << QStringLiteral("answered");
        }
    });
    rig.guard().RefreshTable(false);
    ProgramRig::settle();
    QCOMPARE(order, (QStringList{"61.1.2.3", "62.1.2.3", "answered", "61.1.2.3", "62.1.2.3"}));
    QCOMPARE(rig.rule(BlockIpKey, QStringLiteral("61.1.2.3")), QStringLiteral("1"));
    QVERIFY(rig.table.cuts().empty());
    QCOMPARE(rig.log(), QStringList{"61.1.2.3|4321|80|拒绝IP连接"});
    QVERIFY(rig.program().alerts().isEmpty());
    QCOMPARE(rig.guard().pending.AlertCount, 0);
}

void TestFrmMain::unreadableHiveIsNoRule_data() {
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("alerts");
    QTest::newRow("high") << 1 << 1;
    QTest::newRow("medium") << 2 << 1;
    QTest::newRow("low") << 3 << 0;
}

void TestFrmMain::unreadableHiveIsNoRule() {
    // A hive that cannot be read (a damaged file) reads as no rule at all: a question at the
    // high and medium levels, nothing at the low one, never a cut.
    QFETCH(int, level);
    QFETCH(int, alerts);
    ProgramRig rig;
    QVERIFY(test::writeFile(rig.path(QStringLiteral("registry.db")),
                            QByteArray("these are my notes, not a database\n").repeated(500)));
    rig.writeTrojans({});
    rig.setSubnet(false);
    rig.setLevel(level);
    rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    rig.guard().RefreshTable(false);
    QVERIFY(rig.table.cuts().empty());
    QVERIFY(rig.log().isEmpty());
    QCOMPARE(rig.program().alerts().size(), alerts);
}

void TestFrmMain::connectionMenuOnlyOnRightButtonOverNonEmptyList() {
    ProgramRig rig;
    rig.setLevel(3);
    monitor::frmMain& m = rig.main();
    QList<QPair<QMenu*, QPoint>> popUps;
    const auto realPopUp = m.popUpMenu;
    m.popUpMenu = [&popUps](QMenu& menu, const QPoint& at) { popUps.append({&menu, at}); };
    QWidget* viewport = m.ListView1->viewport();

    QTest::mouseClick(viewport, Qt::RightButton, {}, QPoint(20, 20));
    QVERIFY(popUps.isEmpty());

    rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    rig.guard().RefreshTable(false);
    QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(20, 5));
    QVERIFY(popUps.isEmpty());
    // Anywhere over the list, on an item or not.
    QTest::mouseClick(viewport, Qt::RightButton, {}, QPoint(40, 200));
    QCOMPARE(popUps.size(), 1);
    QCOMPARE(popUps[0].first, rig.program().menu().mnuConn);
    QCOMPARE(popUps[0].second, viewport->mapToGlobal(QPoint(40, 200)));

    // The real pop-up shows the menu without blocking.
    m.popUpMenu = realPopUp;
    rig.main().ListView1_MouseUp(Qt::RightButton, QPoint(10, 10));
    QVERIFY(rig.program().menu().mnuConn->isVisible());
    rig.program().menu().mnuConn->hide();
}

QUILLON_UI_TEST_MAIN(TestFrmMain)
#include "test_frmMain.moc"
