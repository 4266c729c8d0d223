// LoadSettings: the console created hidden with its lists and log view filled once, and the
// main window's list mode restored from the value toolbar button 4 stores.

#include "core/monitor/ConnectionListModel.h"
#include "core/settings/LogModel.h"
#include "core/settings/modReg.h"
#include "support/ProgramRig.h"
#include "support/UiTestMain.h"
#include "ui/monitor/frmMain.h"
#include "ui/settings/frmOptions.h"
#include "ui/shell/modGeneral.h"

#include <QCheckBox>
#include <QListView>
#include <QTest>
#include <QTimer>
#include <QToolButton>

using namespace quillon;
using settings::modReg::BlockIpKey;
using settings::modReg::BlockLpKey;
using settings::modReg::BlockRpKey;

namespace {

// Two records in the log, one rule of each kind plus an allow entry, local-network
// connections exempt so that no decision raises an alert, and a table of one listening
// socket and one established connection.
void prepare(test::ProgramRig& f) {
    f.program().eventLog().LogEvent(QStringLiteral("10.0.0.1"), QStringLiteral("21"),
                                    QStringLiteral("1040"), QStringLiteral("允许连接"));
    f.program().eventLog().LogEvent(QStringLiteral("10.0.0.2"), QStringLiteral("80"),
                                    QStringLiteral("1041"), QStringLiteral("拒绝IP连接"));
    f.setRule(BlockIpKey, QStringLiteral("10.9.9.9"), QStringLiteral("1"));
    f.setRule(BlockIpKey, QStringLiteral("10.9.9.8"), QStringLiteral("0"));
    f.setRule(BlockRpKey, QStringLiteral("6667"), QStringLiteral("1"));
    f.setRule(BlockLpKey, QStringLiteral("31337"), QStringLiteral("1"));
    f.setOption(QStringLiteral("subnet"), QStringLiteral("1"));
    f.table.add(QStringLiteral("0.0.0.0"), 0, 22, platform::StateListen);
    f.table.add(QStringLiteral("192.168.1.5"), 443, 50000, platform::StateEstablished);
}

void checkConsoleFilledOnce(test::ProgramRig& f) {
    QVERIFY(f.program().optionsExists());
    settings::frmOptions& c = f.options();
    QVERIFY(!c.isVisible());
    QCOMPARE(test::texts(c.lstIP), QStringList{QStringLiteral("10.9.9.9")});
    QCOMPARE(test::texts(c.lstRemP), QStringList{QStringLiteral("6667")});
    QCOMPARE(test::texts(c.lstLocP), QStringList{QStringLiteral("31337")});
    QCOMPARE(c.logModel->rowCount(), 2);
    QCOMPARE(c.logModel->record(0).RemA, QStringLiteral("10.0.0.1"));
    QCOMPARE(c.logModel->record(1).RemA, QStringLiteral("10.0.0.2"));
    QVERIFY(c.Check1->isChecked());
}

} // namespace

class TestLoadSettings : public QObject {
    Q_OBJECT
private slots:
    void emptyHiveAndNoLog();
    void listModeNotStored_data();
    void listModeNotStored();
    void listModeRestored();
    void consoleAlreadyThere();
};

void TestLoadSettings::emptyHiveAndNoLog() {
    test::ProgramRig f;
    modGeneral::LoadSettings(f.program());
    QVERIFY(f.program().optionsExists());
    settings::frmOptions& c = f.options();
    QVERIFY(!c.isVisible());
    QCOMPARE(c.logModel->rowCount(), 0);
    QCOMPARE(c.lstIP->model()->rowCount() + c.lstRemP->model()->rowCount() +
                 c.lstLocP->model()->rowCount(),
             0);
    QVERIFY(!QFile::exists(f.logPath()));
}

void TestLoadSettings::listModeNotStored_data() {
    QTest::addColumn<QString>("stored"); // null: absent
    QTest::newRow("absent") << QString();
    QTest::newRow("0") << QStringLiteral("0");
    QTest::newRow("other") << QStringLiteral("yes");
}

void TestLoadSettings::listModeNotStored() {
    QFETCH(QString, stored);
    test::ProgramRig f;
    prepare(f);
    if (!stored.isNull()) {
        f.setOption(QStringLiteral("所有连接"), stored);
    }
    // The value "active" is not what the toolbar stores, and is not consulted.
    f.setOption(QStringLiteral("active"), QStringLiteral("1"));
    monitor::frmMain& w = f.main();
    const int snapshots = f.table.snapshotCount();

    modGeneral::LoadSettings(f.program());

    checkConsoleFilledOnce(f);
    QToolButton* b4 = w.button(4);
    QVERIFY(b4 != nullptr);
    QCOMPARE(b4->text(), QStringLiteral("所有连接"));
    QVERIFY(!b4->isChecked());
    QCOMPARE(f.table.snapshotCount(), snapshots);
}

void TestLoadSettings::listModeRestored() {
    test::ProgramRig f;
    prepare(f);
    f.setOption(QStringLiteral("所有连接"), QStringLiteral("1"));
    monitor::frmMain& w = f.main();
    const int snapshots = f.table.snapshotCount();

    modGeneral::LoadSettings(f.program());

    checkConsoleFilledOnce(f);
    QToolButton* b4 = w.button(4);
    QVERIFY(b4->isChecked());
    QCOMPARE(b4->text(), QStringLiteral("全部"));
    QCOMPARE(b4->toolTip(), QStringLiteral("显示所有连接"));
    // The forced rebuild ran in the restored mode: the listening socket is not listed.
    QCOMPARE(f.table.snapshotCount(), snapshots + 1);
    QCOMPARE(w.listModel->rowCount(), 1);
    QCOMPARE(f.table.cuts().size(), size_t(0));
    QVERIFY(f.program().alerts().isEmpty());
    // Restoring is not a click: the stored value is left as it was.
    QCOMPARE(f.option(QStringLiteral("所有连接")), QStringLiteral("1"));
}

void TestLoadSettings::consoleAlreadyThere() {
    // The block decision may have created the console before the load runs; the load does
    // not fill its lists or its log view a second time.
    test::ProgramRig f;
    prepare(f);
    f.options();
    modGeneral::LoadSettings(f.program());
    checkConsoleFilledOnce(f);
}

QUILLON_UI_TEST_MAIN(TestLoadSettings)
#include "test_LoadSettings.moc"
