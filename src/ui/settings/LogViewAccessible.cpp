#include "ui/settings/LogViewAccessible.h"

#include "ui/settings/LogView.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPointer>

namespace quillon::settings {

namespace {

quint64 cellKey(int row, int column) {
    return (static_cast<quint64>(static_cast<quint32>(row + 1)) << 32) |
           static_cast<quint32>(column);
}

// One cell of the log table, or one column's header cell (row -1). It holds its position
// only; the text comes from the model when asked.
class LogCellAccessible : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    LogCellAccessible(LogView* view, int row, int column)
        : view_(view), row_(row), column_(column) {}

    bool isValid() const override {
        return view_ != nullptr && view_->model() != nullptr && row_ < rows() &&
               column_ < columns();
    }
    QObject* object() const override { return nullptr; }
    QAccessibleInterface* parent() const override {
        return QAccessible::queryAccessibleInterface(view_.data());
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override {
        if (!isValid() || (t != QAccessible::Name && t != QAccessible::Value)) {
            return {};
        }
        if (row_ < 0) {
            return view_->model()->headerData(column_, Qt::Horizontal).toString();
        }
        return view_->model()->index(row_, column_, view_->rootIndex()).data().toString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        const LogView* view = view_.data();
        if (view == nullptr || !isValid()) {
            return {};
        }
        if (row_ < 0) {
            if (const QHeaderView* header = view->header()) {
                const QRect r(header->sectionViewportPosition(column_), 0,
                              header->sectionSize(column_), header->height());
                return QRect(header->viewport()->mapToGlobal(r.topLeft()), r.size());
            }
            return {};
        }
        const QAbstractItemModel* model = view->model();
        if (model == nullptr) {
            return {};
        }
        const QRect r = view->visualRect(model->index(row_, column_, view->rootIndex()));
        return QRect(view->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override {
        return row_ < 0 ? QAccessible::ColumnHeader : QAccessible::Cell;
    }
    QAccessible::State state() const override {
        QAccessible::State s;
        if (!isValid()) {
            s.invalid = true;
            return s;
        }
        if (row_ >= 0) {
            s.selectable = true;
            s.selected = isSelected();
            const bool shown = row_ >= view_->firstVisibleRow() && row_ <= view_->lastVisibleRow();
            s.offscreen = !shown;
            s.invisible = !shown;
        }
        return s;
    }
    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::TableCellInterface
                   ? static_cast<QAccessibleTableCellInterface*>(this)
                   : nullptr;
    }

    bool isSelected() const override {
        return row_ >= 0 && isValid() && view_->selectionModel() != nullptr &&
               view_->selectionModel()->isRowSelected(row_, view_->rootIndex());
    }
    QList<QAccessibleInterface*> columnHeaderCells() const override {
        if (row_ < 0 || !isValid()) {
            return {};
        }
        auto* table = static_cast<LogViewAccessible*>(parent());
        return {table->cell(-1, column_)};
    }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return column_; }
    int rowIndex() const override { return row_; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

private:
    int rows() const { return view_->model()->rowCount(view_->rootIndex()); }
    int columns() const { return view_->model()->columnCount(view_->rootIndex()); }

    QPointer<LogView> view_;
    int row_;
    int column_;
};

} // namespace

LogViewAccessible::LogViewAccessible(LogView* view) : QAccessibleWidget(view, QAccessible::Table) {}

LogViewAccessible::~LogViewAccessible() {
    dropCells();
}

QAccessibleInterface* LogViewAccessible::create(const QString& className, QObject* object) {
    if (className == QLatin1String(LogView::staticMetaObject.className())) {
        if (auto* view = qobject_cast<LogView*>(object)) {
            return new LogViewAccessible(view);
        }
    }
    return nullptr;
}

LogView* LogViewAccessible::view() const {
    return static_cast<LogView*>(widget());
}

void* LogViewAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TableInterface) {
        return static_cast<QAccessibleTableInterface*>(this);
    }
    return QAccessibleWidget::interface_cast(type);
}

int LogViewAccessible::rowCount() const {
    const LogView* v = view();
    return v->model() != nullptr ? v->model()->rowCount(v->rootIndex()) : 0;
}

