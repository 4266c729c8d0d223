// The console: its opening over empty and stored settings, the switches and the level, the
// rule lists and their entry checks, the refills, re-creation after closing, and the log view
// with its clear command.

#include "core/monitor/Guard.h"
#include "core/settings/EventLog.h"
#include "core/settings/LogModel.h"
#include "core/settings/Switches.h"
#include "core/settings/modReg.h"
#include "platform/CodePage.h"
#include "platform/RegistryHive.h"
#include "support/ProgramRig.h"
#include "support/TestSupport.h"
#include "support/UiTestMain.h"
#include "ui/settings/LogView.h"
#include "ui/settings/frmOptions.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>

using namespace quillon;
using settings::frmOptions;
using settings::modReg::BlockIpKey;
using settings::modReg::BlockLpKey;
using settings::modReg::BlockRpKey;

namespace {

const QString kHighTitle = QStringLiteral("安全度高");
const QString kHighText = QStringLiteral("任何网络连接如果没在此软件设置规则的话都属非法!");
const QString kMediumTitle = QStringLiteral("安全度中");
const QString kMediumText = QStringLiteral("非系统自身访问为非法!(基本推荐)");
const QString kLowTitle = QStringLiteral("安全度底");
const QString kLowText = QStringLiteral("允许任何网络连接!");

int rows(const QListView* list) {
    return list->model()->rowCount();
}

// Selects one entry of a rule list, as a click on it does.
void selectRow(QListView* list, int row) {
    list->setCurrentIndex(list->model()->index(row, 0));
}

} // namespace

class TestFrmOptions : public QObject {
    Q_OBJECT
private slots:
    void firstOpeningOnEmptyHive();
    void openingRestoresStoredSwitches();
    void unusableStoredLevelKeepsSliderPosition_data();
    void unusableStoredLevelKeepsSliderPosition();
    void sliderPositionsSetTextsAndStoreLevel();
    void switchClicksStoreTheirValues();
    void ipv6BoxFollowsAndStoresSwitch_data();
    void ipv6BoxFollowsAndStoresSwitch();
    void layoutAndCaptions();
    void addChecksAndStoresEntries_data();
    void addChecksAndStoresEntries();
    void aRefusedEntrySaysWhyUnderTheField_data();
    void aRefusedEntrySaysWhyUnderTheField();
    void addRepeatsAndOverridesAllow();
    void deleteRemovesValueAndEntry();
    void listsFollowHiveOnCreationAndShow();
    void openConsoleFollowsAnotherProcess();
    void closedConsoleIsCreatedAgain();
    void logViewFilledFromFileAtCreation();
    void clearPromptNoThenYes();
    void clearPromptDoesNotBlock();
};

void TestFrmOptions::firstOpeningOnEmptyHive() {
    test::ProgramRig f;
    QVERIFY(!f.program().optionsExists());
    frmOptions& c = f.options();
    QVERIFY(f.program().optionsExists());
    QVERIFY(!c.isVisible());
    QCOMPARE(c.windowTitle(), QStringLiteral("控制台"));

    QVERIFY(!c.Check1->isChecked());
    QVERIFY(c.Check2->isChecked());
    QVERIFY(c.Check3->isChecked());
    QCOMPARE(c.Slider1->value(), 2);
    QCOMPARE(c.lblTitle->text(), kMediumTitle);
    QCOMPARE(c.lblDes->text(), kMediumText);

    // Checking the boxes wrote them back; the clear box wrote nothing.
    QCOMPARE(f.option(QStringLiteral("warnsys")), QStringLiteral("0"));
    QCOMPARE(f.option(QStringLiteral("warnexit")), QStringLiteral("0"));
    QCOMPARE(f.option(QStringLiteral("seclvl")), QStringLiteral("2"));
    QVERIFY(!f.hive->value(settings::modReg::OptionsKey, u"subnet").has_value());

    QCOMPARE(rows(c.lstIP), 0);
    QCOMPARE(rows(c.lstRemP), 0);
    QCOMPARE(rows(c.lstLocP), 0);
    QCOMPARE(c.logModel->rowCount(), 0);

    // Another reference is the same console.
    QCOMPARE(&f.options(), &c);
}

