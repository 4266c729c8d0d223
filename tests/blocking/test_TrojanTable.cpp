#include "core/blocking/TrojanTable.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTest>
#include <optional>

using quillon::blocking::TrojanTable;

namespace {

const QByteArray kSoh("\x01");
// 木马 in GBK.
const QByteArray kMuMa("\xC4\xBE\xC2\xED");

// A straightforward model of the table for randomised comparison: the whole file split into
// lines first, then each method's steps line by line.
struct ModelResult {
    bool ok = true;
    bool found = false;
    QByteArray description;
};

QList<QByteArray> modelLines(const QByteArray& bytes) {
    QList<QByteArray> lines;
    QByteArray line;
    bool pending = false;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            lines.append(line);
            line.clear();
            pending = false;
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n') {
                ++i;
            }
        } else {
            line.append(c);
            pending = true;
        }
    }
    if (pending) {
        lines.append(line);
    }
    return lines;
}

ModelResult modelIsTrojan(const QByteArray& bytes, const QByteArray& port) {
    ModelResult r;
    for (const QByteArray& line : modelLines(bytes)) {
        const qsizetype soh = line.indexOf('\x01');
        if (soh < 0) {
            r.ok = false;
            return r;
        }
        if (line.left(soh) == port) {
            r.found = true;
            return r;
        }
    }
    return r;
}

ModelResult modelGetTrojan(const QByteArray& bytes, const QByteArray& port) {
    ModelResult r;
    for (const QByteArray& line : modelLines(bytes)) {
        const qsizetype first = line.indexOf('\x01');
        const qsizetype second = first < 0 ? -1 : line.indexOf('\x01', first + 1);
        if (second < 0) {
            r.ok = false;
            return r;
        }
        if (line.left(first) == port) {
            r.found = true;
            r.description = line.mid(first + 1, second - first - 1);
            return r;
        }
    }
    return r;
}

// The expected text of a description: broken sequences, a lead byte cut off at the end
// included, each become U+FFFD.
QString gbk(const QByteArray& bytes) {
    QStringDecoder decoder("GBK");
    QString text = decoder.decode(bytes + ' ');
    text.chop(1);
    return text;
}

} // namespace

class TestTrojanTable : public QObject {
    Q_OBJECT

private:
    quillon::test::ScratchFolder dir_;

