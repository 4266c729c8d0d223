// Times what finding the program behind each connection adds to the connection list refresh.
//
// In a private network namespace (run as root), 5,000 loopback connection pairs (10,000 rows)
// are handed out to 300 processes, about 33 sockets each. Two whole programs run over the
// kernel's table side by side, one looking owners up and one not (the peer), and each of
// them is timed on:
//   start    the first rebuild, which finds the owner of every row (informative);
//   tick     RefreshTable(false) over the unchanged table;
//   rebuild  the rebuild that 100 new connections (200 rows) bring, which resolves them all.
// The rebuilds of the two programs alternate over the same new connections; the best of
// seven runs of each is compared.
//
// Targets: tick <= 1.05 x the peer's; rebuild <= 1.3 x the peer's.

#include "core/monitor/ConnectionListModel.h"
#include "core/monitor/Guard.h"
#include "platform/NetlinkTcpTable.h"
#include "platform/SocketOwners.h"
#include "support/BenchTiming.h"
#include "support/Loopback.h"
#include "support/ProgramRig.h"
#include "ui/monitor/frmMain.h"

#include <QApplication>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace quillon;
using test::bestOf;
using test::Timing;
using test::loopback::Fd;

namespace {

constexpr int kPairs = 5000;
constexpr int kProcesses = 300;
constexpr int kNewPairs = 100;

// Forks `kProcesses` children, each keeping its share of `sockets` and closing the rest;
// returns their ids once every one is ready.
std::vector<pid_t> handOut(std::vector<Fd>& sockets) {
    std::vector<pid_t> children;
    const size_t share = (sockets.size() + kProcesses - 1) / kProcesses;
    for (int k = 0; k < kProcesses; ++k) {
        int ready[2];
        if (::pipe(ready) != 0) {
            break;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (size_t i = 0; i < sockets.size(); ++i) {
                if (i / share != static_cast<size_t>(k)) {
                    ::close(sockets[i].get());
                }
            }
            ::close(ready[0]);
            ::close(ready[1]);
            for (;;) {
                ::pause();
            }
        }
        ::close(ready[1]);
        char c;
        (void)!::read(ready[0], &c, 1); // ends when the child has closed its end
        ::close(ready[0]);
        if (pid > 0) {
            children.push_back(pid);
        }
    }
    for (Fd& s : sockets) {
        s.reset();
    }
    return children;
}

void printLine(const char* what, const Timing& t) {
    std::printf("  %-36s %10.3f ms wall %10.3f ms cpu\n", what, t.wallMs, t.cpuMs);
}

// The program over the kernel's table, its main window shown, at the low level with a
// trojan table that lists none of the ports: every decision ends in nothing.
struct Rig : test::ProgramRig {
    Rig(platform::TcpTable& source, platform::SocketOwners* owners)
        : ProgramRig(test::ProgramSetup{false, {}, &source, owners, false}) {
        writeTrojans({{QStringLiteral("1"), QStringLiteral("x")}});
        setSubnet(false);
        setLevel(3);
        main().show();
    }
};

// Rows of the list whose program was found, and rows that have a socket to find it for.
std::pair<int, int> resolvedRows(monitor::Guard& main) {
    int found = 0;
    int sockets = 0;
    for (int r = 0; r < main.model().itemCount(); ++r) {
        const auto c = main.model().item(r).connection;
        if (c.identity.inode != 0 && c.identity.dwState != platform::StateTimeWait) {
            ++sockets;
            found += c.owner.hasProcess() ? 1 : 0;
        }
    }
    return {found, sockets};
}

} // namespace

