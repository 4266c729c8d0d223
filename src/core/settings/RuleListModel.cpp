#include "core/settings/RuleListModel.h"

#include "core/settings/modReg.h"

#include <utility>

namespace quillon::settings {

void RuleListModel::Sink::push_back(const QString& name) {
    model_.push(name);
}

RuleListModel::RuleListModel(Source source, QObject* parent)
    : QAbstractListModel(parent), source_(std::move(source)) {}

RuleListModel::Source RuleListModel::denyRules(platform::RegistryHive& hive, const QString& key) {
    return [&hive, key](Sink& sink) {
        modReg::FillListFromKey(hive, modReg::HKEY_LOCAL_MACHINE, key, sink, QStringLiteral("1"));
    };
}

// Filling on first demand changes no row anyone has seen: before the first question the
// model has shown nothing, and a reload is a model reset after which views ask again.
void RuleListModel::load() const {
    if (loaded_) {
        return;
    }
    loaded_ = true;
    if (source_) {
        Sink sink(const_cast<RuleListModel&>(*this));
        source_(sink);
    }
    text_.squeeze();
    ends_.shrink_to_fit();
}

void RuleListModel::push(const QString& name) const {
    const QByteArray bytes = name.toUtf8();
    // A list past 4 GiB of names is not one a hive holds; such an entry is not listed
    // rather than listed wrongly.
    if (static_cast<quint64>(text_.size()) + static_cast<quint64>(bytes.size()) > 0xffffffffu) {
        return;
    }
    text_.append(bytes);
    ends_.push_back(static_cast<quint32>(text_.size()));
}

int RuleListModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) {
        return 0;
    }
    load();
    return static_cast<int>(ends_.size());
}

QString RuleListModel::text(int row) const {
    load();
    if (row < 0 || static_cast<size_t>(row) >= ends_.size()) {
        return {};
    }
    const quint32 begin = row == 0 ? 0 : ends_[static_cast<size_t>(row) - 1];
    const quint32 end = ends_[static_cast<size_t>(row)];
    return QString::fromUtf8(text_.constData() + begin, static_cast<qsizetype>(end - begin));
}

QVariant RuleListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.column() != 0 ||
        (role != Qt::DisplayRole && role != Qt::EditRole)) {
        return {};
    }
    return text(index.row());
}

int RuleListModel::find(const QString& name) const {
    load();
    const QByteArray bytes = name.toUtf8();
    quint32 begin = 0;
    for (size_t row = 0; row < ends_.size(); ++row) {
        const quint32 end = ends_[row];
        if (end - begin == static_cast<quint32>(bytes.size()) &&
            QByteArrayView(text_.constData() + begin, end - begin) == bytes) {
            return static_cast<int>(row);
        }
        begin = end;
    }
    return -1;
}

void RuleListModel::append(const QString& name) {
    load();
    const int row = static_cast<int>(ends_.size());
    beginInsertRows({}, row, row);
    push(name);
    endInsertRows();
}

void RuleListModel::removeAt(int row) {
    load();
    if (row < 0 || static_cast<size_t>(row) >= ends_.size()) {
        return;
    }
    const quint32 begin = row == 0 ? 0 : ends_[static_cast<size_t>(row) - 1];
    const quint32 length = ends_[static_cast<size_t>(row)] - begin;
    beginRemoveRows({}, row, row);
    text_.remove(begin, length);
    ends_.erase(ends_.begin() + row);
    for (size_t k = static_cast<size_t>(row); k < ends_.size(); ++k) {
        ends_[k] -= length;
    }
    endRemoveRows();
}

void RuleListModel::reload() {
    beginResetModel();
    text_ = QByteArray();
    ends_ = {};
    loaded_ = false;
    endResetModel();
}

} // namespace quillon::settings
