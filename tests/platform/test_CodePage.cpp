#include "platform/CodePage.h"

#include <QTest>

using namespace quillon::platform;

class TestCodePage : public QObject {
    Q_OBJECT
private slots:
    void roundTripsChinese() {
        const QString text = QStringLiteral("已断开连接 Quillon防火墙 192.168.0.1");
        const QByteArray gbk = CodePage::toGbk(text);
        // "已" is B0 D1 in GBK: two bytes per Chinese character, ASCII unchanged.
        QCOMPARE(gbk.left(2), QByteArray("\xD2\xD1"));
        QCOMPARE(CodePage::fromGbk(gbk), text);
    }

    void brokenBytesBecomeReplacementCharacters() {
        // A lead byte followed by a byte that cannot trail it, and a lead byte cut off at the
        // very end: neither may vanish silently or swallow the ASCII after it.
        const QString mid = CodePage::fromGbk(QByteArray("a\x81\x7F"
                                                         "b"));
        QVERIFY(mid.startsWith(QLatin1Char('a')));
        QVERIFY(mid.endsWith(QLatin1Char('b')));
        QVERIFY(mid.contains(QChar::ReplacementCharacter) || mid.contains(QChar(0x7F)));

        const QString tail = CodePage::fromGbk(QByteArray("port 80 \xB0"));
        QCOMPARE(tail, QStringLiteral("port 80 ") + QChar(QChar::ReplacementCharacter));
    }

    void unencodableCharactersDoNotFail() {
        const QByteArray bytes = CodePage::toGbk(QStringLiteral("a\U0001F600b"));
        QVERIFY(bytes.startsWith('a'));
        QVERIFY(bytes.endsWith('b'));
    }

    void emptyStaysEmpty() {
        QVERIFY(CodePage::fromGbk(QByteArray()).isEmpty());
        QVERIFY(CodePage::toGbk(QString()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCodePage)
#include "test_CodePage.moc"
