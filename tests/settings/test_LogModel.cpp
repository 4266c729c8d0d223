// The log view's model: its rows are exactly the records the reader finds in the file, in
// order, whether the file is indexed at once or in the background, with events appended
// meanwhile; a clear or a file changed behind its back never breaks it.

#include "core/settings/EventLog.h"
#include "core/settings/LogModel.h"
#include "platform/CodePage.h"
#include "support/TestSupport.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

using namespace quillon;
using settings::LogModel;
using settings::LogRecord;

namespace {

QStringList texts(const LogRecord& r) {
    return {r.time, r.RemA, r.RemP, r.LocP, r.action};
}

QList<QStringList> modelRows(const LogModel& model) {
    QList<QStringList> rows;
    for (int r = 0; r < model.rowCount(); ++r) {
        rows << test::rowTexts(model, r);
    }
    return rows;
}

QList<QStringList> fileRows(const QString& path) {
    QList<QStringList> rows;
    for (const LogRecord& r : test::readLog(path)) {
        rows << texts(r);
    }
    return rows;
}

// Records numbered from `from`, with a damaged line after every hundredth.
QByteArray records(int from, int count) {
    QByteArray bytes;
    for (int i = from; i < from + count; ++i) {
        bytes += settings::EventLog::formatRecord(
            {QStringLiteral("1:00:%1-2005-7-1").arg(i % 60, 2, 10, QLatin1Char('0')),
             QStringLiteral("10.0.%1.%2").arg(i / 256 % 256).arg(i % 256), QString::number(i),
             QStringLiteral("80"), QStringLiteral("已断开连接")});
        if (i % 100 == 99) {
            bytes += "\"broken\",\"10.0.0.1\"\r\n";
        }
    }
    return bytes;
}

} // namespace

class TestLogModel : public QObject {
    Q_OBJECT
private slots:
    void rowsAreTheRecordsOfTheFile_data();
    void rowsAreTheRecordsOfTheFile();
    void largeFileIndexedInBackground();
    void clearAndReopenWhileIndexing();
    void fileChangedBehindItsBack();

private:
    test::ScratchFolder dir_;
};

void TestLogModel::rowsAreTheRecordsOfTheFile_data() {
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray two = platform::CodePage::toGbk(
        u"\"14:03:22-2005-7-1\",\"10.0.0.5\",\"6667\",\"1042\",\"已断开连接\"\r\n"
        u"\"9:00:01-2005-7-2\",\"10.0.0.6\",\"\",\"80\",\"允许连接\"\r\n");
    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("two records") << two;
    QTest::newRow("no final line break") << two.chopped(2);
    QTest::newRow("lone CR and LF, blank lines")
        << QByteArray("\"a\",\"b\",\"c\",\"d\",\"e\"\r\r\n\n\"f\",\"g\",\"h\",\"i\",\"j\"\n");
    QTest::newRow("damaged lines dropped alone")
        << QByteArray("\"unclosed,\"b\",\"c\",\"d\",\"e\r\n"
                      "\"four\",\"b\",\"c\",\"d\"\r\n"
                      "\"six\",\"b\",\"c\",\"d\",\"e\",\"f\"\r\n"
                      "bare,fields,\"quoted\",x,\"a\"quote\"\r\n") +
               two;
    QTest::newRow("truncated GBK character") << two + QByteArray("\"t\",\"a\",\"p\",\"l\",\"\xd2");
    QTest::newRow("damaged lines around chunks") << records(0, 3000);
}

void TestLogModel::rowsAreTheRecordsOfTheFile() {
    QFETCH(QByteArray, bytes);
    const QString path = dir_.fresh(QStringLiteral("log%1"));
    if (!bytes.isEmpty()) {
        QVERIFY(test::writeFile(path, bytes));
    }
    LogModel model;
    QAbstractItemModelTester tester(&model);
    model.open(path);
    QVERIFY(model.indexed());
    QCOMPARE(modelRows(model), fileRows(path));
}

void TestLogModel::largeFileIndexedInBackground() {
    const QString path = dir_.fresh(QStringLiteral("log%1"));
    const QByteArray bytes = records(0, 30000);
    QVERIFY(bytes.size() > LogModel::kIndexAtOnceBytes);
    QVERIFY(test::writeFile(path, bytes));

    LogModel model;
    QAbstractItemModelTester tester(&model);
    QSignalSpy finished(&model, &LogModel::indexFinished);
    model.open(path);
    // An event of this run, written after the pass began: it is listed once, after the
    // file's records, although it reached the model first.
    const LogRecord event{QStringLiteral("2:00:00-2005-7-2"), QStringLiteral("10.9.9.9"),
                          QStringLiteral("21"), QStringLiteral("1040"), QStringLiteral("允许连接")};
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    file.write(settings::EventLog::formatRecord(event));
    file.close();
    model.append(event);
    QVERIFY(finished.wait(10000));
    QVERIFY(model.indexed());

    const QList<QStringList> expected = fileRows(path);
    QCOMPARE(expected.size(), 30001);
    QCOMPARE(model.rowCount(), expected.size());
    // Rows far apart, and blocks decoded out of order.
    for (const int row : {29999, 0, 12345, 64, 63, 30000, 1}) {
        QCOMPARE(test::rowTexts(model, row), expected.at(row));
    }
    QCOMPARE(modelRows(model), expected);
}

void TestLogModel::clearAndReopenWhileIndexing() {
    const QString path = dir_.fresh(QStringLiteral("log%1"));
    QVERIFY(test::writeFile(path, records(0, 40000)));
    LogModel model;
    QAbstractItemModelTester tester(&model);
    QSignalSpy finished(&model, &LogModel::indexFinished);

    // A pass stopped by a clear never delivers.
    model.open(path);
    model.clear();
    QVERIFY(model.indexed());
    QTest::qWait(300);
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(finished.count(), 0);

    // Opened twice: only the second pass counts; a model destroyed mid-pass stops it.
    model.open(path);
    model.open(path);
    QVERIFY(finished.wait(10000));
    QCOMPARE(model.rowCount(), 40000);
    QTest::qWait(100);
    QCOMPARE(finished.count(), 1);
    {
        LogModel gone;
        gone.open(path);
    }
}

void TestLogModel::fileChangedBehindItsBack() {
    const QString path = dir_.fresh(QStringLiteral("log%1"));
    const QByteArray bytes = records(0, 500);
    QVERIFY(test::writeFile(path, bytes));
    LogModel model;
    model.open(path);
    QCOMPARE(model.rowCount(), 500);

    // Cut short by another program: the rows stay, empty where the file no longer has their
    // records; nothing is read past its end.
    QVERIFY(test::writeFile(path, bytes.left(1000)));
    QCOMPARE(model.rowCount(), 500);
    QCOMPARE(model.record(0).RemP, QStringLiteral("0"));
    QCOMPARE(model.record(499).time, QString());
    QVERIFY(QFile::remove(path));
    QCOMPARE(model.record(300).time, QString());
    QCOMPARE(model.record(-1).time, QString());
    QCOMPARE(model.record(500).time, QString());
}

QTEST_GUILESS_MAIN(TestLogModel)
#include "test_LogModel.moc"
