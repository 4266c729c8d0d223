// The alert window: its text, its five answers, and giving its pending entry back.
#include "core/monitor/ConnectionListModel.h"
#include "core/monitor/Guard.h"
#include "core/settings/modReg.h"
#include "support/ProgramRig.h"
#include "support/TestSupport.h"
#include "support/UiTestMain.h"
#include "ui/blocking/frmAlert.h"
#include "ui/monitor/frmMain.h"
#include "ui/shell/TrayIcon.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

using namespace quillon;
using namespace quillon::settings::modReg;
using blocking::frmAlert;
using test::ProgramRig;

Q_DECLARE_METATYPE(quillon::platform::SocketOwner)

namespace {

// Raises one alert for 61.1.2.3:4321 -> local port 80 at the medium level.
frmAlert* raiseAlert(ProgramRig& rig) {
    rig.setSubnet(false);
    rig.setLevel(2);
    rig.table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    rig.guard().RefreshTable(false);
    const auto alerts = rig.program().alerts();
    return alerts.size() == 1 ? alerts.first() : nullptr;
}

QStringList lines(const QString& text) {
    return text.split(QStringLiteral("\r\n"));
}

} // namespace

class TestFrmAlert : public QObject {
    Q_OBJECT

private slots:
    // The list shows its state texts without a start-up having set them.
    void initTestCase() { monitor::modNetstat::InitStateNames(); }
    void windowLayout();
    void textForAConnectionWithoutPortData();
    void textTakesLocalPortDataFirstThenRemote_data();
    void textTakesLocalPortDataFirstThenRemote();
    void otherKindKeepsItsText();
    void programLine_data();
    void programLine();
    void answers_data();
    void answers();
    void deniedAddressIsCutOnlyAfterTheWindowCloses();
    void allowAnswerLetsTheConnectionPass();
    void answerThatStoresNothingSaysSo();
    void closingWithoutAnswerRemovesEntryOnly();
    void closingThreeAlertsKeepsEachWindowOnItsEntry();
    void secondClickDuringAnAnswerIsIgnored();
    void floodOpensTwelveWindowsTheRestInTurn();
};

void TestFrmAlert::windowLayout() {
    ProgramRig rig;
    frmAlert a(rig.program().core());
    QCOMPARE(a.windowTitle(), QStringLiteral("Quillon提醒您"));
    QCOMPARE(a.size(), QSize(395, 282));
    QCOMPARE(a.Label1->text(), QStringLiteral("[description]"));
    QCOMPARE(a.Label1->geometry(), QRect(24, 32, 341, 113));
    // The program line fills the gap between the question and the buttons.
    QCOMPARE(a.lblProgram->geometry(), QRect(24, 146, 341, 28));
    QCOMPARE(a.lblProgram->text(), QString());
    const QList<std::tuple<QPushButton*, QString, QRect>> buttons{
        {a.Command1, "禁止 ip", QRect(64, 176, 81, 25)},
        {a.Command3, "禁程远端口", QRect(152, 176, 81, 25)},
        {a.Command4, "禁本地端口", QRect(240, 176, 81, 25)},
        {a.Command5, "全部禁止", QRect(104, 216, 81, 25)},
        {a.Command2, "放行通过", QRect(200, 216, 81, 25)},
    };
    for (const auto& [button, caption, rect] : buttons) {
        QCOMPARE(button->text(), caption);
        QCOMPARE(button->geometry(), rect);
    }
    QVERIFY(a.testAttribute(Qt::WA_DeleteOnClose));
    // Not activated even by the first show, before it is placed on top.
    QVERIFY(a.testAttribute(Qt::WA_ShowWithoutActivating));
}

