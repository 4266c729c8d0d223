#include "ui/settings/LogView.h"

#include "ui/settings/LogViewAccessible.h"

#include <QAccessible>
#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>

namespace quillon::settings {

LogView::LogView(QWidget* parent)
    : QAbstractItemView(parent), header_(new QHeaderView(Qt::Horizontal, this)) {
    header_->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header_->setStretchLastSection(true);
    setSelectionBehavior(SelectRows);
    setSelectionMode(SingleSelection);
    setEditTriggers(NoEditTriggers);
    // Qt's own table interfaces serve its own views only: this one brings its own, once.
    static const bool accessible = [] {
        QAccessible::installFactory(&LogViewAccessible::create);
        return true;
    }();
    Q_UNUSED(accessible);
    connect(header_, &QHeaderView::sectionResized, this, &LogView::relayout);
    connect(header_, &QHeaderView::sectionMoved, this, &LogView::relayout);
    connect(header_, &QHeaderView::geometriesChanged, this, &LogView::relayout);
}

void LogView::setModel(QAbstractItemModel* model) {
    if (QAbstractItemModel* old = this->model()) {
        disconnect(old, nullptr, this, nullptr);
    }
    QAbstractItemView::setModel(model);
    header_->setModel(model);
    if (model != nullptr) {
        connect(model, &QAbstractItemModel::rowsInserted, this, &LogView::relayout);
        connect(model, &QAbstractItemModel::rowsRemoved, this, &LogView::relayout);
        connect(model, &QAbstractItemModel::modelReset, this, &LogView::relayout);
        connect(model, &QAbstractItemModel::layoutChanged, this, &LogView::relayout);
        // Assistive technology holds cells by place; when rows move, it is told to ask again.
        const auto tellRowsChanged = [this] {
            if (QAccessible::isActive()) {
                QAccessibleTableModelChangeEvent event(
                    this, QAccessibleTableModelChangeEvent::ModelReset);
                QAccessible::updateAccessibility(&event);
            }
        };
        connect(model, &QAbstractItemModel::rowsInserted, this, tellRowsChanged);
        connect(model, &QAbstractItemModel::rowsRemoved, this, tellRowsChanged);
        connect(model, &QAbstractItemModel::modelReset, this, tellRowsChanged);
        connect(model, &QAbstractItemModel::layoutChanged, this, tellRowsChanged);
    }
    relayout();
}

void LogView::setColumnWidth(int column, int width) {
    header_->resizeSection(column, width);
}

int LogView::rows() const {
    return model() != nullptr ? model()->rowCount(rootIndex()) : 0;
}

int LogView::rowHeight() const {
    if (rowHeight_ == 0) {
        // Every row is one line of text: the height the style gives such an item.
        QStyleOptionViewItem option;
        initViewItemOption(&option);
        option.text = QStringLiteral("0");
        option.features |= QStyleOptionViewItem::HasDisplay;
        rowHeight_ = std::max(
            1, style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).height());
    }
    return rowHeight_;
}

int LogView::fullRowsShown() const {
    return std::max(1, viewport()->height() / rowHeight());
}

int LogView::firstVisibleRow() const {
    const int n = rows();
    return n == 0 ? -1 : std::clamp(verticalScrollBar()->value(), 0, n - 1);
}

int LogView::lastVisibleRow() const {
    const int first = firstVisibleRow();
    if (first < 0) {
        return -1;
    }
    const int shown = (viewport()->height() + rowHeight() - 1) / rowHeight();
    return std::min(rows() - 1, first + std::max(1, shown) - 1);
}

QRect LogView::rowRect(int row) const {
    return QRect(-horizontalOffset(), (row - verticalScrollBar()->value()) * rowHeight(),
                 std::max(header_->length(), viewport()->width()), rowHeight());
}

QRect LogView::visualRect(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != model() || index.parent() != rootIndex()) {
        return {};
    }
    const QRect row = rowRect(index.row());
    return QRect(header_->sectionViewportPosition(index.column()), row.top(),
                 header_->sectionSize(index.column()), row.height());
}

QModelIndex LogView::indexAt(const QPoint& point) const {
    if (point.y() < 0 || rows() == 0) {
        return {};
    }
    const int row = verticalScrollBar()->value() + point.y() / rowHeight();
    const int column = header_->logicalIndexAt(point.x());
    if (row >= rows() || column < 0) {
        return {};
    }
    return model()->index(row, column, rootIndex());
}

void LogView::scrollTo(const QModelIndex& index, ScrollHint hint) {
    if (!index.isValid()) {
        return;
    }
    const int row = index.row();
    const int shown = fullRowsShown();
    QScrollBar* bar = verticalScrollBar();
    switch (hint) {
    case PositionAtTop:
        bar->setValue(row);
        break;
    case PositionAtBottom:
        bar->setValue(row - shown + 1);
        break;
    case PositionAtCenter:
        bar->setValue(row - shown / 2);
        break;
    case EnsureVisible:
        if (row < bar->value()) {
            bar->setValue(row);
        } else if (row >= bar->value() + shown) {
            bar->setValue(row - shown + 1);
        }
        break;
    }
}

