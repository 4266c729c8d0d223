#include "core/blocking/Decision.h"

#include <QList>
#include <QMap>
#include <QTest>
#include <memory>
#include <optional>

using quillon::blocking::Decide;
using quillon::blocking::Outcome;
using quillon::blocking::PendingAlerts;
using quillon::blocking::RuleKind;

Q_DECLARE_METATYPE(Outcome)
Q_DECLARE_METATYPE(std::optional<int>)

namespace {

constexpr qint16 kEstablished = 5;
constexpr qint16 kListening = 2;

// The rule store as the decision sees it: stored verdicts, lookups that fail, and a record
// of every lookup in order.
struct FakeRules {
    QMap<std::pair<RuleKind, QString>, QString> stored;
    QList<int> failingCalls; // 1-based numbers of the lookups that fail
    bool allFail = false;
    QList<std::pair<RuleKind, QString>> calls;

    void set(RuleKind kind, const QString& name, const QString& data) {
        stored[{kind, name}] = data;
    }

    std::optional<QString> operator()(RuleKind kind, const QString& name) {
        calls.append({kind, name});
        if (allFail || failingCalls.contains(calls.size())) {
            return std::nullopt;
        }
        // A missing value reads as the empty text.
        return stored.value({kind, name});
    }
};

struct FakeTrojans {
    QStringList ports;
    bool fails = false;
    QStringList calls;

    std::optional<bool> operator()(const QString& port) {
        calls.append(port);
        if (fails) {
            return std::nullopt;
        }
        return ports.contains(port);
    }
};

struct Connection {
    QString RemA = QStringLiteral("61.1.2.3");
    QString RemP = QStringLiteral("4321");
    QString LocP = QStringLiteral("80");
    qint16 state = kEstablished;
};

Outcome decide(const Connection& c, std::optional<int> check1, int level, FakeRules& rules,
               FakeTrojans& trojans, const PendingAlerts& pending) {
    return Decide(c.RemA, c.RemP, c.LocP, c.state, check1, level, rules, trojans, pending);
}

// The decision table for a row that is not listening, not exempt and matches no pending
// entry, row by row as the product documents it. `any1`/`trojan`: -1 any, 0 no, 1 yes;
// `zeros`: the accepted numbers of "0" verdicts as a bit set (bit n: n verdicts are "0").
struct TableRow {
    int level; // 0 stands for "any other level"
    int any1;
    unsigned zeros;
    int trojan;
    Outcome outcome;
};
constexpr unsigned kAnyZeros = 0b1111;
constexpr TableRow kTable[] = {
    {1, 1, kAnyZeros, -1, Outcome::Cut},      {1, 0, 0b1000, -1, Outcome::Nothing},
    {1, 0, 0b0111, -1, Outcome::Alert},       {2, 1, kAnyZeros, -1, Outcome::Cut},
    {2, 0, 0b1110, -1, Outcome::Nothing},     {2, 0, 0b0001, -1, Outcome::Alert},
    {3, -1, kAnyZeros, 1, Outcome::Alert},    {3, -1, kAnyZeros, 0, Outcome::Nothing},
    {0, -1, kAnyZeros, -1, Outcome::Nothing},
};

Outcome tableOutcome(int level, bool any1, int zeros, bool trojan) {
    const int tableLevel = (level >= 1 && level <= 3) ? level : 0;
    for (const TableRow& row : kTable) {
        if (row.level == tableLevel && (row.any1 < 0 || row.any1 == int(any1)) &&
            (row.zeros & (1u << zeros)) && (row.trojan < 0 || row.trojan == int(trojan))) {
            return row.outcome;
        }
    }
    qFatal("the decision table has no row for this case");
}

const char* outcomeName(Outcome o) {
    switch (o) {
    case Outcome::Nothing:
        return "nothing";
    case Outcome::Cut:
        return "cut";
    case Outcome::Alert:
        return "alert";
    case Outcome::HeldBack:
        return "held back";
    }
    return "?";
}

} // namespace

