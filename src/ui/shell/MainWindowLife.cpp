// The main window's life, which the shell runs for it: its start-up, its close request, and
// what the window and the menus ask of the rest of the program.
#include "core/monitor/Commands.h"
#include "core/monitor/Guard.h"
#include "core/monitor/modNetstat.h"
#include "core/settings/EventLog.h"
#include "core/settings/Switches.h"
#include "platform/Autostart.h"
#include "platform/ExeDir.h"
#include "platform/RegistryHive.h"
#include "platform/TcpTable.h"
#include "ui/blocking/frmMenu.h"
#include "ui/chrome/Twips.h"
#include "ui/monitor/frmMain.h"
#include "ui/settings/frmOptions.h"
#include "ui/shell/Program.h"
#include "ui/shell/ShellHelpers.h"
#include "ui/shell/TrayIcon.h"
#include "ui/shell/frmWarnExit.h"
#include "ui/shell/frmWarnSys.h"
#include "ui/shell/modGeneral.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QTabWidget>

namespace quillon::shell {

namespace {

const QString kCaption = QStringLiteral("Quillon防火墙");

// Where there is no tray, the rights notice stands under the slogan box; the window grows by
// the notice's height so that the frame's bottom grip stays clear of it.
constexpr int kNoticeTop = 4995;
constexpr int kNoticeGap = 60;

Rights rightsOf(Program& program) {
    using Health = platform::RegistryHive::Health;
    Rights rights;
    rights.cut = program.table().cutAccess();
    const Health health = program.hive().health();
    rights.hiveReadable = health != Health::NoAccess && health != Health::Unsafe;
    rights.hiveDamaged = health == Health::Damaged;
    rights.hiveUnsafe = health == Health::Unsafe;
    rights.hiveIncomplete = health == Health::Incomplete;
    rights.hiveWritable = program.hive().writable();
    rights.logWritable = program.eventLog().writable();
    rights.logDeclinedAsRoot = program.eventLog().declinedAsRoot();
    rights.immediate = program.guard().immediate();
    return rights;
}

RightsPaths pathsOf(Program& program) {
    RightsPaths paths;
    paths.helper = program.programDir() + QStringLiteral("/quillon-cut");
    paths.hive = program.hive().path();
    paths.log = program.eventLog().filePath();
    return paths;
}

void showRightsNotice(monitor::frmMain& window, Program& program) {
    const Rights rights = rightsOf(program);
    // The tray says it for as long as the program runs, the notice once.
    program.tray().setMissingRights(MissingRightsLine(rights));
    const QString notice = RightsNotice(rights, pathsOf(program));
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
    modGeneral::CentreOnScreen(window);
    line->show();
}

} // namespace

void Program::startUp(monitor::frmMain& window) {
    // The start-with-the-session entry, rewritten at every start so that it follows the
    // binary when it moves: machine-wide only for a binary no one but root can replace, else
    // the user's own; without the rights it is silently left alone.
    const QString executable = platform::executablePath();
    platform::Autostart::write(
        platform::Autostart::placeFor(executable, config_.autostartPath, config_.userAutostartPath),
        executable);
    // WebBrowser1 stays an empty placeholder: the update page has no known host.
    modGeneral::CentreOnScreen(window);
    window.hide();
    QCoreApplication::processEvents();
    monitor::modNetstat::InitStateNames();
    modGeneral::LoadSettings(*this);
    modSystray::HookTrayMessages(*this, window);
    modSystray::AddTrayIcon(*this, programIcon(), kCaption);
    guard().RefreshTable(false);
    window.hide();

    // A desktop without a tray would leave a program with neither icon nor window: there
    // the window stays open instead.
    if (!tray().shown()) {
        window.show();
        modGeneral::ActivateWindow(&window, true);
    }
    showRightsNotice(window, *this);
}

// A command that stored nothing says so once, with the right that is missing; the tray's mark
// and line follow what is missing now.
void Program::tellNotStored(const monitor::CommandResult& result) {
    const Rights rights = rightsOf(*this);
    tray().setMissingRights(MissingRightsLine(rights));
    messageBoxes().tell(nullptr, kCaption, NotStoredMessage(rights, pathsOf(*this), result.why));
}

void Program::closeRequested(monitor::frmMain& window) {
    if (!tray().shown()) {
        // Hidden without a tray icon, the window could never be reached again: closing it
        // is then the way out, through the exit prompt.
        warnExit().show();
        warnExit().raise();
        return;
    }
    if (!switches().warnSysSilenced()) {
        warnSys().show();
    }
    window.hide();
}

QMenu& Program::connectionMenu() {
    return *menu().mnuConn;
}

QMenu& Program::trayMenu() {
    return *menu().mnuMain;
}

void Program::openConsole() {
    // Shown first: a console opened for the first time runs its own opening before the tab
    // is chosen.
    settings::frmOptions& console = options();
    console.show();
    console.SSTab1->setCurrentIndex(2);
}

std::optional<monitor::ConnectionListModel::Item> Program::selectedItem() {
    return main().selectedItem();
}

void Program::openMain() {
    monitor::frmMain& window = main();
    if (window.windowState() & (Qt::WindowMinimized | Qt::WindowMaximized)) {
        window.show();
        modGeneral::ActivateWindow(&window, true);
    } else {
        window.show();
        window.setWindowState(Qt::WindowNoState);
        // Shown but under other windows, it comes forward: "open" means the user sees it.
        modGeneral::ActivateWindow(&window, true);
    }
}

void Program::askExit() {
    warnExit().show();
}

} // namespace quillon::shell
