#include "ui/monitor/frmMain.h"

#include "core/monitor/ConnectionListModel.h"
#include "core/monitor/CoreServices.h"
#include "core/monitor/Guard.h"
#include "core/monitor/modNetstat.h"
#include "core/settings/Switches.h"
#include "ui/chrome/Twips.h"
#include "ui/chrome/WindowHelpers.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <iterator>

namespace quillon::monitor {

namespace {

using chrome::px;
using chrome::pxRect;

const QString kCaptionStop = QStringLiteral("停止");
const QString kCaptionContinue = QStringLiteral("继续");
const QString kCaptionAll = QStringLiteral("所有连接");
const QString kCaptionEstablished = QStringLiteral("已经连接");

// The toolbar's pictures: imgCold at rest, imgHot while the pointer is over the button.
// `pressedPicture` is shown while a check button is pressed (0: the same picture).
QIcon toolbarIcon(int picture, int pressedPicture) {
    QIcon icon;
    const auto add = [&icon](int n, QIcon::State state) {
        icon.addFile(QStringLiteral(":/monitor/imgCold/%1.png").arg(n), {}, QIcon::Normal, state);
        icon.addFile(QStringLiteral(":/monitor/imgHot/%1.png").arg(n), {}, QIcon::Active, state);
    };
    add(picture, QIcon::Off);
    add(pressedPicture != 0 ? pressedPicture : picture, QIcon::On);
    return icon;
}

} // namespace

frmMain::frmMain(CoreServices& services, MainLinks& links)
    : chrome::SkinnedWindow(QStringLiteral("Quillon防火墙"), 6735, 5385), services_(services),
      links_(links), guard_(services.guard()) {
    listModel = &guard_.model();

    ListView1 = new QTreeView(this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setGeometry(pxRect(240, 600, 5385, 4125));
    ListView1->setRootIsDecorated(false);
    ListView1->setItemsExpandable(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setSortingEnabled(false);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setAllColumnsShowFocus(true);
    ListView1->setTextElideMode(Qt::ElideMiddle); // long IPv6 addresses keep both ends
    ListView1->setModel(listModel);
    ListView1->header()->setStretchLastSection(false);
    // The program column comes after the four the list always had, which keep their widths.
    constexpr int widths[] = {2540, 1905, 1905, 3387, 2040};
    // A column added without its width would read past the list.
    static_assert(std::size(widths) == std::size_t{ConnectionListModel::ColumnCount},
                  "one width for each column of the connection list");
    for (int c = 0; c < ConnectionListModel::ColumnCount; ++c) {
        ListView1->setColumnWidth(c, px(widths[c]));
    }
    ListView1->viewport()->installEventFilter(this);

    buildToolbar();

    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(pxRect(240, 4680, 6255, 285));
    Text1->setText(QString(53, QLatin1Char(' ')) + QStringLiteral("Quillon超敏感防火墙"));
    Text1->setReadOnly(true);
    Text1->setFocusPolicy(Qt::NoFocus);

    // The embedded web page is never loaded; its place lies below the window's bottom edge.
    WebBrowser1 = new QWidget(this);
    WebBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
    WebBrowser1->setGeometry(pxRect(720, 6600, 4815, 615));

    Picture1 = new QLabel(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(pxRect(-120, 2760, 975, 975));
    Picture1->setPixmap(QPixmap(QStringLiteral(":/monitor/shield.png")));
    Picture1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Picture1->lower();

    // Where a rebuild lets events run, the rows appended so far are on screen first.
    guard_.setLetEventsRun([this] {
        listModel->publish();
        QCoreApplication::processEvents();
    });
    connect(&guard_, &Guard::rebuildStarting, this, &frmMain::rebuildStarting);
    connect(&guard_, &Guard::rebuildFinished, this, &frmMain::rebuildFinished);
    // Polling runs from the moment the window exists.
    tmrRefresh = &guard_.timer();
    tmrRefresh->start();

    popUpMenu = [](QMenu& menu, const QPoint& globalPos) { menu.popup(globalPos); };
}

frmMain::~frmMain() {
    // Polling lives and ends with the window that shows it.
    guard_.timer().stop();
    guard_.setLetEventsRun({});
}

void frmMain::buildToolbar() {
    Toolbar1 = new QToolBar(this);
    Toolbar1->setObjectName(QStringLiteral("Toolbar1"));
    Toolbar1->setOrientation(Qt::Vertical);
    Toolbar1->setGeometry(pxRect(5640, 600, 855, 4125));
    Toolbar1->setMovable(false);
    Toolbar1->setFloatable(false);
    Toolbar1->setIconSize(QSize(32, 32));
    Toolbar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);

    struct ButtonDef {
        int position;
        QString caption;
        bool checkable;
        int picture;
        int pressedPicture;
    };
    // Button 1 shows "play" while polling is stopped (pressed), so the picture says what a
    // click will do, like its caption.
    const ButtonDef defs[] = {
        {1, kCaptionStop, true, 1, 5},
        {2, QStringLiteral("刷新"), false, 2, 0},
        {3, {}, false, 0, 0},
        {4, kCaptionAll, true, 3, 0},
        {5, QStringLiteral("控制台"), false, 4, 0},
        {6, {}, false, 0, 0},
    };
    const int width = px(855);
    for (const ButtonDef& s : defs) {
        if (s.picture == 0) {
            Toolbar1->addSeparator();
            continue;
        }
        auto* b = new QToolButton(Toolbar1);
        b->setObjectName(QStringLiteral("Toolbar1_%1").arg(s.position));
        b->setText(s.caption);
        b->setCheckable(s.checkable);
        b->setIcon(toolbarIcon(s.picture, s.pressedPicture));
        b->setIconSize(QSize(32, 32));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setAutoRaise(true);
        b->setFixedWidth(width - 4);
        b->setFocusPolicy(Qt::NoFocus);
        Toolbar1->addWidget(b);
        buttons_[static_cast<size_t>(s.position)] = b;
        const int position = s.position;
        // A click during a rebuild waits for it: switching the list mode halfway would
        // fill the rest of that list by the other mode.
        connect(b, &QToolButton::clicked, this, [this, position] {
            guard_.whenIdle([this, position] { Toolbar1_ButtonClick(position); });
        });
    }
}

QToolButton* frmMain::button(int position) const {
    if (position < 1 || position >= static_cast<int>(buttons_.size())) {
        return nullptr;
    }
    return buttons_[static_cast<size_t>(position)];
}

void frmMain::Toolbar1_ButtonClick(int position) {
    QToolButton* b = button(position);
    switch (position) {
    case 1:
        if (b->text() == kCaptionStop) {
            b->setText(kCaptionContinue);
            b->setToolTip(QString());
            tmrRefresh->stop();
        } else {
            b->setText(kCaptionStop);
            b->setToolTip(QString());
            tmrRefresh->start();
        }
        break;
    case 2:
        guard_.RefreshTable(false);
        break;
    case 4:
        setListModeCaption(b->text() == kCaptionAll ? kCaptionEstablished : kCaptionAll);
        b->setToolTip(QString());
        guard_.RefreshTable(true);
        services_.switches().setListeningHidden(b->isChecked());
        break;
    case 5:
        links_.openConsole();
        break;
    default:
        break;
    }
}

void frmMain::setListModeCaption(const QString& caption) {
    button(4)->setText(caption);
    guard_.setListsListening(caption == kCaptionAll);
}

void frmMain::ListView1_MouseUp(Qt::MouseButton mouseButton, const QPoint& globalPos) {
    if (mouseButton != Qt::RightButton || listModel->rowCount() == 0) {
        return;
    }
    popUpMenu(links_.connectionMenu(), globalPos);
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (ListView1 != nullptr && watched == ListView1->viewport() &&
        event->type() == QEvent::MouseButtonRelease) {
        const auto* me = static_cast<QMouseEvent*>(event);
        ListView1_MouseUp(me->button(), me->globalPosition().toPoint());
    }
    return chrome::SkinnedWindow::eventFilter(watched, event);
}

std::optional<ConnectionListModel::Item> frmMain::viewSelection() const {
    const QItemSelectionModel* selection = ListView1->selectionModel();
    if (selection == nullptr) {
        return std::nullopt;
    }
    // While the list is reset the old rows' indexes linger until the reset ends; rows the
    // view has not been shown yet count as none.
    const QModelIndexList rows = selection->selectedRows();
    if (rows.isEmpty() || rows.first().row() >= listModel->rowCount()) {
        return std::nullopt;
    }
    return listModel->item(rows.first().row());
}

std::optional<ConnectionListModel::Item> frmMain::selectedItem() const {
    // A row picked among those a running rebuild has shown so far is the newer choice.
    if (std::optional<ConnectionListModel::Item> picked = viewSelection()) {
        return picked;
    }
    return listModel->rebuilding() ? selectedAtRebuild_ : std::nullopt;
}

void frmMain::rebuildStarting() {
    // The selection follows its connection across rebuilds, not its position. Only a
    // selection is carried over, never the bare current row (which stays behind after a
    // click on empty list space): a command must not find a row nobody chose.
    selectedAtRebuild_ = selectedItem();
    selectedTopAtRebuild_.reset();
    const QRect shown = ListView1->visualRect(ListView1->currentIndex());
    if (selectedAtRebuild_ && shown.isValid() && ListView1->viewport()->rect().intersects(shown)) {
        selectedTopAtRebuild_ = shown.top();
    }
}

void frmMain::rebuildFinished() {
    if (selectedAtRebuild_ && !viewSelection()) {
        const int r = listModel->findConnection(selectedAtRebuild_->connection.identity);
        if (r >= 0) {
            const QModelIndex index = listModel->index(r, 0);
            ListView1->selectionModel()->setCurrentIndex(
                index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            // The view scrolls only as far as it must to show the row, which under churn
            // walks it to an edge; it goes back to where it stood instead.
            if (selectedTopAtRebuild_) {
                QScrollBar* bar = ListView1->verticalScrollBar();
                const QRect now = ListView1->visualRect(index);
                const int off = now.top() - *selectedTopAtRebuild_;
                const bool perPixel =
                    ListView1->verticalScrollMode() == QAbstractItemView::ScrollPerPixel;
                bar->setValue(bar->value() +
                              (perPixel || now.height() <= 0 ? off : off / now.height()));
            }
        }
    }
    selectedAtRebuild_.reset();
    selectedTopAtRebuild_.reset();
}

} // namespace quillon::monitor

// The life of the main window: its start-up and close request are the shell's; the two tray
// actions are the window's own.
namespace quillon::monitor {

void frmMain::startUp() {
    links_.startUp(*this);
}

void frmMain::closeEvent(QCloseEvent* event) {
    event->ignore();
    links_.closeRequested(*this);
}

void frmMain::SysTray() {
    if (isVisible()) {
        hide();
        return;
    }
    show();
    modGeneral::ActivateWindow(this, true);
}

void frmMain::SysTray2() {
    // The menu pops up and this returns at once: its items act when chosen, and the tray's
    // own event handling is never held up by a nested loop.
    if (popUpMenu) {
        popUpMenu(links_.trayMenu(), QCursor::pos());
    }
}

} // namespace quillon::monitor
