#include "core/settings/EventLog.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <vector>

using quillon::settings::EventLog;
using quillon::settings::LogRecord;
using quillon::test::fileBytes;
using quillon::test::readLog;
using quillon::test::writeFile;

Q_DECLARE_METATYPE(quillon::settings::LogRecord)

namespace {

// 已断开连接 and 拒绝IP连接 as GBK bytes.
const QByteArray kCutGbk("\xD2\xD1\xB6\xCF\xBF\xAA\xC1\xAC\xBD\xD3");
const QByteArray kRefuseGbk("\xBE\xDC\xBE\xF8IP\xC1\xAC\xBD\xD3");

QDateTime localTime(int y, int mo, int d, int h, int mi, int s) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s));
}

LogRecord rec(const QString& time, const QString& a, const QString& rp, const QString& lp,
              const QString& action) {
    return LogRecord{time, a, rp, lp, action};
}

bool same(const LogRecord& a, const LogRecord& b) {
    return a.time == b.time && a.RemA == b.RemA && a.RemP == b.RemP && a.LocP == b.LocP &&
           a.action == b.action;
}

QString show(const LogRecord& r) {
    return QStringList{r.time, r.RemA, r.RemP, r.LocP, r.action}.join(QLatin1Char('|'));
}

} // namespace

class TestEventLog : public QObject {
    Q_OBJECT

private:
    quillon::test::ScratchFolder dir_;

    QString freshPath() { return dir_.fresh(QStringLiteral("WDlog%1.log")); }

    static void compareRecords(const std::vector<LogRecord>& actual,
                               const std::vector<LogRecord>& expected) {
        QCOMPARE(actual.size(), expected.size());
        for (std::size_t k = 0; k < actual.size(); ++k) {
            QVERIFY2(same(actual[k], expected[k]),
                     qPrintable(show(actual[k]) + " != " + show(expected[k])));
        }
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        qRegisterMetaType<LogRecord>();
        // Eight hours east of UTC, with no daylight saving, whatever the machine is set to:
        // time stamps are local time, and the difference must show.
        qputenv("TZ", "CST-8");
    }

    void timeStampFormat_data() {
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("stamp");
        QTest::newRow("afternoon") << localTime(2005, 7, 1, 14, 3, 22) << "14:03:22-2005-7-1";
        QTest::newRow("morning") << localTime(2024, 12, 25, 9, 5, 7) << "9:05:07-2024-12-25";
        QTest::newRow("midnight") << localTime(2010, 1, 9, 0, 0, 0) << "0:00:00-2010-1-9";
        QTest::newRow("last second")
            << localTime(1999, 12, 31, 23, 59, 59) << "23:59:59-1999-12-31";
    }

    void timeStampFormat() {
        QFETCH(QDateTime, when);
        QFETCH(QString, stamp);
        QCOMPARE(EventLog::timeStamp(when), stamp);
        QCOMPARE(EventLog::parseTimeStamp(stamp), when); // and back
    }

    void parseTimeStampRejectsOtherTexts_data() {
        QTest::addColumn<QString>("text");
        for (const char* text :
             {"", "14:03:22", "14:03:22-2005-7-1 ", "14:3:22-2005-7-1", "24:00:00-2005-7-1",
              "14:60:00-2005-7-1", "14:03:22-2005-2-30", "14:03:22-2005-13-1",
              "2005-07-01T14:03:22", "下午2:03:22-2005-7-1"}) {
            QTest::newRow(text) << QString::fromUtf8(text);
        }
    }

    void parseTimeStampRejectsOtherTexts() {
        QFETCH(QString, text);
        QVERIFY(!EventLog::parseTimeStamp(text).isValid());
    }

    void timeStampIsLocalTime() {
        const QDateTime utc = localTime(2005, 7, 1, 14, 3, 22).toUTC();
        QCOMPARE(utc.time(), QTime(6, 3, 22));
        QCOMPARE(EventLog::timeStamp(utc), QStringLiteral("14:03:22-2005-7-1"));
        // Across midnight the date is the local one too.
        QCOMPARE(EventLog::timeStamp(QDateTime(QDate(2005, 6, 30), QTime(20, 0, 0), Qt::UTC)),
                 QStringLiteral("4:00:00-2005-7-1"));
    }

