#include "ui/shell/modGeneral.h"

#include "core/monitor/Guard.h"
#include "core/settings/EventLog.h"
#include "core/settings/Switches.h"
#include "ui/monitor/frmMain.h"
#include "ui/settings/frmOptions.h"
#include "ui/shell/Program.h"

#include <QGuiApplication>
#include <QScreen>
#include <QToolButton>
#include <QWidget>

namespace quillon::modGeneral {

void CentreOnScreen(QWidget& window) {
    QScreen* screen = window.screen();
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return;
    }
    const QRect area = screen->geometry();
    const QSize size = window.frameGeometry().size();
    window.move(area.left() + (area.width() - size.width()) / 2,
                area.top() + (area.height() - size.height()) / 2);
}

void ActivateWindow(QWidget* window, bool activate) {
    if (window == nullptr) {
        return;
    }
    if (!activate) {
        window->showMinimized();
        return;
    }
    if (window->isMinimized()) {
        // Clearing only the minimised bit restores what was there before: maximised stays.
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
        window->show();
        return;
    }
    window->raise();
    // A window that is meant to appear without taking the focus (an alert) keeps it so.
    if (!window->testAttribute(Qt::WA_ShowWithoutActivating)) {
        window->activateWindow();
    }
}

void PlaceWindow(QWidget* window, int mode) {
    if (window == nullptr) {
        return;
    }
    const QRect place = window->geometry();
    window->setAttribute(Qt::WA_ShowWithoutActivating, true);
    const bool topmost = window->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
    // Changing a window's flags re-creates it hidden, so only change what differs.
    if (mode == 1 && !topmost) {
        window->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    } else if (mode == 3 && topmost) {
        window->setWindowFlag(Qt::WindowStaysOnTopHint, false);
    }
    window->setGeometry(place);
    window->show();
    // A window that stops being topmost still comes first among the ordinary ones.
    if (mode == 4) {
        window->lower();
    } else {
        window->raise();
    }
}

} // namespace quillon::modGeneral

namespace quillon::modGeneral {

void LoadSettings(shell::Program& program) {
    program.options();

    // Button 4 stores its pressed state under its own caption; pressed means the listening
    // rows are hidden.
    if (!program.switches().listeningHidden()) {
        return;
    }
    monitor::frmMain& window = program.main();
    if (QToolButton* button = window.button(4)) {
        window.setListModeCaption(QStringLiteral("全部"));
        button->setToolTip(QStringLiteral("显示所有连接"));
        button->setChecked(true);
    }
    program.guard().RefreshTable(true);
}

} // namespace quillon::modGeneral
