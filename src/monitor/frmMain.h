#pragma once

#include "blocking/PendingAlerts.h"
#include "chrome/SkinnedWindow.h"
#include "monitor/modNetstat.h"

#include <QString>

#include <optional>
#include <vector>

class QTimer;
class QTreeView;
class QToolBar;
class QToolButton;
class QLineEdit;
class QLabel;

namespace quillon::shell {
class Program;
}

namespace quillon::monitor {

class ConnectionListModel;

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

private:
    shell::Program& program_;
};

} // namespace quillon::monitor