QModelIndex LogView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers) {
    const int n = rows();
    if (n == 0) {
        return {};
    }
    const QModelIndex current = currentIndex();
    int row = current.isValid() ? current.row() : -1;
    const int column = current.isValid() ? current.column() : 0;
    switch (cursorAction) {
    case MoveUp:
    case MovePrevious:
        row = row < 0 ? 0 : row - 1;
        break;
    case MoveDown:
    case MoveNext:
        row += 1;
        break;
    case MovePageUp:
        row -= fullRowsShown();
        break;
    case MovePageDown:
        row += fullRowsShown();
        break;
    case MoveHome:
        row = 0;
        break;
    case MoveEnd:
        row = n - 1;
        break;
    case MoveLeft:
    case MoveRight:
        // Rows are selected whole: the cursor stays, the columns scroll.
        horizontalScrollBar()->triggerAction(cursorAction == MoveLeft
                                                 ? QAbstractSlider::SliderSingleStepSub
                                                 : QAbstractSlider::SliderSingleStepAdd);
        return current;
    }
    return model()->index(std::clamp(row, 0, n - 1), column, rootIndex());
}

int LogView::horizontalOffset() const {
    return horizontalScrollBar()->value();
}

int LogView::verticalOffset() const {
    return verticalScrollBar()->value() * rowHeight();
}

bool LogView::isIndexHidden(const QModelIndex&) const {
    return false;
}

void LogView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) {
    const int n = rows();
    const QRect r = rect.normalized();
    const int top = verticalScrollBar()->value() + std::max(0, r.top()) / rowHeight();
    const int bottom = verticalScrollBar()->value() + std::max(0, r.bottom()) / rowHeight();
    QItemSelection selection;
    if (n > 0 && top < n && r.bottom() >= 0) {
        selection.select(model()->index(top, 0, rootIndex()),
                         model()->index(std::min(bottom, n - 1),
                                        model()->columnCount(rootIndex()) - 1, rootIndex()));
    }
    selectionModel()->select(selection, command);
}

QRegion LogView::visualRegionForSelection(const QItemSelection& selection) const {
    QRegion region;
    const int first = firstVisibleRow();
    const int last = lastVisibleRow();
    for (const QItemSelectionRange& range : selection) {
        const int top = std::max(range.top(), first);
        const int bottom = std::min(range.bottom(), last);
        if (first >= 0 && top <= bottom) {
            region += rowRect(top).united(rowRect(bottom));
        }
    }
    return region;
}

void LogView::relayout() {
    updateGeometries();
    viewport()->update();
}

void LogView::updateGeometries() {
    const int headerHeight = header_->isHidden() ? 0 : header_->sizeHint().height();
    if (viewportMargins().top() != headerHeight) {
        setViewportMargins(0, headerHeight, 0, 0);
    }
    const QRect area = viewport()->geometry();
    header_->setGeometry(area.left(), area.top() - headerHeight, area.width(), headerHeight);

    const int shown = fullRowsShown();
    QScrollBar* vertical = verticalScrollBar();
    vertical->setRange(0, std::max(0, rows() - shown));
    vertical->setSingleStep(1);
    vertical->setPageStep(shown);

    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setRange(0, std::max(0, header_->length() - area.width()));
    horizontal->setSingleStep(std::max(1, rowHeight()));
    horizontal->setPageStep(area.width());
    header_->setOffset(horizontal->value());
    QAbstractItemView::updateGeometries();
}

void LogView::scrollContentsBy(int, int) {
    // Rows scroll a whole row at a time and are painted afresh, never moved as pixels.
    header_->setOffset(horizontalScrollBar()->value());
    viewport()->update();
}

void LogView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const int first = firstVisibleRow();
    if (first < 0) {
        return;
    }
    const int last = lastVisibleRow();
    // Cells are one line of plain text: drawn here directly, which costs a fraction of a
    // delegate's full item painting and keeps a screenful of rows as quick to show as an
    // empty view.
    const QModelIndex current = currentIndex();
    const QFontMetrics metrics = fontMetrics();
    plain_.setFont(font());
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    const QPalette::ColorGroup group =
        isEnabled() ? (hasFocus() || isActiveWindow() ? QPalette::Active : QPalette::Inactive)
                    : QPalette::Disabled;
    for (int row = first; row <= last; ++row) {
        const QRect line = rowRect(row);
        if (!line.intersects(event->rect())) {
            continue;
        }
        const bool selected =
            selectionModel() != nullptr && selectionModel()->isRowSelected(row, rootIndex());
        if (selected) {
            painter.fillRect(QRect(line.left(), line.top(), header_->length(), line.height()),
                             palette().brush(group, QPalette::Highlight));
        }
        const int baseline = line.top() + (line.height() - metrics.height()) / 2 + metrics.ascent();
        painter.setPen(
            palette().color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        for (int visual = 0; visual < header_->count(); ++visual) {
            const int column = header_->logicalIndex(visual);
            if (header_->isSectionHidden(column)) {
                continue;
            }
            const QRect cell(header_->sectionViewportPosition(column), line.top(),
                             header_->sectionSize(column), line.height());
            if (!cell.intersects(event->rect())) {
                continue;
            }
            const int width = cell.width() - 2 * margin;
            QString text = model()->index(row, column, rootIndex()).data().toString();
            // Laying a text out (to measure it, then to draw it) is most of what a cell costs:
            // a text of plain characters that fits joins the row's line of glyphs instead.
            if (plain_.add(text, cell.left() + margin, width)) {
                continue;
            }
            if (metrics.horizontalAdvance(text) > width) {
                text = metrics.elidedText(text, Qt::ElideRight, width);
            }
            painter.drawText(QPoint(cell.left() + margin, baseline), text);
        }
        plain_.draw(painter, QPointF(0, baseline));
        if (hasFocus() && current.isValid() && current.row() == row) {
            QStyleOptionFocusRect focus;
            focus.initFrom(this);
            focus.rect = QRect(line.left(), line.top(), header_->length(), line.height());
            focus.state |= QStyle::State_KeyboardFocusChange;
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
        }
    }
}

void LogView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        rowHeight_ = 0;
        relayout();
    }
    QAbstractItemView::changeEvent(event);
}

} // namespace quillon::settings
