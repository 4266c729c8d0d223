#include "core/monitor/ConnectionListModel.h"

#include "core/monitor/ProgramText.h"

namespace quillon::monitor {

ConnectionListModel::ConnectionListModel(QObject* parent)
    : QAbstractTableModel(parent), rows_(std::make_shared<const std::vector<platform::TcpRow>>()) {}

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
    const Listed& it = items_[static_cast<size_t>(index.row())];
    const platform::TcpRow& row = kernelRow(it);
    const bool listening = row.dwState == platform::StateListen;
    const auto address = [&] {
        return listening ? listeningAddress() : modNetstat::RemoteAddressText(row);
    };
    if (role == Qt::ToolTipRole) {
        // At the window's fixed size the program column lies beyond the visible ones, so every
        // cell's tooltip ends with the whole program line: hovering any cell shows it. The
        // address column is narrower than the longest IPv6 text and elides it: its tooltip
        // starts with the whole address.
        const QString program = ProgramLineText(it.owner);
        QString own;
        if (index.column() == ColAddress) {
            own = address();
        } else if (index.column() != ColProgram && !program.isEmpty()) {
            own = data(index, Qt::DisplayRole).toString();
        }
        if (!own.isEmpty() && !program.isEmpty()) {
            return own + QLatin1Char('\n') + program;
        }
        const QString tip = own.isEmpty() ? program : own;
        return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    // Each cell is made from the kernel row as it is drawn, the same texts item() gives.
    switch (index.column()) {
    case ColAddress:
        return address();
    case ColRemotePort:
        return listening ? listeningPort() : modNetstat::PortText(row.dwRemotePort);
    case ColLocalPort:
        return modNetstat::PortText(row.dwLocalPort);
    case ColState:
        return modNetstat::StateText(static_cast<qint16>(row.dwState));
    case ColProgram:
        return ProgramCellText(it.owner);
    default:
        return {};
    }
}

ConnectionListModel::Item ConnectionListModel::item(int row) const {
    const Listed& it = items_[static_cast<size_t>(row)];
    Item item{modNetstat::MakeConnectionRow(kernelRow(it), it.position)};
    item.connection.owner = it.owner;
    return item;
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

void ConnectionListModel::beginRebuild(Snapshot rows, qsizetype expected) {
    if (rebuilding()) {
        endRebuild();
    }
    beginResetModel();
    resetOpen_ = true;
    rebuildOpen_ = true;
    items_.clear();
    // The old snapshot goes with the old rows.
    rows_ = rows ? std::move(rows) : std::make_shared<const std::vector<platform::TcpRow>>();
    // Room for the rows to come, no more: grown by doubling, a list of 40,000 rows would hold
    // room for 65,536; and a list that shrank much gives its room back.
    const size_t want = expected > 0 ? static_cast<size_t>(expected) : 0;
    if (items_.capacity() > 2 * want + 64) {
        std::vector<Listed>().swap(items_);
    }
    items_.reserve(want);
    published_ = 0;
}

void ConnectionListModel::append(qsizetype position, modNetstat::SharedOwner owner) {
    Q_ASSERT(position >= 0 && static_cast<size_t>(position) < rows_->size());
    items_.push_back({position, std::move(owner)});
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
        if (kernelRow(items_[r]).sameConnection(identity)) {
            return static_cast<int>(r);
        }
    }
    return -1;
}

} // namespace quillon::monitor
