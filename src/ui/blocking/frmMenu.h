#pragma once

#include <QWidget>

class QAction;
class QMenu;

namespace quillon::shell {
class Program;
}

namespace quillon::blocking {

// Holder of the program's two pop-up menus; never shown itself. mnuMain is the tray menu,
// mnuConn the connection list's menu, whose items act on the list's selected row.
class frmMenu : public QWidget {
    Q_OBJECT
public:
    explicit frmMenu(shell::Program& program);
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
    shell::Program& program_;
};

} // namespace quillon::blocking