void TestFrmOptions::openingRestoresStoredSwitches() {
    test::ProgramRig f;
    f.setOption(QStringLiteral("subnet"), QStringLiteral("1"));
    f.setOption(QStringLiteral("warnsys"), QStringLiteral("1"));
    f.setOption(QStringLiteral("warnexit"), QStringLiteral("1"));
    f.setOption(QStringLiteral("seclvl"), QStringLiteral("3"));
    frmOptions& c = f.options();
    QVERIFY(c.Check1->isChecked());
    QVERIFY(!c.Check2->isChecked());
    QVERIFY(!c.Check3->isChecked());
    QCOMPARE(c.Slider1->value(), 3);
    QCOMPARE(c.lblTitle->text(), kLowTitle);
    QCOMPARE(c.lblDes->text(), kLowText);
    QCOMPARE(f.option(QStringLiteral("subnet")), QStringLiteral("1"));
    QCOMPARE(f.option(QStringLiteral("warnsys")), QStringLiteral("1"));
    QCOMPARE(f.option(QStringLiteral("warnexit")), QStringLiteral("1"));
    QCOMPARE(f.option(QStringLiteral("seclvl")), QStringLiteral("3"));

    // Anything but "1" counts as "ask": the box is checked and stored as "0".
    test::ProgramRig g;
    g.setOption(QStringLiteral("warnsys"), QStringLiteral("yes"));
    g.setOption(QStringLiteral("subnet"), QStringLiteral("true"));
    frmOptions& d = g.options();
    QVERIFY(d.Check2->isChecked());
    QVERIFY(!d.Check1->isChecked());
    QCOMPARE(g.option(QStringLiteral("warnsys")), QStringLiteral("0"));
    QCOMPARE(g.option(QStringLiteral("subnet")), QStringLiteral("true"));
}

void TestFrmOptions::unusableStoredLevelKeepsSliderPosition_data() {
    QTest::addColumn<QString>("stored");
    QTest::newRow("too high") << QStringLiteral("7");
    QTest::newRow("zero") << QStringLiteral("0");
    QTest::newRow("negative") << QStringLiteral("-1");
    QTest::newRow("text") << QStringLiteral("abc");
    QTest::newRow("fraction") << QStringLiteral("1.5");
}

void TestFrmOptions::unusableStoredLevelKeepsSliderPosition() {
    QFETCH(QString, stored);
    test::ProgramRig f;
    f.setOption(QStringLiteral("seclvl"), stored);
    frmOptions& c = f.options();
    // The slider stays where it stood before the stored level was read (the default level)
    // and that position is written back.
    QCOMPARE(c.Slider1->value(), 2);
    QCOMPARE(c.lblTitle->text(), kMediumTitle);
    QCOMPARE(c.lblDes->text(), kMediumText);
    QCOMPARE(f.option(QStringLiteral("seclvl")), QStringLiteral("2"));
}

void TestFrmOptions::sliderPositionsSetTextsAndStoreLevel() {
    test::ProgramRig f;
    frmOptions& c = f.options();
    c.Slider1->setValue(1);
    QCOMPARE(c.lblTitle->text(), kHighTitle);
    QCOMPARE(c.lblDes->text(), kHighText);
    QCOMPARE(f.option(QStringLiteral("seclvl")), QStringLiteral("1"));
    c.Slider1->setValue(3);
    QCOMPARE(c.lblTitle->text(), kLowTitle);
    QCOMPARE(c.lblDes->text(), kLowText);
    QCOMPARE(f.option(QStringLiteral("seclvl")), QStringLiteral("3"));
    // Keyboard steps move one level at a time; level 1 stands at the top.
    c.Slider1->triggerAction(QAbstractSlider::SliderSingleStepSub);
    QCOMPARE(c.Slider1->value(), 2);
    QCOMPARE(c.lblTitle->text(), kMediumTitle);
    QCOMPARE(f.option(QStringLiteral("seclvl")), QStringLiteral("2"));
    QVERIFY(c.Slider1->invertedAppearance());

    // The next console starts at the stored level.
    c.Slider1->setValue(1);
    c.close();
    QCOMPARE(f.options().Slider1->value(), 1);
    QCOMPARE(f.options().lblTitle->text(), kHighTitle);
}

void TestFrmOptions::switchClicksStoreTheirValues() {
    test::ProgramRig f;
    frmOptions& c = f.options();
    c.Check2->click();
    QVERIFY(!c.Check2->isChecked());
    QCOMPARE(f.option(QStringLiteral("warnsys")), QStringLiteral("1"));
    c.Check2->click();
    QCOMPARE(f.option(QStringLiteral("warnsys")), QStringLiteral("0"));

    c.Check3->click();
    QCOMPARE(f.option(QStringLiteral("warnexit")), QStringLiteral("1"));
    c.Check3->click();
    QCOMPARE(f.option(QStringLiteral("warnexit")), QStringLiteral("0"));

    c.Check1->click();
    QCOMPARE(f.option(QStringLiteral("subnet")), QStringLiteral("1"));
    c.Check1->click();
    QCOMPARE(f.option(QStringLiteral("subnet")), QStringLiteral("0"));
}

void TestFrmOptions::ipv6BoxFollowsAndStoresSwitch_data() {
    QTest::addColumn<QString>("stored"); // null: absent
    QTest::addColumn<bool>("checked");
    QTest::newRow("absent") << QString() << true;
    QTest::newRow("1") << QStringLiteral("1") << true;
    QTest::newRow("other text") << QStringLiteral("on") << true;
    QTest::newRow("0") << QStringLiteral("0") << false;
}

