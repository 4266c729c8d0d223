#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QFileDevice>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quillon::settings {

// One event: time stamp, remote address, remote port, local port, action text.
struct LogRecord {
    QString time;
    QString RemA;
    QString RemP;
    QString LocP;
    QString action;
};

// Decodes records one line at a time (the log view's rows, read when shown), sharing one
// code page converter and the recent texts of a column between the lines it decodes.
class RecordDecoder {
public:
    RecordDecoder();
    ~RecordDecoder();
    RecordDecoder(const RecordDecoder&) = delete;
    RecordDecoder& operator=(const RecordDecoder&) = delete;

    // The record on one line (without its line break); nullopt when the line is not one.
    std::optional<LogRecord> decode(QByteArrayView line);

    class Impl;

private:
    std::unique_ptr<Impl> d;
};

// The event log file WDlog.log beside the executable: one line per event, five
// double-quoted fields separated by commas, CR LF, GBK. Opened and closed per event.
class EventLog : public QObject {
    Q_OBJECT
public:
    explicit EventLog(QString filePath, QObject* parent = nullptr);

    QString filePath() const { return path_; }

    // The time stamp of an event: local time as "14:03:22-2005-7-1" (hours and the date
    // without leading zeros).
    static QString timeStamp(const QDateTime& when);

    // The local time a stamp of that form names, or an invalid QDateTime when the text is not
    // such a stamp (a damaged record, a file written under other regional settings).
    static QDateTime parseTimeStamp(const QString& stamp);

    // One record as it is stored: the five fields in double quotes, unescaped, separated by
    // commas, then CR LF, in GBK.
    static QByteArray formatRecord(const LogRecord& record);

    // Appends one record (stamp formed once, now). When the file cannot be opened or written
    // the event is dropped and false returned; otherwise `logged` is emitted with the record,
    // for the log view.
    bool LogEvent(const QString& RemA, const QString& RemP, const QString& LocP,
                  const QString& action);

    // Empties the file in place (creating it when missing).
    bool clear();

    // Whether an event could be written now (checked without creating or changing anything).
    bool writable() const;
    // Whether the log is left alone because root does not write in a folder that other users
    // can change.
    bool declinedAsRoot() const;

    // Reads every record of a log file, calling `sink` for each in file order. Malformed
    // input loses at most the broken record. Returns false when the file cannot be opened
    // (or a read fails half-way; the records before the failure have been delivered).
    static bool read(const QString& filePath, const std::function<void(LogRecord&&)>& sink);

    // The same for records read from an open file (standard input, say) to its end.
    static bool read(QFileDevice& device, const std::function<void(LogRecord&&)>& sink);

    // Finds the records in the first `limit` bytes of a log file without decoding them:
    // `onRecord` gets the offset of each record's line, in file order, exactly for the lines
    // `read` delivers, and returns false to stop. False when the file cannot be opened or a
    // read fails half-way.
    static bool index(const QString& filePath, qint64 limit,
                      const std::function<bool(qint64 offset)>& onRecord);

    // The bytes [from, to) of a log file (fewer when it has shrunk since); false when it cannot
    // be opened or read.
    static bool readRange(const QString& filePath, qint64 from, qint64 to, QByteArray& out);

    // Test seam: the clock used for time stamps.
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }

signals:
    void logged(const quillon::settings::LogRecord& record);

private:
    QString path_;
    std::function<QDateTime()> clock_;
};

} // namespace quillon::settings
