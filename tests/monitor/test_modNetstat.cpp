// Texts of the TCP table: addresses, ports, state names, and the row handed around.
#include "core/monitor/modNetstat.h"

#include <QtTest>
#include <cstring>
#include <tuple>

using namespace quillon::monitor::modNetstat;
using quillon::platform::TcpRow;

namespace {

// A 32-bit field holding these four bytes in memory order.
quint32 field(unsigned char b0, unsigned char b1, unsigned char b2, unsigned char b3) {
    const unsigned char bytes[4] = {b0, b1, b2, b3};
    quint32 f = 0;
    std::memcpy(&f, bytes, sizeof f);
    return f;
}

} // namespace

class TestModNetstat : public QObject {
    Q_OBJECT

private slots:
    void stateNamesEmptyUntilInitialised();
    void stateNames_data();
    void stateNames();
    void stateNamesRewrittenByASecondCall();
    void ipToText_data();
    void ipToText();
    void failedConversion();
    void portText_data();
    void portText();
    void connectionRow();
    void rowMakerSharesEqualTexts();
};

void TestModNetstat::stateNamesEmptyUntilInitialised() {
    for (const QString& s : TcpStateNames) {
        QVERIFY(s.isEmpty());
    }
    QCOMPARE(StateText(5), QString());
    InitStateNames();
}

void TestModNetstat::stateNames_data() {
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("text");
    const char* texts[] = {"未知连接",       "封锁连接", "监听连接",      "SYN_SENT连接",
                           "SYN_RCVD连接",   "待定连接", "FIN_WAIT1连接", "FIN_WAIT2连接",
                           "CLOSE_WAIT连接", "结束连接", "LAST_ACK连接",  "TIME_WAIT连接",
                           "DELETE_TCB连接", ""};
    for (int i = 0; i < 14; ++i) {
        QTest::addRow("%d", i) << i << QString::fromUtf8(texts[i]);
    }
    // Numbers outside the table have no text.
    QTest::newRow("-1") << -1 << QString();
    QTest::newRow("14") << 14 << QString();
    QTest::newRow("32767") << 32767 << QString();
}

void TestModNetstat::stateNames() {
    QFETCH(int, state);
    QFETCH(QString, text);
    QCOMPARE(StateText(state), text);
    if (state >= 0 && state < 14) {
        QCOMPARE(TcpStateNames[static_cast<size_t>(state)], text);
    }
}

void TestModNetstat::stateNamesRewrittenByASecondCall() {
    TcpStateNames[5] = QStringLiteral("x");
    InitStateNames();
    QCOMPARE(StateText(5), QStringLiteral("待定连接"));
    QCOMPARE(StateText(0), QStringLiteral("未知连接"));
    QVERIFY(StateText(13).isEmpty());
}

void TestModNetstat::ipToText_data() {
    QTest::addColumn<quint32>("address");
    QTest::addColumn<QString>("text");
    QTest::newRow("first octet lowest") << field(192, 168, 0, 1) << QStringLiteral("192.168.0.1");
    QTest::newRow("all zero") << field(0, 0, 0, 0) << QStringLiteral("0.0.0.0");
    QTest::newRow("all ones") << field(255, 255, 255, 255) << QStringLiteral("255.255.255.255");
    QTest::newRow("loopback") << field(127, 0, 0, 1) << QStringLiteral("127.0.0.1");
    QTest::newRow("no leading zeros") << field(10, 0, 20, 5) << QStringLiteral("10.0.20.5");
}

void TestModNetstat::ipToText() {
    QFETCH(quint32, address);
    QFETCH(QString, text);
    QCOMPARE(IpToText(address), text);
}

