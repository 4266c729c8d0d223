// When the connection list is rebuilt, and how its model shows a rebuild to views.
#include "core/monitor/ConnectionListModel.h"
#include "core/monitor/ListRefresh.h"
#include "support/FakeTcpTable.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QtTest>

using namespace quillon;
using monitor::ConnectionListModel;
using monitor::ListRefresh;
using platform::TcpRow;
using test::FakeTcpTable;

namespace {

ConnectionListModel::Snapshot snapshotOf(std::vector<TcpRow> rows) {
    return std::make_shared<const std::vector<TcpRow>>(std::move(rows));
}

} // namespace

class TestListRefresh : public QObject {
    Q_OBJECT

private slots:
    void firstPollOverEmptyTableIsNoChange();
    void pollsRebuildOnlyWhenTheSetChanges();
    void forcedPollAlwaysRebuilds();
    void failedSnapshotIsNoChange();
    void modelShowsARebuildInOneReset();
    void modelPublishesRowsBeforeEventsRun();
    void modelFindsRowsByConnection();
    void modelShowsItsOwnSnapshotUntilTheNextRebuild();
};

void TestListRefresh::firstPollOverEmptyTableIsNoChange() {
    FakeTcpTable table;
    ListRefresh refresh(table);
    QVERIFY(!refresh.poll(false));
    QVERIFY(refresh.poll(true));
    QVERIFY(refresh.rows().empty());
}

void TestListRefresh::pollsRebuildOnlyWhenTheSetChanges() {
    FakeTcpTable table;
    ListRefresh refresh(table);
    const TcpRow a = table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    QVERIFY(refresh.poll(false));
    QCOMPARE(refresh.rows().size(), size_t(1));
    QVERIFY(!refresh.poll(false));

    // A state change keeps the connection.
    table.setState(a, platform::StateFinWait1);
    QVERIFY(!refresh.poll(false));
    QCOMPARE(refresh.rows()[0].dwState, quint32(platform::StateEstablished));

    // Replaced one for one: same count, another connection.
    table.remove(a);
    const TcpRow b = table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    QVERIFY(refresh.poll(false));
    QVERIFY(refresh.rows()[0].sameConnection(b));
    QVERIFY(!refresh.poll(false));

    // Appeared, reordered, went.
    table.add(QStringLiteral("61.1.2.4"), 1, 2);
    QVERIFY(refresh.poll(false));
    table.reverse();
    QVERIFY(refresh.poll(false));
    table.removeAt(0);
    QVERIFY(refresh.poll(false));
    QCOMPARE(refresh.rows().size(), size_t(1));
    QVERIFY(!refresh.poll(false));
}

void TestListRefresh::forcedPollAlwaysRebuilds() {
    FakeTcpTable table;
    ListRefresh refresh(table);
    table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    QVERIFY(refresh.poll(false));
    QVERIFY(refresh.poll(true));
    QCOMPARE(refresh.rows().size(), size_t(1));
    QVERIFY(!refresh.poll(false));
    QCOMPARE(table.snapshotCount(), 3);
}

void TestListRefresh::failedSnapshotIsNoChange() {
    FakeTcpTable table;
    ListRefresh refresh(table);
    table.add(QStringLiteral("61.1.2.3"), 4321, 80);
    QVERIFY(refresh.poll(false));
    table.setFailing(true);
    QVERIFY(!refresh.poll(false));
    QVERIFY(!refresh.poll(true));
    QCOMPARE(refresh.rows().size(), size_t(1));
    table.setFailing(false);
    QVERIFY(!refresh.poll(false));
}

void TestListRefresh::modelShowsARebuildInOneReset() {
    ConnectionListModel model;
    test::checkModel(&model);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserts(&model, &QAbstractItemModel::rowsInserted);
    model.beginRebuild(snapshotOf(
        std::vector<TcpRow>(1000, FakeTcpTable::makeRow(QStringLiteral("61.1.2.3"), 1, 2, 5))));
    for (qsizetype i = 0; i < 1000; ++i) {
        model.append(i);
        // Appended rows wait for the end of the rebuild before a view sees them.
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(model.itemCount(), i + 1);
    }
    model.endRebuild();
    QCOMPARE(resets.size(), 1);
    QCOMPARE(inserts.size(), 0);
    QCOMPARE(model.rowCount(), 1000);
    QCOMPARE(model.key(999), QStringLiteral("x999"));
    QCOMPARE(model.data(model.index(5, ConnectionListModel::ColAddress)).toString(),
             QStringLiteral("61.1.2.3"));
    QCOMPARE(model.data(model.index(5, ConnectionListModel::ColRemotePort)).toString(),
             QStringLiteral("1"));
    QVERIFY(!model.data(model.index(5, 0), Qt::DecorationRole).isValid());
    // The address cell's tooltip holds the whole address, which the column may elide.
    QCOMPARE(model.data(model.index(5, ConnectionListModel::ColAddress), Qt::ToolTipRole),
             QVariant(QStringLiteral("61.1.2.3")));
    QVERIFY(!model.data(model.index(5, ConnectionListModel::ColState), Qt::ToolTipRole).isValid());

    model.beginRebuild(snapshotOf({}));
    model.endRebuild();
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(resets.size(), 2);
}

