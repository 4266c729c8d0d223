#include "core/settings/EventLog.h"

#include "platform/CodePage.h"
#include "platform/SafeFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace quillon::settings {

namespace {

constexpr char kQuote = '"';
constexpr char kComma = ',';
constexpr char kCr = '\r';
constexpr char kLf = '\n';

// Reading goes in large pieces: a log of a million records is tens of megabytes.
constexpr qint64 kReadChunk = 1024 * 1024;
// A record longer than this is not one the program wrote: it is skipped without being kept
// in memory, so a damaged file cannot exhaust it.
constexpr qsizetype kMaxRecordBytes = 16 * 1024 * 1024;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Decodes the fields of the records read from one file. Nearly every field is ASCII (time
// stamps, addresses, ports) and skips the code page converter; the others share one
// converter, which is far cheaper than setting one up per field.
class FieldDecoder {
public:
    QString decode(std::string_view bytes) {
        bool ascii = true;
        for (const char c : bytes) {
            if (static_cast<unsigned char>(c) >= 0x80) {
                ascii = false;
                break;
            }
        }
        if (ascii) {
            return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
        }
        if (!gbk_.isValid()) {
            return platform::CodePage::fromGbk(QByteArrayView(bytes.data(), bytes.size()));
        }
        // The converter holds back a lead byte at the end of its input, waiting for the trail
        // byte. An ASCII sentinel, never a valid trail byte, makes a truncated last character
        // come out as U+FFFD instead of vanishing or spilling into the next field.
        scratch_.assign(bytes);
        scratch_.push_back(' ');
        QString text = gbk_.decode(QByteArrayView(scratch_.data(), scratch_.size()));
        gbk_.resetState();
        text.chop(1);
        return text;
    }

private:
    QStringDecoder gbk_{"GBK", QStringConverter::Flag::Stateless};
    std::string scratch_;
};

// Addresses, ports and above all action texts recur from record to record. The texts
// decoded lately for one column are handed out again, shared rather than copied, which saves
// most of the allocations and code page conversions of a large log.
class RecentTexts {
public:
    QString get(std::string_view bytes, FieldDecoder& decoder) {
        if (bytes.size() > kMaxBytes) {
            return decoder.decode(bytes);
        }
        for (const Entry& e : entries_) {
            // Most misses differ in length or in the last byte (addresses, ports): those
            // are told apart without a call.
            if (e.size == bytes.size() &&
                (e.size == 0 || (e.bytes[e.size - 1] == bytes.back() &&
                                 std::memcmp(e.bytes.data(), bytes.data(), e.size) == 0))) {
                return e.text;
            }
        }
        Entry& e = entries_[next_];
        next_ = (next_ + 1) % entries_.size();
        std::memcpy(e.bytes.data(), bytes.data(), bytes.size());
        e.size = bytes.size();
        e.text = decoder.decode(bytes);
        return e.text;
    }

private:
    static constexpr std::size_t kMaxBytes = 64;
    struct Entry {
        std::array<char, kMaxBytes> bytes{};
        std::size_t size = 0;
        QString text;
    };
    std::array<Entry, 8> entries_;
    std::size_t next_ = 0;
};

// Splits one line into its five fields. A field is either quoted, running to a closing quote
// that is followed by a comma or the line's end (the writer does not escape quotes, so a
// quote elsewhere belongs to the text), or bare, running to the next comma. A line that is
// not exactly five fields, or whose quote is never closed, is no record.
bool splitRecord(const char* s, qsizetype len, std::array<std::string_view, 5>& fields) {
    if (len == 0) {
        return false;
    }
    int count = 0;
    qsizetype pos = 0;
    while (true) {
        std::string_view field;
        qsizetype q = pos;
        while (q < len && isBlank(s[q])) {
            ++q;
        }
        if (q < len && s[q] == kQuote) {
            const qsizetype open = q;
            qsizetype search = open + 1;
            qsizetype close = -1;
            qsizetype after = 0;
            while (search < len) {
                const void* hit = memchr(s + search, kQuote, static_cast<size_t>(len - search));
                if (!hit) {
                    break;
                }
                const qsizetype at = static_cast<const char*>(hit) - s;
                after = at + 1;
                while (after < len && isBlank(s[after])) {
                    ++after;
                }
                if (after == len || s[after] == kComma) {
                    close = at;
                    break;
                }
                search = at + 1;
            }
            if (close < 0) {
                return false; // a quote that never closes: the record is broken
            }
            field = std::string_view(s + open + 1, static_cast<size_t>(close - open - 1));
            pos = after;
        } else {
            const void* hit = memchr(s + pos, kComma, static_cast<size_t>(len - pos));
            const qsizetype end = hit ? static_cast<const char*>(hit) - s : len;
            field = std::string_view(s + pos, static_cast<size_t>(end - pos));
            pos = end;
        }
        if (count == static_cast<int>(fields.size())) {
            return false; // more than five fields
        }
        fields[count++] = field;
        if (pos == len) {
            break;
        }
        ++pos; // the comma; a comma at the very end leaves one more, empty, field
    }
    return count == static_cast<int>(fields.size());
}

} // namespace

// Decodes whole records; a line that is not one gives nothing.
class RecordDecoder::Impl {
public:
    std::optional<LogRecord> decode(const char* s, qsizetype len) {
        std::array<std::string_view, 5> fields;
        if (!splitRecord(s, len, fields)) {
            return std::nullopt;
        }
        // Time stamps rarely repeat; the other four columns go through their recent texts.
        return LogRecord{decoder_.decode(fields[0]), recent_[0].get(fields[1], decoder_),
                         recent_[1].get(fields[2], decoder_), recent_[2].get(fields[3], decoder_),
                         recent_[3].get(fields[4], decoder_)};
    }

private:
    FieldDecoder decoder_;
    std::array<RecentTexts, 4> recent_;
};

RecordDecoder::RecordDecoder() : d(std::make_unique<Impl>()) {}
RecordDecoder::~RecordDecoder() = default;

std::optional<LogRecord> RecordDecoder::decode(QByteArrayView line) {
    return d->decode(line.data(), line.size());
}

namespace {

// Offset of the first CR or LF in s[from, len), or len.
qsizetype findLineEnd(const char* s, qsizetype from, qsizetype len) {
    for (qsizetype i = from; i < len; ++i) {
        if (s[i] == kCr || s[i] == kLf) {
            return i;
        }
    }
    return len;
}

} // namespace

EventLog::EventLog(QString filePath, QObject* parent)
    : QObject(parent), path_(std::move(filePath)) {}

QString EventLog::timeStamp(const QDateTime& when) {
    if (!when.isValid()) {
        return {};
    }
    const QDateTime local = when.toLocalTime();
    const QTime time = local.time();
    const QDate date = local.date();
    // Long time format and short date format of a Simplified-Chinese desktop: the hour and
    // the date parts without leading zeros, minutes and seconds with two digits.
    return QStringLiteral("%1:%2:%3-%4-%5-%6")
        .arg(time.hour())
        .arg(time.minute(), 2, 10, QLatin1Char('0'))
        .arg(time.second(), 2, 10, QLatin1Char('0'))
        .arg(date.year())
        .arg(date.month())
        .arg(date.day());
}

QDateTime EventLog::parseTimeStamp(const QString& stamp) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^(\d{1,2}):(\d\d):(\d\d)-(\d{4})-(\d{1,2})-(\d{1,2})$)"));
    const QRegularExpressionMatch m = pattern.match(stamp);
    if (!m.hasMatch()) {
        return {};
    }
    const auto number = [&m](int group) { return m.capturedView(group).toInt(); };
    const QDate date(number(4), number(5), number(6));
    const QTime time(number(1), number(2), number(3));
    if (!date.isValid() || !time.isValid()) {
        return {};
    }
    return QDateTime(date, time);
}