    void firstEventCreatesTheFileWithOneLine() {
        const QString path = freshPath();
        EventLog log(path);
        log.setClock([] { return localTime(2005, 7, 1, 14, 3, 22); });
        QSignalSpy spy(&log, &EventLog::logged);

        QVERIFY(log.LogEvent("61.1.2.3", "4321", "80", QStringLiteral("已断开连接")));

        QCOMPARE(fileBytes(path),
                 "\"14:03:22-2005-7-1\",\"61.1.2.3\",\"4321\",\"80\",\"" + kCutGbk + "\"\r\n");
        QCOMPARE(spy.size(), 1);
        const auto row = spy.at(0).at(0).value<LogRecord>();
        QVERIFY(same(
            row, rec("14:03:22-2005-7-1", "61.1.2.3", "4321", "80", QStringLiteral("已断开连接"))));
    }

    void eventsAppendInOrderAndTheStampIsFormedOnce() {
        const QString path = freshPath();
        EventLog log(path);
        int ticks = 0;
        // Each event asks the clock once; the file and the view row share that answer.
        log.setClock([&ticks] { return localTime(2005, 7, 1, 14, 3, 22).addSecs(ticks++); });
        QSignalSpy spy(&log, &EventLog::logged);

        QVERIFY(log.LogEvent("61.1.2.3", "4321", "80", QStringLiteral("已断开连接")));
        QVERIFY(log.LogEvent("62.2.2.2", "", "443", QStringLiteral("拒绝IP连接")));

        QCOMPARE(ticks, 2);
        QCOMPARE(fileBytes(path),
                 "\"14:03:22-2005-7-1\",\"61.1.2.3\",\"4321\",\"80\",\"" + kCutGbk + "\"\r\n" +
                     "\"14:03:23-2005-7-1\",\"62.2.2.2\",\"\",\"443\",\"" + kRefuseGbk + "\"\r\n");
        QCOMPARE(spy.size(), 2);
        QCOMPARE(spy.at(1).at(0).value<LogRecord>().time, QStringLiteral("14:03:23-2005-7-1"));
        QCOMPARE(spy.at(1).at(0).value<LogRecord>().RemP, QString());
    }

    void unwritableFileDropsTheEvent() {
        const QString missingFolder = dir_.filePath("no/such/folder/WDlog.log");
        const QString folder = dir_.filePath("a-folder");
        QVERIFY(QDir(dir_.path()).mkdir("a-folder"));
        for (const QString& path : {missingFolder, folder}) {
            EventLog log(path);
            QSignalSpy spy(&log, &EventLog::logged);
            QVERIFY(!log.LogEvent("61.1.2.3", "4321", "80", QStringLiteral("允许连接")));
            QCOMPARE(spy.size(), 0);
        }
        QVERIFY(!QFile::exists(missingFolder));
    }

    // A file that ends inside a line (an earlier write cut short) does not swallow the next
    // record.
    void appendingAfterADamagedEnd() {
        const QString path = freshPath();
        QVERIFY(writeFile(path, "\"9:00:00-2005-7-1\",\"1.1.1.1\",\"1\""));
        EventLog log(path);
        log.setClock([] { return localTime(2005, 7, 1, 14, 3, 22); });
        QVERIFY(log.LogEvent("61.1.2.3", "4321", "80", "x"));
        compareRecords(readLog(path), {rec("14:03:22-2005-7-1", "61.1.2.3", "4321", "80", "x")});
        QVERIFY(fileBytes(path).startsWith("\"9:00:00-2005-7-1\",\"1.1.1.1\",\"1\"\r\n\"14:03"));
    }

    void clearEmptiesOrCreatesTheFile() {
        const QString path = freshPath();
        EventLog log(path);
        QVERIFY(log.clear());
        QVERIFY(QFile::exists(path));
        QCOMPARE(QFileInfo(path).size(), 0);
        QVERIFY(log.LogEvent("61.1.2.3", "4321", "80", "x"));
        QVERIFY(QFileInfo(path).size() > 0);
        QVERIFY(log.clear());
        QCOMPARE(QFileInfo(path).size(), 0);
        QVERIFY(readLog(path).empty());
        QVERIFY(!EventLog(dir_.filePath("no/such/folder/WDlog.log")).clear());
    }

