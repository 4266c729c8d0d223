#include "core/settings/LogModel.h"

#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <limits>
#include <utility>

namespace quillon::settings {

namespace {

// Rows per chunk of offsets: a chunk is filled once and never moves, so a million records
// never re-grow one large array.
constexpr size_t kChunkRows = 65536;

} // namespace

bool LogModel::Index::add(qint64 offset) {
    if (count == std::numeric_limits<int>::max()) {
        return false; // a view has no more rows to give
    }
    if (chunks.empty() || chunks.back().offsets.size() == kChunkRows ||
        offset - chunks.back().base > std::numeric_limits<quint32>::max()) {
        chunks.push_back(Chunk{offset, count, {}});
    }
    Chunk& chunk = chunks.back();
    chunk.offsets.push_back(static_cast<quint32>(offset - chunk.base));
    ++count;
    return true;
}

LogModel::LogModel(QObject* parent) : QAbstractTableModel(parent) {}

LogModel::~LogModel() {
    stopWorker();
}

int LogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : index_.count + static_cast<int>(appended_.size());
}

int LogModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant LogModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const int row = index.row();
    const LogRecord* r = nullptr;
    if (row < index_.count) {
        const Block& block = blockOf(row);
        r = &block.records[static_cast<size_t>(row - block.first)];
    } else {
        r = &appended_[static_cast<size_t>(row - index_.count)];
    }
    switch (index.column()) {
    case Time:
        return r->time;
    case RemoteAddress:
        return r->RemA;
    case RemotePort:
        return r->RemP;
    case LocalPort:
        return r->LocP;
    case Action:
        return r->action;
    default:
        return {};
    }
}

QVariant LogModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
    case Time:
        return QStringLiteral("记录时间");
    case RemoteAddress:
        return QStringLiteral("IP地址");
    case RemotePort:
        return QStringLiteral("远程端口");
    case LocalPort:
        return QStringLiteral("本机端口");
    case Action:
        return QStringLiteral("信息");
    default:
        return {};
    }
}

LogRecord LogModel::record(int row) const {
    if (row < 0 || row >= rowCount()) {
        return {};
    }
    if (row < index_.count) {
        const Block& block = blockOf(row);
        return block.records[static_cast<size_t>(row - block.first)];
    }
    return appended_[static_cast<size_t>(row - index_.count)];
}

void LogModel::stopWorker() {
    if (worker_) {
        cancel_->store(true);
        worker_->wait();
        worker_.reset();
    }
    cancel_.reset();
}

void LogModel::open(const QString& filePath, bool passNow) {
    stopWorker();
    beginResetModel();
    path_ = filePath;
    index_ = {};
    appended_ = {};
    blocks_ = {};
    // Records written from now on reach the view as appends; the pass stops at this size so
    // that none of them is listed twice.
    const QFileInfo info(filePath);
    end_ = info.isFile() ? info.size() : 0;
    if (end_ > 0 && end_ <= kIndexAtOnceBytes) {
        EventLog::index(path_, end_, [this](qint64 offset) { return index_.add(offset); });
    }
    endResetModel();
    if (end_ <= kIndexAtOnceBytes) {
        return;
    }

    auto cancel = std::make_shared<std::atomic<bool>>(false);
    cancel_ = cancel;
    worker_.reset(QThread::create([this, cancel, path = path_, end = end_] {
        auto index = std::make_shared<Index>();
        EventLog::index(path, end, [&](qint64 offset) {
            return !cancel->load(std::memory_order_relaxed) && index->add(offset);
        });
        if (cancel->load()) {
            return;
        }
        // Handed over on the model's own thread; a model reset or destroyed meanwhile has
        // cancelled and joined this pass first, and drops what was posted.
        QMetaObject::invokeMethod(
            this, [this, cancel, index] { adopt(cancel, index); }, Qt::QueuedConnection);
    }));
    if (passNow) {
        startPass();
    }
}

void LogModel::startPass() {
    if (worker_ && !worker_->isRunning() && !worker_->isFinished()) {
        // The pass takes only time no one else wants: ticks and the list come first.
        worker_->start(QThread::IdlePriority);
    }
}

void LogModel::adopt(const std::shared_ptr<std::atomic<bool>>& cancel,
                     const std::shared_ptr<Index>& index) {
    if (cancel != cancel_ || cancel->load()) {
        return; // a pass that was stopped: the model has moved on
    }
    worker_->wait();
    worker_.reset();
    cancel_.reset();
    if (index->count > 0) {
        // The file's records come before the events appended while the pass ran.
        beginInsertRows({}, 0, index->count - 1);
        index_ = std::move(*index);
        endInsertRows();
        // The first rows are what a view shows when it is first turned to: read now, while
        // no one waits, they do not hold up that first paint.
        blockOf(0);
    }
    emit indexFinished();
}

void LogModel::append(const LogRecord& record) {
    const int row = rowCount();
    beginInsertRows({}, row, row);
    appended_.push_back(record);
    endInsertRows();
}

void LogModel::clear() {
    stopWorker();
    beginResetModel();
    index_ = {};
    appended_ = {};
    blocks_ = {};
    end_ = 0;
    endResetModel();
}

qint64 LogModel::offsetOf(int row) const {
    // The chunk holding the row: the last one whose first row is at or before it.
    const auto it = std::upper_bound(index_.chunks.begin(), index_.chunks.end(), row,
                                     [](int r, const Chunk& chunk) { return r < chunk.first; });
    const Chunk& chunk = *(it - 1);
    return chunk.base + chunk.offsets[static_cast<size_t>(row - chunk.first)];
}

const LogModel::Block& LogModel::blockOf(int row) const {
    const int first = row - row % kBlockRows;
    for (const Block& block : blocks_) {
        if (block.first == first) {
            return block;
        }
    }
    Block& block = blocks_[nextBlock_];
    nextBlock_ = (nextBlock_ + 1) % blocks_.size();
    const int last = std::min(first + kBlockRows, index_.count); // one past
    const qint64 from = offsetOf(first);
    const qint64 to = last < index_.count ? offsetOf(last) : end_;
    block.first = first;
    block.records.assign(static_cast<size_t>(last - first), LogRecord{});
    QByteArray bytes;
    // A file emptied or cut short behind the program's back gives empty rows, never a read
    // past what is there.
    if (!EventLog::readRange(path_, from, to, bytes)) {
        return block;
    }
    for (int r = first; r < last; ++r) {
        const qint64 start = offsetOf(r) - from;
        if (start >= bytes.size()) {
            break;
        }
        qsizetype end = static_cast<qsizetype>(start);
        while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') {
            ++end;
        }
        if (std::optional<LogRecord> record = decoder_.decode(
                QByteArrayView(bytes.constData() + start, end - static_cast<qsizetype>(start)))) {
            block.records[static_cast<size_t>(r - first)] = std::move(*record);
        }
    }
    return block;
}

} // namespace quillon::settings