void TestFrmOptions::ipv6BoxFollowsAndStoresSwitch() {
    QFETCH(QString, stored);
    QFETCH(bool, checked);
    test::ProgramRig f;
    if (!stored.isNull()) {
        f.setOption(QStringLiteral("ipv6"), stored);
    }
    frmOptions& c = f.options();
    QCOMPARE(c.Check4->isChecked(), checked);
    // Checking the box at opening writes it back, as for the prompt switches.
    QCOMPARE(f.option(QStringLiteral("ipv6")), checked ? QStringLiteral("1") : stored);
    QCOMPARE(f.program().switches().ipv6(), checked);

    c.Check4->click();
    QCOMPARE(f.option(QStringLiteral("ipv6")), checked ? QStringLiteral("0") : QStringLiteral("1"));
    QCOMPARE(f.program().switches().ipv6(), !checked);
    // The next console shows what was stored.
    c.close();
    QCOMPARE(f.options().Check4->isChecked(), !checked);
}

void TestFrmOptions::layoutAndCaptions() {
    test::ProgramRig f;
    frmOptions& c = f.options();
    QCOMPARE(test::tabTexts(c.SSTab1),
             QStringList(
                 {QStringLiteral("拦截选项"), QStringLiteral("记录"), QStringLiteral("安全选项")}));
    QCOMPARE(test::tabTexts(c.SSTab2),
             QStringList({QStringLiteral("IP拦截"), QStringLiteral("远程端口拦截"),
                          QStringLiteral("本地端口拦截")}));
    QCOMPARE(c.Command1->text(), QStringLiteral("清除记录"));
    QCOMPARE(c.Command2->text(), QStringLiteral("增加"));
    QCOMPARE(c.Command3->text(), QStringLiteral("删除"));
    QCOMPARE(c.Check1->text(), QStringLiteral(" 区域网IP不受限制比如(192.168.X.X这类)"));
    QCOMPARE(c.Check2->text(), QStringLiteral("提示在关闭程序时是否把程序隐藏在系统托盘下."));
    QCOMPARE(c.Check3->text(), QStringLiteral("提示关闭时是否真的退出."));
    QCOMPARE(c.Check4->text(), QStringLiteral("IPv6连接同样受控"));
    QCOMPARE(c.Frame1->title(), QStringLiteral("安全级别调节"));
    QCOMPARE(c.Frame2->title(), QStringLiteral("程序制作"));
    QCOMPARE(c.Slider1->orientation(), Qt::Vertical);
    QCOMPARE(c.Slider1->minimum(), 1);
    QCOMPARE(c.Slider1->maximum(), 3);
    QCOMPARE(c.Slider1->singleStep(), 1);
    QVERIFY(c.Label1->text().contains(QStringLiteral("Quillon")));
    QVERIFY(c.Label1->text().contains(QStringLiteral("1.0.0")));
    QCOMPARE(c.Picture2->pixmap().size(), QSize(470, 77));
    QCOMPARE(c.Picture1->pixmap().size(), QSize(95, 84));
    QVERIFY(!c.Image1->pixmap().isNull());

    QCOMPARE(c.logModel->columnCount(), 5);
    QStringList headers;
    for (int i = 0; i < 5; ++i) {
        headers << c.logModel->headerData(i, Qt::Horizontal).toString();
    }
    QCOMPARE(headers, QStringList({QStringLiteral("记录时间"), QStringLiteral("IP地址"),
                                   QStringLiteral("远程端口"), QStringLiteral("本机端口"),
                                   QStringLiteral("信息")}));
    QCOMPARE(c.lstLog->header()->count(), 5);

    // Controls stand where the layout puts them relative to their tab control, whatever the
    // height of its tab strip; each tab shows its own controls only.
    c.show();
    QVERIFY(QTest::qWaitForWindowExposed(&c));
    // Pixels from the layout's twips (360, 600, 7335, 6075 for the tab control), 15 to one.
    QCOMPARE(c.SSTab1->geometry(), QRect(24, 40, 489, 405));
    c.SSTab1->setCurrentIndex(2);
    QVERIFY(c.Check1->isVisible());
    QVERIFY(!c.lstLog->isVisible());
    QCOMPARE(QRect(c.Check1->mapTo(c.SSTab1, QPoint(0, 0)), c.Check1->size()),
             QRect(12, 156, 417, 13));
    QCOMPARE(QRect(c.Frame1->mapTo(c.SSTab1, QPoint(0, 0)), c.Frame1->size()),
             QRect(12, 228, 469, 157));
    QCOMPARE(c.Slider1->geometry(), QRect(8, 16, 42, 133));
    // The family box (180, 1980, 6255, 195) stands in the free band between the banner and
    // the first switch, clear of every other control of the tab.
    QCOMPARE(QRect(c.Check4->mapTo(c.SSTab1, QPoint(0, 0)), c.Check4->size()),
             QRect(12, 132, 417, 13));
    for (const QWidget* other :
         c.Check4->parentWidget()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        QVERIFY2(other == c.Check4 || !other->geometry().intersects(c.Check4->geometry()),
                 qPrintable(other->metaObject()->className()));
    }
    c.SSTab1->setCurrentIndex(1);
    QVERIFY(c.lstLog->isVisible());
    QVERIFY(!c.Check1->isVisible());
    QCOMPARE(QRect(c.lstLog->mapTo(c.SSTab1, QPoint(0, 0)), c.lstLog->size()),
             QRect(32, 32, 425, 313));
    c.SSTab1->setCurrentIndex(0);
    c.SSTab2->setCurrentIndex(1);
    QVERIFY(c.lstRemP->isVisible());
    QVERIFY(!c.lstIP->isVisible());
    QCOMPARE(QRect(c.lstRemP->mapTo(c.SSTab2, QPoint(0, 0)), c.lstRemP->size()),
             QRect(8, 32, 405, 238));
    QCOMPARE(QRect(c.txtAdd->mapTo(c.SSTab1, QPoint(0, 0)), c.txtAdd->size()),
             QRect(154, 344, 189, 21));
}

