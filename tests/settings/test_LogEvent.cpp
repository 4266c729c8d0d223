// LogEvent: one line in WDlog.log and exactly one row in the console's log view, whether the
// console existed before or is created by the event; nothing at all when the file refuses it.

#include "core/monitor/Guard.h"
#include "core/settings/EventLog.h"
#include "core/settings/LogModel.h"
#include "support/ProgramRig.h"
#include "support/TestSupport.h"
#include "support/UiTestMain.h"
#include "ui/settings/frmOptions.h"
#include "ui/shell/modGeneral.h"

#include <QDateTime>
#include <QTest>

using namespace quillon;

namespace {

QDateTime fixedTime() {
    return QDateTime(QDate(2005, 7, 1), QTime(14, 3, 22));
}

} // namespace

class TestLogEvent : public QObject {
    Q_OBJECT
private slots:
    void firstEventCreatesConsoleWithOneRow();
    void eventsAppendToExistingConsole();
    void refusedEventLeavesEverythingAlone();
};

void TestLogEvent::firstEventCreatesConsoleWithOneRow() {
    test::ProgramRig f;
    f.program().eventLog().setClock(fixedTime);
    QVERIFY(!f.program().optionsExists());

    f.program().guard().LogEvent(QStringLiteral("10.0.0.5"), QStringLiteral("6667"),
                                 QStringLiteral("1042"), QStringLiteral("已断开连接"));

    QCOMPARE(f.logBytes().count("\r\n"), 1);
    // The console was created hidden by the reference and read the new line from the file:
    // the row is there once, not twice.
    QVERIFY(f.program().optionsExists());
    settings::frmOptions& c = f.options();
    QVERIFY(!c.isVisible());
    QCOMPARE(c.logModel->rowCount(), 1);
    QCOMPARE(test::rowTexts(*c.logModel, 0),
             QStringList({settings::EventLog::timeStamp(fixedTime()), QStringLiteral("10.0.0.5"),
                          QStringLiteral("6667"), QStringLiteral("1042"),
                          QStringLiteral("已断开连接")}));
}

void TestLogEvent::eventsAppendToExistingConsole() {
    test::ProgramRig f;
    f.program().eventLog().setClock(fixedTime);
    f.program().eventLog().LogEvent(QStringLiteral("10.0.0.1"), QStringLiteral("21"),
                                    QStringLiteral("1040"), QStringLiteral("允许连接"));
    settings::frmOptions& c = f.options();
    QCOMPARE(c.logModel->rowCount(), 1);

    f.program().guard().LogEvent(QStringLiteral("10.0.0.2"), QString(), QStringLiteral("1041"),
                                 QStringLiteral("拒绝IP连接"));
    f.program().guard().LogEvent(QStringLiteral("10.0.0.3"), QStringLiteral("80"),
                                 QStringLiteral("1042"), QStringLiteral("禁止所有连接"));

    QCOMPARE(&f.options(), &c);
    QCOMPARE(c.logModel->rowCount(), 3);
    // An empty remote port is an empty cell.
    QCOMPARE(test::rowTexts(*c.logModel, 1),
             QStringList({settings::EventLog::timeStamp(fixedTime()), QStringLiteral("10.0.0.2"),
                          QString(), QStringLiteral("1041"), QStringLiteral("拒绝IP连接")}));
    QCOMPARE(c.logModel->record(2).action, QStringLiteral("禁止所有连接"));
    QCOMPARE(f.logBytes().count("\r\n"), 3);

    // The view matches what a console created afresh reads from the file.
    QStringList shown;
    for (int r = 0; r < 3; ++r) {
        shown << test::rowTexts(*c.logModel, r).join(QLatin1Char('|'));
    }
    c.close();
    settings::frmOptions& again = f.options();
    QStringList reread;
    for (int r = 0; r < again.logModel->rowCount(); ++r) {
        reread << test::rowTexts(*again.logModel, r).join(QLatin1Char('|'));
    }
    QCOMPARE(reread, shown);
}

void TestLogEvent::refusedEventLeavesEverythingAlone() {
    test::ProgramRig f;
    // A folder where the file should be: the file cannot be opened for appending.
    QVERIFY(QDir().mkdir(f.logPath()));
    f.program().guard().LogEvent(QStringLiteral("10.0.0.5"), QStringLiteral("6667"),
                                 QStringLiteral("1042"), QStringLiteral("已断开连接"));
    QVERIFY(!f.program().optionsExists());

    settings::frmOptions& c = f.options();
    f.program().guard().LogEvent(QStringLiteral("10.0.0.5"), QStringLiteral("6667"),
                                 QStringLiteral("1042"), QStringLiteral("已断开连接"));
    QCOMPARE(c.logModel->rowCount(), 0);
}

QUILLON_UI_TEST_MAIN(TestLogEvent)
#include "test_LogEvent.moc"