class TestDecision : public QObject {
    Q_OBJECT

private slots:
    // Every combination of the three verdicts (deny, allow, no rule, a stray text), the
    // levels, and the trojan test, against the decision table.
    void decisionTable_data() {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("rp");
        QTest::addColumn<QString>("lp");
        QTest::addColumn<bool>("trojan");
        QTest::addColumn<Outcome>("expected");

        const QStringList verdicts{"1", "0", "", "yes"};
        for (const int level : {1, 2, 3, 0, 4, -1}) {
            for (const QString& ip : verdicts) {
                for (const QString& rp : verdicts) {
                    for (const QString& lp : verdicts) {
                        for (const bool trojan : {false, true}) {
                            const bool any1 = ip == "1" || rp == "1" || lp == "1";
                            const int zeros = int(ip == "0") + int(rp == "0") + int(lp == "0");
                            const Outcome expected = tableOutcome(level, any1, zeros, trojan);
                            QTest::addRow("level %d ip '%s' rp '%s' lp '%s' %s -> %s", level,
                                          qPrintable(ip), qPrintable(rp), qPrintable(lp),
                                          trojan ? "trojan" : "plain", outcomeName(expected))
                                << level << ip << rp << lp << trojan << expected;
                        }
                    }
                }
            }
        }
    }

    void decisionTable() {
        QFETCH(int, level);
        QFETCH(QString, ip);
        QFETCH(QString, rp);
        QFETCH(QString, lp);
        QFETCH(bool, trojan);
        QFETCH(Outcome, expected);

        const Connection c;
        FakeRules rules;
        if (!ip.isEmpty()) {
            rules.set(RuleKind::Address, c.RemA, ip);
        }
        if (!rp.isEmpty()) {
            rules.set(RuleKind::RemotePort, c.RemP, rp);
        }
        if (!lp.isEmpty()) {
            rules.set(RuleKind::LocalPort, c.LocP, lp);
        }
        FakeTrojans trojans;
        if (trojan) {
            trojans.ports << c.LocP;
        }
        const auto pending = std::make_unique<PendingAlerts>();
        QCOMPARE(decide(c, 1, level, rules, trojans, *pending), expected);
    }

    void localNetworkExemption_data() {
        QTest::addColumn<std::optional<int>>("check1");
        QTest::addColumn<QString>("RemA");
        QTest::addColumn<bool>("exempt");

        QTest::newRow("checked 192.168") << std::optional<int>(1) << "192.168.1.5" << true;
        QTest::newRow("checked 10.") << std::optional<int>(1) << "10.1.2.3" << true;
        QTest::newRow("checked 172.16") << std::optional<int>(1) << "172.16.0.1" << false;
        QTest::newRow("checked 100.1") << std::optional<int>(1) << "100.1.2.3" << false;
        QTest::newRow("checked 192.16 only") << std::optional<int>(1) << "192.16" << false;
        QTest::newRow("checked 10 without dot") << std::optional<int>(1) << "10" << false;
        QTest::newRow("checked 192.169") << std::optional<int>(1) << "192.169.1.1" << false;
        QTest::newRow("clear 192.168") << std::optional<int>(0) << "192.168.1.5" << false;
        QTest::newRow("clear 10.") << std::optional<int>(0) << "10.1.2.3" << false;
        QTest::newRow("grey 192.168") << std::optional<int>(2) << "192.168.1.5" << false;
        QTest::newRow("unreadable 192.168") << std::optional<int>() << "192.168.1.5" << true;
        QTest::newRow("unreadable 10.") << std::optional<int>() << "10.0.0.1" << true;
        QTest::newRow("unreadable public") << std::optional<int>() << "61.1.2.3" << false;
        // IPv6: link-local fe80::/10 and unique-local fc00::/7 are the local network.
        QTest::newRow("checked fe80::") << std::optional<int>(1) << "fe80::1" << true;
        QTest::newRow("checked febf: top of /10") << std::optional<int>(1) << "febf::1" << true;
        QTest::newRow("checked fec0: past /10") << std::optional<int>(1) << "fec0::1" << false;
        QTest::newRow("checked fe7f: below /10") << std::optional<int>(1) << "fe7f::1" << false;
        QTest::newRow("checked fc00::") << std::optional<int>(1) << "fc00::5" << true;
        QTest::newRow("checked fd12: unique local")
            << std::optional<int>(1) << "fd12:3456::1" << true;
        QTest::newRow("checked fe00: past /7") << std::optional<int>(1) << "fe00::1" << false;
        QTest::newRow("checked fc0::1 is 0fc0") << std::optional<int>(1) << "fc0::1" << false;
        QTest::newRow("checked ::1 loopback") << std::optional<int>(1) << "::1" << false;
        QTest::newRow("checked global") << std::optional<int>(1) << "2001:db8::1" << false;
        QTest::newRow("clear fe80::") << std::optional<int>(0) << "fe80::1" << false;
        QTest::newRow("unreadable fd00::") << std::optional<int>() << "fd00::1" << true;
    }

