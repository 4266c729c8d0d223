#pragma once

#include "core/monitor/modNetstat.h"
#include "ui/shell/MessageBoxes.h"

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
class Guard;
class frmMain;
} // namespace quillon::monitor

namespace quillon::shell {

class frmSplash;
class frmWarnSys;
class frmWarnExit;
class TrayIcon;

// Everything a running Quillon is made of: the platform services and the windows, which are
// created on first reference. Passed to the windows that need it; there are no globals, so a
// test can build the whole program over a fake TCP table and a temporary hive and folder.
class Program : public QObject {
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
    platform::TcpTable& table() { return *config_.table; }
    platform::RegistryHive& hive() { return *config_.hive; }
    platform::SocketOwners* owners() { return config_.owners; }
    const QString& programDir() const { return config_.programDir; }

    settings::EventLog& eventLog();
    blocking::TrojanTable& trojans();
    // The stored switches, and the two the block decision reads, in force.
    settings::Switches& switches() { return *switches_; }
    // The per-tick work, created on first reference; the main window starts its polling.
    monitor::Guard& guard();
    // The user's commands, carried out over the guard.
    monitor::Commands& commands();
    MessageBoxes& messageBoxes() { return *boxes_; }
    // Puts other question boxes in place of the real ones.
    void setMessageBoxes(std::unique_ptr<MessageBoxes> boxes) { boxes_ = std::move(boxes); }

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

private:
    // Opens the question the guard asks for about `row`, holding pending slot `slot`.
    void raiseAlert(const monitor::modNetstat::ConnectionRow& row, qint32 slot);

    Config config_;
    std::unique_ptr<MessageBoxes> boxes_ = std::make_unique<MessageBoxes>();
    std::unique_ptr<settings::Switches> switches_;
    std::unique_ptr<settings::EventLog> eventLog_;
    std::unique_ptr<blocking::TrojanTable> trojans_;
    // After the services it uses, so that it goes before them.
    std::unique_ptr<monitor::Guard> guard_;
    std::unique_ptr<monitor::Commands> commands_;
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
