// Creating the console over a large event log: the console (rule lists, switches, and its log
// view filled from the file) against two peers in the same run: reading the same file alone
// into memory (the floor any view must pay), and filling a plain item-based tree widget with
// the same records (the widget a list view would naively become).
//
//   QT_QPA_PLATFORM=offscreen build/bin/bench_console [records]

#include "core/settings/EventLog.h"
#include "core/settings/LogModel.h"
#include "support/ProgramRig.h"
#include "support/TestSupport.h"
#include "ui/settings/frmOptions.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTreeView>
#include <QTreeWidget>
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
        settings::LogRecord r{
            QStringLiteral("%1:%2:%3-2005-7-1")
                .arg(i / 3600 % 24)
                .arg(i / 60 % 60, 2, 10, QLatin1Char('0'))
                .arg(i % 60, 2, 10, QLatin1Char('0')),
            QStringLiteral("10.%1.%2.%3").arg(i >> 16 & 255).arg(i >> 8 & 255).arg(i & 255),
            QString::number(1024 + i % 60000), QString::number(40000 + i % 20000),
            QString::fromUtf8(actions[i % 4])};
        buf += settings::EventLog::formatRecord(r);
    }
    return test::writeFile(path, buf);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int records = argc > 1 ? std::atoi(argv[1]) : 100000;
    // The folder, hive and (empty) scripted table every run's program is built over; the
    // console never asks the table. Qt's model tester would walk every row at each reset.
    test::ProgramSetup setup;
    setup.checkModels = false;
    test::ProgramRig rig(setup);
    const QString logPath = rig.logPath();
    if (!rig.dir.isValid() || !writeLog(logPath, records)) {
        std::fprintf(stderr, "cannot write the log\n");
        return 1;
    }
    constexpr int kRuns = 5;
    std::vector<double> readMs, widgetMs, consoleMs;

    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer t;

        // Floor: the file read into memory, nothing shown.
        t.start();
        std::vector<settings::LogRecord> rows;
        settings::EventLog::read(
            logPath, [&rows](settings::LogRecord&& r) { rows.push_back(std::move(r)); });
        readMs.push_back(t.nsecsElapsed() / 1e6);

        // Peer: an item per record in a tree widget, then shown once.
        t.start();
        {
            QTreeWidget widget;
            widget.setColumnCount(5);
            widget.setUniformRowHeights(true);
            QList<QTreeWidgetItem*> items;
            items.reserve(static_cast<qsizetype>(rows.size()));
            for (const settings::LogRecord& r : rows) {
                items.append(new QTreeWidgetItem({r.time, r.RemA, r.RemP, r.LocP, r.action}));
            }
            widget.addTopLevelItems(items);
            widget.show();
            QCoreApplication::processEvents();
        }
        widgetMs.push_back(t.nsecsElapsed() / 1e6);

        // Quillon: the console created (opening steps, rule lists, log view from the file)
        // and shown once on its log tab.
        t.start();
        {
            shell::Program program(rig.program().config());
            settings::frmOptions& console = program.options();
            console.SSTab1->setCurrentIndex(1);
            console.show();
            QCoreApplication::processEvents();
            if (console.logModel->rowCount() != records) {
                std::fprintf(stderr, "the view holds %d rows, not %d\n",
                             console.logModel->rowCount(), records);
                return 1;
            }
        }
        consoleMs.push_back(t.nsecsElapsed() / 1e6);
    }

    const double read = median(readMs);
    const double widget = median(widgetMs);
    const double console = median(consoleMs);
    std::printf("records %d, median of %d runs\n", records, kRuns);
    std::printf("  file read alone        %8.1f ms\n", read);
    std::printf("  item tree widget       %8.1f ms\n", widget);
    std::printf("  console (Quillon)      %8.1f ms\n", console);
    std::printf("  console / file read    %8.2f\n", console / read);
    std::printf("  console / tree widget  %8.2f\n", console / widget);
    return 0;
}
