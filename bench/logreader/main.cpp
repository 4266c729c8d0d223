// Start-up reads the whole event log into the log view, so a log that has grown for years
// must still load quickly. This writes a log of a million records in the program's own
// format, then reads it with EventLog::read and, as the peer, with a plain pass of
// QFile::readLine, a GBK decode of each line and QString::split, and prints both.
//
//   bench_logreader [RECORDS]      (default 1000000)

#include "core/settings/EventLog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using quillon::settings::EventLog;
using quillon::settings::LogRecord;

namespace {

constexpr double kTargetSeconds = 2.0;
constexpr int kRuns = 3;

const QStringList kActions{QStringLiteral("已断开连接"),       QStringLiteral("拒绝IP连接"),
                           QStringLiteral("允许连接"),         QStringLiteral("禁止远程端口连接"),
                           QStringLiteral("禁止本机端口连接"), QStringLiteral("全部禁止连接"),
                           QStringLiteral("异常连接中断"),     QStringLiteral("禁止所有连接")};

bool writeLog(const QString& path, int records) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    QDateTime when(QDate(2005, 7, 1), QTime(9, 0, 0));
    QByteArray block;
    for (int k = 0; k < records; ++k) {
        const LogRecord r{EventLog::timeStamp(when.addSecs(k)),
                          QStringLiteral("%1.%2.%3.%4")
                              .arg(61 + k % 150)
                              .arg(k / 65536 % 256)
                              .arg(k / 256 % 256)
                              .arg(k % 256),
                          QString::number(1024 + k % 64000), QString::number(k % 7 ? 80 : 443),
                          kActions[k % kActions.size()]};
        block += EventLog::formatRecord(r);
        if (block.size() > (1 << 22)) {
            if (file.write(block) != block.size()) {
                return false;
            }
            block.clear();
        }
    }
    return file.write(block) == block.size() && file.flush();
}

struct Pass {
    double seconds = 0;    // wall-clock time
    double cpuSeconds = 0; // processor time of this process: what a busy machine inflates less
    qint64 records = 0;
    qint64 characters = 0; // a use of every field, so no work can be skipped
};

Pass readWithEventLog(const QString& path) {
    Pass pass;
    const std::clock_t cpu = std::clock();
    QElapsedTimer timer;
    timer.start();
    EventLog::read(path, [&pass](LogRecord&& r) {
        ++pass.records;
        pass.characters +=
            r.time.size() + r.RemA.size() + r.RemP.size() + r.LocP.size() + r.action.size();
    });
    pass.seconds = timer.nsecsElapsed() / 1e9;
    pass.cpuSeconds = double(std::clock() - cpu) / CLOCKS_PER_SEC;
    return pass;
}

Pass readLineBySplit(const QString& path) {
    Pass pass;
    const std::clock_t cpu = std::clock();
    QElapsedTimer timer;
    timer.start();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return pass;
    }
    QStringDecoder gbk("GBK");
    while (!file.atEnd()) {
        const QByteArray bytes = file.readLine();
        QString line = gbk.decode(bytes);
        while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r'))) {
            line.chop(1);
        }
        const QStringList fields = line.split(QLatin1Char(','));
        if (fields.size() != 5) {
            continue;
        }
        ++pass.records;
        for (const QString& f : fields) {
            pass.characters += f.mid(1, f.size() - 2).size();
        }
    }
    pass.seconds = timer.nsecsElapsed() / 1e9;
    pass.cpuSeconds = double(std::clock() - cpu) / CLOCKS_PER_SEC;
    return pass;
}

template <typename Reader>
Pass best(Reader reader, const QString& path) {
    std::vector<Pass> passes;
    for (int run = 0; run < kRuns; ++run) {
        passes.push_back(reader(path));
    }
    return *std::min_element(passes.begin(), passes.end(),
                             [](const Pass& a, const Pass& b) { return a.seconds < b.seconds; });
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int records = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 1000000;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("WDlog.log"));
    if (!dir.isValid() || !writeLog(path, records)) {
        std::fprintf(stderr, "cannot write the test log in %s\n", qPrintable(dir.path()));
        return 1;
    }
    std::printf("log: %d records, %.1f MB (best of %d runs each)\n", records,
                QFile(path).size() / 1e6, kRuns);

    const Pass ours = best(readWithEventLog, path);
    const Pass peer = best(readLineBySplit, path);
    if (ours.records != records || peer.records != records || ours.characters != peer.characters) {
        std::fprintf(stderr, "the readers disagree: %lld/%lld records, %lld/%lld characters\n",
                     static_cast<long long>(ours.records), static_cast<long long>(peer.records),
                     static_cast<long long>(ours.characters),
                     static_cast<long long>(peer.characters));
        return 1;
    }
    std::printf("%-26s %9s %9s %14s\n", "reader", "wall s", "cpu s", "records/s");
    std::printf("%-26s %9.3f %9.3f %14.0f\n", "EventLog::read", ours.seconds, ours.cpuSeconds,
                ours.records / ours.seconds);
    std::printf("%-26s %9.3f %9.3f %14.0f\n", "peer: readLine + split", peer.seconds,
                peer.cpuSeconds, peer.records / peer.seconds);
    std::printf("ratio peer/EventLog::read: %.2f (wall), %.2f (cpu)\n", peer.seconds / ours.seconds,
                peer.cpuSeconds / ours.cpuSeconds);
    const double perMillion = ours.seconds * 1e6 / records;
    std::printf("target: a million records in at most %.1f s: %.3f s per million -> %s\n",
                kTargetSeconds, perMillion, perMillion <= kTargetSeconds ? "met" : "MISSED");
    return 0;
}
