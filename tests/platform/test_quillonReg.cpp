// The hive editor as scripts use it: its commands, outputs and exit codes.

#include "platform/CodePage.h"
#include "platform/RegistryHive.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

using quillon::platform::RegistryHive;
using quillon::test::fileBytes;

namespace {

const QString kIp =
    QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Larkspire Works\\LarkPF\\block\\ip");

struct Run {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

} // namespace

class TestQuillonReg : public QObject {
    Q_OBJECT

private:
    quillon::test::ScratchFolder m_dir;
    QString m_tool;
    QString fresh(const char* ext = "db") {
        return m_dir.fresh(QStringLiteral("f%1.") + QLatin1String(ext));
    }

    Run run(const QString& hive, const QStringList& args, const QByteArray& input = {}) {
        QProcess p;
        return finish(p, m_tool, QStringList{"--hive", hive} + args, input);
    }

    // The tool run without a hive, in a zone eight hours east of UTC without summer time.
    Run runTool(const QStringList& args, const QString& tool = {}, const QByteArray& input = {}) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TZ"), QStringLiteral("CST-8"));
        p.setProcessEnvironment(env);
        return finish(p, tool.isEmpty() ? m_tool : tool, args, input);
    }

    // Starts the tool, feeds it `input` and waits for its end and output.
    static Run finish(QProcess& p, const QString& tool, const QStringList& args,
                      const QByteArray& input) {
        p.start(tool, args);
        if (!p.waitForStarted()) {
            return {};
        }
        p.write(input);
        p.closeWriteChannel();
        p.waitForFinished(60000);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                p.readAllStandardOutput(), p.readAllStandardError()};
    }

