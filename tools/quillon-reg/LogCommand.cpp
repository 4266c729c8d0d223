#include "LogCommand.h"

#include "core/settings/EventLog.h"
#include "platform/ExeDir.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <array>
#include <cstdio>

using quillon::settings::EventLog;
using quillon::settings::LogRecord;

namespace quillon::regtool {

namespace {

constexpr int kDone = 0;
constexpr int kNotFound = 1;
constexpr int kBadUsage = 2;
constexpr int kCannotRead = 3;

// Output is gathered and written in large pieces: a log may hold a million records.
constexpr qsizetype kFlushBytes = 64 * 1024;

int complain(int code, const QString& message) {
    const QByteArray bytes = (QStringLiteral("quillon-reg: ") + message + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    return code;
}

// ISO 8601 with the offset the local zone had then, so that records sort and compare as
// text across a change of summer time. A stamp that is not one the program writes is kept
// as it is rather than dropped.
QString isoTime(const QString& stamp) {
    const QDateTime when = EventLog::parseTimeStamp(stamp);
    if (!when.isValid()) {
        return stamp;
    }
    const int offset = when.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return when.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + (offset < 0 ? u'-' : u'+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

// A CSV field: quoted, with inner quotes doubled, whenever it holds a separator, a quote or a
// line break (the log writer escapes nothing, so any of them may turn up).
void appendCsvField(QString& line, const QString& field) {
    if (!field.contains(u',') && !field.contains(u'"') && !field.contains(u'\n') &&
        !field.contains(u'\r')) {
        line += field;
        return;
    }
    line += u'"';
    line += QString(field).replace(u'"', QStringLiteral("\"\""));
    line += u'"';
}

// The plain form is tab-separated, one record a line, for grep, cut and awk; a tab or line
// break inside a field would split it, so they become spaces.
void appendPlainField(QString& line, const QString& field) {
    QString clean = field;
    for (QChar& c : clean) {
        if (c == u'\t' || c == u'\n' || c == u'\r') {
            c = u' ';
        }
    }
    line += clean;
}

} // namespace

int logCommand(QStringList args) {
    bool csv = false;
    QString file;
    for (const QString& arg : args) {
        if (arg == u"--csv") {
            csv = true;
        } else if (arg.startsWith(u'-') && arg != u"-") {
            return complain(kBadUsage, QStringLiteral("unknown option %1 for log").arg(arg));
        } else if (file.isEmpty()) {
            file = arg;
        } else {
            return complain(kBadUsage, QStringLiteral("log takes one FILE"));
        }
    }
    if (file.isEmpty()) {
        file = platform::executableDir() + QStringLiteral("/WDlog.log");
    }
    // Nothing logged yet is not a fault of the file: say which file was looked for.
    if (file != u"-" && !QFileInfo::exists(file)) {
        return complain(kNotFound, QStringLiteral("no log file %1").arg(file));
    }

    QByteArray out;
    bool writeFailed = false;
    const auto flush = [&out, &writeFailed] {
        if (!out.isEmpty() && std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()),
                                          stdout) != static_cast<size_t>(out.size())) {
            writeFailed = true;
        }
        out.clear();
    };
    if (csv) {
        out += "time,remote address,remote port,local port,action\n";
    }
    QString line;
    const auto print = [&](LogRecord&& r) {
        line.clear();
        const QString time = csv ? isoTime(r.time) : r.time;
        const std::array<const QString*, 5> fields{&time, &r.RemA, &r.RemP, &r.LocP, &r.action};
        for (const QString* field : fields) {
            if (field != &time) {
                line += csv ? u',' : u'\t';
            }
            if (csv) {
                appendCsvField(line, *field);
            } else {
                appendPlainField(line, *field);
            }
        }
        line += u'\n';
        out += line.toUtf8();
        if (out.size() >= kFlushBytes) {
            flush();
        }
    };
    bool read = false;
    if (file == u"-") {
        QFile in;
        read = in.open(stdin, QIODevice::ReadOnly) && EventLog::read(in, print);
    } else {
        // Only a regular file is read: a link or a device in the log's place is refused.
        read = EventLog::read(file, print);
    }
    flush();
    if (std::fflush(stdout) != 0 || writeFailed) {
        return complain(kCannotRead, QStringLiteral("cannot write the output"));
    }
    if (!read) {
        return complain(kCannotRead, QStringLiteral("cannot read %1 as a regular file")
                                         .arg(file == u"-" ? QStringLiteral("stdin") : file));
    }
    return kDone;
}

} // namespace quillon::regtool