int main(int argc, char** argv) {
    if (const QString why = test::loopback::whyNoKernelTests(); !why.isEmpty()) {
        std::fprintf(stderr, "bench_owners: %s\n", qPrintable(why));
        return 1;
    }
    if (const QString why = test::loopback::enterPrivateNetns(); !why.isEmpty()) {
        std::fprintf(stderr, "bench_owners: %s\n", qPrintable(why));
        return 1;
    }
    const long files = 2L * kPairs + 2L * kNewPairs + 512;
    if (test::loopback::raiseFileLimit(files) < files) {
        std::fprintf(stderr, "bench_owners: cannot raise the open-file limit\n");
        return 1;
    }
    Fd listener = test::loopback::listenOn("127.0.0.1", 8080, false, 4096);
    std::vector<Fd> sockets;
    sockets.reserve(2 * kPairs);
    if (!test::loopback::addPairs(listener, sockets, kPairs)) {
        std::fprintf(stderr, "bench_owners: could not open the connection pairs\n");
        return 1;
    }
    // Children first, before Qt starts any thread.
    const std::vector<pid_t> children = handOut(sockets);
    const auto endChildren = [&children] {
        for (const pid_t pid : children) {
            ::kill(pid, SIGKILL);
        }
        for (const pid_t pid : children) {
            ::waitpid(pid, nullptr, 0);
        }
    };
    if (children.size() != static_cast<size_t>(kProcesses)) {
        std::fprintf(stderr, "bench_owners: could not start the processes\n");
        endChildren();
        return 1;
    }

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int code = 0;
    {
        QApplication app(argc, argv);
        monitor::modNetstat::InitStateNames();
        platform::NetlinkTcpTable withTable;
        platform::NetlinkTcpTable withoutTable;
        platform::SocketOwners owners;
        Rig with(withTable, &owners);
        Rig without(withoutTable, nullptr);
        monitor::Guard& a = with.guard();
        monitor::Guard& b = without.guard();

        const Timing startWith = bestOf(1, [&] { a.RefreshTable(true); });
        const Timing startWithout = bestOf(1, [&] { b.RefreshTable(true); });
        const auto [startFound, startSockets] = resolvedRows(a);
        std::printf("%d rows held by %d processes (besides this one)\n", a.model().itemCount(),
                    kProcesses);
        std::printf("start-up rebuild (every owner found once): %d of %d rows resolved\n",
                    startFound, startSockets);
        printLine("with owner lookup", startWith);
        printLine("without", startWithout);
        std::printf("  ratio: %.3f (cpu), %.3f (wall)\n", startWith.cpuMs / startWithout.cpuMs,
                    startWith.wallMs / startWithout.wallMs);

        const Timing tickWith = bestOf(
            7, [&] { a.RefreshTable(false); }, 50);
        const Timing tickWithout = bestOf(
            7, [&] { b.RefreshTable(false); }, 50);
        const double tickRatio = tickWith.cpuMs / tickWithout.cpuMs;
        std::printf("unchanged-table tick\n");
        printLine("with owner lookup", tickWith);
        printLine("without", tickWithout);
        std::printf("  ratio: %.3f (cpu), %.3f (wall); target <= 1.05: %s\n", tickRatio,
                    tickWith.wallMs / tickWithout.wallMs, tickRatio <= 1.05 ? "met" : "NOT MET");

        Timing rebuildWith;
        Timing rebuildWithout;
        int unresolved = 0;
        for (int run = 0; run < 7; ++run) {
            std::vector<Fd> added;
            added.reserve(2 * kNewPairs);
            if (!test::loopback::addPairs(listener, added, kNewPairs)) {
                std::fprintf(stderr, "bench_owners: could not open the new connections\n");
                code = 1;
                break;
            }
            // Alternate which program goes first, so neither profits from the other's warm
            // kernel caches.
            const auto once = [](monitor::Guard& m) {
                return bestOf(1, [&m] { m.RefreshTable(false); });
            };
            Timing tw;
            Timing to;
            if (run % 2 == 0) {
                tw = once(a);
                to = once(b);
            } else {
                to = once(b);
                tw = once(a);
            }
            rebuildWith.cpuMs = std::min(rebuildWith.cpuMs, tw.cpuMs);
            rebuildWith.wallMs = std::min(rebuildWith.wallMs, tw.wallMs);
            rebuildWithout.cpuMs = std::min(rebuildWithout.cpuMs, to.cpuMs);
            rebuildWithout.wallMs = std::min(rebuildWithout.wallMs, to.wallMs);
            // Every connection's program found by that very rebuild, the new ones included.
            const auto [found, withSocket] = resolvedRows(a);
            unresolved = std::max(unresolved, withSocket - found);
            for (Fd& s : added) {
                test::loopback::abortiveClose(s);
            }
            a.RefreshTable(false);
            b.RefreshTable(false);
        }
        const double rebuildRatio = rebuildWith.cpuMs / rebuildWithout.cpuMs;
        std::printf("rebuild bringing %d new connections (%d rows)\n", kNewPairs, 2 * kNewPairs);
        printLine("with owner lookup", rebuildWith);
        printLine("without", rebuildWithout);
        std::printf("  rows left without their program by that rebuild: %d\n", unresolved);
        std::printf("  ratio: %.3f (cpu), %.3f (wall); target <= 1.3: %s\n", rebuildRatio,
                    rebuildWith.wallMs / rebuildWithout.wallMs,
                    rebuildRatio <= 1.3 ? "met" : "NOT MET");
        const bool met = code == 0 && tickRatio <= 1.05 && rebuildRatio <= 1.3 && unresolved == 0 &&
                         startFound == startSockets;
        std::printf(met ? "all targets met\n" : "some target NOT met\n");
        code = code != 0 ? code : (met ? 0 : 1);
    }
    endChildren();
    return code;
}
