#include "ui/chrome/WindowHelpers.h"

#include <QGuiApplication>
#include <QScreen>
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