void TestFrmAlert::textForAConnectionWithoutPortData() {
    QCOMPARE(lines(frmAlert::composeText("61.1.2.3", "4321", "80",
                                         "端口资料未收集完整建议不要轻易接受连接~")),
             (QStringList{"61.1.2.3 此IP尝试连接本地端口: 80 他的端口是: 4321.", "", "连接信息:",
                          "端口资料未收集完整建议不要轻易接受连接~", "", "可否连接?"}));

    // Opened without a trojan file (the lookups fail) and with one that lacks both ports.
    for (bool withFile : {false, true}) {
        ProgramRig rig;
        if (withFile) {
            rig.writeTrojans({{"31337", "Back Orifice"}});
        }
        frmAlert* a = raiseAlert(rig);
        QVERIFY(a != nullptr);
        QCOMPARE(
            lines(a->Label1->text()),
            (QStringList{"61.1.2.3 此IP尝试连接本地端口: 80 他的端口是: 4321.", "",
                         "连接信息:", "端口资料未收集完整建议不要轻易接受连接~", "", "可否连接?"}));
        // Centred on the screen, on top, shown without taking the focus.
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(a->pos(), screen.topLeft() + QPoint((screen.width() - a->width()) / 2,
                                                     (screen.height() - a->height()) / 2));
        QVERIFY(a->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(a->testAttribute(Qt::WA_ShowWithoutActivating));
    }
}

void TestFrmAlert::textTakesLocalPortDataFirstThenRemote_data() {
    QTest::addColumn<bool>("localListed"); // the remote port 4321 is always listed
    QTest::addColumn<QString>("shown");
    QTest::newRow("remote port listed") << false << QStringLiteral("远端木马");
    QTest::newRow("both ports listed") << true << QStringLiteral("本地木马");
}

void TestFrmAlert::textTakesLocalPortDataFirstThenRemote() {
    QFETCH(bool, localListed);
    QFETCH(QString, shown);
    ProgramRig rig;
    std::vector<std::pair<QString, QString>> entries{{"4321", "远端木马"}};
    if (localListed) {
        entries.push_back({"80", "本地木马"});
    }
    rig.writeTrojans(entries);
    frmAlert* a = raiseAlert(rig);
    QCOMPARE(lines(a->Label1->text()).at(3), shown);
}

// A kind other than a connection alert keeps its text.
void TestFrmAlert::otherKindKeepsItsText() {
    ProgramRig rig;
    frmAlert* a = rig.program().newAlert();
    a->b_Type = 2;
    a->Form_Load();
    QCOMPARE(a->Label1->text(), QStringLiteral("[description]"));
}

void TestFrmAlert::programLine_data() {
    QTest::addColumn<platform::SocketOwner>("owner");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("tip"); // the whole line, when it had to be shortened
    const QString user = QStringLiteral("alice");
    QTest::newRow("known program")
        << platform::SocketOwner{4242, "/usr/bin/curl", "curl", false, user}
        << "程序：/usr/bin/curl（PID 4242，用户 alice）"
        << "";
    QTest::newRow("only the user")
        << platform::SocketOwner{0, {}, {}, false, user} << "程序：未知（用户 alice）"
        << "";
    QTest::newRow("nothing known") << platform::SocketOwner{} << ""
                                   << "";
    const QString longPath = QStringLiteral("/opt/") + QString(120, 'a') + QStringLiteral("/bin");
    QTest::newRow("long path") << platform::SocketOwner{7, longPath, "bin", true, user} << "…"
                               << "程序：" + longPath + " 等（PID 7，用户 alice）";
}

void TestFrmAlert::programLine() {
    QFETCH(platform::SocketOwner, owner);
    QFETCH(QString, line);
    QFETCH(QString, tip);
    ProgramRig rig;
    frmAlert* a = rig.program().newAlert();
    a->RemA = "61.1.2.3";
    a->RemP = "4321";
    a->LocP = "80";
    a->owner = owner;
    a->b_Type = 1;
    a->Form_Load();
    QCOMPARE(lines(a->Label1->text()).first(),
             "61.1.2.3 此IP尝试连接本地端口: 80 他的端口是: 4321.");
    QCOMPARE(a->lblProgram->toolTip(), tip);
    if (tip.isEmpty()) {
        QCOMPARE(a->lblProgram->text(), line);
        return;
    }
    // Shortened in the middle of the path, so the PID and the user still show.
    QVERIFY(a->lblProgram->text().contains(line));
    QVERIFY(a->lblProgram->text().startsWith("程序：/opt/"));
    QVERIFY(a->lblProgram->text().endsWith("/bin 等（PID 7，用户 alice）"));
}

void TestFrmAlert::answers_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<QStringList>("keysInOrder");
    QTest::addColumn<QStringList>("verdicts"); // ip, rp, lp
    QTest::addColumn<bool>("rebuilds");
    QTest::addColumn<QString>("action");
    QTest::newRow("禁止 ip") << 1 << QStringList{"ip"} << QStringList{"1", "", ""} << true
                             << "拒绝IP连接";
    QTest::newRow("放行通过") << 2 << QStringList{"ip", "rp", "lp"} << QStringList{"0", "0", "0"}
                              << false << "允许连接";
    QTest::newRow("禁程远端口") << 3 << QStringList{"rp"} << QStringList{"", "1", ""} << true
                                << "禁止远程端口连接";
    QTest::newRow("禁本地端口") << 4 << QStringList{"lp"} << QStringList{"", "", "1"} << true
                                << "禁止本机端口连接";
    QTest::newRow("全部禁止") << 5 << QStringList{"lp", "rp", "ip"} << QStringList{"1", "1", "1"}
                              << true << "全部禁止连接";
}