void TestFrmOptions::addChecksAndStoresEntries_data() {
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("stored"); // empty: rejected

    QTest::newRow("port 135") << 1 << QStringLiteral("135") << QStringLiteral("135");
    QTest::newRow("port leading zero") << 1 << QStringLiteral("080") << QStringLiteral("80");
    QTest::newRow("port spaces") << 2 << QStringLiteral("  443 ") << QStringLiteral("443");
    QTest::newRow("port 0") << 2 << QStringLiteral("0") << QString();
    QTest::newRow("port 65535") << 1 << QStringLiteral("65535") << QStringLiteral("65535");
    QTest::newRow("port text") << 1 << QStringLiteral("abc") << QString();
    QTest::newRow("port too big") << 1 << QStringLiteral("65536") << QString();
    QTest::newRow("port huge") << 2 << QStringLiteral("99999999999999999999") << QString();
    QTest::newRow("port negative") << 2 << QStringLiteral("-1") << QString();
    QTest::newRow("port signed") << 2 << QStringLiteral("+80") << QString();
    QTest::newRow("port fraction") << 1 << QStringLiteral("80.5") << QString();
    QTest::newRow("port exponent") << 1 << QStringLiteral("1e3") << QString();
    QTest::newRow("port inner space") << 1 << QStringLiteral("8 0") << QString();
    QTest::newRow("port empty") << 1 << QString() << QString();
    QTest::newRow("ip") << 0 << QStringLiteral("10.0.0.1") << QStringLiteral("10.0.0.1");
    QTest::newRow("ip canonical") << 0 << QStringLiteral(" 010.000.000.001 ")
                                  << QStringLiteral("10.0.0.1");
    QTest::newRow("ip octet too big") << 0 << QStringLiteral("256.1.1.1") << QString();
    QTest::newRow("ip three parts") << 0 << QStringLiteral("1.2.3") << QString();
    QTest::newRow("ip five parts") << 0 << QStringLiteral("1.2.3.4.5") << QString();
    QTest::newRow("ip empty part") << 0 << QStringLiteral("1..3.4") << QString();
    QTest::newRow("ip trailing dot") << 0 << QStringLiteral("1.2.3.4.") << QString();
    QTest::newRow("ip long part") << 0 << QStringLiteral("0001.2.3.4") << QString();
    QTest::newRow("ip name") << 0 << QStringLiteral("example") << QString();
    QTest::newRow("ip empty") << 0 << QString() << QString();
    QTest::newRow("ip v6 loopback") << 0 << QStringLiteral("::1") << QStringLiteral("::1");
    QTest::newRow("ip v6 canonical")
        << 0 << QStringLiteral(" 2001:DB8::0:1 ") << QStringLiteral("2001:db8::1");
    QTest::newRow("ip v6 zeros folded")
        << 0 << QStringLiteral("fe80:0:0:0:0:0:0:1") << QStringLiteral("fe80::1");
    QTest::newRow("ip v6 mapped") << 0 << QStringLiteral("::FFFF:010.0.0.1") << QString();
    QTest::newRow("ip v6 mapped canonical")
        << 0 << QStringLiteral("::ffff:a00:1") << QStringLiteral("10.0.0.1");
    QTest::newRow("ip v6 two folds") << 0 << QStringLiteral("1::2::3") << QString();
    QTest::newRow("ip v6 bad digit") << 0 << QStringLiteral("2001:db8::g") << QString();
    QTest::newRow("ip v6 zone") << 0 << QStringLiteral("fe80::1%eth0") << QString();
    QTest::newRow("ip v6 bracketed") << 0 << QStringLiteral("[::1]") << QString();
}

