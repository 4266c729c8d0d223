#pragma once

#include "core/blocking/PendingAlerts.h"
#include "core/monitor/ConnectionListModel.h"
#include "core/monitor/modNetstat.h"
#include "ui/chrome/SkinnedWindow.h"

#include <QPoint>
#include <QString>
#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTimer;
class QTreeView;
class QToolBar;
class QToolButton;
class QLineEdit;
class QLabel;
class QMenu;

namespace quillon::shell {
class Program;
}

namespace quillon::monitor {

class ListRefresh;

// The main window: the connection list, its 250 ms refresh, the toolbar, the pending-alert
// list and the block decision's entry point.
class frmMain : public chrome::SkinnedWindow {
    Q_OBJECT
public:
    explicit frmMain(shell::Program& program);
    ~frmMain() override;

    // --- connection list and refresh (monitor/frmMain.cpp) ---
    // Rebuilds the list when the set of connections changed since the last rebuild, or
    // always when forced; every row of the snapshot then passes CheckBlock, in order.
    void RefreshTable(bool force);
    // Judges one connection and carries out the outcome (cut, alert or nothing).
    void CheckBlock(const modNetstat::ConnectionRow& row);
    // Removes the pending entry of the alert window at slot t.
    void ShiftAlertList(qint32 t);
    std::optional<bool> IsTrojan(const QString& port);
    std::optional<QString> GetTrojan(const QString& port);

    // The list row the user has selected, as it was built; nullopt when nothing is selected.
    // While a rebuild is refilling the list (and the view has lost its selection with the
    // old rows), this is the row that was selected when the rebuild began, unless the user
    // has picked one of the rows shown so far since.
    std::optional<ConnectionListModel::Item> selectedItem() const;
    // Runs a user's command or answer now, or, when it arrives while a rebuild runs (events
    // let in by a decision), whole and in order right after that rebuild ends: a command
    // run halfway would see a half-built list and have its own rebuild deferred, which
    // would change the order of its steps.
    void whenIdle(std::function<void()> command);

    QTreeView* ListView1 = nullptr;
    ConnectionListModel* listModel = nullptr;
    QTimer* tmrRefresh = nullptr;
    qint16 LastRowCount = 0;
    QToolBar* Toolbar1 = nullptr;
    // Toolbar1's buttons by position 1..6 (3 and 6 are separators: null).
    QToolButton* button(int position) const;
    QLineEdit* Text1 = nullptr;
    QWidget* WebBrowser1 = nullptr;
    QLabel* Picture1 = nullptr;
    blocking::PendingAlerts pending;

    // Toolbar click, by the button's position (1..6).
    void Toolbar1_ButtonClick(int position);
    // Mouse button released over the list: the right button pops up the connection menu
    // at `globalPos` when the list is not empty.
    void ListView1_MouseUp(Qt::MouseButton button, const QPoint& globalPos);

    // Test seams. Called at the start of every CheckBlock with the row being judged.
    std::function<void(const modNetstat::ConnectionRow&)> checkBlockObserver;
    // Pops up a menu at a screen position; tests replace it to see the pop-up without
    // showing one.
    std::function<void(QMenu&, const QPoint&)> popUpMenu;

    // --- life of the main window (shell/frmMainLife.cpp) ---
    // The main window's start-up, in order: autostart entry, centre, hide, process events,
    // InitStateNames, LoadSettings, HookTrayMessages, AddTrayIcon, first RefreshTable, hide.
    void startUp();
    // Left double-click on the tray icon: show or hide.
    void SysTray();
    // Right button on the tray icon: pop up mnuMain.
    void SysTray2();

protected:
    // A close request only hides the window (after the tray prompt unless turned off).
    void closeEvent(QCloseEvent* event) override;

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildToolbar();
    // One rebuild, from a fresh snapshot (when due or forced).
    void rebuild(bool force);
    // Lets pending events run once, after showing the rows appended so far.
    void doEvents();
    // The row selected in the view among the rows it shows, if any.
    std::optional<ConnectionListModel::Item> viewSelection() const;

    shell::Program& program_;
    std::unique_ptr<ListRefresh> refresh_;
    std::array<QToolButton*, 7> buttons_{};
    // A rebuild is running; requests arriving meanwhile (events run inside decisions) wait.
    bool rebuilding_ = false;
    bool forcedWhileRebuilding_ = false;
    std::deque<std::function<void()>> deferred_;
    std::optional<ConnectionListModel::Item> selectedAtRebuild_;
};

} // namespace quillon::monitor
