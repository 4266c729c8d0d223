#include "ui/blocking/frmMenu.h"

#include "core/monitor/Commands.h"
#include "core/monitor/CoreServices.h"

#include <QMenu>
#include <QTreeView>

namespace quillon::blocking {

frmMenu::frmMenu(monitor::CoreServices& services, MenuLinks& links)
    : services_(services), links_(links) {
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

void frmMenu::BlockList(bool ra, bool rp, bool lp) {
    // The row chosen now; carried out at once, or right after a rebuild that is running.
    const std::optional<monitor::ConnectionListModel::Item> chosen = links_.selectedItem();
    if (!chosen) {
        return;
    }
    // The row's own texts: for a listening row these are "无IP来源" and "等待状态".
    services_.commands().deny(ra, rp, lp, chosen->text(), chosen->sub1(), chosen->sub2(), {});
}

void frmMenu::mnuDis_Click() {
    const std::optional<monitor::ConnectionListModel::Item> chosen = links_.selectedItem();
    // Destroying a listening socket would not end a connection but kill the service behind
    // it (its accept() fails, new clients are refused): a listening row is not cut.
    if (!chosen || chosen->connection.state == platform::StateListen) {
        return;
    }
    services_.commands().cut(chosen->connection.identity, chosen->text(), chosen->sub1(),
                             chosen->sub2(), {});
}

void frmMenu::mnuOpen_Click() {
    links_.openMain();
}

void frmMenu::mnuExit_Click() {
    links_.askExit();
}

} // namespace quillon::blocking
