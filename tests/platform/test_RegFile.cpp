#include "RegFile.h"

#include <QStringEncoder>
#include <QtTest>

using namespace quillon::regfile;

namespace {

QByteArray file(const char* body) {
    return QByteArray("Windows Registry Editor Version 5.00\r\n\r\n") + body;
}

} // namespace

class TestRegFile : public QObject {
    Q_OBJECT

private slots:
    void roots() {
        QCOMPARE(pathBelowRoot(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\A"), QStringLiteral("SOFTWARE\\A"));
        QCOMPARE(pathBelowRoot(u"hklm\\SOFTWARE"), QStringLiteral("SOFTWARE"));
        QCOMPARE(pathBelowRoot(u"HKLM"), QString());
        QVERIFY(!pathBelowRoot(u"HKEY_CURRENT_USER\\SOFTWARE"));
        QVERIFY(!pathBelowRoot(u"SOFTWARE\\Larkspire Works"));
        QVERIFY(!pathBelowRoot(u"HKLMX\\a"));
        QCOMPARE(fullPath(u"A\\B"), QStringLiteral("HKEY_LOCAL_MACHINE\\A\\B"));
        QCOMPARE(fullPath(u""), QStringLiteral("HKEY_LOCAL_MACHINE"));
    }

    void writesTheEditorsFormat() {
        const std::vector<Section> sections = {
            {"SOFTWARE\\Larkspire Works\\LarkPF", {}},
            {"SOFTWARE\\Larkspire Works\\LarkPF\\options",
             {{"所有连接", "1"}, {"", "dflt"}, {"q\"uote\\back", "a \"b\" \\c"}, {"@", "at"}}},
            {"SOFTWARE\\Larkspire Works\\LarkPF\\block\\ip", {{"lines", "a\r\nb"}}},
        };
        QByteArray out;
        QString error;
        QVERIFY(write(sections, out, error));
        const QByteArray expected =
            "Windows Registry Editor Version 5.00\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larkspire Works\\LarkPF]\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larkspire Works\\LarkPF\\options]\r\n"
            "\"\xe6\x89\x80\xe6\x9c\x89\xe8\xbf\x9e\xe6\x8e\xa5\"=\"1\"\r\n"
            "@=\"dflt\"\r\n"
            "\"q\\\"uote\\\\back\"=\"a \\\"b\\\" \\\\c\"\r\n"
            "\"@\"=\"at\"\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larkspire Works\\LarkPF\\block\\ip]\r\n"
            "\"lines\"=hex(1):61,00,0d,00,0a,00,62,00,00,00\r\n"
            "\r\n";
        QCOMPARE(out, expected);

        // Written and read back, everything comes out as it went in.
        const Parsed parsed = parse(out);
        QVERIFY2(parsed.ok(), qPrintable(parsed.error));
        QCOMPARE(parsed.sections.size(), sections.size());
        for (size_t i = 0; i < sections.size(); ++i) {
            QCOMPARE(parsed.sections[i].key, sections[i].key);
            QCOMPARE(parsed.sections[i].entries.size(), sections[i].entries.size());
            for (size_t j = 0; j < sections[i].entries.size(); ++j) {
                QCOMPARE(parsed.sections[i].entries[j].name, sections[i].entries[j].name);
                QCOMPARE(parsed.sections[i].entries[j].data, sections[i].entries[j].data);
            }
        }
    }

    void longHexDataIsWrappedAndReadBack() {
        const QString data = QStringLiteral("line one\nline two, which is long enough to need "
                                            "several lines of hex bytes\n三");
        QByteArray out;
        QString error;
        QVERIFY(write({{"K", {{"v", data}}}}, out, error));
        QVERIFY(out.count("\\\r\n  ") > 3);
        const Parsed parsed = parse(out);
        QVERIFY2(parsed.ok(), qPrintable(parsed.error));
        QCOMPARE(parsed.sections.at(0).entries.at(0).data, data);
    }

    void aNameWithALineBreakCannotBeWritten() {
        QByteArray out;
        QString error;
        QVERIFY(!write({{"K", {{"a\nb", "1"}}}}, out, error));
        QVERIFY(error.contains(QStringLiteral("line break")));
    }

    void readsWhatOthersWrite() {
        // Comments, spaces around =, LF line ends, a byte order mark, deletions.
        const Parsed parsed =
            parse("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n; rules\n"
                  "[HKLM\\A]\n\"x\" = \"1\"\n\"y\"=-\n  @=\"d\"  \n[hkey_local_machine\\A\\B]\n");
        QVERIFY2(parsed.ok(), qPrintable(parsed.error));
        QCOMPARE(parsed.sections.size(), size_t(2));
        QCOMPARE(parsed.sections[0].key, QStringLiteral("A"));
        QCOMPARE(parsed.sections[0].entries.size(), size_t(3));
        QCOMPARE(parsed.sections[0].entries[0].data, std::optional<QString>("1"));
        QCOMPARE(parsed.sections[0].entries[1].name, QStringLiteral("y"));
        QVERIFY(!parsed.sections[0].entries[1].data);
        QCOMPARE(parsed.sections[0].entries[2].name, QString());
        QCOMPARE(parsed.sections[1].key, QStringLiteral("A\\B"));

        // The UTF-16 the registry editor itself saves.
        QStringEncoder utf16(QStringEncoder::Utf16LE);
        const QByteArray wide =
            "\xFF\xFE" +
            QByteArray(utf16(QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n"
                                            "[HKEY_LOCAL_MACHINE\\规则]\r\n\"名\"=\"值\"\r\n")));
        const Parsed fromWide = parse(wide);
        QVERIFY2(fromWide.ok(), qPrintable(fromWide.error));
        QCOMPARE(fromWide.sections.at(0).key, QStringLiteral("规则"));
        QCOMPARE(fromWide.sections.at(0).entries.at(0).name, QStringLiteral("名"));
    }

    void malformedFilesAreRejectedWhole_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error");
        QTest::newRow("no header") << QByteArray("[HKLM\\A]\n") << "line 1: not a registry file";
        QTest::newRow("old header")
            << QByteArray("REGEDIT4\n\n[HKLM\\A]\n") << "line 1: not a registry file";
        QTest::newRow("unknown root")
            << file("[HKEY_CURRENT_USER\\A]\r\n") << "line 3: unknown root";
        QTest::newRow("key line not closed") << file("[HKLM\\A\r\n") << "line 3: a key line";
        QTest::newRow("key deletion") << file("[-HKLM\\A]\r\n") << "line 3: deleting keys";
        QTest::newRow("value before key") << file("\"a\"=\"1\"\r\n") << "line 3: a value comes";
        QTest::newRow("dword") << file("[HKLM\\A]\r\n\"a\"=dword:00000001\r\n")
                               << "line 4: only string values";
        QTest::newRow("unclosed data") << file("[HKLM\\A]\r\n\"a\"=\"1\r\n")
                                       << "line 4: the quoted string has no closing quote";
        QTest::newRow("unclosed name") << file("[HKLM\\A]\r\n\"a=\"1\r\n") << "line 4: expected =";
        QTest::newRow("no equals") << file("[HKLM\\A]\r\n\"a\" \"1\"\r\n") << "line 4: expected =";
        QTest::newRow("junk after data")
            << file("[HKLM\\A]\r\n\"a\"=\"1\" x\r\n") << "line 4: unexpected text";
        QTest::newRow("bad escape")
            << file("[HKLM\\A]\r\n\"a\"=\"C:\\temp\"\r\n") << "line 4: a backslash";
        QTest::newRow("stray line")
            << file("[HKLM\\A]\r\n\"a\"=\"1\"\r\nhello\r\n") << "line 5: expected a [key] line";
        QTest::newRow("bad hex") << file("[HKLM\\A]\r\n\"a\"=hex(1):6z,00\r\n")
                                 << "line 4: \"6z\" is not a hex byte";
        QTest::newRow("odd hex") << file("[HKLM\\A]\r\n\"a\"=hex(1):61\r\n")
                                 << "line 4: hex(1) data must be";
        QTest::newRow("hex goes on past the end")
            << file("[HKLM\\A]\r\n\"a\"=hex(1):61,00,\\\r\n") << "line 4: the hex data breaks off";
        QTest::newRow("nul in data") << file("[HKLM\\A]\r\n\"a\"=hex(1):61,00,00,00,62,00\r\n")
                                     << "line 4: a string value cannot hold a NUL";
        // Texts that a hive could not keep as given, or that an export could not write back.
        QTest::newRow("nul in key") << file("") + QByteArray("[HKLM\\A\0B]\r\n", 12)
                                    << "line 3: a string value cannot hold a NUL";
        QTest::newRow("lone CR in name")
            << file("[HKLM\\A]\r\n\"a\rb\"=\"1\"\r\n") << "line 4: a value name cannot hold a line";
        QTest::newRow("lone CR in key")
            << file("[HKLM\\A\rB]\r\n") << "line 3: a key cannot hold a line break";
        QTest::newRow("lone surrogate in hex data")
            << file("[HKLM\\A]\r\n\"a\"=hex(1):61,00,00,d8,00,00\r\n")
            << "line 4: the text holds a lone UTF-16 surrogate";
        QTest::newRow("low surrogate first in hex data")
            << file("[HKLM\\A]\r\n\"a\"=hex(1):00,dc,00,d8,00,00\r\n")
            << "line 4: the text holds a lone UTF-16 surrogate";
        QTest::newRow("not text") << QByteArray(
                                         "Windows Registry Editor Version 5.00\n\xff\xfe\xfd")
                                  << "line 1: the file is not UTF-8";
        QTest::newRow("empty") << QByteArray() << "line 1: not a registry file";
    }

    void malformedFilesAreRejectedWhole() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        const Parsed parsed = parse(bytes);
        QVERIFY(!parsed.ok());
        QVERIFY2(parsed.error.startsWith(error), qPrintable(parsed.error));
        QVERIFY(parsed.sections.empty());
    }
};

QTEST_GUILESS_MAIN(TestRegFile)
#include "test_RegFile.moc"
