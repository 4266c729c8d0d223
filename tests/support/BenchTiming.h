#pragma once

#include <algorithm>
#include <chrono>
#include <ctime>

// Timing for the benchmarks: the best of several runs, in wall and in processor time. The
// machines that run them are shared with builds, so the best run is the one least disturbed
// and processor time the steadier figure.
namespace quillon::test {

// Processor time of this process so far, in ms.
inline double processCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Timing {
    double wallMs = 1e300;
    double cpuMs = 1e300;
};

// The best of `runs` runs of `repeat` calls of `once`, per call.
template <typename Once>
Timing bestOf(int runs, Once&& once, int repeat = 1) {
    Timing best;
    for (int r = 0; r < runs; ++r) {
        const auto w0 = std::chrono::steady_clock::now();
        const double c0 = processCpuMs();
        for (int k = 0; k < repeat; ++k) {
            once();
        }
        const double c1 = processCpuMs();
        const auto w1 = std::chrono::steady_clock::now();
        best.wallMs = std::min(best.wallMs,
                               std::chrono::duration<double, std::milli>(w1 - w0).count() / repeat);
        best.cpuMs = std::min(best.cpuMs, (c1 - c0) / repeat);
    }
    return best;
}

} // namespace quillon::test
