#pragma once

#include "core/monitor/modNetstat.h"

#include <QAbstractTableModel>
#include <QString>
#include <memory>
#include <vector>

namespace quillon::monitor {

// The rows of the main window's connection list. The list shares the snapshot it was built
// from with the change test, and each row is only a position in it plus the program behind
// it: the texts shown are derived from the kernel row when a cell is drawn, so a big table
// costs a few bytes a row beyond the snapshot itself. Commands on a selected row get the
// whole connection (texts and kernel identity) from item(), which acts on that very
// connection even after the table has changed.
//
// A rebuild is framed by beginRebuild()/endRebuild(): the rows are appended without a signal
// per row and the view learns about them in one reset, which keeps a rebuild of thousands of
// rows cheap. When the rebuild has to let events run halfway (a cut or an alert yields),
// publish() shows the rows appended so far first, so the view never lags behind the list.
class ConnectionListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColAddress, ColRemotePort, ColLocalPort, ColState, ColProgram, ColumnCount };

    // The snapshot a rebuild lists rows of, shared and never changed once made.
    using Snapshot = std::shared_ptr<const std::vector<platform::TcpRow>>;

    // What a listening row shows in the address and remote port columns.
    static QString listeningAddress() { return QStringLiteral("无IP来源"); }
    static QString listeningPort() { return QStringLiteral("等待状态"); }

    // One listed row as commands see it.
    struct Item {
        modNetstat::ConnectionRow connection;

        bool listening() const { return connection.state == platform::StateListen; }
        // Column 1: remote address, or "无IP来源" for a listening row.
        QString text() const { return listening() ? listeningAddress() : connection.RemA; }
        // Column 2: remote port, or "等待状态".
        QString sub1() const { return listening() ? listeningPort() : connection.RemP; }
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

    // Starts a rebuild from `rows`: removes every row, and makes room for `expected` rows.
    void beginRebuild(Snapshot rows, qsizetype expected = 0);
    // Appends the snapshot's row at `position`, run by `owner` (visible to the view at the
    // next publish() or endRebuild()).
    void append(qsizetype position, modNetstat::SharedOwner owner = {});
    // Makes the rows appended so far visible to attached views.
    void publish();
    // Ends the rebuild; the view sees the whole list.
    void endRebuild();
    bool rebuilding() const { return resetOpen_ || rebuildOpen_; }

    // Rows appended so far, including those a running rebuild has not shown yet.
    int itemCount() const { return static_cast<int>(items_.size()); }
    // Row access for commands; `row` must be below itemCount().
    Item item(int row) const;
    QString key(int row) const { return keyFor(items_[static_cast<size_t>(row)].position); }
    // The row holding the same connection as `identity`, or -1.
    int findConnection(const platform::TcpRow& identity) const;

private:
    struct Listed {
        qsizetype position = 0;
        modNetstat::SharedOwner owner;
    };
    const platform::TcpRow& kernelRow(const Listed& listed) const {
        return (*rows_)[static_cast<size_t>(listed.position)];
    }

    Snapshot rows_;
    std::vector<Listed> items_;
    // Rows the view already knows about, while a rebuild runs.
    int published_ = 0;
    bool resetOpen_ = false;
    bool rebuildOpen_ = false;
};

} // namespace quillon::monitor
