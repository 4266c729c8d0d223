// The scripted TCP table that window tests build the program on.
#include "core/monitor/modNetstat.h"
#include "support/FakeTcpTable.h"

#include <QtTest>

using namespace quillon::platform;
using quillon::test::FakeTcpTable;
namespace modNetstat = quillon::monitor::modNetstat;

class TestFakeTcpTable : public QObject {
    Q_OBJECT

private slots:
    void rowsCarryTheirTexts();
    void rowsAppearDisappearAndReorder();
    void snapshotsAreCountedAndCanFail();
    void cutsAreRecordedAndAnswered();
    void probeIsScripted();
};

void TestFakeTcpTable::rowsCarryTheirTexts() {
    const TcpRow a = FakeTcpTable::makeRow(QStringLiteral("10.0.0.5"), 80, 1025, StateEstablished);
    const TcpRow b = FakeTcpTable::makeRow(QStringLiteral("10.0.0.5"), 80, 1025, StateEstablished);
    const auto r = modNetstat::MakeConnectionRow(a, 3);
    QCOMPARE(r.RemA, QStringLiteral("10.0.0.5"));
    QCOMPARE(r.RemP, QStringLiteral("80"));
    QCOMPARE(r.LocP, QStringLiteral("1025"));
    QCOMPARE(r.state, qint16{StateEstablished});
    QCOMPARE(r.position, qsizetype{3});
    QCOMPARE(modNetstat::IpToText(a.dwLocalAddr), QStringLiteral("127.0.0.1"));
    // Same four-tuple, another connection: the cookie tells them apart.
    QVERIFY(a.cookie != b.cookie);
    QVERIFY(!a.sameConnection(b));
    QVERIFY(a.sameConnection(a));
}

void TestFakeTcpTable::rowsAppearDisappearAndReorder() {
    FakeTcpTable t;
    const TcpRow a = t.add(QStringLiteral("10.0.0.1"), 80, 2001);
    const TcpRow b = t.add(QStringLiteral("10.0.0.2"), 443, 2002);
    const TcpRow c = t.add(QStringLiteral("10.0.0.3"), 8080, 2003, StateListen);
    std::vector<TcpRow> rows;
    QVERIFY(t.snapshot(rows));
    QCOMPARE(rows.size(), size_t{3});
    QVERIFY(rows[0].sameConnection(a) && rows[2].sameConnection(c));

    t.move(2, 0);
    QVERIFY(t.snapshot(rows));
    QVERIFY(rows[0].sameConnection(c) && rows[1].sameConnection(a));
    t.reverse();
    QVERIFY(t.snapshot(rows));
    QVERIFY(rows[0].sameConnection(b) && rows[2].sameConnection(c));

    QVERIFY(t.remove(a));
    QVERIFY(!t.remove(a));
    QVERIFY(t.setState(b, StateTimeWait));
    QVERIFY(t.snapshot(rows));
    QCOMPARE(rows.size(), size_t{2});
    QCOMPARE(rows[0].dwState, quint32{StateTimeWait});

    t.add(a, 1);
    QVERIFY(t.snapshot(rows));
    QVERIFY(rows[1].sameConnection(a));

    t.setRows({});
    QVERIFY(t.snapshot(rows));
    QVERIFY(rows.empty());
}

void TestFakeTcpTable::snapshotsAreCountedAndCanFail() {
    FakeTcpTable t;
    t.add(QStringLiteral("10.0.0.1"), 80, 2001);
    std::vector<TcpRow> rows;
    t.setFailing(true);
    QVERIFY(!t.snapshot(rows));
    QVERIFY(rows.empty());
    t.setFailing(false);
    QVERIFY(t.snapshot(rows));
    QCOMPARE(rows.size(), size_t{1});
    QCOMPARE(t.snapshotCount(), 2);
}

void TestFakeTcpTable::cutsAreRecordedAndAnswered() {
    FakeTcpTable t;
    const TcpRow a = t.add(QStringLiteral("10.0.0.1"), 80, 2001);
    const TcpRow b = t.add(QStringLiteral("10.0.0.2"), 443, 2002);

    QCOMPARE(t.cut(a), CutResult::Cut);
    QCOMPARE(t.rows().size(), size_t{1}); // a cut connection is gone from the table
    QCOMPARE(t.cut(a), CutResult::AlreadyGone);

    t.setCutResult(CutResult::NotPermitted);
    QCOMPARE(t.cut(b), CutResult::NotPermitted);
    QCOMPARE(t.rows().size(), size_t{1}); // a refused cut leaves it

    // A replacement on the same four-tuple is another connection: the old row's cut misses.
    t.setCutResult(CutResult::Cut);
    t.remove(b);
    const TcpRow b2 = t.add(QStringLiteral("10.0.0.2"), 443, 2002);
    QCOMPARE(t.cut(b), CutResult::AlreadyGone);
    QVERIFY(t.rows().front().sameConnection(b2));

    QCOMPARE(t.cuts().size(), size_t{4});
    QVERIFY(t.cuts()[0].row.sameConnection(a));
    QCOMPARE(t.cuts()[0].result, CutResult::Cut);
    QCOMPARE(t.cuts()[1].result, CutResult::AlreadyGone);
    QCOMPARE(t.cuts()[2].result, CutResult::NotPermitted);
    QCOMPARE(t.cuts()[3].result, CutResult::AlreadyGone);
}

void TestFakeTcpTable::probeIsScripted() {
    FakeTcpTable t;
    QCOMPARE(t.probeCut(), CutResult::Cut);
    t.setProbeResult(CutResult::NotPermitted);
    QCOMPARE(t.probeCut(), CutResult::NotPermitted);
    QCOMPARE(t.probeCount(), 2);
}

QTEST_GUILESS_MAIN(TestFakeTcpTable)
#include "test_FakeTcpTable.moc"