    // A deny rule names every address: exempt ones are left alone before any rule is read.
    void localNetworkExemption() {
        QFETCH(std::optional<int>, check1);
        QFETCH(QString, RemA);
        QFETCH(bool, exempt);

        Connection c;
        c.RemA = RemA;
        FakeRules rules;
        rules.set(RuleKind::Address, RemA, "1");
        FakeTrojans trojans;
        const auto pending = std::make_unique<PendingAlerts>();
        QCOMPARE(decide(c, check1, 1, rules, trojans, *pending),
                 exempt ? Outcome::Nothing : Outcome::Cut);
        QCOMPARE(rules.calls.isEmpty(), exempt);
    }

    void levelEdgeCases() {
        const Connection c;
        const auto pending = std::make_unique<PendingAlerts>();
        FakeTrojans trojans;

        FakeRules none;
        QCOMPARE(decide(c, 0, 1, none, trojans, *pending), Outcome::Alert);
        QCOMPARE(decide(c, 0, 2, none, trojans, *pending), Outcome::Alert);
        QCOMPARE(decide(c, 0, 3, none, trojans, *pending), Outcome::Nothing);

        FakeRules addressAllowed;
        addressAllowed.set(RuleKind::Address, c.RemA, "0");
        QCOMPARE(decide(c, 0, 1, addressAllowed, trojans, *pending), Outcome::Alert);
        QCOMPARE(decide(c, 0, 2, addressAllowed, trojans, *pending), Outcome::Nothing);

        FakeRules allowedButLocalPortDenied = addressAllowed;
        allowedButLocalPortDenied.set(RuleKind::LocalPort, c.LocP, "1");
        QCOMPARE(decide(c, 0, 2, allowedButLocalPortDenied, trojans, *pending), Outcome::Cut);

        // At the low level no rule cuts anything.
        FakeRules addressDenied;
        addressDenied.set(RuleKind::Address, c.RemA, "1");
        FakeTrojans lowLevel;
        QCOMPARE(decide(c, 0, 3, addressDenied, lowLevel, *pending), Outcome::Nothing);
        QVERIFY(addressDenied.calls.isEmpty());
        QCOMPARE(lowLevel.calls, QStringList{c.LocP});
    }

    void listeningRowsAreNeverCutOrAlerted() {
        Connection c;
        c.state = kListening;
        const auto pending = std::make_unique<PendingAlerts>();
        FakeRules rules;
        rules.set(RuleKind::LocalPort, c.LocP, "1");
        FakeTrojans trojans;
        trojans.ports << c.LocP;
        QCOMPARE(decide(c, 0, 1, rules, trojans, *pending), Outcome::Nothing);
        QCOMPARE(decide(c, 0, 3, rules, trojans, *pending), Outcome::Nothing);
        // The rules and the table were still consulted before the state was looked at.
        QCOMPARE(rules.calls.size(), 6);
        QCOMPARE(trojans.calls.size(), 1);
    }

    // Levels 1 and 2 read the three verdicts for the cut and all three again for the alert,
    // in the order address, remote port, local port, even when the first one settles it.
    void sixLookupsInOrder_data() {
        QTest::addColumn<int>("level");
        QTest::newRow("high") << 1;
        QTest::newRow("medium") << 2;
    }