void TestFrmAlert::answers() {
    QFETCH(int, button);
    QFETCH(QStringList, keysInOrder);
    QFETCH(QStringList, verdicts);
    QFETCH(bool, rebuilds);
    QFETCH(QString, action);

    ProgramRig rig;
    frmAlert* a = raiseAlert(rig);
    QVERIFY(a != nullptr);
    QVERIFY(rig.ruleKeysInOrder().isEmpty());
    QSignalSpy resets(rig.main().listModel, &QAbstractItemModel::modelReset);
    QSignalSpy destroyed(a, &QObject::destroyed);

    QPushButton* buttons[] = {nullptr,     a->Command1, a->Command2,
                              a->Command3, a->Command4, a->Command5};
    buttons[button]->click();

    QCOMPARE(rig.ruleKeysInOrder(), keysInOrder);
    QCOMPARE(rig.rule(BlockIpKey, "61.1.2.3"), verdicts[0]);
    QCOMPARE(rig.rule(BlockRpKey, "4321"), verdicts[1]);
    QCOMPARE(rig.rule(BlockLpKey, "80"), verdicts[2]);
    QCOMPARE(resets.size(), rebuilds ? 1 : 0);
    QCOMPARE(rig.log(), QStringList{"61.1.2.3|4321|80|" + action});
    QCOMPARE(rig.guard().pending.AlertCount, 0);
    QVERIFY(rig.program().alerts().isEmpty());
    ProgramRig::settle();
    QCOMPARE(destroyed.size(), 1);
}

void TestFrmAlert::deniedAddressIsCutOnlyAfterTheWindowCloses() {
    ProgramRig rig;
    frmAlert* a = raiseAlert(rig);
    a->Command1->click();
    // The answer's own rebuild still found the entry pending.
    QVERIFY(rig.table.cuts().empty());
    rig.guard().RefreshTable(true);
    QCOMPARE(rig.table.cuts().size(), size_t(1));
    QCOMPARE(rig.log(),
             (QStringList{"61.1.2.3|4321|80|拒绝IP连接", "61.1.2.3|4321|80|已断开连接"}));
}

void TestFrmAlert::allowAnswerLetsTheConnectionPass() {
    ProgramRig rig;
    frmAlert* a = raiseAlert(rig);
    a->Command2->click();
    ProgramRig::settle();
    rig.guard().RefreshTable(true);
    rig.guard().RefreshTable(true);
    QVERIFY(rig.program().alerts().isEmpty());
    QVERIFY(rig.table.cuts().empty());
    QCOMPARE(rig.log().size(), 1);
}

// An answer whose rule the hive refuses is said once, with the missing right, and leaves no
// record claiming it; the tray then carries its warning line.
void TestFrmAlert::answerThatStoresNothingSaysSo() {
    ProgramRig rig;
    frmAlert* a = raiseAlert(rig);
    QVERIFY(a != nullptr);
    QVERIFY(test::writeFile(rig.hive->path(), QByteArray(4096, 'x')));
    a->Command5->click();
    ProgramRig::settle();
    QCOMPARE(rig.boxes().told.size(), 1);
    QVERIFY2(rig.boxes().told.first().second.startsWith(QStringLiteral("规则没有保存")),
             qPrintable(rig.boxes().told.first().second));
    QVERIFY(rig.log().isEmpty());
    QVERIFY(rig.program().alerts().isEmpty());
    QVERIFY(rig.program().tray().toolTip().contains(QStringLiteral("缺少权限")));
}

void TestFrmAlert::closingWithoutAnswerRemovesEntryOnly() {
    ProgramRig rig;
    frmAlert* a = raiseAlert(rig);
    QSignalSpy destroyed(a, &QObject::destroyed);
    a->close();
    QCOMPARE(rig.guard().pending.AlertCount, 0);
    QVERIFY(rig.ruleKeysInOrder().isEmpty());
    QVERIFY(rig.log().isEmpty());
    ProgramRig::settle();
    QCOMPARE(destroyed.size(), 1);
    // Decided afresh at the next rebuild: a new question.
    rig.guard().RefreshTable(true);
    QCOMPARE(rig.program().alerts().size(), 1);
    QCOMPARE(rig.guard().pending.AlertCount, 1);
}