private slots:
    void initTestCase() {
        m_tool = quillon::test::shippedFile(QStringLiteral("quillon-reg"));
        QVERIFY2(QFileInfo(m_tool).isExecutable(), qPrintable(m_tool));
    }

    void help() {
        const Run help = runTool({"--help"});
        QCOMPARE(help.code, 0);
        for (const char* word :
             {"query", "add", "delete", "export", "import", "log", "--hive", "HKLM"}) {
            QVERIFY2(help.out.contains(word), word);
        }
        const Run h = runTool({"-h"});
        QCOMPARE(h.code, 0);
        QCOMPARE(h.out, help.out);
        const Run version = runTool({"--version"});
        QCOMPARE(version.code, 0);
        QVERIFY2(QRegularExpression(QStringLiteral("^quillon-reg \\d+\\.\\d+\\.\\d+\n$"))
                     .match(QString::fromUtf8(version.out))
                     .hasMatch(),
                 version.out.constData());
    }

    // The event log printed for the shell: UTF-8 while the file stays GBK, every record, in
    // order, tab-separated or as CSV with ISO 8601 times in the local zone. Fields with a
    // separator, a quote or a damaged stamp come through whole.
    void logPrintsTheRecords_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << QStringList{}
                               << QStringLiteral(
                                      "14:03:22-2005-7-1\t203.0.113.7\t80\t1234\t已断开连接\n"
                                      "9:05:07-2024-12-25\t198.51.100.2\t\t445\t拒绝IP连接\n"
                                      "坏的\ta,b\t1\t2\tsay \"hi\" now\n");
        QTest::newRow("csv") << QStringList{"--csv"}
                             << QStringLiteral(
                                    "time,remote address,remote port,local port,action\n"
                                    "2005-07-01T14:03:22+08:00,203.0.113.7,80,1234,已断开连接\n"
                                    "2024-12-25T09:05:07+08:00,198.51.100.2,,445,拒绝IP连接\n"
                                    "坏的,\"a,b\",1,2,\"say \"\"hi\"\" now\"\n");
    }

    void logPrintsTheRecords() {
        QFETCH(QStringList, args);
        QFETCH(QString, expected);
        // The log beside the tool is the default, as it lies beside the program once
        // installed; a copy of the tool in a folder of its own has a log of its own.
        const QString folder = m_dir.fresh(QStringLiteral("prog%1"));
        QVERIFY(QDir().mkpath(folder));
        const QString tool = folder + QStringLiteral("/quillon-reg");
        QVERIFY(QFile::copy(m_tool, tool));
        const QString log = folder + QStringLiteral("/WDlog.log");
        QByteArray bytes = quillon::platform::CodePage::toGbk(QStringLiteral(
            "\"14:03:22-2005-7-1\",\"203.0.113.7\",\"80\",\"1234\",\"已断开连接\"\r\n"
            "\"9:05:07-2024-12-25\",\"198.51.100.2\",\"\",\"445\",\"拒绝IP连接\"\r\n"
            "a line no record\r\n"
            "\"坏的\",\"a,b\",\"1\",\"2\",\"say \"hi\" now\"\r\n"));
        QVERIFY(quillon::test::writeFile(log, bytes));

        const Run byDefault = runTool(QStringList{"log"} + args, tool);
        QCOMPARE(byDefault.code, 0);
        QCOMPARE(QString::fromUtf8(byDefault.out), expected);
        QVERIFY(byDefault.err.isEmpty());
        QCOMPARE(fileBytes(log), bytes); // read, never rewritten

        const Run named = runTool(QStringList{"log"} + args + QStringList{log});
        QCOMPARE(named.out, byDefault.out);
        const Run piped = runTool(QStringList{"log"} + args + QStringList{"-"}, m_tool, bytes);
        QCOMPARE(piped.out, byDefault.out);
    }

    void logFailures() {
        const Run missing = runTool({"log", m_dir.filePath(QStringLiteral("none.log"))});
        QCOMPARE(missing.code, 1);
        QVERIFY(missing.err.contains("none.log"));
        const QString link = m_dir.filePath(QStringLiteral("link.log"));
        QVERIFY(QFile::link(m_tool, link));
        QCOMPARE(runTool({"log", link}).code, 3); // only a regular file is read
        QCOMPARE(runTool({"log", "--tsv"}).code, 2);
        QCOMPARE(runTool({"log", "a.log", "b.log"}).code, 2);
    }

    void addQueryDelete() {
        const QString hive = fresh();
        QCOMPARE(run(hive, {"query", kIp}).code, 1);
        QVERIFY(!QFileInfo::exists(hive)); // reading created nothing
        QCOMPARE(run(hive, {"add", kIp, "10.0.0.1", "1"}).code, 0);
        QCOMPARE(run(hive,
                     {"add", "HKLM\\SOFTWARE\\Larkspire Works\\LarkPF\\block\\ip", "10.0.0.2", "0"})
                     .code,
                 0);
        QCOMPARE(run(hive, {"add", kIp, "", "默认"}).code, 0);
        QCOMPARE(run(hive, {"add", kIp, "10.0.0.1", "0"}).code, 0); // keeps its place

        const Run all = run(hive, {"query", kIp.toLower()});
        QCOMPARE(all.code, 0);
        QCOMPARE(QString::fromUtf8(all.out), QStringLiteral("10.0.0.1\t0\n10.0.0.2\t0\n\t默认\n"));
        const Run one = run(hive, {"query", kIp, "10.0.0.2"});
        QCOMPARE(one.code, 0);
        QCOMPARE(one.out, QByteArray("0\n"));
        QCOMPARE(run(hive, {"query", kIp, ""}).out, QString("默认\n").toUtf8());
        QCOMPARE(run(hive, {"query", kIp, "10.9.9.9"}).code, 1);

        QCOMPARE(run(hive, {"delete", kIp, "10.0.0.2"}).code, 0);
        QCOMPARE(run(hive, {"delete", kIp, "10.0.0.2"}).code, 1);
        QCOMPARE(run(hive, {"delete", kIp + "\\nothing", "x"}).code, 1);
        QVERIFY(!RegistryHive(hive).keyExists(
            u"SOFTWARE\\Larkspire Works\\LarkPF\\block\\ip\\nothing"));
        QCOMPARE(run(hive, {"query", kIp}).out, QString("10.0.0.1\t0\n\t默认\n").toUtf8());
    }

    void badUsageChangesNothing_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown root")
            << QStringList{"add", "HKEY_CURRENT_USER\\A", "n", "d"} << "unknown root";
        QTest::newRow("no root") << QStringList{"add", "SOFTWARE\\A", "n", "d"} << "unknown root";
        // What an unquoted HKLM\SOFTWARE\... becomes in a shell.
        QTest::newRow("unquoted key")
            << QStringList{"add", "HKLMSOFTWARELarkspire", "n", "d"}
            << "unknown root in \"HKLMSOFTWARELarkspire\": keys are below HKEY_LOCAL_MACHINE (or "
               "HKLM) (quote the key: the shell takes the backslashes)";
        QTest::newRow("missing argument")
            << QStringList{"add", "HKLM\\A", "n"} << "wrong number of arguments";
        QTest::newRow("unknown command")
            << QStringList{"set", "HKLM\\A", "n", "d"} << "unknown command";
        QTest::newRow("no command") << QStringList{} << "no command";
        QTest::newRow("unknown option")
            << QStringList{"--force", "query", "HKLM\\A"} << "unknown option";
        QTest::newRow("missing import")
            << QStringList{"import", "/nonexistent/x.reg"} << "cannot read";
        // What the hive could not keep as given, or an export could not write back, is bad
        // input, from the command line or from a file.
        QTest::newRow("LF in a name")
            << QStringList{"add", "HKLM\\A", "a\nb", "1"} << "a value name cannot hold a line";
        QTest::newRow("CR in a key")
            << QStringList{"add", "HKLM\\A\rB", "n", "1"} << "a key cannot hold a line break";
        const auto importOf = [this](const QByteArray& body) {
            const QString reg = fresh("reg");
            quillon::test::writeFile(reg, "Windows Registry Editor Version 5.00\r\n\r\n" + body);
            return QStringList{"import", reg};
        };
        QTest::newRow("import: lone CR in a name")
            << importOf("[HKLM\\A]\r\n\"a\rb\"=\"1\"\r\n") << "a value name cannot hold a line";
        QTest::newRow("import: NUL in a key")
            << importOf(QByteArray("[HKLM\\A\0B]\r\n", 12)) << "cannot hold a NUL";
        QTest::newRow("import: lone surrogate in data")
            << importOf("[HKLM\\A]\r\n\"a\"=hex(1):00,d8,00,00\r\n") << "lone UTF-16 surrogate";
    }

    // An address rule is stored in the text the program shows and matches, whatever the
    // spelling typed; one stored before in another spelling is renamed. Elsewhere names stay
    // as given.
    void addressRulesAreStoredAsTheProgramWritesThem() {
        const QString hive = fresh();
        const QString reg = fresh("reg");
        quillon::test::writeFile(reg, "Windows Registry Editor Version 5.00\r\n\r\n[" +
                                          kIp.toUtf8() + "]\r\n\"2001:DB8:0::2\"=\"0\"\r\n");
        QCOMPARE(run(hive, {"import", reg}).code, 0);

        Run r = run(hive, {"add", kIp, "2001:DB8::1", "1"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.err, QByteArray("quillon-reg: storing \"2001:DB8::1\" as \"2001:db8::1\", "
                                   "the address text Quillon matches\n"));
        r = run(hive, {"add", kIp.toLower() + "\\", " 2001:db8::2", "1"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.err.contains("renamed \"2001:DB8:0::2\" to \"2001:db8::2\""), r.err.constData());
        QCOMPARE(run(hive, {"add", kIp, "010.0.0.1", "1"}).code, 0);
        r = run(hive, {"add", kIp, "10.0.0.1", "0"});
        QCOMPARE(r.code, 0);
        QVERIFY(r.err.isEmpty());
        QCOMPARE(run(hive, {"query", kIp}).out,
                 QByteArray("2001:db8::1\t1\n2001:db8::2\t1\n10.0.0.1\t0\n"));

        QCOMPARE(run(hive, {"add", "HKLM\\A", "2001:DB8::1", "1"}).err, QByteArray());
        QCOMPARE(run(hive, {"query", "HKLM\\A"}).out, QByteArray("2001:DB8::1\t1\n"));
    }

    void badUsageChangesNothing() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const QString hive = fresh();
        QCOMPARE(run(hive, {"add", "HKLM\\A", "keep", "1"}).code, 0);
        const QByteArray before = fileBytes(hive);
        const Run r = run(hive, args);
        QCOMPARE(r.code, 2);
        QVERIFY2(QString::fromUtf8(r.err).contains(message), r.err.constData());
        QVERIFY(r.out.isEmpty());
        QCOMPARE(fileBytes(hive), before);
        QCOMPARE(run(hive, {"query", "HKLM\\A"}).out, QByteArray("keep\t1\n"));
    }

    void aFileThatIsNoHiveIsLeftAlone() {
        const QString hive = fresh();
        QVERIFY(quillon::test::writeFile(hive, "not a database\n"));
        for (const QStringList& args :
             {QStringList{"query", kIp}, QStringList{"add", kIp, "a", "1"},
              QStringList{"export", kIp, fresh("reg")}}) {
            const Run r = run(hive, args);
            QCOMPARE(r.code, 3);
            QVERIFY(!r.err.isEmpty());
        }
        QCOMPARE(fileBytes(hive), QByteArray("not a database\n"));
    }

    // An export imported into an empty hive gives the same hive: the second export is the
    // first byte for byte, and every value reads back as stored.
    void exportImportRoundTrips() {
        const QString source = fresh();
        {
            RegistryHive hive(source);
            const QString base = QStringLiteral("SOFTWARE\\Larkspire Works\\LarkPF");
            QVERIFY(hive.setValue(base + "\\options", u"seclvl", u"2"));
            QVERIFY(hive.setValue(base + "\\options", u"所有连接", u"1"));
            QVERIFY(hive.setValue(base + "\\options", u"", u"the default"));
            QVERIFY(hive.setValue(base + "\\block\\ip", u"10.0.0.1", u"1"));
            QVERIFY(hive.setValue(base + "\\block\\ip", u"say \"hi\" \\ there", u"C:\\x\\"));
            QVERIFY(hive.setValue(base + "\\block\\ip", u"=@[]", u"two\r\nlines"));
            QVERIFY(hive.setValue(base + "\\block\\ip", QString(400, u'长'), QString(3000, u'x')));
            QVERIFY(hive.createKey(base + "\\block\\rp"));
            QVERIFY(hive.setValue(base + "\\block\\lp", u"135", u"1"));
            QVERIFY(hive.setValue(u"SOFTWARE\\Other", u"x", u"y")); // outside the export
        }
        const QString first = fresh("reg");
        const Run out = run(source, {"export", "HKLM\\software\\larkspire works", first});
        QCOMPARE(out.code, 0);
        QVERIFY(QString::fromUtf8(fileBytes(first))
                    .startsWith("Windows Registry Editor Version 5.00\r\n\r\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larkspire Works]\r\n"));

        const QString target = fresh();
        QCOMPARE(run(target, {"import", first}).code, 0);
        const QString second = fresh("reg");
        QCOMPARE(run(target, {"export", "HKLM\\SOFTWARE\\Larkspire Works", second}).code, 0);
        QCOMPARE(fileBytes(second), fileBytes(first));

        RegistryHive a(source);
        RegistryHive b(target);
        std::vector<RegistryHive::KeyContents> ta;
        std::vector<RegistryHive::KeyContents> tb;
        QVERIFY(a.tree(u"SOFTWARE\\Larkspire Works", ta));
        QVERIFY(b.tree(u"SOFTWARE\\Larkspire Works", tb));
        QCOMPARE(ta.size(), tb.size());
        for (size_t i = 0; i < ta.size(); ++i) {
            QCOMPARE(tb[i].path, ta[i].path);
            QCOMPARE(tb[i].values, ta[i].values);
        }
        QVERIFY(!b.keyExists(u"SOFTWARE\\Other"));

        // Through standard output and input as well.
        const Run piped = run(source, {"export", "HKLM\\SOFTWARE\\Larkspire Works", "-"});
        QCOMPARE(piped.out, fileBytes(first));
        const QString third = fresh();
        QCOMPARE(run(third, {"import", "-"}, piped.out).code, 0);
        QCOMPARE(run(third, {"export", "HKLM\\SOFTWARE\\Larkspire Works", "-"}).out, piped.out);

        QCOMPARE(run(source, {"export", "HKLM\\SOFTWARE\\Nothing", fresh("reg")}).code, 1);
    }

    // A bad line anywhere, even the last, and nothing of the file is applied.
    void aMalformedImportChangesNothing() {
        const QString hive = fresh();
        QCOMPARE(run(hive, {"add", kIp, "10.0.0.1", "1"}).code, 0);
        const QByteArray before = fileBytes(hive);
        const QString reg = fresh("reg");
        QVERIFY(quillon::test::writeFile(
            reg, "Windows Registry Editor Version 5.00\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larkspire Works\\LarkPF\\block\\ip]\r\n"
                 "\"10.0.0.1\"=\"0\"\r\n\"10.0.0.2\"=\"1\"\r\n"
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\r\n"
                 "\"n\"=dword:00000001\r\n"));
        const Run r = run(hive, {"import", reg});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("line 7") && r.err.contains("nothing was imported"),
                 r.err.constData());
        QCOMPARE(fileBytes(hive), before);
        QCOMPARE(run(hive, {"query", kIp}).out, QByteArray("10.0.0.1\t1\n"));
        QCOMPARE(run(hive, {"query", "HKLM\\SOFTWARE\\New"}).code, 1);
    }

    // Two editors adding at the same moment to a hive that does not exist yet: one of them
    // creates it, and both writes land.
    void twoEditorsCreateOneHive() {
        for (int round = 0; round < 150; ++round) {
            const QString hive = m_dir.fresh(QStringLiteral("race%1/registry.db"));
            QProcess a;
            QProcess b;
            a.start(m_tool, {"--hive", hive, "add", kIp, "a", "1"});
            b.start(m_tool, {"--hive", hive, "add", kIp, "b", "1"});
            QVERIFY(a.waitForFinished(60000) && b.waitForFinished(60000));
            QVERIFY2(a.exitCode() == 0 && b.exitCode() == 0,
                     qPrintable(QStringLiteral("round %1: %2 %3")
                                    .arg(round)
                                    .arg(QString::fromUtf8(a.readAllStandardError() +
                                                           b.readAllStandardError()))));
            RegistryHive h(hive);
            std::vector<std::pair<QString, QString>> values;
            QVERIFY(h.values(kIp.mid(19), values));
            QCOMPARE(values.size(), size_t(2));
            // Nothing of the making is left beside it.
            QCOMPARE(QDir(QFileInfo(hive).absolutePath())
                         .entryList({"*.new-*"}, QDir::Files | QDir::Hidden),
                     QStringList());
        }
    }

    // The editor writing while the program writes: both succeed, nothing is lost.
    void editorAndProgramWriteAtOnce() {
        const QString hive = fresh();
        const QString key = QStringLiteral("SOFTWARE\\Larkspire Works\\LarkPF\\block\\rp");
        QString script;
        for (int i = 0; i < 40; ++i) {
            script += QStringLiteral("\"%1\" --hive \"%2\" add 'HKLM\\%3' e%4 1 || exit 1\n")
                          .arg(m_tool, hive, key)
                          .arg(i);
        }
        QProcess editor;
        editor.start(QStringLiteral("/bin/sh"), {"-c", script});
        QVERIFY(editor.waitForStarted());
        RegistryHive program(hive);
        for (int i = 0; i < 200; ++i) {
            QVERIFY(program.setValue(key, QStringLiteral("p%1").arg(i), u"1"));
        }
        QVERIFY(editor.waitForFinished(120000));
        QCOMPARE(editor.exitCode(), 0);
        std::vector<std::pair<QString, QString>> values;
        QVERIFY(program.values(key, values));
        QCOMPARE(values.size(), size_t(240));
    }
};

QTEST_GUILESS_MAIN(TestQuillonReg)
#include "test_quillonReg.moc"