    void sixLookupsInOrder() {
        QFETCH(int, level);
        const Connection c;
        const auto pending = std::make_unique<PendingAlerts>();
        FakeRules rules;
        rules.set(RuleKind::Address, c.RemA, "1");
        FakeTrojans trojans;
        QCOMPARE(decide(c, 0, level, rules, trojans, *pending), Outcome::Cut);
        const QList<std::pair<RuleKind, QString>> once{{RuleKind::Address, c.RemA},
                                                       {RuleKind::RemotePort, c.RemP},
                                                       {RuleKind::LocalPort, c.LocP}};
        QCOMPARE(rules.calls, once + once);
        QVERIFY(trojans.calls.isEmpty());
    }

    void otherLevelsReadNothing() {
        const Connection c;
        const auto pending = std::make_unique<PendingAlerts>();
        for (const int level : {0, 4, 100, -2}) {
            FakeRules rules;
            rules.set(RuleKind::Address, c.RemA, "1");
            FakeTrojans trojans;
            trojans.ports << c.LocP;
            QCOMPARE(decide(c, 0, level, rules, trojans, *pending), Outcome::Nothing);
            QVERIFY(rules.calls.isEmpty());
            QVERIFY(trojans.calls.isEmpty());
        }
    }

    void pendingEntriesHoldBackSharedFields() {
        const auto pending = std::make_unique<PendingAlerts>();
        pending->append("61.1.2.3", "4321", "80");
        FakeTrojans trojans;

        // The same address, although denied, from other ports: left alone, nothing read.
        Connection sameAddress;
        sameAddress.RemP = "5555";
        sameAddress.LocP = "5556";
        FakeRules denied;
        denied.set(RuleKind::Address, sameAddress.RemA, "1");
        QCOMPARE(decide(sameAddress, 0, 1, denied, trojans, *pending), Outcome::HeldBack);
        QVERIFY(denied.calls.isEmpty());

        // Any other address towards the same remote port, or on the same local port.
        Connection sameRemotePort;
        sameRemotePort.RemA = "8.8.8.8";
        sameRemotePort.LocP = "5556";
        FakeRules none;
        QCOMPARE(decide(sameRemotePort, 0, 1, none, trojans, *pending), Outcome::HeldBack);
        Connection sameLocalPort;
        sameLocalPort.RemA = "8.8.8.8";
        sameLocalPort.RemP = "5555";
        QCOMPARE(decide(sameLocalPort, 0, 1, none, trojans, *pending), Outcome::HeldBack);

        // Nothing shared: decided as usual.
        Connection unrelated;
        unrelated.RemA = "8.8.8.8";
        unrelated.RemP = "5555";
        unrelated.LocP = "5556";
        QCOMPARE(decide(unrelated, 0, 1, none, trojans, *pending), Outcome::Alert);

        // Once the window has closed the denied address is decided again, and cut.
        QVERIFY(pending->shift(0));
        QCOMPARE(decide(sameAddress, 0, 1, denied, trojans, *pending), Outcome::Cut);
    }

    void pendingRemotePort80() {
        const auto pending = std::make_unique<PendingAlerts>();
        pending->append("61.1.2.3", "80", "40000");
        Connection other;
        other.RemA = "9.9.9.9";
        other.RemP = "80";
        other.LocP = "40001";
        FakeRules rules;
        rules.set(RuleKind::RemotePort, "80", "1");
        FakeTrojans trojans;
        QCOMPARE(decide(other, 0, 2, rules, trojans, *pending), Outcome::HeldBack);
    }

    void exemptionComesBeforeThePendingMatch() {
        const auto pending = std::make_unique<PendingAlerts>();
        pending->append("1.1.1.1", "1", "2");
        Connection c;
        c.RemA = "10.0.0.7";
        FakeRules rules;
        FakeTrojans trojans;
        QCOMPARE(decide(c, 1, 1, rules, trojans, *pending), Outcome::Nothing);
        QVERIFY(rules.calls.isEmpty());
    }

