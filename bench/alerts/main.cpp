// Resident memory after a flood of questions has been answered, against the same program after
// one answered question, in one run. The program is the real one (windows, guard, commands)
// over the scripted TCP table, a temporary hive and program folder. Each round adds
// connections no rule settles, one tick asks about them (the windows open as earlier ones are
// answered), every window is answered 放行通过, and the connections go again; memory is read
// once the closed windows are deleted, a tick has rebuilt the emptied list and the program has
// given back what the questions left (a second after the last one closed).
//
//   QT_QPA_PLATFORM=offscreen build/bin/bench_alerts [questions]     (default 300)

#include "core/monitor/Guard.h"
#include "support/ProgramRig.h"
#include "ui/blocking/frmAlert.h"

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace quillon;

// VmRSS of /proc/self/status, in KiB.
long residentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').first().toLong();
        }
    }
    return -1;
}

struct Round {
    long afterKiB = 0;
    long peakKiB = 0;
    int windowsAtOnce = 0;
};

// `count` new connections, each on an address and ports of its own, all asked about and
// answered; `first` keeps them apart from earlier rounds', whose answers are stored rules.
Round answerFlood(test::ProgramRig& rig, int first, int count) {
    Round round;
    std::vector<platform::TcpRow> rows;
    for (int i = first; i < first + count; ++i) {
        rows.push_back(rig.table.add(
            QStringLiteral("61.%1.%2.%3").arg(i / 65536 % 256).arg(i / 256 % 256).arg(i % 256),
            static_cast<quint16>(2000 + i % 30000), static_cast<quint16>(33000 + i % 30000)));
    }
    rig.guard().RefreshTable(false);
    for (QList<blocking::frmAlert*> open = rig.program().alerts(); !open.isEmpty();
         open = rig.program().alerts()) {
        round.windowsAtOnce = std::max(round.windowsAtOnce, static_cast<int>(open.size()));
        round.peakKiB = std::max(round.peakKiB, residentKiB());
        open.first()->Command2->click();
        test::ProgramRig::settle();
    }
    for (const platform::TcpRow& row : rows) {
        rig.table.remove(row);
    }
    rig.guard().RefreshTable(false);
    test::ProgramRig::settle();
    // The program gives back what the questions left a second after the last one closed.
    QTest::qWait(1500);
    test::ProgramRig::settle();
    round.afterKiB = residentKiB();
    return round;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The offscreen platform's notices about masks and raising, once per window.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtWarningMsg && type != QtInfoMsg && type != QtDebugMsg) {
            std::fprintf(stderr, "%s\n", qPrintable(text));
        }
    });
    const int flood = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    test::ProgramSetup setup;
    setup.checkModels = false; // Qt's model tester would walk every row at each rebuild
    test::ProgramRig rig(setup);
    rig.main();
    rig.setSubnet(false);
    rig.setLevel(2);

    // The first question pays for what any first window loads (fonts, styles, pictures).
    answerFlood(rig, 0, 1);
    const Round one = answerFlood(rig, 1, 1);
    const Round many = answerFlood(rig, 2, flood);

    std::printf("resident memory after answered questions (KiB)\n");
    std::printf("  after 1 question:      %8ld\n", one.afterKiB);
    std::printf("  after %d questions: %8ld   (peak %ld, at most %d windows at once)\n", flood,
                many.afterKiB, many.peakKiB, many.windowsAtOnce);
    std::printf("ratio %d / 1 after answering: %.3f  (target at most 1.2)\n", flood,
                static_cast<double>(many.afterKiB) / static_cast<double>(one.afterKiB));
    std::printf("ratio peak / 1:             %.3f\n",
                static_cast<double>(many.peakKiB) / static_cast<double>(one.afterKiB));
    return 0;
}
