#include "core/monitor/ConnectionListModel.h"

#include "core/monitor/ProgramText.h"

namespace quillon::monitor {

ConnectionListModel::ConnectionListModel(QObject* parent) : QAbstractTableModel(parent) {}

QString ConnectionListModel::keyFor(qsizetype position) {
    return QLatin1Char('x') + QString::number(position);
}

int ConnectionListModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) {
        return 0;
    }
    // While a reset is open the view must not see rows it has not been told about.
    return resetOpen_ ? 0 : published_;
}

int ConnectionListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ConnectionListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= published_) {
        return {};
    }
    const Item& it = items_[static_cast<size_t>(index.row())];
    if (role == Qt::ToolTipRole) {
        // The address column is narrower than the longest IPv6 text and elides it: the
        // tooltip holds the whole address. The program column's holds the whole program line.
        if (index.column() == ColAddress) {
            return QVariant(it.text());
        }
        if (index.column() == ColProgram) {
            const QString line = ProgramLineText(it.connection.owner);
            return line.isEmpty() ? QVariant() : QVariant(line);
        }
        return {};
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    switch (index.column()) {
    case ColAddress:
        return it.text();
    case ColRemotePort:
        return it.sub1();
    case ColLocalPort:
        return it.sub2();
    case ColState:
        return it.sub3();
    case ColProgram:
        return ProgramCellText(it.connection.owner);
    default:
        return {};
    }
}

QVariant ConnectionListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (section) {
    case ColAddress:
        return QStringLiteral("IP地址");
    case ColRemotePort:
        return QStringLiteral("远程端口");
    case ColLocalPort:
        return QStringLiteral("本地端口");
    case ColState:
        return QStringLiteral("属性");
    case ColProgram:
        return QStringLiteral("程序");
    default:
        return {};
    }
}

void ConnectionListModel::beginRebuild(qsizetype expected) {
    if (rebuilding()) {
        endRebuild();
    }
    beginResetModel();
    resetOpen_ = true;
    rebuildOpen_ = true;
    items_.clear();
    // Room for the rows to come, no more: grown by doubling, a list of 40,000 rows would hold
    // room for 65,536; and a list that shrank much gives its room back.
    const size_t want = expected > 0 ? static_cast<size_t>(expected) : 0;
    if (items_.capacity() > 2 * want + 64) {
        std::vector<Item>().swap(items_);
    }
    items_.reserve(want);
    published_ = 0;
}

void ConnectionListModel::append(Item item) {
    items_.push_back(std::move(item));
    if (!rebuildOpen_) {
        // A lone append outside a rebuild is shown at once.
        publish();
    }
}

void ConnectionListModel::publish() {
    const int total = static_cast<int>(items_.size());
    if (resetOpen_) {
        published_ = total;
        resetOpen_ = false;
        endResetModel();
        return;
    }
    if (total > published_) {
        beginInsertRows({}, published_, total - 1);
        published_ = total;
        endInsertRows();
    }
}

void ConnectionListModel::endRebuild() {
    publish();
    rebuildOpen_ = false;
}

int ConnectionListModel::findConnection(const platform::TcpRow& identity) const {
    for (size_t r = 0; r < items_.size(); ++r) {
        if (items_[r].connection.identity.sameConnection(identity)) {
            return static_cast<int>(r);
        }
    }
    return -1;
}

} // namespace quillon::monitor
