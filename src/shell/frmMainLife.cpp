// The life of the main window: its start-up, its close request and the two tray actions.
#include "blocking/frmMenu.h"
#include "chrome/Twips.h"
#include "monitor/frmMain.h"
#include "monitor/modNetstat.h"
#include "platform/Autostart.h"
#include "platform/ExeDir.h"
#include "platform/RegistryHive.h"
#include "platform/TcpTable.h"
#include "settings/EventLog.h"
#include "settings/LoadSettings.h"
#include "settings/modReg.h"
#include "shell/Program.h"
#include "shell/ShellHelpers.h"
#include "shell/TrayIcon.h"
#include "shell/frmWarnExit.h"
#include "shell/frmWarnSys.h"
#include "shell/modGeneral.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QLabel>

namespace quillon::monitor {

using namespace settings::modReg;

namespace {

const QString kCaption = QStringLiteral("Quillon防火墙");

// Where there is no tray, the rights notice stands under the slogan box; the window grows by
// the notice's height so that the frame's bottom grip stays clear of it.
constexpr int kNoticeTop = 4995;
constexpr int kNoticeGap = 60;

void showRightsNotice(frmMain& window, shell::Program& program) {
    using Health = platform::RegistryHive::Health;
    shell::Rights rights;
    rights.cut = program.table().cutAccess();
    const Health health = program.hive().health();
    rights.hiveReadable = health != Health::NoAccess;
    rights.hiveDamaged = health == Health::Damaged;
    rights.hiveWritable = program.hive().writable();
    rights.logWritable = program.eventLog().writable();
    shell::RightsPaths paths;
    paths.helper = program.programDir() + QStringLiteral("/quillon-cut");
    paths.hive = program.hive().path();
    paths.log = program.eventLog().filePath();
    const QString notice = shell::RightsNotice(rights, paths);
    if (notice.isEmpty()) {
        return;
    }
    if (program.tray().showMessage(kCaption, notice)) {
        return;
    }
    auto* line = new QLabel(notice, &window);
    line->setObjectName(QStringLiteral("lblRights"));
    line->setWordWrap(true);
    line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    line->setStyleSheet(QStringLiteral("color: #a02020;"));
    const QRect place = chrome::pxRect(240, kNoticeTop, 6255, 0);
    const int height = line->heightForWidth(place.width());
    line->setGeometry(place.left(), place.top(), place.width(), height);
    window.resize(window.width(), window.height() + height + chrome::px(kNoticeGap));
    shell::CentreOnScreen(window);
    line->show();
}

} // namespace

void frmMain::startUp() {
    // The start-with-the-session entry, rewritten at every start so that it follows the
    // binary when it moves: machine-wide only for a binary no one but root can replace, else
    // the user's own; without the rights it is silently left alone.
    const QString executable = platform::executablePath();
    platform::Autostart::write(platform::Autostart::placeFor(executable,
                                                             program_.config().autostartPath,
                                                             program_.config().userAutostartPath),
                               executable);
    // WebBrowser1 stays an empty placeholder: the update page has no known host.
    shell::CentreOnScreen(*this);
    hide();
    QCoreApplication::processEvents();
    modNetstat::InitStateNames();
    modGeneral::LoadSettings(program_);
    shell::modSystray::HookTrayMessages(program_, *this);
    shell::modSystray::AddTrayIcon(program_, shell::programIcon(), kCaption);
    RefreshTable(false);
    hide();

    // A desktop without a tray would leave a program with neither icon nor window: there
    // the window stays open instead.
    if (!program_.tray().shown()) {
        show();
        modGeneral::ActivateWindow(this, true);
    }
    showRightsNotice(*this, program_);
}

void frmMain::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (!program_.tray().shown()) {
        // Hidden without a tray icon, the window could never be reached again: closing it
        // is then the way out, through the exit prompt.
        program_.warnExit().show();
        program_.warnExit().raise();
        return;
    }
    if (ReadRegString(program_.hive(), HKEY_LOCAL_MACHINE, OptionsKey, QStringLiteral("warnsys")) !=
        QStringLiteral("1")) {
        program_.warnSys().show();
    }
    hide();
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
        popUpMenu(*program_.menu().mnuMain, QCursor::pos());
    }
}

} // namespace quillon::monitor
