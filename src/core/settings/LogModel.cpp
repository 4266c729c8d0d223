#include "core/settings/LogModel.h"

namespace quillon::settings {

LogModel::LogModel(QObject* parent) : QAbstractTableModel(parent) {}

int LogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int LogModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant LogModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const LogRecord& r = rows_[static_cast<size_t>(index.row())];
    switch (index.column()) {
    case Time:
        return r.time;
    case RemoteAddress:
        return r.RemA;
    case RemotePort:
        return r.RemP;
    case LocalPort:
        return r.LocP;
    case Action:
        return r.action;
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

void LogModel::reset(std::vector<LogRecord>&& records) {
    beginResetModel();
    rows_ = std::move(records);
    endResetModel();
}

void LogModel::append(const LogRecord& record) {
    const int row = rowCount();
    beginInsertRows({}, row, row);
    rows_.push_back(record);
    endInsertRows();
}

void LogModel::clear() {
    beginResetModel();
    rows_.clear();
    rows_.shrink_to_fit();
    endResetModel();
}

} // namespace quillon::settings