void TestFrmOptions::addChecksAndStoresEntries() {
    QFETCH(int, tab);
    QFETCH(QString, typed);
    QFETCH(QString, stored);
    test::ProgramRig f;
    frmOptions& c = f.options();
    const QString keys[] = {BlockIpKey, BlockRpKey, BlockLpKey};
    QListView* lists[] = {c.lstIP, c.lstRemP, c.lstLocP};

    c.SSTab2->setCurrentIndex(tab);
    c.txtAdd->setText(typed);
    c.Command2->click();

    for (int i = 0; i < 3; ++i) {
        const bool target = i == tab && !stored.isEmpty();
        QCOMPARE(f.values(keys[i]),
                 target ? QStringList{stored + QStringLiteral("=1")} : QStringList());
        QCOMPARE(test::texts(lists[i]), target ? QStringList{stored} : QStringList());
    }
    // A rejected entry stays in the field for the user to mend.
    QCOMPARE(c.txtAdd->text(), stored.isEmpty() ? typed : QString());
}

void TestFrmOptions::aRefusedEntrySaysWhyUnderTheField_data() {
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("reason");
    QTest::newRow("host name") << 0 << QStringLiteral("my server")
                               << QStringLiteral("“my server” 不是 IP 地址：规则只认数字地址，如 "
                                                 "10.0.0.1，不认主机名。");
    QTest::newRow("octet too big")
        << 0 << QStringLiteral("999.1.1.1")
        << QStringLiteral("“999.1.1.1” 不是 IP 地址：每段是 0 到 255 的数。");
    QTest::newRow("port too big") << 1 << QStringLiteral("65536")
                                  << QStringLiteral("“65536” 超出范围：端口号最大为 65535。");
    QTest::newRow("service name") << 2 << QStringLiteral("http")
                                  << QStringLiteral(
                                         "“http” 不是端口号：端口号是 1 到 65535 的整数。");
    QTest::newRow("port 0") << 1 << QStringLiteral("0")
                            << QStringLiteral(
                                   "端口 0 不会出现在任何连接上：端口号是 1 到 65535 的整数。");
}

// A refused entry says why in one line under the field, in sight at the console's fixed
// size; the next good entry, or mending the text, takes it back.
void TestFrmOptions::aRefusedEntrySaysWhyUnderTheField() {
    QFETCH(int, tab);
    QFETCH(QString, typed);
    QFETCH(QString, reason);
    test::ProgramRig f;
    frmOptions& c = f.options();
    c.show();
    QVERIFY(QTest::qWaitForWindowExposed(&c));
    c.SSTab2->setCurrentIndex(tab);
    QVERIFY(c.lblRefused->text().isEmpty());
    c.txtAdd->setText(typed);
    c.Command2->click();
    QCOMPARE(c.txtAdd->text(), typed);
    QCOMPARE(c.lblRefused->text(), reason);
    QVERIFY(c.lblRefused->isVisible());
    // Below the entry row, inside the tab, on one line.
    const QRect line =
        c.lblRefused->geometry().translated(c.lblRefused->parentWidget()->mapTo(&c, QPoint()));
    const QRect entry =
        c.txtAdd->geometry().translated(c.txtAdd->parentWidget()->mapTo(&c, QPoint()));
    QVERIFY(line.top() >= entry.bottom());
    QVERIFY(c.lblRefused->parentWidget()->rect().contains(c.lblRefused->geometry()));
    QVERIFY(c.lblRefused->fontMetrics().horizontalAdvance(reason) <= line.width());
    QVERIFY(c.lblRefused->fontMetrics().height() <= line.height());

    QTest::keyClick(c.txtAdd, Qt::Key_Backspace);
    QVERIFY(c.lblRefused->text().isEmpty());
    c.txtAdd->setText(typed);
    c.Command2->click();
    QCOMPARE(c.lblRefused->text(), reason);
    c.txtAdd->setText(tab == 0 ? QStringLiteral("10.0.0.1") : QStringLiteral("80"));
    c.Command2->click();
    QVERIFY(c.lblRefused->text().isEmpty());
}