void TestModNetstat::failedConversion() {
    QCOMPARE(AddressText(nullptr), QStringLiteral("无法获得IP"));
    QCOMPARE(AddressText("10.1.2.3"), QStringLiteral("10.1.2.3"));
    QCOMPARE(AddressText(""), QString());
    // A converter's text is taken byte for character and at most 45 of them (the longest
    // IPv6 text).
    const QByteArray longText(50, '7');
    QCOMPARE(AddressText(longText.constData()), QString(45, QLatin1Char('7')));
}

void TestModNetstat::portText_data() {
    QTest::addColumn<quint32>("field");
    QTest::addColumn<QString>("text");
    QTest::newRow("80") << field(0x00, 0x50, 0, 0) << QStringLiteral("80");
    QTest::newRow("443") << field(0x01, 0xBB, 0, 0) << QStringLiteral("443");
    QTest::newRow("49152") << field(0xC0, 0x00, 0, 0) << QStringLiteral("49152");
    QTest::newRow("65535") << field(0xFF, 0xFF, 0, 0) << QStringLiteral("65535");
    QTest::newRow("0") << field(0, 0, 0, 0) << QStringLiteral("0");
    // The high 16 bits are not part of the port.
    QTest::newRow("high bits ignored") << field(0x00, 0x50, 0xAB, 0xCD) << QStringLiteral("80");
    QTest::newRow("value 0x5000") << quint32{0x5000} << QStringLiteral("80");
    QTest::newRow("value 0xC0") << quint32{0xC0} << QStringLiteral("49152");
}

void TestModNetstat::portText() {
    QFETCH(quint32, field);
    QFETCH(QString, text);
    QCOMPARE(PortText(field), text);
}

void TestModNetstat::connectionRow() {
    TcpRow row;
    row.dwState = 5;
    row.dwLocalAddr = field(127, 0, 0, 1);
    row.dwLocalPort = field(0xC0, 0x00, 0, 0);
    row.dwRemoteAddr = field(192, 168, 0, 1);
    row.dwRemotePort = field(0x01, 0xBB, 0, 0);
    row.family = 2;
    row.cookie = 77;
    const ConnectionRow r = MakeConnectionRow(row, 40000);
    QCOMPARE(r.RemA, QStringLiteral("192.168.0.1"));
    QCOMPARE(r.RemP, QStringLiteral("443"));
    QCOMPARE(r.LocP, QStringLiteral("49152"));
    QCOMPARE(r.state, qint16{5});
    QCOMPARE(r.position, qsizetype{40000});
    QVERIFY(r.identity.sameConnection(row));
}

void TestModNetstat::rowMakerSharesEqualTexts() {
    // The rows of one snapshot read as MakeConnectionRow makes them, and an address or port
    // shown on several rows is one text: a loopback pair shows each port twice.
    TcpRow client;
    client.dwState = 5;
    client.dwLocalPort = field(0xC0, 0x00, 0, 0);
    client.dwRemoteAddr = field(127, 0, 0, 1);
    client.dwRemotePort = field(0x1B, 0x58, 0, 0);
    TcpRow server = client;
    std::swap(server.dwLocalPort, server.dwRemotePort);
    RowMaker maker;
    const ConnectionRow a = maker.make(client, 0);
    const ConnectionRow b = maker.make(server, 40000);
    for (const auto& [made, row, position] :
         {std::tuple{a, client, 0}, std::tuple{b, server, 40000}}) {
        const ConnectionRow alone = MakeConnectionRow(row, position);
        QCOMPARE(made.RemA, alone.RemA);
        QCOMPARE(made.RemP, alone.RemP);
        QCOMPARE(made.LocP, alone.LocP);
        QCOMPARE(made.state, alone.state);
        QCOMPARE(made.position, alone.position);
        QVERIFY(made.identity.sameConnection(row));
    }
    QVERIFY(a.RemA.isSharedWith(b.RemA));
    QVERIFY(a.LocP.isSharedWith(b.RemP));
    QVERIFY(a.RemP.isSharedWith(b.LocP));
}

QTEST_GUILESS_MAIN(TestModNetstat)
#include "test_modNetstat.moc"