QByteArray EventLog::formatRecord(const LogRecord& record) {
    QString line;
    line.reserve(record.time.size() + record.RemA.size() + record.RemP.size() + record.LocP.size() +
                 record.action.size() + 16);
    const std::array<const QString*, 5> fields{&record.time, &record.RemA, &record.RemP,
                                               &record.LocP, &record.action};
    for (std::size_t k = 0; k < fields.size(); ++k) {
        if (k > 0) {
            line += QLatin1Char(kComma);
        }
        line += QLatin1Char(kQuote);
        line += *fields[k];
        line += QLatin1Char(kQuote);
    }
    line += QLatin1String("\r\n");
    return platform::CodePage::toGbk(line);
}

bool EventLog::LogEvent(const QString& RemA, const QString& RemP, const QString& LocP,
                        const QString& action) {
    // One stamp for the file and the view row, so both always show the same time.
    LogRecord record{timeStamp(clock_ ? clock_() : QDateTime::currentDateTime()), RemA, RemP, LocP,
                     action};
    QByteArray bytes = formatRecord(record);

    // Never through a link, only a regular file, and for root only in a folder no one else
    // may write: the log sits beside the executable, which may be a user's own build folder.
    using platform::SafeFiles::Mode;
    QFile file;
    qint64 sizeBefore = -1;
    int fd = platform::SafeFiles::open(path_, Mode::AppendAndRead);
    if (fd >= 0 &&
        file.open(fd, QIODevice::ReadWrite | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        // A file that ends inside a line (an earlier write cut short, a hand edit) would
        // swallow this record into that line; start it on a line of its own.
        sizeBefore = file.size();
        if (sizeBefore > 0 && file.seek(sizeBefore - 1)) {
            char last = 0;
            if (file.getChar(&last) && last != kLf && last != kCr) {
                bytes.prepend("\r\n");
            }
        }
    } else if ((fd = platform::SafeFiles::open(path_, Mode::Append)) < 0 ||
               !file.open(fd, QIODevice::WriteOnly | QIODevice::Append,
                          QFileDevice::AutoCloseHandle)) {
        return false; // the event is dropped: no line, no view row
    }

    const bool written = file.write(bytes) == bytes.size() && file.flush();
    if (!written) {
        // Leave no half record behind for the reader to stumble over.
        if (sizeBefore >= 0) {
            file.resize(sizeBefore);
        }
        file.close();
        return false;
    }
    file.close();
    emit logged(record);
    return true;
}

bool EventLog::clear() {
    // Emptied in place: the file keeps its owner, group and mode (the install's group
    // rights), and a link put in its place is not followed.
    return platform::SafeFiles::empty(path_);
}

bool EventLog::writable() const {
    return platform::SafeFiles::canAppend(path_);
}

bool EventLog::declinedAsRoot() const {
    return !platform::SafeFiles::trustedFolder(QFileInfo(path_).absolutePath());
}

namespace {

// Hands every line of the file, from its current position up to `limit` bytes further (or
// its end), to `onLine` with the line's offset from that position; `onLine` returns false to
// stop. CR LF, a lone CR and a lone LF all end a line; the empty "line" between the CR and
// the LF of a pair is handed out like any blank line. A line longer than a record can be is
// skipped without being kept in memory. False when a read fails half-way.
template <typename OnLine>
bool forEachLine(QFileDevice& file, qint64 limit, OnLine&& onLine) {
    // One buffer for the whole file, so that reading a long log leaves no trail of freed
    // pieces behind in the heap.
    std::vector<char> buffer(static_cast<size_t>(kReadChunk));
    QByteArray partial;    // the start of a line that continues in the next chunk
    qint64 partialAt = 0;  // its offset
    bool skipping = false; // inside an over-long line, dropped as it streams past
    qint64 base = 0;       // offset of the chunk in hand
    while (limit < 0 || base < limit) {
        const qint64 want = limit < 0 ? kReadChunk : std::min<qint64>(kReadChunk, limit - base);
        const qint64 got = file.read(buffer.data(), want);
        if (got <= 0) {
            if (got < 0 || file.error() != QFileDevice::NoError) {
                return false;
            }
            break;
        }
        const char* s = buffer.data();
        const qsizetype len = static_cast<qsizetype>(got);
        qsizetype start = 0;
        while (start < len) {
            const qsizetype end = findLineEnd(s, start, len);
            if (end == len) {
                // The line goes on in the next chunk.
                if (!skipping) {
                    if (partial.isEmpty()) {
                        partialAt = base + start;
                    }
                    if (partial.size() + (len - start) > kMaxRecordBytes) {
                        partial.clear();
                        partial.squeeze();
                        skipping = true;
                    } else {
                        partial.append(s + start, len - start);
                    }
                }
                break;
            }
            bool more = true;
            if (skipping) {
                skipping = false;
            } else if (!partial.isEmpty()) {
                if (partial.size() + (end - start) <= kMaxRecordBytes) {
                    partial.append(s + start, end - start);
                    more = onLine(partialAt, partial.constData(), partial.size());
                }
                partial.clear();
            } else {
                more = onLine(base + start, s + start, end - start);
            }
            if (!more) {
                return true;
            }
            start = end + 1;
        }
        base += got;
    }
    // A last record without a final line break still counts.
    if (!skipping && !partial.isEmpty()) {
        onLine(partialAt, partial.constData(), partial.size());
    }
    return true;
}

bool openForReading(const QString& filePath, QFile& file) {
    const int fd = platform::SafeFiles::open(filePath, platform::SafeFiles::Mode::Read);
    return fd >= 0 && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
}

} // namespace

bool EventLog::read(const QString& filePath, const std::function<void(LogRecord&&)>& sink) {
    QFile file;
    if (!openForReading(filePath, file)) {
        return false;
    }
    return read(file, sink);
}

bool EventLog::read(QFileDevice& file, const std::function<void(LogRecord&&)>& sink) {
    RecordDecoder::Impl decoder;
    return forEachLine(file, -1, [&](qint64, const char* s, qsizetype len) {
        if (std::optional<LogRecord> record = decoder.decode(s, len)) {
            sink(std::move(*record));
        }
        return true;
    });
}

bool EventLog::index(const QString& filePath, qint64 limit,
                     const std::function<bool(qint64 offset)>& onRecord) {
    QFile file;
    if (!openForReading(filePath, file)) {
        return false;
    }
    std::array<std::string_view, 5> fields;
    return forEachLine(file, limit, [&](qint64 offset, const char* s, qsizetype len) {
        return !splitRecord(s, len, fields) || onRecord(offset);
    });
}

bool EventLog::readRange(const QString& filePath, qint64 from, qint64 to, QByteArray& out) {
    QFile file;
    if (from < 0 || to < from || !openForReading(filePath, file) || !file.seek(from)) {
        return false;
    }
    out = file.read(to - from);
    return file.error() == QFileDevice::NoError;
}

} // namespace quillon::settings
