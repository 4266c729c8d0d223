// The kernel guard's tables follow the decision's inputs, and the tick spares its dump only
// when the kernel counted no change.
#include "core/monitor/KernelMirror.h"
#include "core/settings/modReg.h"
#include "support/GuardRig.h"

#include <QSignalSpy>
#include <QTest>
#include <arpa/inet.h>

namespace quillon {

using platform::KernelEntry;
using platform::cutproto::Set;

// Records what the guard is told, as the helper's tables would hold it.
class FakeKernel : public platform::KernelGuard {
public:
    platform::Immediate state() override { return platform::Immediate::On; }
    quint64 generation() const override { return generation_; }
    bool countsChanges() override { return true; }
    bool setSettings(int level, bool exempt, bool ipv6) override {
        settings = {level, exempt, ipv6};
        return true;
    }
    std::vector<bool> changeAll(const std::vector<KernelEntry>& entries, bool add) override {
        for (const auto& entry : entries) {
            add ? (void)tables.insert(entry) : (void)tables.erase(entry);
        }
        return std::vector<bool>(entries.size(), true);
    }
    bool sweep() override {
        ++sweeps;
        return true;
    }
    std::optional<quint64> changes() override { return count; }
    int reportDescriptor() const override { return -1; }
    bool takeReports(std::vector<platform::KernelReport>&) override { return alive; }
    bool restart() override {
        ++restarts;
        alive = restartWorks;
        if (alive) {
            replace();
        }
        return alive;
    }

    // A new helper: empty tables.
    void replace() {
        ++generation_;
        tables.clear();
        settings = {};
    }

    std::set<KernelEntry> tables;
    std::tuple<int, bool, bool> settings{};
    int sweeps = 0;
    quint64 count = 7;
    bool alive = true;
    bool restartWorks = true;
    int restarts = 0;

private:
    quint64 generation_ = 1;
};

namespace {

KernelEntry address(Set set, const char* text) {
    KernelEntry e;
    e.set = set;
    e.family = strchr(text, ':') ? AF_INET6 : AF_INET;
    inet_pton(e.family, text, e.address.data());
    return e;
}

KernelEntry port(Set set, quint16 p) {
    KernelEntry e;
    e.set = set;
    e.port = p;
    return e;
}

} // namespace

class TestKernelMirror : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { monitor::modNetstat::InitStateNames(); }

    // Only the spelling a connection's row shows is loaded.
    void namesAreLoadedOnlyAsTheListShowsThem_data() {
        QTest::addColumn<int>("set");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("loaded");
        const int a = int(Set::DenyAddress), p = int(Set::DenyRemotePort);
        QTest::newRow("dotted") << a << "127.0.0.5" << true;
        QTest::newRow("leading zeros") << a << "127.000.000.005" << false;
        QTest::newRow("ipv6 canonical") << a << "2001:db8::1" << true;
        QTest::newRow("ipv6 upper case") << a << "2001:DB8::1" << false;
        QTest::newRow("ipv6 long form") << a << "2001:db8:0:0:0:0:0:1" << false;
        QTest::newRow("not an address") << a << "host.example" << false;
        QTest::newRow("port") << p << "80" << true;
        QTest::newRow("port zero-padded") << p << "080" << false;
        QTest::newRow("port 0") << p << "0" << false;
        QTest::newRow("port too big") << p << "65536" << false;
        QTest::newRow("port with space") << p << " 80" << false;
    }
    void namesAreLoadedOnlyAsTheListShowsThem() {
        QFETCH(int, set);
        QFETCH(QString, name);
        QFETCH(bool, loaded);
        QCOMPARE(monitor::KernelMirror::entryOf(Set(set), name).has_value(), loaded);
    }

