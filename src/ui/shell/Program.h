#pragma once

#include "core/monitor/CoreServices.h"
#include "core/monitor/modNetstat.h"
#include "ui/blocking/frmMenu.h"
#include "ui/chrome/MessageBoxes.h"
#include "ui/monitor/frmMain.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace quillon::platform {
class TcpTable;
class RegistryHive;
class SocketOwners;
} // namespace quillon::platform
namespace quillon::settings {
class EventLog;
class Switches;
class frmOptions;
} // namespace quillon::settings
namespace quillon::blocking {
class TrojanTable;
class frmAlert;
class frmMenu;
} // namespace quillon::blocking
namespace quillon::monitor {
class Commands;
struct CommandResult;
class Guard;
class frmMain;
} // namespace quillon::monitor

namespace quillon::shell {

class frmSplash;
class frmWarnSys;
class frmWarnExit;
class TrayIcon;

// Everything a running Quillon is made of: the core services and the windows, which only this
// factory creates, on first reference. Each window gets the core services and, where it needs
// them, the few links to the rest of the program that it declares itself (MainLinks,
// MenuLinks), which this implements. There are no globals, so a test can build the whole
// program over a fake TCP table and a temporary hive and folder.
class Program : public QObject, public monitor::MainLinks, public blocking::MenuLinks {
    Q_OBJECT
public:
    struct Config {
        platform::TcpTable* table = nullptr;      // not owned
        platform::RegistryHive* hive = nullptr;   // not owned
        platform::SocketOwners* owners = nullptr; // not owned; none: programs are not looked up
        QString programDir;                       // QLWD.dat, SPLH.jpg and WDlog.log live here
        QString lockPath;                         // single-instance lock file
        QString autostartPath;                    // the machine-wide start-with-the-session entry
        QString userAutostartPath;                // the user's own one
        bool trayAvailable = true;                // tests may force either way
    };

    explicit Program(Config config, QObject* parent = nullptr);
    ~Program() override;

    const Config& config() const { return config_; }
    monitor::CoreServices& core() { return core_; }
    platform::TcpTable& table() { return core_.table(); }
    platform::RegistryHive& hive() { return core_.hive(); }
    platform::SocketOwners* owners() { return core_.owners(); }
    const QString& programDir() const { return core_.programDir(); }

    settings::EventLog& eventLog() { return core_.eventLog(); }
    blocking::TrojanTable& trojans() { return core_.trojans(); }
    // The stored switches, and the two the block decision reads, in force.
    settings::Switches& switches() { return core_.switches(); }
    // The per-tick work, created on first reference; the main window starts its polling.
    monitor::Guard& guard() { return core_.guard(); }
    // The user's commands, carried out over the guard.
    monitor::Commands& commands() { return core_.commands(); }
    chrome::MessageBoxes& messageBoxes() { return *boxes_; }
    // Puts other question boxes in place of the real ones.
    void setMessageBoxes(std::unique_ptr<chrome::MessageBoxes> boxes) { boxes_ = std::move(boxes); }

    // Windows, created on first reference. The console is created hidden and, once closed,
    // created again on the next reference.
    monitor::frmMain& main();
    settings::frmOptions& options();
    bool optionsExists() const { return !options_.isNull(); }
    blocking::frmMenu& menu();
    frmSplash& splash();
    frmWarnSys& warnSys();
    frmWarnExit& warnExit();
    TrayIcon& tray();
    // Puts another tray icon (made for this program) in place of the real one before first use.
    void setTray(std::unique_ptr<TrayIcon> tray);

    // A new alert window (never reused); it deletes itself when closed.
    blocking::frmAlert* newAlert();
    // The alert windows open now, oldest first.
    QList<blocking::frmAlert*> alerts() const;

    // What the main window and the menus ask of the program (MainWindowLife.cpp).
    QMenu& connectionMenu() override;
    QMenu& trayMenu() override;
    void openConsole() override;
    void startUp(monitor::frmMain& window) override;
    void closeRequested(monitor::frmMain& window) override;
    std::optional<monitor::ConnectionListModel::Item> selectedItem() override;
    void openMain() override;
    void askExit() override;

private:
    // Opens the question the guard asks for about `row`, holding pending slot `slot`.
    void raiseAlert(const monitor::modNetstat::ConnectionRow& row, qint32 slot);
    // Lets the windows follow the guard's notices.
    void followGuard(monitor::Guard& guard);
    void tellNotStored(const monitor::CommandResult& result);
    // Gives back what a flood of questions left behind, once none is open or waiting.
    void dropQuestionsMemory();

    Config config_;
    std::unique_ptr<chrome::MessageBoxes> boxes_ = std::make_unique<chrome::MessageBoxes>();
    monitor::CoreServices core_;
    QPointer<monitor::frmMain> main_;
    QPointer<settings::frmOptions> options_;
    QPointer<blocking::frmMenu> menu_;
    QPointer<frmSplash> splash_;
    QPointer<frmWarnSys> warnSys_;
    QPointer<frmWarnExit> warnExit_;
    std::unique_ptr<TrayIcon> tray_;
    QList<QPointer<blocking::frmAlert>> alerts_;
};

} // namespace quillon::shell
