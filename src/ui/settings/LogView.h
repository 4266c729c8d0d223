#pragma once

#include "ui/settings/PlainGlyphs.h"

#include <QAbstractItemView>

class QHeaderView;

namespace quillon::settings {

// A report view of one-line rows of equal height, whose cost does not grow with the number
// of rows: it keeps no per-row layout (a tree view keeps one item per row, tens of megabytes
// for a log of a million records) and asks the model only for the rows it paints. Rows are
// selected whole, one at a time; the header on top sizes the columns.
class LogView : public QAbstractItemView {
    Q_OBJECT
public:
    explicit LogView(QWidget* parent = nullptr);

    void setModel(QAbstractItemModel* model) override;
    QHeaderView* header() const { return header_; }
    void setColumnWidth(int column, int width);
    // The height of every row.
    int rowHeight() const;
    // The rows shown now, whole or in part: first and last (-1 when there are none).
    int firstVisibleRow() const;
    int lastVisibleRow() const;

    QRect visualRect(const QModelIndex& index) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint& point) const override;

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex& index) const override;
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    int rows() const;
    int fullRowsShown() const;
    QRect rowRect(int row) const;
    void relayout();

    QHeaderView* header_;
    PlainGlyphs plain_;
    mutable int rowHeight_ = 0; // worked out on first use, again when the font changes
};

} // namespace quillon::settings