    void roundTrip() {
        const QString path = freshPath();
        EventLog log(path);
        log.setClock([] { return localTime(2005, 7, 1, 9, 5, 7); });
        const QStringList actions{QStringLiteral("已断开连接"), QStringLiteral("拒绝IP连接"),
                                  QStringLiteral("允许连接"), QStringLiteral("禁止远程端口连接"),
                                  QStringLiteral("禁止本机端口连接"),
                                  QStringLiteral("全部禁止连接"), QStringLiteral("异常连接中断"),
                                  QStringLiteral("禁止所有连接"),
                                  // Quotes are written unescaped; one inside a field survives.
                                  QStringLiteral("say \"hi\" now"), QString()};
        std::vector<LogRecord> expected;
        for (int k = 0; k < actions.size(); ++k) {
            // IPv4 and IPv6 addresses, up to the longest address text (45 characters).
            QString a = k % 2 ? QStringLiteral("2001:db8:0:1:1:1:1:%1").arg(k)
                              : QStringLiteral("10.0.0.%1").arg(k);
            if (k == 9) {
                a = QStringLiteral("0000:0000:0000:0000:0000:ffff:255.255.255.255");
            }
            const QString rp = k == 3 ? QString() : QString::number(1000 + k);
            QVERIFY(log.LogEvent(a, rp, "80", actions[k]));
            expected.push_back(rec("9:05:07-2005-7-1", a, rp, "80", actions[k]));
        }
        compareRecords(readLog(path), expected);
    }

    // Each broken line costs only itself; the records around it are read.
    void malformedLinesLoseOnlyThemselves_data() {
        QTest::addColumn<QByteArray>("broken");
        QTest::newRow("odd quotes")
            << QByteArray("\"1:00:00-2005-7-1\",\"1.1.1.1,\"2\",\"3\",\"x\"");
        QTest::newRow("unclosed last quote")
            << QByteArray("\"1:00:00-2005-7-1\",\"1.1.1.1\",\"2\",\"3\",\"x");
        QTest::newRow("four fields") << QByteArray("\"1:00:00-2005-7-1\",\"1.1.1.1\",\"2\",\"3\"");
        QTest::newRow("six fields")
            << QByteArray("\"1:00:00-2005-7-1\",\"1.1.1.1\",\"2\",\"3\",\"x\",\"y\"");
        QTest::newRow("one bare field") << QByteArray("garbage");
        QTest::newRow("binary") << QByteArray("\x00\x01\xFF\"\x80,,\"", 8);
        QTest::newRow("10 MB") << QByteArray(10 * 1024 * 1024, 'z');
        QTest::newRow("10 MB quoted")
            << "\"" + QByteArray(10 * 1024 * 1024, ',') + "\",\"a\",\"b\",\"c\"";
        QTest::newRow("20 MB of fields") << QByteArray(20 * 1024 * 1024, ',');
    }

    void malformedLinesLoseOnlyThemselves() {
        QFETCH(QByteArray, broken);
        const QByteArray good1("\"0:00:01-2005-7-1\",\"1.1.1.1\",\"10\",\"20\",\"a\"");
        const QByteArray good2("\"0:00:02-2005-7-1\",\"2.2.2.2\",\"30\",\"40\",\"b\"");
        const QString path = freshPath();
        QVERIFY(writeFile(path, good1 + "\r\n" + broken + "\r\n" + good2 + "\r\n"));
        compareRecords(readLog(path), {rec("0:00:01-2005-7-1", "1.1.1.1", "10", "20", "a"),
                                       rec("0:00:02-2005-7-1", "2.2.2.2", "30", "40", "b")});
    }

    void aHugeRecordIsStillARecord() {
        const QString path = freshPath();
        const QByteArray big(10 * 1024 * 1024, 'q');
        QVERIFY(writeFile(path,
                          "\"t\",\"a\",\"b\",\"c\",\"" + big + "\"\r\n\"t2\",\"\",\"\",\"\",\"\""));
        compareRecords(readLog(path), {rec("t", "a", "b", "c", QString::fromLatin1(big)),
                                       rec("t2", "", "", "", "")});
    }

