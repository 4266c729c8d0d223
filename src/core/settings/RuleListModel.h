#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

namespace quillon::platform {
class RegistryHive;
}

namespace quillon::settings {

// One of the console's rule lists: the names of a rule key's deny entries, in enumeration
// order. A hive may hold a hundred thousand rules, so the names are kept as one block of
// UTF-8 text with an end offset per name (a few bytes per rule beyond the text itself), and
// they are read from the hive only when someone first asks for the rows: a console that
// stays hidden never holds its lists.
class RuleListModel : public QAbstractListModel {
    Q_OBJECT
public:
    // Hands the names to list, one `push_back` at a time, in order.
    class Sink {
    public:
        void push_back(const QString& name);

    private:
        friend class RuleListModel;
        explicit Sink(RuleListModel& model) : model_(model) {}
        RuleListModel& model_;
    };
    using Source = std::function<void(Sink&)>;

    explicit RuleListModel(Source source, QObject* parent = nullptr);
    // The deny entries of a rule key of the hive, in enumeration order.
    static Source denyRules(platform::RegistryHive& hive, const QString& key);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // The name on `row` (the empty text outside the list).
    QString text(int row) const;
    // The row of the first entry spelled exactly `name`, or -1.
    int find(const QString& name) const;

    // Adds one entry at the end.
    void append(const QString& name);
    // Removes one entry.
    void removeAt(int row);
    // Forgets every entry; they are read from the source again when next asked for.
    void reload();

private:
    void load() const;
    void push(const QString& name) const;

    Source source_;
    mutable bool loaded_ = false;
    mutable QByteArray text_;           // the names, back to back, in UTF-8
    mutable std::vector<quint32> ends_; // where each name ends in text_
};

} // namespace quillon::settings
