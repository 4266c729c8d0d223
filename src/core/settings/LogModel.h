#pragma once

#include "core/settings/EventLog.h"

#include <QAbstractTableModel>
#include <QString>
#include <QThread>
#include <array>
#include <atomic>
#include <memory>
#include <vector>

namespace quillon::settings {

// The rows of the log view: one per record of the event log file, in file order, then one
// per event of this run. The file only grows, and a year of use makes it a million records,
// so the model does not hold it: it keeps the offset of each record's line (about four bytes
// a record), found in one pass that runs in the background for a large file, and decodes
// rows from the file when they are shown, a block at a time.
class LogModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Time, RemoteAddress, RemotePort, LocalPort, Action, ColumnCount };

    explicit LogModel(QObject* parent = nullptr);
    ~LogModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Replaces every row with the records of a log file. A small file is indexed at once; a
    // larger one in the background, its rows arriving (before any appended since) when the
    // pass is done. A missing or unreadable file gives no rows.
    //
    // With `passNow` false a larger file's pass waits for startPass(). Even at idle
    // priority, a pass over a long log slows whatever runs beside it by a quarter on a small
    // machine: the console, made hidden at start-up, starts it when it is first shown.
    void open(const QString& filePath, bool passNow = true);
    // Starts the pass open() left waiting, if any.
    void startPass();
    // Adds one row at the end.
    void append(const LogRecord& record);
    // Removes every row.
    void clear();

    // Whether the file's rows are all there (its pass is over, or was never needed).
    bool indexed() const { return worker_ == nullptr; }

    // The record on `row`. A row whose line is no longer a record in the file (the file was
    // changed behind the program's back) is an empty record.
    LogRecord record(int row) const;

    // Files up to this size are indexed at once, which takes a few milliseconds.
    static constexpr qint64 kIndexAtOnceBytes = 1024 * 1024;

signals:
    // The background pass is over and its rows are in the model.
    void indexFinished();

private:
    // Offsets of the file's records, in chunks that never move once filled: each chunk has
    // a 64-bit base and 32-bit offsets from it.
    struct Chunk {
        qint64 base = 0;
        int first = 0; // the row of its first offset
        std::vector<quint32> offsets;
    };
    struct Index {
        std::vector<Chunk> chunks;
        int count = 0;
        bool add(qint64 offset);
    };
    struct Block {
        int first = -1;
        std::vector<LogRecord> records;
    };

    void stopWorker();
    void adopt(const std::shared_ptr<std::atomic<bool>>& cancel,
               const std::shared_ptr<Index>& index);
    qint64 offsetOf(int row) const;
    const Block& blockOf(int row) const;

    QString path_;
    qint64 end_ = 0; // the file's size when it was opened: rows past it come as appends
    Index index_;
    std::vector<LogRecord> appended_;
    std::unique_ptr<QThread> worker_;
    std::shared_ptr<std::atomic<bool>> cancel_;

    static constexpr int kBlockRows = 64;
    mutable std::array<Block, 8> blocks_;
    // One decoder for every block: setting up the code page converter costs more than
    // decoding a block.
    mutable RecordDecoder decoder_;
    mutable size_t nextBlock_ = 0;
};

} // namespace quillon::settings
