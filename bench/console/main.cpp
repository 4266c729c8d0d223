// Switching the console to its 记录 tab over a long event log, timed to the first paint of
// the log view, against the same switch over an empty log, in one run. The console is the
// real one (frmOptions over a temporary program folder and hive); it has been shown once on
// its first tab and its log indexed, as when a user opens it some time after start.
//
//   QT_QPA_PLATFORM=offscreen build/bin/bench_console [records]     (default 1,000,000)

#include "core/settings/EventLog.h"
#include "core/settings/LogModel.h"
#include "support/ProgramRig.h"
#include "support/TestSupport.h"
#include "ui/settings/LogView.h"
#include "ui/settings/frmOptions.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace quillon;

bool writeLog(const QString& path, int records) {
    const char* actions[] = {"已断开连接", "拒绝IP连接", "允许连接", "禁止所有连接"};
    QByteArray buf;
    for (int i = 0; i < records; ++i) {
        buf += settings::EventLog::formatRecord(
            {QStringLiteral("%1:%2:%3-2005-7-1")
                 .arg(i / 3600 % 24)
                 .arg(i / 60 % 60, 2, 10, QLatin1Char('0'))
                 .arg(i % 60, 2, 10, QLatin1Char('0')),
             QStringLiteral("10.%1.%2.%3").arg(i >> 16 & 255).arg(i >> 8 & 255).arg(i & 255),
             QString::number(1024 + i % 60000), QString::number(40000 + i % 20000),
             QString::fromUtf8(actions[i % 4])});
    }
    return test::writeFile(path, buf);
}

// Paints of one widget, counted as they arrive.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return false;
    }
};

// One switch to the 记录 tab: milliseconds until the log view's viewport has been painted.
double switchToLog(test::ProgramRig& rig) {
    shell::Program program(rig.program().config());
    settings::frmOptions& console = program.options();
    console.SSTab1->setCurrentIndex(0);
    console.show();
    if (!QTest::qWaitForWindowExposed(&console)) {
        std::fprintf(stderr, "the console was not shown\n");
    }
    // The log's pass starts with the first show; the switch is timed once it is over.
    QElapsedTimer wait;
    wait.start();
    while (!console.logModel->indexed() && wait.elapsed() < 60000) {
        QTest::qWait(5);
    }
    QCoreApplication::processEvents();
    PaintCounter counter;
    console.lstLog->viewport()->installEventFilter(&counter);
    QElapsedTimer t;
    t.start();
    console.SSTab1->setCurrentIndex(1);
    while (counter.paints == 0 && t.elapsed() < 10000) {
        QCoreApplication::processEvents();
    }
    const double ms = t.nsecsElapsed() / 1e6;
    console.lstLog->viewport()->removeEventFilter(&counter);
    console.close();
    return ms;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int records = argc > 1 ? std::atoi(argv[1]) : 1000000;
    // Qt's model tester would walk every row at each reset.
    test::ProgramSetup setup;
    setup.checkModels = false;
    test::ProgramRig empty(setup);
    test::ProgramRig full(setup);
    // A log of one screenful: what showing rows at all costs, whatever the log's length.
    constexpr int kScreenful = 20;
    test::ProgramRig screenful(setup);
    if (!full.dir.isValid() || !writeLog(full.logPath(), records) ||
        !writeLog(screenful.logPath(), kScreenful)) {
        std::fprintf(stderr, "cannot write the log\n");
        return 1;
    }
    constexpr int kRuns = 15;
    std::vector<double> emptyMs, fullMs, screenfulMs;
    for (int run = 0; run < kRuns; ++run) {
        emptyMs.push_back(switchToLog(empty));
        fullMs.push_back(switchToLog(full));
        screenfulMs.push_back(switchToLog(screenful));
    }
    const double e = median(emptyMs);
    const double f = median(fullMs);
    // Other work on the machine only ever adds time: the best runs show the cost itself.
    const double eBest = *std::min_element(emptyMs.begin(), emptyMs.end());
    const double fBest = *std::min_element(fullMs.begin(), fullMs.end());
    std::printf("switch to the log tab, to the log view's first paint (%d runs each)\n", kRuns);
    std::printf("                         median      best\n");
    std::printf("  empty log              %6.2f ms %6.2f ms\n", e, eBest);
    std::printf("  %7d-record log     %6.2f ms %6.2f ms\n", records, f, fBest);
    std::printf("  ratio                  %6.2f    %6.2f      target <= 1.5: %s\n", f / e,
                fBest / eBest, f / e <= 1.5 ? "meets" : "MISSES");
    const double s = median(screenfulMs);
    const double sBest = *std::min_element(screenfulMs.begin(), screenfulMs.end());
    std::printf("  %7d-record log     %6.2f ms %6.2f ms\n", kScreenful, s, sBest);
    std::printf("  %d against %d records %6.2f    %6.2f\n", records, kScreenful, f / s,
                fBest / sBest);
    return 0;
}