void TestFrmAlert::closingThreeAlertsKeepsEachWindowOnItsEntry() {
    ProgramRig rig;
    rig.setSubnet(false);
    rig.setLevel(1);
    rig.table.add(QStringLiteral("61.1.1.1"), 1001, 81);
    rig.table.add(QStringLiteral("62.2.2.2"), 1002, 82);
    rig.table.add(QStringLiteral("63.3.3.3"), 1003, 83);
    rig.main();
    rig.guard().RefreshTable(false);
    const QList<frmAlert*> abc = rig.program().alerts();
    QCOMPARE(abc.size(), 3);
    frmAlert* A = abc[0];
    frmAlert* B = abc[1];
    frmAlert* C = abc[2];
    QCOMPARE((QList<qint32>{A->t, B->t, C->t}), (QList<qint32>{0, 1, 2}));

    B->close();
    QCOMPARE(rig.guard().pending.AlertCount, 2);
    QCOMPARE(A->t, 0);
    QCOMPARE(C->t, 1);
    QCOMPARE(rig.guard().pending.AlertRemA[0], QStringLiteral("61.1.1.1"));
    QCOMPARE(rig.guard().pending.AlertRemA[1], QStringLiteral("63.3.3.3"));
    QCOMPARE(rig.guard().pending.AlertLocP[1], QStringLiteral("83"));
    ProgramRig::settle();

    C->close();
    QCOMPARE(rig.guard().pending.AlertCount, 1);
    QCOMPARE(A->t, 0);
    QCOMPARE(rig.guard().pending.AlertRemA[0], QStringLiteral("61.1.1.1"));
    ProgramRig::settle();

    A->close();
    QCOMPARE(rig.guard().pending.AlertCount, 0);
    ProgramRig::settle();
    QVERIFY(rig.program().alerts().isEmpty());
}

void TestFrmAlert::secondClickDuringAnAnswerIsIgnored() {
    ProgramRig rig;
    frmAlert* a = raiseAlert(rig);
    rig.table.add(QStringLiteral("99.1.2.3"), 4000, 4001);
    bool clickedAgain = false;
    // The answer's rebuild judges the new row, which lets events run: a second click
    // (even another answer) arrives then.
    QObject::connect(&rig.guard(), &monitor::Guard::judging,
                     [&](const monitor::modNetstat::ConnectionRow& row) {
                         if (row.RemA == QStringLiteral("99.1.2.3") && !clickedAgain) {
                             clickedAgain = true;
                             a->Command5->click();
                         }
                     });
    a->Command1->click();
    QVERIFY(clickedAgain);
    QCOMPARE(rig.ruleKeysInOrder(), QStringList{"ip"});
    QCOMPARE(rig.log(), QStringList{"61.1.2.3|4321|80|拒绝IP连接"});
    QCOMPARE(rig.guard().pending.AlertCount, 1); // the new row's own alert
}

// 300 questions at once: 12 windows, the tray counting the rest, which open in order as
// windows close; one whose connection went meanwhile never opens.
void TestFrmAlert::floodOpensTwelveWindowsTheRestInTurn() {
    ProgramRig rig;
    rig.main();
    std::vector<platform::TcpRow> rows;
    for (int i = 0; i < 300; ++i) {
        rows.push_back(rig.table.add(QStringLiteral("61.1.%1.%2").arg(i / 256).arg(i % 256),
                                     static_cast<quint16>(5000 + i),
                                     static_cast<quint16>(20000 + i)));
    }
    rig.guard().RefreshTable(false);
    QCOMPARE(rig.program().alerts().size(), 12);
    const auto secondLine = [&] { return rig.tray().toolTip().section(u'\n', 1); };
    QCOMPARE(secondLine(), QStringLiteral("提醒窗口：12 个打开，288 个等待"));

    rig.table.remove(rows[12]);
    rig.program().alerts().first()->Command2->click();
    ProgramRig::settle();
    QList<frmAlert*> alerts = rig.program().alerts();
    QCOMPARE(alerts.size(), 12);
    QCOMPARE(alerts.first()->RemA, QStringLiteral("61.1.0.1"));
    QCOMPARE(alerts.last()->RemA, QStringLiteral("61.1.0.13"));
    QCOMPARE(alerts.last()->t, 11);
    QCOMPARE(secondLine(), QStringLiteral("提醒窗口：12 个打开，286 个等待"));

    while (!(alerts = rig.program().alerts()).isEmpty()) {
        alerts.first()->close();
        ProgramRig::settle();
    }
    QCOMPARE(rig.guard().pending.AlertCount, 0);
    QVERIFY(!rig.tray().toolTip().contains(u'\n'));
}

QUILLON_UI_TEST_MAIN(TestFrmAlert)
#include "test_frmAlert.moc"