void TestFrmOptions::addRepeatsAndOverridesAllow() {
    test::ProgramRig f;
    f.setRule(BlockRpKey, QStringLiteral("25"), QStringLiteral("0"));
    frmOptions& c = f.options();
    QCOMPARE(rows(c.lstRemP), 0);
    c.SSTab2->setCurrentIndex(1);

    // An item allowed through an alert becomes denied, and is listed now.
    c.txtAdd->setText(QStringLiteral("25"));
    c.Command2->click();
    QCOMPARE(f.values(BlockRpKey), QStringList{QStringLiteral("25=1")});
    QCOMPARE(test::texts(c.lstRemP), QStringList{QStringLiteral("25")});

    // The same item again (in another spelling) is written again but listed once, so that
    // deleting it leaves no stale line.
    c.txtAdd->setText(QStringLiteral("025"));
    c.Command2->click();
    QCOMPARE(f.values(BlockRpKey), QStringList{QStringLiteral("25=1")});
    QCOMPARE(test::texts(c.lstRemP), QStringList{QStringLiteral("25")});
    QVERIFY(c.txtAdd->text().isEmpty());

    // Return in the entry field adds too.
    c.txtAdd->setText(QStringLiteral("110"));
    QTest::keyClick(c.txtAdd, Qt::Key_Return);
    QCOMPARE(test::texts(c.lstRemP), QStringList({QStringLiteral("25"), QStringLiteral("110")}));

    // Adding leaves the selection as it was, so "删除" right after removes nothing new.
    QVERIFY(c.lstRemP->selectionModel()->selectedIndexes().isEmpty());
    c.Command3->click();
    QCOMPARE(test::texts(c.lstRemP), QStringList({QStringLiteral("25"), QStringLiteral("110")}));
    selectRow(c.lstRemP, 0);
    c.txtAdd->setText(QStringLiteral("139"));
    c.Command2->click();
    QCOMPARE(c.lstRemP->selectionModel()->selectedIndexes(),
             QModelIndexList{c.lstRemP->model()->index(0, 0)});
}

void TestFrmOptions::deleteRemovesValueAndEntry() {
    test::ProgramRig f;
    f.setRule(BlockLpKey, QStringLiteral("135"), QStringLiteral("1"));
    f.setRule(BlockLpKey, QStringLiteral("139"), QStringLiteral("1"));
    f.setRule(BlockLpKey, QStringLiteral("445"), QStringLiteral("0"));
    frmOptions& c = f.options();
    c.SSTab2->setCurrentIndex(2);
    QCOMPARE(test::texts(c.lstLocP), QStringList({QStringLiteral("135"), QStringLiteral("139")}));

    // Nothing selected: nothing happens, not even to the current (unselected) entry.
    c.lstLocP->selectionModel()->setCurrentIndex(c.lstLocP->model()->index(0, 0),
                                                 QItemSelectionModel::NoUpdate);
    c.lstLocP->clearSelection();
    c.Command3->click();
    QCOMPARE(test::texts(c.lstLocP), QStringList({QStringLiteral("135"), QStringLiteral("139")}));
    QCOMPARE(f.values(BlockLpKey).size(), 3);

    selectRow(c.lstLocP, 1);
    c.Command3->click();
    QCOMPARE(test::texts(c.lstLocP), QStringList{QStringLiteral("135")});
    QCOMPARE(f.values(BlockLpKey), QStringList({QStringLiteral("135=1"), QStringLiteral("445=0")}));

    // The delete acts on the shown tab's list only.
    f.setRule(BlockIpKey, QStringLiteral("10.0.0.9"), QStringLiteral("1"));
    c.close();
    frmOptions& d = f.options();
    selectRow(d.lstIP, 0);
    d.SSTab2->setCurrentIndex(2);
    d.lstLocP->clearSelection();
    d.Command3->click();
    QCOMPARE(test::texts(d.lstIP), QStringList{QStringLiteral("10.0.0.9")});
    QCOMPARE(f.values(BlockIpKey), QStringList{QStringLiteral("10.0.0.9=1")});
    d.SSTab2->setCurrentIndex(0);
    d.Command3->click();
    QCOMPARE(rows(d.lstIP), 0);
    QCOMPARE(f.values(BlockIpKey), QStringList());
}

