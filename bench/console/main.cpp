// Switching the console to its 记录 tab over a long event log, timed to the first paint of
// the log view (its start, and its end), against the same switch over an empty log and over
// a log of one screen, in one run. The console is the real one (frmOptions over a temporary
// program folder and hive); it has been shown once on its first tab and its log indexed, as
// when a user opens it some time after start.
//
// The pass over a long log streams the whole file through the processor's caches just before
// the switch; over an empty log nothing does. So that the logs' lengths are compared and not
// the caches' states, the switches run three times: with the caches flushed first (64 MiB
// touched) for every log, the state the target is judged in; after a read of the long log
// for every log, which leaves the caches as its pass does; and as they come.
//
//   QT_QPA_PLATFORM=offscreen build/bin/bench_console [records]     (default 1,000,000)

#include "core/settings/EventLog.h"
#include "core/settings/LogModel.h"
#include "support/ProgramRig.h"
#include "support/TestSupport.h"
#include "ui/chrome/SkinnedWindow.h"
#include "ui/settings/LogView.h"
#include "ui/settings/frmOptions.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
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

// The first paint of one widget: when its paint event arrives, before the widget paints.
class FirstPaint : public QObject {
public:
    explicit FirstPaint(const QElapsedTimer& clock) : clock_(clock) {}
    double atMs = -1;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && atMs < 0) {
            atMs = clock_.nsecsElapsed() / 1e6;
        }
        return false;
    }

private:
    const QElapsedTimer& clock_;
};

// One switch to the 记录 tab, in milliseconds: until the log view's first paint starts (the
// switch's own work) and until it is over (the rows painted too).
struct Switch {
    double toStart = 0;
    double toEnd = 0;
};

// What runs just before each switch.
enum class Before {
    Flush,       // more memory touched than the processor's caches hold: they start empty
    ReadLongLog, // the long log read through, as its pass reads it
    Nothing,     // as the switches come
};

void flushCaches() {
    static std::vector<char> memory(64 << 20);
    for (size_t i = 0; i < memory.size(); i += 64) {
        ++memory[i];
    }
}

void readThrough(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return;
    }
    static std::vector<char> buffer(1 << 20);
    unsigned sum = 0;
    for (qint64 got; (got = file.read(buffer.data(), qint64(buffer.size()))) > 0;) {
        for (qint64 i = 0; i < got; i += 64) {
            sum += static_cast<unsigned char>(buffer[static_cast<size_t>(i)]);
        }
    }
    static volatile unsigned seen;
    seen = seen + sum; // the bytes are used: the loop stays
}

Switch switchToLog(test::ProgramRig& rig, Before before, const QString& longLog) {
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
    if (before == Before::Flush) {
        flushCaches();
    } else if (before == Before::ReadLongLog) {
        readThrough(longLog);
    }
    QElapsedTimer t;
    FirstPaint paint(t);
    console.lstLog->viewport()->installEventFilter(&paint);
    t.start();
    console.SSTab1->setCurrentIndex(1);
    while (paint.atMs < 0 && t.elapsed() < 10000) {
        QCoreApplication::processEvents();
    }
    const Switch result{paint.atMs, t.nsecsElapsed() / 1e6};
    console.lstLog->viewport()->removeEventFilter(&paint);
    console.close();
    return result;
}

// Median and best of one figure of a series of switches. Other work on the machine only ever
// adds time: the best runs show the cost itself.
struct Figure {
    double median = 0;
    double best = 0;
};

Figure figure(const std::vector<Switch>& runs, double Switch::*part) {
    std::vector<double> v;
    for (const Switch& run : runs) {
        v.push_back(run.*part);
    }
    if (v.empty()) {
        return {};
    }
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front()};
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The fonts the program itself starts with: the faces the log's cells are drawn in.
    chrome::SkinnedWindow::addChineseFace();
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
    const struct {
        Before before;
        const char* name;
    } modes[] = {{Before::Flush, "caches flushed first"},
                 {Before::ReadLongLog, "after a read of the long log"},
                 {Before::Nothing, "as it comes"}};
    double ratios[3] = {};
    for (int m = 0; m < 3; ++m) {
        std::vector<Switch> emptyRuns, fullRuns, screenfulRuns;
        for (int run = 0; run < kRuns; ++run) {
            emptyRuns.push_back(switchToLog(empty, modes[m].before, full.logPath()));
            fullRuns.push_back(switchToLog(full, modes[m].before, full.logPath()));
            screenfulRuns.push_back(switchToLog(screenful, modes[m].before, full.logPath()));
        }
        std::printf("switch to the log tab, %s (%d runs each), median and best\n", modes[m].name,
                    kRuns);
        std::printf("                           to the first paint   to its end\n");
        const auto line = [](const char* what, Figure start, Figure end) {
            std::printf("  %-24s %6.2f %6.2f ms     %6.2f %6.2f ms\n", what, start.median,
                        start.best, end.median, end.best);
        };
        const auto ratio = [](const char* what, Figure a, Figure b, Figure c, Figure d) {
            std::printf("  %-24s %6.2f %6.2f        %6.2f %6.2f\n", what, a.median / b.median,
                        a.best / b.best, c.median / d.median, c.best / d.best);
        };
        const Figure eStart = figure(emptyRuns, &Switch::toStart);
        const Figure eEnd = figure(emptyRuns, &Switch::toEnd);
        const Figure fStart = figure(fullRuns, &Switch::toStart);
        const Figure fEnd = figure(fullRuns, &Switch::toEnd);
        const Figure sStart = figure(screenfulRuns, &Switch::toStart);
        const Figure sEnd = figure(screenfulRuns, &Switch::toEnd);
        const QByteArray full_ = QByteArray::number(records) + "-record log";
        const QByteArray screenful_ = QByteArray::number(kScreenful) + "-record log";
        line("empty log", eStart, eEnd);
        line(screenful_.constData(), sStart, sEnd);
        line(full_.constData(), fStart, fEnd);
        ratio("long against empty", fStart, eStart, fEnd, eEnd);
        ratio("long against one screen", fStart, sStart, fEnd, sEnd);
        ratios[m] = fEnd.median / eEnd.median;
    }
    std::printf("target: caches flushed first, to the end of the first paint, long against empty "
                "<= 1.5: %.2f %s (after a read of the long log: %.2f; as it comes: %.2f)\n",
                ratios[0], ratios[0] <= 1.5 ? "meets" : "MISSES", ratios[1], ratios[2]);
    return 0;
}
