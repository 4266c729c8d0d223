// Times the connection list refresh of the main window.
//
//   rebuild  one forced RefreshTable over 10,000 rows of the scripted table, at the medium
//            level, with 100,000 rules in the hive; every row is settled by an allow rule for
//            its local port, so each decision does all six lookups and ends in nothing.
//            Printed with its parts measured apart: the snapshot, the list model (texts,
//            rows, one reset of a shown view) and the 10,000 decisions.
//   tick     RefreshTable(false) over the same unchanged table, against a bare snapshot of
//            that table (the peer: a tick cannot cost less than the snapshot it takes).
//            Run as root, the same comparison is made over the kernel's table with 5,000
//            loopback connection pairs in a private network namespace.
//
// Targets: rebuild at most 250 ms; tick at most 1.2 x the bare snapshot of the kernel's table
// (measured when run as root).

#include "core/monitor/ConnectionListModel.h"
#include "core/monitor/Guard.h"
#include "core/settings/modReg.h"
#include "platform/NetlinkTcpTable.h"
#include "platform/RegistryHive.h"
#include "support/BenchTiming.h"
#include "support/FakeTcpTable.h"
#include "support/Loopback.h"
#include "support/ProgramRig.h"
#include "ui/monitor/frmMain.h"

#include <QApplication>
#include <QTreeView>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

using namespace quillon;
namespace modReg = settings::modReg;
using test::bestOf;
using test::Timing;

namespace {

constexpr int kRows = 10000;
constexpr int kRules = 100000;

platform::TcpRow row(int k) {
    // Distinct remote addresses outside the local-network prefixes, distinct ports.
    const QString address =
        QStringLiteral("61.%1.%2.%3").arg(k / 65536).arg((k / 256) % 256).arg(k % 256);
    return test::FakeTcpTable::makeRow(address, static_cast<quint16>(20000 + k % 40000),
                                       static_cast<quint16>(1024 + k), platform::StateEstablished);
}

bool fillHive(platform::RegistryHive& hive) {
    // The allow rules that settle every row (its local port), deny rules for remote ports no
    // row uses (rows use 20000..59999), and deny rules for addresses that never connect, up
    // to 100,000 rules in all; written in one transaction.
    std::vector<platform::RegistryHive::Change> changes;
    changes.reserve(kRules);
    const auto set = [&changes](const QString& key, const QString& name, const char* data) {
        changes.push_back(
            {platform::RegistryHive::Change::Kind::SetValue, key, name, QString::fromLatin1(data)});
    };
    for (int k = 0; k < kRows; ++k) {
        set(modReg::BlockLpKey, QString::number(1024 + k), "0");
    }
    for (int port = 60000; port < 65000; ++port) {
        set(modReg::BlockRpKey, QString::number(port), "1");
    }
    for (int k = 0; static_cast<int>(changes.size()) < kRules; ++k) {
        set(modReg::BlockIpKey,
            QStringLiteral("203.%1.%2.%3").arg(k / 65536).arg((k / 256) % 256).arg(k % 256), "1");
    }
    return hive.apply(changes);
}

void printLine(const char* what, const Timing& t) {
    std::printf("  %-34s %10.3f ms wall %10.3f ms cpu\n", what, t.wallMs, t.cpuMs);
}

// The tick against the bare snapshot of `table`, the list built from it already; returns
// the cpu ratio.
double tickVersusSnapshot(const char* title, platform::TcpTable& table, shell::Program& program,
                          int repeat) {
    program.main();
    monitor::Guard& guard = program.guard();
    std::vector<platform::TcpRow> rows;
    const Timing bare = bestOf(
        7, [&] { table.snapshot(rows); }, repeat);
    const Timing tick = bestOf(
        7, [&] { guard.RefreshTable(false); }, repeat);
    std::printf("%s (%zu rows)\n", title, rows.size());
    printLine("bare snapshot", bare);
    printLine("unchanged-table tick", tick);
    const double ratio = tick.cpuMs / bare.cpuMs;
    std::printf("  tick / bare snapshot: %.3f (cpu), %.3f (wall); the comparison adds %.1f µs\n",
                ratio, tick.wallMs / bare.wallMs, (tick.cpuMs - bare.cpuMs) * 1000.0);
    return ratio;
}

// The program over `table` at `level`, its main window shown and ticking only when told.
struct BenchRig : test::ProgramRig {
    BenchRig(platform::TcpTable& source, int level, bool settleByTrojanFile)
        : ProgramRig(test::ProgramSetup{false, {}, &source, nullptr, false}) {
        if (settleByTrojanFile) {
            // A trojan table that lists none of the ports: the low level decides nothing.
            writeTrojans({{QStringLiteral("1"), QStringLiteral("x")}});
        }
        setSubnet(false);
        setLevel(level);
        main().show();
    }
};

} // namespace