    // Deny rules, switches and pending fields reach the kernel; a rule deleted by another
    // process leaves it within a tick; a new helper is filled anew; a question's end sweeps.
    void tablesFollowRulesSwitchesAndQuestions() {
        test::GuardServices rig;
        FakeKernel kernel;
        rig.table.setKernelGuard(&kernel);
        namespace modReg = settings::modReg;
        const auto root = modReg::HKEY_LOCAL_MACHINE;
        modReg::WriteRegString(rig.hive, root, modReg::BlockIpKey, "127.0.0.5", "1");
        modReg::WriteRegString(rig.hive, root, modReg::BlockIpKey, "127.000.000.006", "1");
        modReg::WriteRegString(rig.hive, root, modReg::BlockIpKey, "127.0.0.7", "0");
        modReg::WriteRegString(rig.hive, root, modReg::BlockRpKey, "8080", "1");
        modReg::WriteRegString(rig.hive, root, modReg::BlockLpKey, "5000", "1");
        rig.switches.setLevel(2);
        rig.table.add("127.0.0.9", 443, 40000); // unsettled: asked, so held
        rig.guard.RefreshTable(false);

        const std::set<KernelEntry> rules{address(Set::DenyAddress, "127.0.0.5"),
                                          port(Set::DenyRemotePort, 8080),
                                          port(Set::DenyLocalPort, 5000)};
        std::set<KernelEntry> expected = rules;
        expected.insert(address(Set::HoldAddress, "127.0.0.9"));
        expected.insert(port(Set::HoldRemotePort, 443));
        expected.insert(port(Set::HoldLocalPort, 40000));
        QCOMPARE(kernel.tables, expected);
        QCOMPARE(kernel.settings, std::make_tuple(2, rig.switches.subnet(), true));

        platform::RegistryHive other(rig.hive.path());
        other.deleteValue(modReg::BlockRpKey, QStringLiteral("8080"));
        QTest::qWait(20); // a new time stamp for the files
        rig.guard.RefreshTable(false);
        QVERIFY(!kernel.tables.contains(port(Set::DenyRemotePort, 8080)));

        kernel.replace();
        rig.guard.RefreshTable(false);
        expected.erase(port(Set::DenyRemotePort, 8080));
        QCOMPARE(kernel.tables, expected);

        const int sweeps = kernel.sweeps;
        rig.guard.ShiftAlertList(0);
        QCOMPARE(kernel.tables, (std::set<KernelEntry>{address(Set::DenyAddress, "127.0.0.5"),
                                                       port(Set::DenyLocalPort, 5000)}));
        QVERIFY(kernel.sweeps > sweeps); // what the question held may now be cut
    }

    // A helper that ends is started once and filled anew; a second end is said, once, and the
    // poll dumps every tick from then on.
    void anEndedHelperIsRestartedOnceThenSaid() {
        test::GuardServices rig;
        FakeKernel kernel;
        rig.table.setKernelGuard(&kernel);
        namespace modReg = settings::modReg;
        modReg::WriteRegString(rig.hive, modReg::HKEY_LOCAL_MACHINE, modReg::BlockIpKey,
                               "127.0.0.5", "1");
        QSignalSpy told(&rig.guard, &monitor::Guard::immediateChanged);
        rig.guard.RefreshTable(false);
        kernel.alive = false;
        rig.guard.RefreshTable(false);
        QCOMPARE(kernel.restarts, 1);
        QVERIFY(kernel.tables.contains(address(Set::DenyAddress, "127.0.0.5")));
        QCOMPARE(told.count(), 0);

        kernel.alive = false;
        kernel.restartWorks = false;
        const int dumps = rig.table.snapshotCount();
        for (int k = 0; k < 3; ++k) {
            rig.guard.RefreshTable(false);
        }
        QCOMPARE(kernel.restarts, 1);
        QCOMPARE(told.count(), 1);
        QCOMPARE(rig.guard.immediate(), platform::Immediate::HelperEnded);
        QCOMPARE(rig.table.snapshotCount(), dumps + 3);
    }

    // An unchanged count spares the dump, except while rows may leave silently, when forced,
    // and whenever the count moved.
    void dumpsOnlyWhenTheKernelCountedAChange() {
        test::GuardServices rig;
        FakeKernel kernel;
        rig.table.setKernelGuard(&kernel);
        rig.switches.setLevel(3);
        rig.table.add("127.0.0.9", 443, 40000);
        auto dumpsOver = [&](int ticks) {
            const int before = rig.table.snapshotCount();
            for (int k = 0; k < ticks; ++k) {
                rig.guard.RefreshTable(false);
            }
            return rig.table.snapshotCount() - before;
        };
        dumpsOver(2);
        QCOMPARE(dumpsOver(5), 0);
        ++kernel.count;
        QCOMPARE(dumpsOver(5), 1);
        const int before = rig.table.snapshotCount();
        rig.guard.RefreshTable(true);
        QCOMPARE(rig.table.snapshotCount(), before + 1);

        rig.table.add("127.0.0.10", 80, 40001, platform::StateTimeWait);
        ++kernel.count;
        dumpsOver(1);
        QCOMPARE(dumpsOver(4), 4); // a TIME_WAIT row expires without an event
    }
};

} // namespace quillon

QTEST_GUILESS_MAIN(quillon::TestKernelMirror)
#include "test_KernelMirror.moc"