int LogViewAccessible::columnCount() const {
    const LogView* v = view();
    return v->model() != nullptr ? v->model()->columnCount(v->rootIndex()) : 0;
}

int LogViewAccessible::childCount() const {
    return (rowCount() + 1) * columnCount();
}

QAccessibleInterface* LogViewAccessible::child(int index) const {
    const int columns = columnCount();
    if (index < 0 || columns == 0 || index >= childCount()) {
        return nullptr;
    }
    return cell(index / columns - 1, index % columns);
}

int LogViewAccessible::indexOfChild(const QAccessibleInterface* child) const {
    if (child == nullptr || child->parent() != this) {
        return -1;
    }
    auto* c = const_cast<QAccessibleInterface*>(child)->tableCellInterface();
    if (c == nullptr) {
        return -1;
    }
    return (c->rowIndex() + 1) * columnCount() + c->columnIndex();
}

QAccessibleInterface* LogViewAccessible::childAt(int x, int y) const {
    const LogView* v = view();
    const QPoint inHeader = v->header()->viewport()->mapFromGlobal(QPoint(x, y));
    if (v->header()->isVisible() && v->header()->viewport()->rect().contains(inHeader)) {
        const int column = v->header()->logicalIndexAt(inHeader.x());
        return column >= 0 ? cell(-1, column) : nullptr;
    }
    const QModelIndex index = v->indexAt(v->viewport()->mapFromGlobal(QPoint(x, y)));
    return index.isValid() ? cell(index.row(), index.column()) : nullptr;
}

QAccessibleInterface* LogViewAccessible::cellAt(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount()) {
        return nullptr;
    }
    return cell(row, column);
}

QAccessibleInterface* LogViewAccessible::cell(int row, int column) const {
    const quint64 key = cellKey(row, column);
    if (const auto found = cells_.constFind(key); found != cells_.constEnd()) {
        return QAccessible::accessibleInterface(*found);
    }
    auto* made = new LogCellAccessible(view(), row, column);
    cells_.insert(key, QAccessible::registerAccessibleInterface(made));
    return made;
}

QString LogViewAccessible::columnDescription(int column) const {
    const LogView* v = view();
    return v->model() != nullptr ? v->model()->headerData(column, Qt::Horizontal).toString()
                                 : QString();
}

QList<int> LogViewAccessible::selectedRows() const {
    QList<int> rows;
    if (const QItemSelectionModel* selection = view()->selectionModel()) {
        for (const QModelIndex& index : selection->selectedRows()) {
            rows << index.row();
        }
    }
    return rows;
}

int LogViewAccessible::selectedRowCount() const {
    return static_cast<int>(selectedRows().size());
}

bool LogViewAccessible::isRowSelected(int row) const {
    const QItemSelectionModel* selection = view()->selectionModel();
    return selection != nullptr && selection->isRowSelected(row, view()->rootIndex());
}

int LogViewAccessible::selectedCellCount() const {
    return selectedRowCount() * columnCount();
}

QList<QAccessibleInterface*> LogViewAccessible::selectedCells() const {
    QList<QAccessibleInterface*> result;
    for (const int row : selectedRows()) {
        for (int column = 0; column < columnCount(); ++column) {
            result << cell(row, column);
        }
    }
    return result;
}

bool LogViewAccessible::selectRow(int row) {
    LogView* v = view();
    if (v->selectionModel() == nullptr || row < 0 || row >= rowCount()) {
        return false;
    }
    v->selectionModel()->select(v->model()->index(row, 0, v->rootIndex()),
                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    return true;
}

bool LogViewAccessible::unselectRow(int row) {
    LogView* v = view();
    if (v->selectionModel() == nullptr || row < 0 || row >= rowCount()) {
        return false;
    }
    v->selectionModel()->select(v->model()->index(row, 0, v->rootIndex()),
                                QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    return true;
}

void LogViewAccessible::modelChange(QAccessibleTableModelChangeEvent*) {
    // Rows come and go at the top as records arrive: a cell's place no longer names the same
    // record, so none is kept.
    dropCells();
}

void LogViewAccessible::dropCells() {
    for (const QAccessible::Id id : std::as_const(cells_)) {
        QAccessible::deleteAccessibleInterface(id);
    }
    cells_.clear();
}

} // namespace quillon::settings