int main(int argc, char** argv) {
    // The kernel's table is measured in a namespace of our own, entered before any thread
    // starts; without root only the scripted table is measured.
    const QString noKernel = test::loopback::whyNoKernelTests();
    QString kernelSkip = noKernel;
    if (noKernel.isEmpty()) {
        kernelSkip = test::loopback::enterPrivateNetns();
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    monitor::modNetstat::InitStateNames();
    bool met = true;

    test::FakeTcpTable fake;
    std::vector<platform::TcpRow> tableRows;
    tableRows.reserve(kRows);
    for (int k = 0; k < kRows; ++k) {
        tableRows.push_back(row(k));
    }
    fake.setRows(tableRows);

    BenchRig rig(fake, 2, false);
    const auto h0 = std::chrono::steady_clock::now();
    if (!fillHive(*rig.hive)) {
        std::fprintf(stderr, "bench_refresh: cannot write the rules\n");
        return 1;
    }
    std::printf("hive: %d rules written in %.1f s\n", kRules,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - h0).count());
    monitor::frmMain& main = rig.main();

    // The forced rebuild, whole.
    const Timing rebuild = bestOf(5, [&] { rig.guard().RefreshTable(true); });
    if (!rig.program().alerts().isEmpty() || !fake.cuts().empty() ||
        main.listModel->rowCount() != kRows) {
        std::fprintf(stderr,
                     "bench_refresh: the rebuild did not settle every row quietly "
                     "(%lld alerts, %zu cuts, %d rows)\n",
                     static_cast<long long>(rig.program().alerts().size()), fake.cuts().size(),
                     main.listModel->rowCount());
        return 1;
    }

    // Its parts, measured apart.
    std::vector<platform::TcpRow> snap;
    const Timing snapshot = bestOf(
        5, [&] { fake.snapshot(snap); }, 10);

    monitor::ConnectionListModel model;
    QTreeView view;
    view.setModel(&model);
    view.resize(360, 280);
    view.show();
    const auto shared = std::make_shared<const std::vector<platform::TcpRow>>(snap);
    const Timing listModel = bestOf(5, [&] {
        model.beginRebuild(shared, kRows);
        for (qint16 i = 0; i < kRows; ++i) {
            model.append(i);
        }
        model.endRebuild();
    });

    std::vector<monitor::modNetstat::ConnectionRow> judged;
    for (qint16 i = 0; i < kRows; ++i) {
        judged.push_back(monitor::modNetstat::MakeConnectionRow(snap[static_cast<size_t>(i)], i));
    }
    const Timing decisions = bestOf(5, [&] {
        // A rebuild decides its rows in one read transaction.
        platform::RegistryHive::ReadScope scope(*rig.hive);
        for (const auto& r : judged) {
            rig.guard().CheckBlock(r);
        }
    });

    std::printf("forced rebuild, %d rows, level 2, %d rules (every row settled by an allow "
                "rule)\n",
                kRows, kRules);
    printLine("RefreshTable(true)", rebuild);
    printLine("  snapshot", snapshot);
    printLine("  list model (rows, reset)", listModel);
    printLine("  decisions (6 lookups each)", decisions);
    std::printf("  target: rebuild <= 250 ms: %s\n", rebuild.cpuMs <= 250 ? "met" : "NOT MET");
    met = met && rebuild.cpuMs <= 250;

    // The scripted table's snapshot is a bare copy of memory, so this ratio shows the
    // comparison's own cost: reading both tables costs about half of copying one, whatever
    // the comparison does, which puts any full comparison near 1.5 here. The target is
    // judged against the kernel's snapshot, the one a tick really pays for.
    tickVersusSnapshot("unchanged-table tick, scripted table", fake, rig.program(), 2000);

    if (!kernelSkip.isEmpty()) {
        std::printf("kernel table: skipped (%s)\n", qPrintable(kernelSkip));
    } else {
        const long files = 2L * 5000 + 256;
        if (test::loopback::raiseFileLimit(files) < files) {
            std::fprintf(stderr, "bench_refresh: cannot raise the open-file limit\n");
            return 1;
        }
        using test::loopback::Fd;
        Fd listener = test::loopback::listenOn("127.0.0.1", 8080, false, 4096);
        std::vector<Fd> keep;
        keep.reserve(2 * 5000);
        if (!test::loopback::addPairs(listener, keep, 5000)) {
            std::fprintf(stderr, "bench_refresh: could not open the connection pairs\n");
            return 1;
        }
        platform::NetlinkTcpTable kernel;
        BenchRig kernelRig(kernel, 3, true);
        kernelRig.main();
        kernelRig.guard().RefreshTable(true);
        const double kernelRatio = tickVersusSnapshot("unchanged-table tick, kernel table", kernel,
                                                      kernelRig.program(), 100);
        std::printf("  target: tick <= 1.2 x bare snapshot: %s\n",
                    kernelRatio <= 1.2 ? "met" : "NOT MET");
        met = met && kernelRatio <= 1.2;
    }
    std::printf(met ? "all targets met\n" : "some target NOT met\n");
    return met ? 0 : 1;
}
