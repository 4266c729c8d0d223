#pragma once

#include "core/monitor/modNetstat.h"

#include <QAbstractTableModel>
#include <QString>
#include <vector>

namespace quillon::monitor {

// The rows of the main window's connection list. Each row keeps the connection it was built
// from (texts and kernel identity), so that commands on a selected row act on that very
// connection even after the table has changed; the texts it shows are derived from it, so a
// row holds its texts once, shared with the decision and the log rather than copied per view.
//
// A rebuild is framed by beginRebuild()/endRebuild(): the rows are appended without a signal
// per row and the view learns about them in one reset, which keeps a rebuild of thousands of
// rows cheap. When the rebuild has to let events run halfway (a cut or an alert yields),
// publish() shows the rows appended so far first, so the view never lags behind the list.
class ConnectionListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColAddress, ColRemotePort, ColLocalPort, ColState, ColProgram, ColumnCount };

    struct Item {
        modNetstat::ConnectionRow connection;

        bool listening() const { return connection.state == platform::StateListen; }
        // Column 1: remote address, or "无IP来源" for a listening row.
        QString text() const { return listening() ? QStringLiteral("无IP来源") : connection.RemA; }
        // Column 2: remote port, or "等待状态".
        QString sub1() const { return listening() ? QStringLiteral("等待状态") : connection.RemP; }
        // Column 3: local port.
        QString sub2() const { return connection.LocP; }
        // Column 4: state text. Column 5, the program, is written from connection.owner.
        QString sub3() const { return modNetstat::StateText(connection.state); }
    };

    explicit ConnectionListModel(QObject* parent = nullptr);

    // The item key: "x" followed by the row's position in the snapshot it was built from.
    static QString keyFor(qsizetype position);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Starts a rebuild: removes every row, and makes room for `expected` rows.
    void beginRebuild(qsizetype expected = 0);
    // Appends one row (visible to the view at the next publish() or endRebuild()).
    void append(Item item);
    // Makes the rows appended so far visible to attached views.
    void publish();
    // Ends the rebuild; the view sees the whole list.
    void endRebuild();
    bool rebuilding() const { return resetOpen_ || rebuildOpen_; }

    // Rows appended so far, including those a running rebuild has not shown yet.
    int itemCount() const { return static_cast<int>(items_.size()); }
    // Row access for commands; `row` must be below itemCount().
    const Item& item(int row) const { return items_[static_cast<size_t>(row)]; }
    QString key(int row) const { return keyFor(item(row).connection.position); }
    // The row holding the same connection as `identity`, or -1.
    int findConnection(const platform::TcpRow& identity) const;

private:
    std::vector<Item> items_;
    // Rows the view already knows about, while a rebuild runs.
    int published_ = 0;
    bool resetOpen_ = false;
    bool rebuildOpen_ = false;
};

} // namespace quillon::monitor
