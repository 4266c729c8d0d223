#pragma once

#include "core/monitor/ConnectionListModel.h"

#include <QWidget>
#include <optional>

class QAction;
class QMenu;

namespace quillon::monitor {
class CoreServices;
}

namespace quillon::blocking {

// What the menus need of the program around them, which the shell provides: the main window's
// selected row, the main window itself, and the exit prompt.
class MenuLinks {
public:
    virtual ~MenuLinks() = default;
    virtual std::optional<monitor::ConnectionListModel::Item> selectedItem() = 0;
    // Shows the main window in front, restored from minimised or maximised as it was.
    virtual void openMain() = 0;
    virtual void askExit() = 0;
};

// Holder of the program's two pop-up menus; never shown itself. mnuMain is the tray menu,
// mnuConn the connection list's menu, whose items act on the list's selected row.
class frmMenu : public QWidget {
    Q_OBJECT
public:
    frmMenu(monitor::CoreServices& services, MenuLinks& links);
    ~frmMenu() override;

    QMenu* mnuMain = nullptr; // "主窗"
    QAction* mnuOpen = nullptr;
    QAction* mnuSep = nullptr;
    QAction* mnuExit = nullptr;

    QMenu* mnuConn = nullptr; // "控制窗"
    QAction* mnuDis = nullptr;
    QAction* mnuSep2 = nullptr;
    QAction* mnuBlockAll = nullptr;
    QAction* mnuBlockIP = nullptr;
    QAction* mnuBlockRP = nullptr;
    QAction* mnuBlockLP = nullptr;

    // Denies the selected row's remote address, remote port and/or local port (written in
    // that order), rebuilds the list and logs the block. Without a selected row: nothing.
    // Chosen while a rebuild runs, it acts on the row chosen, once that rebuild has ended.
    void BlockList(bool ra, bool rp, bool lp);

    void mnuOpen_Click();
    void mnuExit_Click();
    void mnuDis_Click();
    void mnuBlockAll_Click() { BlockList(true, true, true); }
    void mnuBlockIP_Click() { BlockList(true, false, false); }
    void mnuBlockRP_Click() { BlockList(false, true, false); }
    void mnuBlockLP_Click() { BlockList(false, false, true); }

private:
    monitor::CoreServices& services_;
    MenuLinks& links_;
};

} // namespace quillon::blocking