    void lineEndingsAndBlankLines() {
        const QString path = freshPath();
        // LF-only, CR-only and CR LF lines, blank lines between, no line break at the end.
        QVERIFY(writeFile(path, "\"1\",\"a\",\"b\",\"c\",\"d\"\n\n"
                                "\"2\",\"a\",\"b\",\"c\",\"d\"\r\r\n\r\n"
                                "\"3\",\"a\",\"b\",\"c\",\"d\"\r"
                                "\"4\",\"a\",\"b\",\"c\",\"d\""));
        const std::vector<LogRecord> records = readLog(path);
        QCOMPARE(records.size(), std::size_t(4));
        for (std::size_t k = 0; k < records.size(); ++k) {
            QCOMPARE(records[k].time, QString::number(k + 1));
            QCOMPARE(records[k].action, QStringLiteral("d"));
        }
    }

    void fieldForms() {
        const QString path = freshPath();
        QVERIFY(writeFile(path,
                          // bare fields, as a hand-edited file might have them
                          "t1,1.1.1.1,80,81,bare\r\n"
                          // blanks around quoted fields
                          "\"t2\" , \"2.2.2.2\",\"80\",\"81\",  \"x\"  \r\n"
                          // a quote inside a field is text unless a comma or the line end follows
                          "\"t3\",\"a\"b\",\"\"\",\"\"\"\",\"q\"\r\n"
                          // empty fields, quoted and bare
                          "\"t4\",,\"\",,\r\n"));
        compareRecords(readLog(path),
                       {rec("t1", "1.1.1.1", "80", "81", "bare"),
                        rec("t2", "2.2.2.2", "80", "81", "x"), rec("t3", "a\"b", "\"", "\"\"", "q"),
                        rec("t4", "", "", "", "")});
    }

    void invalidGbkIsReplacedNotLost() {
        const QString path = freshPath();
        // A stray trail byte, an undefined lead byte, and a lead byte cut off at the field's
        // end: each becomes U+FFFD and never runs into the next field.
        QVERIFY(writeFile(path, "\"t\",\"1.1.1.1\",\"80\",\"\xC4\",\"" + kCutGbk +
                                    "\xFF\x30\"\r\n" + "\"t\",\"\xC4\",\"2\",\"3\",\"" +
                                    kRefuseGbk + "\xC4\"\r\n"));
        const std::vector<LogRecord> records = readLog(path);
        QCOMPARE(records.size(), std::size_t(2));
        QCOMPARE(records[0].LocP, QString(QChar::ReplacementCharacter));
        QVERIFY(records[0].action.startsWith(QStringLiteral("已断开连接")));
        QCOMPARE(records[1].RemA, QString(QChar::ReplacementCharacter));
        QCOMPARE(records[1].RemP, QStringLiteral("2"));
        QCOMPARE(records[1].action,
                 QStringLiteral("拒绝IP连接") + QString(QChar::ReplacementCharacter));
    }

    void missingFileIsReported() {
        bool ok = true;
        QVERIFY(readLog(dir_.filePath("absent.log"), &ok).empty());
        QVERIFY(!ok);
        const QString empty = freshPath();
        QVERIFY(writeFile(empty, {}));
        QVERIFY(readLog(empty, &ok).empty());
        QVERIFY(ok);
    }

    // Lines that straddle the reader's 4 MiB pieces are read whole.
    void recordsAcrossReadPieces() {
        const QString path = freshPath();
        QByteArray bytes;
        std::vector<LogRecord> expected;
        int k = 0;
        while (bytes.size() < 9 * 1024 * 1024) {
            const QByteArray pad(k % 7 == 0 ? 300000 : k % 50, 'p');
            bytes += "\"" + QByteArray::number(k) + "\",\"a\",\"" + pad + "\",\"c\",\"" + kCutGbk +
                     "\"" + (k % 3 == 0 ? "\n" : "\r\n");
            expected.push_back(rec(QString::number(k), "a", QString::fromLatin1(pad), "c",
                                   QStringLiteral("已断开连接")));
            ++k;
        }
        QVERIFY(writeFile(path, bytes));
        compareRecords(readLog(path), expected);
    }
};

QTEST_GUILESS_MAIN(TestEventLog)
#include "test_EventLog.moc"
