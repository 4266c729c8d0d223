// The windows and services of the application shell that the program context creates on
// first reference.
#include "shell/Program.h"
#include "shell/TrayIcon.h"
#include "shell/frmSplash.h"
#include "shell/frmWarnExit.h"
#include "shell/frmWarnSys.h"

namespace quillon::shell {

frmSplash& Program::splash() {
    if (splash_.isNull()) {
        splash_ = new frmSplash(*this);
    }
    return *splash_;
}

frmWarnSys& Program::warnSys() {
    if (warnSys_.isNull()) {
        warnSys_ = new frmWarnSys(*this);
    }
    return *warnSys_;
}

frmWarnExit& Program::warnExit() {
    if (warnExit_.isNull()) {
        warnExit_ = new frmWarnExit(*this);
    }
    return *warnExit_;
}

TrayIcon& Program::tray() {
    if (!tray_) {
        tray_ = std::make_unique<TrayIcon>(*this);
    }
    return *tray_;
}

} // namespace quillon::shell