    // An error while a condition is evaluated counts as the condition met.
    void failingLookupCountsAsMet() {
        const Connection c;
        const auto pending = std::make_unique<PendingAlerts>();
        FakeTrojans trojans;

        // Everything allowed, but the cut's address lookup fails: cut.
        FakeRules failsFirst;
        failsFirst.set(RuleKind::Address, c.RemA, "0");
        failsFirst.set(RuleKind::RemotePort, c.RemP, "0");
        failsFirst.set(RuleKind::LocalPort, c.LocP, "0");
        failsFirst.failingCalls = {1};
        QCOMPARE(decide(c, 0, 2, failsFirst, trojans, *pending), Outcome::Cut);
        // The failure ends that condition; the alert condition is still evaluated.
        QCOMPARE(failsFirst.calls.size(), 4);

        // Address allowed at the medium level would pass, but a lookup of the alert
        // condition fails: the whole condition counts as met.
        FakeRules failsInAlert;
        failsInAlert.set(RuleKind::Address, c.RemA, "0");
        failsInAlert.failingCalls = {5};
        QCOMPARE(decide(c, 0, 2, failsInAlert, trojans, *pending), Outcome::Alert);
        failsInAlert.calls.clear();
        QCOMPARE(decide(c, 0, 1, failsInAlert, trojans, *pending), Outcome::Alert);

        // A rule store that cannot be read at all cuts at both levels.
        FakeRules broken;
        broken.allFail = true;
        QCOMPARE(decide(c, 0, 1, broken, trojans, *pending), Outcome::Cut);
        QCOMPARE(decide(c, 0, 2, broken, trojans, *pending), Outcome::Cut);
    }

    void failingTrojanTestAlertsAtTheLowLevel() {
        const Connection c;
        const auto pending = std::make_unique<PendingAlerts>();
        FakeRules rules;
        FakeTrojans broken;
        broken.fails = true;
        QCOMPARE(decide(c, 0, 3, rules, broken, *pending), Outcome::Alert);
        // The trojan test plays no part at the other levels.
        rules.set(RuleKind::Address, c.RemA, "0");
        QCOMPARE(decide(c, 0, 2, rules, broken, *pending), Outcome::Nothing);
        QCOMPARE(broken.calls.size(), 1);
    }

    // With every slot live there is nowhere to queue a question: nothing happens now, and the
    // connection is decided again once a window has closed. Cuts go on regardless.
    void fullPendingListRaisesNoAlert() {
        const auto pending = std::make_unique<PendingAlerts>();
        for (int k = 0; k < PendingAlerts::kSlots; ++k) {
            pending->append(QString("172.16.%1.%2").arg(k / 256).arg(k % 256),
                            QString::number(20000 + k), QString::number(30000 + k));
        }
        QVERIFY(pending->full());
        const Connection c;
        FakeRules rules;
        FakeTrojans trojans;
        QCOMPARE(decide(c, 0, 1, rules, trojans, *pending), Outcome::Nothing);
        QCOMPARE(pending->AlertCount, PendingAlerts::kSlots);
        QCOMPARE(pending->AlertRemA[1000], QStringLiteral("172.16.3.232"));

        FakeRules denied;
        denied.set(RuleKind::LocalPort, c.LocP, "1");
        QCOMPARE(decide(c, 0, 1, denied, trojans, *pending), Outcome::Cut);

        QVERIFY(pending->shift(500));
        QCOMPARE(decide(c, 0, 1, rules, trojans, *pending), Outcome::Alert);
    }

    // Two undecided connections in one rebuild: each raises its alert and is queued in turn.
    void twoAlertsInOneRebuild() {
        const auto pending = std::make_unique<PendingAlerts>();
        FakeRules rules;
        FakeTrojans trojans;
        Connection first;
        Connection second;
        second.RemA = "62.2.2.2";
        second.RemP = "5555";
        second.LocP = "443";
        for (const Connection* c : {&first, &second}) {
            QCOMPARE(decide(*c, 0, 2, rules, trojans, *pending), Outcome::Alert);
            pending->append(c->RemA, c->RemP, c->LocP);
        }
        QCOMPARE(pending->AlertCount, 2);
        QCOMPARE(pending->AlertRemA[0], first.RemA);
        QCOMPARE(pending->AlertRemA[1], second.RemA);
        // A third connection sharing the first one's local port is held back.
        Connection third = second;
        third.RemA = "63.3.3.3";
        third.RemP = "6666";
        third.LocP = first.LocP;
        QCOMPARE(decide(third, 0, 2, rules, trojans, *pending), Outcome::HeldBack);
    }
};

QTEST_GUILESS_MAIN(TestDecision)
#include "test_Decision.moc"