    // A table file holding exactly `bytes`.
    TrojanTable table(const QByteArray& bytes) {
        const QString path = dir_.fresh(QStringLiteral("QLWD%1.dat"));
        if (!quillon::test::writeFile(path, bytes)) {
            qFatal("cannot write the test table");
        }
        return TrojanTable(path);
    }

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }

    void oneLineExactPortOnly() {
        const TrojanTable t = table("666" + kSoh + kMuMa + kSoh + "\r\n");
        QCOMPARE(t.IsTrojan("666"), std::optional<bool>(true));
        QCOMPARE(t.GetTrojan("666"), std::optional<QString>(QStringLiteral("木马")));
        for (const char* other : {"66", "6666", "6660", " 666", "666 ", ""}) {
            QCOMPARE(t.IsTrojan(other), std::optional<bool>(false));
            QCOMPARE(t.GetTrojan(other), std::optional<QString>(QString()));
        }
    }

    void secondSeparatorOnlyNeededForTheDescription() {
        const TrojanTable t = table("666" + kSoh + "D\r\n");
        QCOMPARE(t.IsTrojan("666"), std::optional<bool>(true));
        QCOMPARE(t.GetTrojan("666"), std::nullopt);
        // The line is read before any other port could match, so both fail for GetTrojan.
        QCOMPARE(t.GetTrojan("777"), std::nullopt);
        QCOMPARE(t.IsTrojan("777"), std::optional<bool>(false));
    }

    void restOfTheLineIsIgnored() {
        const TrojanTable t = table("31337" + kSoh + "BO" + kSoh + "x" + kSoh + "y\r\n");
        QCOMPARE(t.GetTrojan("31337"), std::optional<QString>(QStringLiteral("BO")));
    }

    void firstOfTwoLinesWithTheSamePortCounts() {
        const TrojanTable t =
            table("12345" + kSoh + "first" + kSoh + "\r\n12345" + kSoh + "second" + kSoh + "\r\n");
        QCOMPARE(t.GetTrojan("12345"), std::optional<QString>(QStringLiteral("first")));
    }

    void emptyLineBeforeTheMatchFailsAfterItDoesNot() {
        const QByteArray entry = "555" + kSoh + "d" + kSoh;
        const TrojanTable before = table("\r\n" + entry + "\r\n");
        QCOMPARE(before.IsTrojan("555"), std::nullopt);
        QCOMPARE(before.GetTrojan("555"), std::nullopt);

        const TrojanTable after = table(entry + "\r\n\r\n");
        QCOMPARE(after.IsTrojan("555"), std::optional<bool>(true));
        QCOMPARE(after.GetTrojan("555"), std::optional<QString>(QStringLiteral("d")));
        // A port that is not listed reads up to the empty line, which fails.
        QCOMPARE(after.IsTrojan("556"), std::nullopt);
    }

    void lineEndings() {
        // A lone CR ends a line like CR LF.
        const TrojanTable cr = table("1" + kSoh + "a" + kSoh + "\r2" + kSoh + "b" + kSoh + "\r");
        QCOMPARE(cr.GetTrojan("2"), std::optional<QString>(QStringLiteral("b")));

        // LF alone does not: the file is one line and only its first port can match.
        const TrojanTable lf = table("1" + kSoh + "a" + kSoh + "\n2" + kSoh + "b" + kSoh + "\n");
        QCOMPARE(lf.IsTrojan("1"), std::optional<bool>(true));
        QCOMPARE(lf.GetTrojan("1"), std::optional<QString>(QStringLiteral("a")));
        QCOMPARE(lf.IsTrojan("2"), std::optional<bool>(false));
        QCOMPARE(lf.GetTrojan("2"), std::optional<QString>(QString()));

        // An LF right after a CR LF starts the next line, and belongs to its key.
        const TrojanTable extraLf = table("1" + kSoh + "a" + kSoh + "\r\n\n2" + kSoh + "b" + kSoh);
        QCOMPARE(extraLf.IsTrojan("2"), std::optional<bool>(false));
        QCOMPARE(extraLf.IsTrojan("\n2"), std::optional<bool>(true));

        // The last line needs no terminator; an empty file lists nothing.
        const TrojanTable noEnd = table("7" + kSoh + "c" + kSoh);
        QCOMPARE(noEnd.GetTrojan("7"), std::optional<QString>(QStringLiteral("c")));
        const TrojanTable empty = table("");
        QCOMPARE(empty.IsTrojan("7"), std::optional<bool>(false));
        QCOMPARE(empty.GetTrojan("7"), std::optional<QString>(QString()));
    }

    void unreadableFile() {
        const TrojanTable missing(dir_.filePath("absent.dat"));
        QCOMPARE(missing.IsTrojan("666"), std::nullopt);
        QCOMPARE(missing.GetTrojan("666"), std::nullopt);
        QVERIFY(QDir(dir_.path()).mkdir("folder.dat"));
        const TrojanTable folder(dir_.filePath("folder.dat"));
        QCOMPARE(folder.IsTrojan("666"), std::nullopt);
        QCOMPARE(folder.GetTrojan("666"), std::nullopt);
    }

    void invalidGbk() {
        // Broken sequences in the description come out replaced, never dropped silently in
        // the middle; a broken key simply matches nothing.
        const TrojanTable t = table("\xFF\x80" + kSoh + "x" + kSoh + "\r\n80" + kSoh + "a\x81" +
                                    kSoh + "\r\n81" + kSoh + "\xC4\x22z" + kSoh);
        QCOMPARE(t.IsTrojan("80"), std::optional<bool>(true));
        QCOMPARE(t.GetTrojan("80"),
                 std::optional<QString>("a" + QString(QChar::ReplacementCharacter)));
        const std::optional<QString> broken = t.GetTrojan("81");
        QVERIFY(broken.has_value());
        QVERIFY(broken->endsWith(QStringLiteral("\"z")));
        QVERIFY(broken->contains(QChar::ReplacementCharacter));
        // Texts GBK cannot hold are never listed.
        QCOMPARE(t.IsTrojan(QStringLiteral("8\U0001F600")), std::optional<bool>(false));
    }

    void hugeLines() {
        const qsizetype huge = 100 * 1024 * 1024;
        // A 100 MB description in a line before the match is skipped, not kept.
        QByteArray bytes;
        bytes.reserve(huge + 64);
        bytes += "1" + kSoh;
        bytes += QByteArray(huge, 'x');
        bytes += kSoh + "\r\n31337" + kSoh + "BO" + kSoh + "\r\n";
        const TrojanTable longDescription = table(bytes);
        QCOMPARE(longDescription.IsTrojan("31337"), std::optional<bool>(true));
        QCOMPARE(longDescription.GetTrojan("31337"), std::optional<QString>(QStringLiteral("BO")));

        // Lines of a few hundred read pieces each are enough for the other shapes.
        const qsizetype long_ = 16 * 1024 * 1024;
        // A 16 MB key made of digits, then the port itself: neither is mistaken for the
        // other.
        bytes.fill('3', long_);
        bytes += kSoh + "k" + kSoh + "\r\n3" + kSoh + "short" + kSoh;
        const TrojanTable longKey = table(bytes);
        QCOMPARE(longKey.GetTrojan("3"), std::optional<QString>(QStringLiteral("short")));
        QCOMPARE(longKey.IsTrojan("33"), std::optional<bool>(false));

        // A long line without any separator fails for both methods.
        bytes.fill('7', long_);
        const TrojanTable noSeparator = table(bytes);
        QCOMPARE(noSeparator.IsTrojan("7"), std::nullopt);
        QCOMPARE(noSeparator.GetTrojan("7"), std::nullopt);
    }

    // Random tables, lines crossing the 64 KiB read pieces, against the line-by-line model.
    void randomTablesMatchTheModel() {
        QRandomGenerator rng(20050701);
        const QByteArray alphabet("12\x01\x01\r\r\n\nx\xC4\xE3\xFF");
        const QList<QByteArray> ports{"1", "2", "12", "21", "", "11"};
        for (int round = 0; round < 60; ++round) {
            QByteArray bytes;
            const int size = round < 40 ? rng.bounded(1, 64) : rng.bounded(60000, 200000);
            // Long rounds use long runs of one byte so that lines span read pieces.
            while (bytes.size() < size) {
                const char c = alphabet[rng.bounded(alphabet.size())];
                bytes += round < 40 ? QByteArray(1, c) : QByteArray(rng.bounded(1, 30000), c);
            }
            const TrojanTable t = table(bytes);
            for (const QByteArray& port : ports) {
                const QString p = QString::fromLatin1(port);
                const ModelResult is = modelIsTrojan(bytes, port);
                const ModelResult get = modelGetTrojan(bytes, port);
                const std::optional<bool> isActual = t.IsTrojan(p);
                const std::optional<QString> getActual = t.GetTrojan(p);
                const QByteArray where = "round " + QByteArray::number(round) + " port " + port;
                QVERIFY2(isActual.has_value() == is.ok, where);
                QVERIFY2(getActual.has_value() == get.ok, where);
                if (is.ok) {
                    QVERIFY2(*isActual == is.found, where);
                }
                if (get.ok) {
                    QVERIFY2(*getActual == gbk(get.description), where);
                }
            }
        }
    }

    void pureBinaryJunkNeverHangs() {
        QRandomGenerator rng(31337);
        QByteArray bytes(4 * 1024 * 1024, Qt::Uninitialized);
        for (char& c : bytes) {
            c = static_cast<char>(rng.bounded(256));
        }
        const TrojanTable t = table(bytes);
        const ModelResult is = modelIsTrojan(bytes, "80");
        const ModelResult get = modelGetTrojan(bytes, "80");
        QCOMPARE(t.IsTrojan("80").has_value(), is.ok);
        QCOMPARE(t.GetTrojan("80").has_value(), get.ok);
    }

    // The table that ships beside the program is well formed: every line has both
    // separators, so looking up a port that is not listed reads it to the end without error.
    void shippedTable() {
        const QString path = quillon::test::shippedFile(QStringLiteral("QLWD.dat"));
        if (!QFile::exists(path)) {
            QSKIP("QLWD.dat is not beside the built binaries (run through ctest)");
        }
        const TrojanTable t(path);
        QCOMPARE(t.IsTrojan("80"), std::optional<bool>(false));
        QCOMPARE(t.GetTrojan("443"), std::optional<QString>(QString()));
        for (const char* port : {"31337", "12345", "27374", "5554", "3127"}) {
            QCOMPARE(t.IsTrojan(port), std::optional<bool>(true));
            const std::optional<QString> d = t.GetTrojan(port);
            QVERIFY(d.has_value());
            QVERIFY2(!d->isEmpty() && !d->contains(QChar::ReplacementCharacter), port);
        }
        QVERIFY(t.GetTrojan("31337")->contains(QStringLiteral("木马")));

        // No listed port lies where Linux picks the local ports of outgoing connections: an
        // ordinary connection would now and then be taken for a trojan.
        const QList<QByteArray> lines = quillon::test::fileBytes(path).split('\n');
        int ports = 0;
        for (const QByteArray& line : lines) {
            const int port = line.left(line.indexOf('\x01')).toInt();
            ports += port > 0 ? 1 : 0;
            QVERIFY2(port < 32768 || port > 60999, line.left(5).constData());
        }
        QVERIFY(ports >= 80);
    }
};

QTEST_GUILESS_MAIN(TestTrojanTable)
#include "test_TrojanTable.moc"
