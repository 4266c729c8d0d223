// A rule list: read from its source only when first asked, in the source's order; appends,
// look-ups and removals keep the names exact; a reload reads the source again.

#include "core/settings/RuleListModel.h"

#include <QAbstractItemModelTester>
#include <QTest>

using quillon::settings::RuleListModel;

class TestRuleListModel : public QObject {
    Q_OBJECT
private slots:
    void readOnDemandAndEdited();
};

void TestRuleListModel::readOnDemandAndEdited() {
    QStringList source{QStringLiteral("10.0.0.1"), QString(), QStringLiteral("例子"),
                       QStringLiteral("10.0.0.10")};
    int reads = 0;
    RuleListModel model([&](RuleListModel::Sink& sink) {
        ++reads;
        for (const QString& name : source) {
            sink.push_back(name);
        }
    });
    QCOMPARE(reads, 0);
    QAbstractItemModelTester tester(&model);
    QCOMPARE(model.rowCount(), 4);
    QCOMPARE(reads, 1);
    for (int r = 0; r < 4; ++r) {
        QCOMPARE(model.index(r, 0).data().toString(), source.at(r));
    }

    // Exact spelling only; the empty name is a name like any other.
    QCOMPARE(model.find(QStringLiteral("10.0.0.1")), 0);
    QCOMPARE(model.find(QStringLiteral("10.0.0.10")), 3);
    QCOMPARE(model.find(QString()), 1);
    QCOMPARE(model.find(QStringLiteral("10.0.0")), -1);

    model.append(QStringLiteral("6667"));
    model.removeAt(2);
    model.removeAt(0);
    model.removeAt(7); // no such row: nothing
    QCOMPARE(model.rowCount(), 3);
    QCOMPARE(model.text(0), QString());
    QCOMPARE(model.text(1), QStringLiteral("10.0.0.10"));
    QCOMPARE(model.text(2), QStringLiteral("6667"));
    QCOMPARE(model.text(3), QString());
    QCOMPARE(model.find(QStringLiteral("6667")), 2);
    QCOMPARE(reads, 1);

    source = {QStringLiteral("135")};
    model.reload();
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.text(0), QStringLiteral("135"));
    QCOMPARE(reads, 2);
}

QTEST_GUILESS_MAIN(TestRuleListModel)
#include "test_RuleListModel.moc"