void TestFrmOptions::listsFollowHiveOnCreationAndShow() {
    test::ProgramRig f;
    f.setRule(BlockIpKey, QStringLiteral("10.0.0.1"), QStringLiteral("1"));
    f.setRule(BlockIpKey, QStringLiteral("10.0.0.2"), QStringLiteral("0"));
    f.setRule(BlockIpKey, QStringLiteral("10.0.0.3"), QStringLiteral("1"));
    f.setRule(BlockRpKey, QStringLiteral("6667"), QStringLiteral("1"));
    f.setRule(BlockLpKey, QStringLiteral("31337"), QStringLiteral("1"));
    frmOptions& c = f.options();
    QCOMPARE(test::texts(c.lstIP),
             QStringList({QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.3")}));
    QCOMPARE(test::texts(c.lstRemP), QStringList{QStringLiteral("6667")});
    QCOMPARE(test::texts(c.lstLocP), QStringList{QStringLiteral("31337")});

    // Rules written elsewhere (an alert answer, the connection menu) while the console is
    // hidden appear when it is shown; rules gone meanwhile disappear.
    f.setRule(BlockIpKey, QStringLiteral("10.0.0.4"), QStringLiteral("1"));
    f.setRule(BlockRpKey, QStringLiteral("12345"), QStringLiteral("1"));
    settings::modReg::DeleteRegValue(*f.hive, settings::modReg::HKEY_LOCAL_MACHINE, BlockLpKey,
                                     QStringLiteral("31337"));
    QCOMPARE(rows(c.lstIP), 2);
    c.show();
    QCOMPARE(test::texts(c.lstIP),
             QStringList({QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.3"),
                          QStringLiteral("10.0.0.4")}));
    QCOMPARE(test::texts(c.lstRemP),
             QStringList({QStringLiteral("6667"), QStringLiteral("12345")}));
    QCOMPARE(rows(c.lstLocP), 0);

    // Hidden and shown again: refilled, not appended to.
    f.setRule(BlockLpKey, QStringLiteral("1080"), QStringLiteral("1"));
    c.hide();
    c.show();
    QCOMPARE(rows(c.lstIP), 3);
    QCOMPARE(test::texts(c.lstLocP), QStringList{QStringLiteral("1080")});
}

// What another process stores counts from the next tick, and an open console shows it at
// once, boxes, slider and lists, without writing any of it back: a level it cannot show
// stays stored as it is and counts as the default, as at start.
void TestFrmOptions::openConsoleFollowsAnotherProcess() {
    test::ProgramRig f;
    frmOptions& c = f.options();
    c.show();
    monitor::Guard& guard = f.program().guard();
    guard.RefreshTable(false);
    platform::RegistryHive other(f.hive->path());
    const QString options = settings::modReg::OptionsKey;
    for (const auto& [name, data] :
         {std::pair{"seclvl", "1"}, {"subnet", "1"}, {"ipv6", "0"}, {"warnsys", "1"}}) {
        QVERIFY(other.setValue(options, QString::fromLatin1(name), QString::fromLatin1(data)));
    }
    QVERIFY(other.setValue(BlockIpKey, u"203.0.113.7", u"1"));
    guard.RefreshTable(false);
    QCOMPARE(f.program().switches().level(), 1);
    QVERIFY(f.program().switches().subnet());
    QVERIFY(!f.program().switches().ipv6());
    QCOMPARE(c.Slider1->value(), 1);
    QCOMPARE(c.lblTitle->text(), kHighTitle);
    QVERIFY(c.Check1->isChecked());
    QVERIFY(!c.Check2->isChecked());
    QVERIFY(!c.Check4->isChecked());
    QCOMPARE(test::texts(c.lstIP), QStringList{QStringLiteral("203.0.113.7")});

    QVERIFY(other.setValue(options, u"seclvl", u"9"));
    guard.RefreshTable(false);
    QCOMPARE(c.Slider1->value(), 2);
    QCOMPARE(f.program().switches().level(), 2);
    QCOMPARE(f.option(QStringLiteral("seclvl")), QStringLiteral("9"));
    QCOMPARE(f.option(QStringLiteral("subnet")), QStringLiteral("1"));
}

void TestFrmOptions::closedConsoleIsCreatedAgain() {
    test::ProgramRig f;
    QPointer<frmOptions> first = &f.options();
    first->Check2->click();
    first->Slider1->setValue(3);
    first->show();
    QVERIFY(first->close());
    QVERIFY(!f.program().optionsExists());

    // Meanwhile another window writes a rule and the stored switches change.
    f.setRule(BlockIpKey, QStringLiteral("192.0.2.7"), QStringLiteral("1"));
    f.setOption(QStringLiteral("subnet"), QStringLiteral("1"));

    frmOptions& second = f.options();
    QVERIFY(&second != first.data());
    QVERIFY(!second.isVisible());
    QVERIFY(second.Check1->isChecked());
    QVERIFY(!second.Check2->isChecked());
    QVERIFY(second.Check3->isChecked());
    QCOMPARE(second.Slider1->value(), 3);
    QCOMPARE(second.lblTitle->text(), kLowTitle);
    QCOMPARE(test::texts(second.lstIP), QStringList{QStringLiteral("192.0.2.7")});

    // The closed console goes away for good.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(first.isNull());
    QCOMPARE(&f.options(), &second);
}

void TestFrmOptions::logViewFilledFromFileAtCreation() {
    test::ProgramRig f;
    // Two records as the writer stores them: GBK, CR LF, an empty remote port.
    f.writeLog(platform::CodePage::toGbk(
        u"\"14:03:22-2005-7-1\",\"10.0.0.5\",\"6667\",\"1042\",\"已断开连接\"\r\n"
        u"\"9:00:01-2005-7-2\",\"10.0.0.6\",\"\",\"80\",\"允许连接\"\r\n"));
    frmOptions& c = f.options();
    QCOMPARE(c.logModel->rowCount(), 2);
    QCOMPARE(test::rowTexts(*c.logModel, 0),
             QStringList({QStringLiteral("14:03:22-2005-7-1"), QStringLiteral("10.0.0.5"),
                          QStringLiteral("6667"), QStringLiteral("1042"),
                          QStringLiteral("已断开连接")}));
    QCOMPARE(test::rowTexts(*c.logModel, 1),
             QStringList({QStringLiteral("9:00:01-2005-7-2"), QStringLiteral("10.0.0.6"), QString(),
                          QStringLiteral("80"), QStringLiteral("允许连接")}));
    QCOMPARE(c.lstLog->model(), c.logModel);

    // A console created again reads the file again, once.
    c.close();
    QCOMPARE(f.options().logModel->rowCount(), 2);
}

void TestFrmOptions::clearPromptNoThenYes() {
    test::ProgramRig f;
    f.program().eventLog().LogEvent(QStringLiteral("10.0.0.5"), QStringLiteral("6667"),
                                    QStringLiteral("1042"), QStringLiteral("已断开连接"));
    frmOptions& c = f.options();
    QCOMPARE(c.logModel->rowCount(), 1);
    const QByteArray before = f.logBytes();
    QVERIFY(!before.isEmpty());
    auto& boxes = f.boxes();

    boxes.queueAnswer(chrome::MessageBoxes::No);
    c.Command1->click();
    QCOMPARE(boxes.asked.size(), 1);
    QCOMPARE(boxes.asked.at(0).first, QStringLiteral("警告！"));
    QCOMPARE(boxes.asked.at(0).second,
             QStringLiteral("日志记录是你抓小黑客的重要证据~！\r\n\r\n是否真的要清除记录？"));
    QCOMPARE(f.logBytes(), before);
    QCOMPARE(c.logModel->rowCount(), 1);

    boxes.queueAnswer(chrome::MessageBoxes::Yes);
    c.Command1->click();
    QCOMPARE(boxes.asked.size(), 2);
    QCOMPARE(c.logModel->rowCount(), 0);
    QVERIFY(QFile::exists(f.logPath()));
    QCOMPARE(QFileInfo(f.logPath()).size(), 0);

    // Events after the clear start the view and the file afresh.
    f.program().eventLog().LogEvent(QStringLiteral("10.0.0.7"), QStringLiteral("21"),
                                    QStringLiteral("1043"), QStringLiteral("允许连接"));
    QCOMPARE(c.logModel->rowCount(), 1);
    QCOMPARE(c.logModel->record(0).RemA, QStringLiteral("10.0.0.7"));

    // When the log file cannot be emptied (a folder stands in its place), the view keeps its
    // rows rather than pretend the records are gone.
    QVERIFY(QFile::remove(f.logPath()));
    QVERIFY(QDir().mkdir(f.logPath()));
    boxes.queueAnswer(chrome::MessageBoxes::Yes);
    c.Command1->click();
    QCOMPARE(c.logModel->rowCount(), 1);
}

// The real question box is not modal to the whole program: the click returns at once, ticks
// and rebuilds go on, and the answer arrives when the user gives it.
void TestFrmOptions::clearPromptDoesNotBlock() {
    test::ProgramRig f;
    f.program().eventLog().LogEvent(QStringLiteral("10.0.0.5"), QStringLiteral("6667"),
                                    QStringLiteral("1042"), QStringLiteral("已断开连接"));
    frmOptions& c = f.options();
    c.show();
    c.Command1->click(); // no queued answer: a real box
    auto* box = c.findChild<QMessageBox*>();
    QVERIFY(box != nullptr);
    QVERIFY(box->isVisible());
    QCOMPARE(box->windowTitle(), QStringLiteral("警告！"));
    QCOMPARE(box->defaultButton(), box->button(QMessageBox::No));
    // The buttons speak Chinese as the rest of the box does, and Esc answers "no".
    QCOMPARE(box->button(QMessageBox::Yes)->text(), QStringLiteral("是(&Y)"));
    QCOMPARE(box->button(QMessageBox::No)->text(), QStringLiteral("否(&N)"));
    QTest::keyClick(box, Qt::Key_Escape);
    QTRY_VERIFY(c.findChild<QMessageBox*>() == nullptr);
    QCOMPARE(c.logModel->rowCount(), 1);
    c.Command1->click();
    box = c.findChild<QMessageBox*>();
    QVERIFY(box != nullptr);

    box->button(QMessageBox::Yes)->click();
    QCOMPARE(c.logModel->rowCount(), 0);
    QCOMPARE(QFileInfo(f.logPath()).size(), 0);

    // A console closed while its question is open clears nothing when the answer comes.
    f.program().eventLog().LogEvent(QStringLiteral("10.0.0.6"), QStringLiteral("80"),
                                    QStringLiteral("1043"), QStringLiteral("允许连接"));
    QTRY_VERIFY(c.findChild<QMessageBox*>() == nullptr); // the answered box is gone
    c.Command1->click();
    QPointer<QMessageBox> second = c.findChild<QMessageBox*>();
    QVERIFY(!second.isNull());
    QPointer<frmOptions> console(&c);
    second->setParent(nullptr); // outlive the console, as a box on screen may
    console->close();
    QTRY_VERIFY(console.isNull());
    second->button(QMessageBox::Yes)->click();
    QVERIFY(QFileInfo(f.logPath()).size() > 0);
    delete second.data();
}

QUILLON_UI_TEST_MAIN(TestFrmOptions)
#include "test_frmOptions.moc"
