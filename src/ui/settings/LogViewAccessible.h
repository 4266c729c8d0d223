#pragma once

#include <QAccessibleWidget>
#include <QHash>

namespace quillon::settings {

class LogView;

// What assistive technology sees of the log view: a table of the model's rows and columns
// under the header's column names, as a tree view showed it. The view keeps no per-row
// items, so neither does this: a cell's interface is made when it is first asked for, reads
// its text from the model each time, and all of them are dropped when the rows change.
class LogViewAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit LogViewAccessible(LogView* view);
    ~LogViewAccessible() override;

    // The factory given to QAccessible::installFactory: the interface for a LogView.
    static QAccessibleInterface* create(const QString& className, QObject* object);

    void* interface_cast(QAccessible::InterfaceType type) override;
    QAccessible::Role role() const override { return QAccessible::Table; }
    // The header's cells first, then every row's cells in order.
    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* childAt(int x, int y) const override;

    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override;
    int selectedCellCount() const override;
    QList<QAccessibleInterface*> selectedCells() const override;
    QString columnDescription(int column) const override;
    QString rowDescription(int) const override { return {}; }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override;
    int columnCount() const override;
    int rowCount() const override;
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override;
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override;
    bool selectRow(int row) override;
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override;
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent* event) override;

    // The header cell of a column (row -1) or a body cell, made on first use.
    QAccessibleInterface* cell(int row, int column) const;

private:
    LogView* view() const;
    void dropCells();

    mutable QHash<quint64, QAccessible::Id> cells_;
};

} // namespace quillon::settings
