// Quillon: a personal firewall and TCP connection monitor for one desktop.
#include "DisplayOpenGuard.h"
#include "app/CommandLine.h"
#include "platform/Autostart.h"
#include "platform/Capabilities.h"
#include "platform/DesktopTray.h"
#include "platform/ExeDir.h"
#include "platform/InstanceLock.h"
#include "platform/NetlinkTcpTable.h"
#include "platform/RegistryHive.h"
#include "platform/SocketOwners.h"
#include "ui/Resources.h"
#include "ui/chrome/QtTexts.h"
#include "ui/chrome/SkinnedWindow.h"
#include "ui/shell/Program.h"
#include "ui/shell/TrayIcon.h"
#include "ui/shell/frmSplash.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <optional>

int main(int argc, char** argv) {
    quillon::platform::dropCapabilitiesUnlessRoot();
    if (const auto status = quillon::app::handleCommandLine(argc, argv)) {
        return *status;
    }
    // Without a usable display: one clear line and exit status 1 instead of Qt's abort().
    std::optional<quillon::app::DisplayOpenGuard> displayGuard(std::in_place);
    QApplication app(argc, argv);
    displayGuard.reset();
    QApplication::setApplicationName(QStringLiteral("quillon"));
    quillon::ui::InitResources();
    quillon::chrome::installQtChineseTexts(app);
    // No application display name: Qt would append it to every window title ("提示 — ..."),
    // and each window's title is exactly its own caption.
    QApplication::setWindowIcon(quillon::shell::programIcon());
    // Closing the last visible window only hides the program: it ends through the exit prompt.
    QApplication::setQuitOnLastWindowClosed(false);
    quillon::chrome::SkinnedWindow::addChineseFace();

    quillon::platform::NetlinkTcpTable table;
    // Without CAP_NET_ADMIN of its own (anyone but root), cuts go through the helper.
    table.setCutHelper(quillon::platform::executableDir() + QStringLiteral("/quillon-cut"));
    quillon::platform::RegistryHive hive;
    quillon::platform::SocketOwners owners;

    quillon::shell::Program::Config config;
    config.table = &table;
    config.hive = &hive;
    config.owners = &owners;
    config.programDir = quillon::platform::executableDir();
    config.lockPath = quillon::platform::InstanceLock::defaultPath();
    config.autostartPath = quillon::platform::Autostart::defaultPath();
    config.userAutostartPath = quillon::platform::Autostart::userPath();
    quillon::shell::Program program(config);
    // The real desktop is asked, now and whenever the tray icon waits for a tray to appear.
    program.tray().setAvailabilityProbe(&QSystemTrayIcon::isSystemTrayAvailable);
    // Asked right after the icon was created, when Qt chose its tray protocol.
    program.tray().setStatusNotifierTray(quillon::platform::statusNotifierHostRegistered());

    if (!program.splash().startUp()) {
        // Another copy runs: end at once, having shown and written nothing.
        return 0;
    }
    return QApplication::exec();
}
