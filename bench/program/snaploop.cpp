// The bare poll the running program is compared with: a snapshot of the kernel's TCP table
// four times a second, and nothing else. Runs for the given number of seconds, then prints
// the rows of its last snapshot and the CPU time it used.
#include "platform/NetlinkTcpTable.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    quillon::platform::NetlinkTcpTable table;
    std::vector<quillon::platform::TcpRow> rows;
    const auto period = std::chrono::milliseconds(250);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    // Ticks on a fixed schedule, like a 250 ms timer, without drifting by the work done.
    for (auto next = start; next < end; next += period) {
        std::this_thread::sleep_until(next);
        if (!table.snapshot(rows)) {
            std::fprintf(stderr, "snapshot failed: errno %d\n", table.lastError());
            return 1;
        }
    }
    timespec cpu{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    std::printf("rows %zu cpu_ms %.1f\n", rows.size(), cpu.tv_sec * 1e3 + cpu.tv_nsec / 1e6);
    return 0;
}
