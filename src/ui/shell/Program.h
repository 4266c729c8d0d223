#pragma once

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
class frmOptions;
} // namespace quillon::settings
namespace quillon::blocking {
class TrojanTable;
class frmAlert;
class frmMenu;
} // namespace quillon::blocking
namespace quillon::monitor {
class frmMain;
}

namespace quillon::shell {

class frmSplash;
class frmWarnSys;
class frmWarnExit;
class TrayIcon;

// Message boxes go through here so that tests can answer them without blocking.
class MessageBoxes {
public:
    // Standard button codes as the program compares them.
    enum Answer { Yes = 6, No = 7 };

    // Asks a Yes/No question (information icon, No as default) and hands the answer to
    // `onAnswer`. The box does not block: a modal loop here would hold up a rebuild that let
    // events run, and with it every tick, until the user answered. When a next answer was
    // queued, `onAnswer` runs at once and nothing is shown.
    void askYesNo(QWidget* parent, const QString& title, const QString& text,
                  std::function<void(int)> onAnswer);

    // Test seam: the next askYesNo answers `answer` without showing a box.
    void queueAnswer(int answer) { next_.append(answer); }
    // Texts of the boxes asked so far (title, text), for tests.
    QList<std::pair<QString, QString>> asked;

private:
    QList<int> next_;
};

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
    MessageBoxes& messageBoxes() { return boxes_; }

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

    // A new alert window (never reused); it deletes itself when closed.
    blocking::frmAlert* newAlert();
    // The alert windows open now, oldest first.
    QList<blocking::frmAlert*> alerts() const;

private:
    Config config_;
    MessageBoxes boxes_;
    std::unique_ptr<settings::EventLog> eventLog_;
    std::unique_ptr<blocking::TrojanTable> trojans_;
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