void TestListRefresh::modelPublishesRowsBeforeEventsRun() {
    ConnectionListModel model;
    test::checkModel(&model);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserts(&model, &QAbstractItemModel::rowsInserted);
    model.beginRebuild(snapshotOf({FakeTcpTable::makeRow(QStringLiteral("61.1.2.3"), 1, 2, 5),
                                   FakeTcpTable::makeRow(QStringLiteral("61.1.2.4"), 1, 2, 5),
                                   FakeTcpTable::makeRow(QStringLiteral("61.1.2.5"), 1, 2, 5),
                                   FakeTcpTable::makeRow(QStringLiteral("61.1.2.6"), 1, 2, 5)}));
    model.append(0);
    model.append(1);
    model.publish();
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(resets.size(), 1);
    model.append(2);
    QCOMPARE(model.rowCount(), 2);
    model.publish();
    model.publish();
    QCOMPARE(model.rowCount(), 3);
    QCOMPARE(inserts.size(), 1);
    model.append(3);
    model.endRebuild();
    QCOMPARE(model.rowCount(), 4);
    QCOMPARE(resets.size(), 1);
    QCOMPARE(inserts.size(), 2);
    QVERIFY(!model.rebuilding());
}

void TestListRefresh::modelFindsRowsByConnection() {
    ConnectionListModel model;
    test::checkModel(&model);
    const TcpRow a = FakeTcpTable::makeRow(QStringLiteral("61.1.2.3"), 1, 2, 5);
    const TcpRow b = FakeTcpTable::makeRow(QStringLiteral("61.1.2.3"), 1, 2, 5);
    model.beginRebuild(snapshotOf({a, b}));
    model.append(0);
    model.append(1);
    model.endRebuild();
    QCOMPARE(model.findConnection(b), 1);
    QCOMPARE(model.findConnection(a), 0);
    QCOMPARE(model.findConnection(FakeTcpTable::makeRow(QStringLiteral("61.1.2.3"), 1, 2, 5)), -1);
}

// The list keeps the snapshot it was built from while the change test moves on to newer
// ones; what a cell shows is what a command on that row gets.
void TestListRefresh::modelShowsItsOwnSnapshotUntilTheNextRebuild() {
    monitor::modNetstat::InitStateNames();
    FakeTcpTable table;
    ListRefresh refresh(table);
    ConnectionListModel model;
    test::checkModel(&model);
    const TcpRow listening = table.add(QStringLiteral("0.0.0.0"), 0, 22, platform::StateListen);
    table.add(QStringLiteral("2001:db8::1:2"), 443, 40000);
    table.add(QStringLiteral("61.1.2.3"), 4321, 80, platform::StateTimeWait);
    QVERIFY(refresh.poll(false));
    model.beginRebuild(refresh.snapshot(), 3);
    for (qsizetype i = 0; i < 3; ++i) {
        model.append(i);
    }
    model.endRebuild();

    table.remove(listening);
    table.add(QStringLiteral("61.1.2.4"), 1, 2);
    QVERIFY(refresh.poll(false));
    QCOMPARE(refresh.rows().size(), size_t(3));
    const QStringList expected[] = {
        {"无IP来源", "等待状态", "22", "监听连接"},
        {"2001:db8::1:2", "443", "40000", "待定连接"},
        {"61.1.2.3", "4321", "80", "TIME_WAIT连接"},
    };
    QCOMPARE(model.rowCount(), 3);
    for (int r = 0; r < 3; ++r) {
        const ConnectionListModel::Item item = model.item(r);
        QCOMPARE(QStringList({item.text(), item.sub1(), item.sub2(), item.sub3()}), expected[r]);
        for (int c = 0; c < ConnectionListModel::ColProgram; ++c) {
            QCOMPARE(model.data(model.index(r, c)).toString(), expected[r][c]);
        }
        QCOMPARE(item.connection.position, r);
        QCOMPARE(model.key(r), ConnectionListModel::keyFor(r));
    }
    QVERIFY(model.item(0).connection.identity.sameConnection(listening));
    QCOMPARE(model.findConnection(listening), 0);
}

QTEST_GUILESS_MAIN(TestListRefresh)
#include "test_ListRefresh.moc"
