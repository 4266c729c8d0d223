#pragma once

#include "core/settings/EventLog.h"

#include <QAbstractTableModel>
#include <vector>

namespace quillon::settings {

// The rows of the log view: one per event, in the order the events happened. A log that
// was never cleared can hold hundreds of thousands of records, so the whole file is taken
// in one reset rather than row by row.
class LogModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Time, RemoteAddress, RemotePort, LocalPort, Action, ColumnCount };

    explicit LogModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Replaces every row.
    void reset(std::vector<LogRecord>&& records);
    // Adds one row at the end.
    void append(const LogRecord& record);
    // Removes every row.
    void clear();

    const LogRecord& record(int row) const { return rows_[static_cast<size_t>(row)]; }

private:
    std::vector<LogRecord> rows_;
};

} // namespace quillon::settings
