#include "blocking/frmMenu.h"

#include "monitor/ConnectionListModel.h"
#include "monitor/frmMain.h"
#include "settings/LogEvent.h"
#include "settings/modReg.h"
#include "shell/Program.h"
#include "shell/frmWarnExit.h"
#include "shell/modGeneral.h"

#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QMenu>
#include <QTreeView>

namespace quillon::blocking {

frmMenu::frmMenu(shell::Program& program) : program_(program) {
    setWindowTitle(QStringLiteral("frmMenu"));

    mnuMain = new QMenu(QStringLiteral("主窗"), this);
    mnuMain->setObjectName(QStringLiteral("mnuMain"));
    mnuOpen = mnuMain->addAction(QStringLiteral("&打开"));
    mnuOpen->setObjectName(QStringLiteral("mnuOpen"));
    mnuSep = mnuMain->addSeparator();
    mnuSep->setObjectName(QStringLiteral("mnuSep"));
    mnuExit = mnuMain->addAction(QStringLiteral("E&退出"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));

    mnuConn = new QMenu(QStringLiteral("控制窗"), this);
    mnuConn->setObjectName(QStringLiteral("mnuConn"));
    mnuDis = mnuConn->addAction(QStringLiteral("断开连接"));
    mnuDis->setObjectName(QStringLiteral("mnuDis"));
    mnuSep2 = mnuConn->addSeparator();
    mnuSep2->setObjectName(QStringLiteral("mnuSep2"));
    mnuBlockAll = mnuConn->addAction(QStringLiteral("禁止所有"));
    mnuBlockAll->setObjectName(QStringLiteral("mnuBlockAll"));
    mnuBlockIP = mnuConn->addAction(QStringLiteral("禁止IP"));
    mnuBlockIP->setObjectName(QStringLiteral("mnuBlockIP"));
    mnuBlockRP = mnuConn->addAction(QStringLiteral("禁止远程端口"));
    mnuBlockRP->setObjectName(QStringLiteral("mnuBlockRP"));
    mnuBlockLP = mnuConn->addAction(QStringLiteral("禁止本地端口"));
    mnuBlockLP->setObjectName(QStringLiteral("mnuBlockLP"));

    connect(mnuOpen, &QAction::triggered, this, &frmMenu::mnuOpen_Click);
    connect(mnuExit, &QAction::triggered, this, &frmMenu::mnuExit_Click);
    connect(mnuDis, &QAction::triggered, this, &frmMenu::mnuDis_Click);
    connect(mnuBlockAll, &QAction::triggered, this, &frmMenu::mnuBlockAll_Click);
    connect(mnuBlockIP, &QAction::triggered, this, &frmMenu::mnuBlockIP_Click);
    connect(mnuBlockRP, &QAction::triggered, this, &frmMenu::mnuBlockRP_Click);
    connect(mnuBlockLP, &QAction::triggered, this, &frmMenu::mnuBlockLP_Click);
}

frmMenu::~frmMenu() = default;

int frmMenu::selectedRow() const {
    monitor::frmMain& main = program_.main();
    const QItemSelectionModel* sel = main.ListView1->selectionModel();
    if (sel == nullptr) {
        return -1;
    }
    const QModelIndexList rows = sel->selectedRows();
    if (rows.isEmpty() || rows.first().row() >= main.listModel->rowCount()) {
        return -1;
    }
    return rows.first().row();
}

void frmMenu::BlockList(bool ra, bool rp, bool lp) {
    const int r = selectedRow();
    if (r < 0) {
        return;
    }
    monitor::frmMain& main = program_.main();
    // The row's own texts: for a listening row these are "无IP来源" and "等待状态", stored as
    // they stand.
    const monitor::ConnectionListModel::Item& item = main.listModel->item(r);
    const QString remA = item.text;
    const QString remP = item.sub1;
    const QString locP = item.sub2;

    namespace modReg = settings::modReg;
    const QString deny = QStringLiteral("1");
    if (ra) {
        modReg::WriteRegString(program_.hive(), modReg::HKEY_LOCAL_MACHINE, modReg::BlockIpKey,
                               remA, deny);
    }
    if (rp) {
        modReg::WriteRegString(program_.hive(), modReg::HKEY_LOCAL_MACHINE, modReg::BlockRpKey,
                               remP, deny);
    }
    if (lp) {
        modReg::WriteRegString(program_.hive(), modReg::HKEY_LOCAL_MACHINE, modReg::BlockLpKey,
                               locP, deny);
    }
    main.RefreshTable(true);
    modGeneral::LogEvent(program_, remA, remP, locP, QStringLiteral("禁止所有连接"));
}

void frmMenu::mnuDis_Click() {
    const int r = selectedRow();
    if (r < 0) {
        return;
    }
    monitor::frmMain& main = program_.main();
    const monitor::ConnectionListModel::Item item = main.listModel->item(r);
    // The row keeps the identity of the connection it shows: if that connection has gone,
    // nothing else is cut in its place.
    const platform::CutResult result = program_.table().cut(item.connection.identity);
    QCoreApplication::processEvents();
    if (result == platform::CutResult::Cut) {
        modGeneral::LogEvent(program_, item.text, item.sub1, item.sub2,
                             QStringLiteral("异常连接中断"));
    }
}

void frmMenu::mnuOpen_Click() {
    monitor::frmMain& main = program_.main();
    if (main.windowState() & (Qt::WindowMinimized | Qt::WindowMaximized)) {
        main.show();
        modGeneral::ActivateWindow(&main, true);
    } else {
        main.show();
        main.setWindowState(Qt::WindowNoState);
    }
}

void frmMenu::mnuExit_Click() {
    program_.warnExit().show();
}

} // namespace quillon::blocking
