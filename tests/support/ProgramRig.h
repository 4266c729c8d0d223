#pragma once

#include "platform/RegistryHive.h"
#include "support/FakeTcpTable.h"
#include "support/RecordingTray.h"
#include "support/ScriptedMessageBoxes.h"
#include "ui/shell/Program.h"

#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <utility>
#include <vector>

class QAbstractItemView;
class QTabWidget;

namespace quillon::monitor {
class Guard;
class frmMain;
} // namespace quillon::monitor
namespace quillon::settings {
class frmOptions;
}

namespace quillon::test {

// How a ProgramRig's program is built; the defaults suit the window tests.
struct ProgramSetup {
    bool tray = false;                        // whether a system tray is there
    QString lockPath;                         // empty: quillon.lock in the rig's folder
    platform::TcpTable* table = nullptr;      // null: the rig's own scripted table
    platform::SocketOwners* owners = nullptr; // null: programs are not looked up
    bool checkModels = true;                  // Qt's model tester on the windows' models
};

// A whole program over the scripted TCP table, with its hive, program folder (QLWD.dat,
// SPLH.jpg, WDlog.log), lock and start-with-the-system entry in one temporary folder.
struct ProgramRig {
    ProgramRig() : ProgramRig(ProgramSetup{}) {}
    explicit ProgramRig(const ProgramSetup& setup);
    ~ProgramRig();
    ProgramRig(const ProgramRig&) = delete;
    ProgramRig& operator=(const ProgramRig&) = delete;

    // The program; the models of the windows it has made so far are under Qt's model tester
    // from here on (unless the setup says otherwise).
    shell::Program& program();
    // The main window with its refresh timer stopped, so that the test decides when a tick
    // happens.
    monitor::frmMain& main();
    // The per-tick work the main window shows.
    monitor::Guard& guard();
    // The console, its log model under the model tester.
    settings::frmOptions& options();
    // The program's tray icon and question boxes, which record what the program asked.
    RecordingTray& tray() { return *trayIcon; }
    ScriptedMessageBoxes& boxes() { return *questions; }
    // A file in the program folder.
    QString path(const QString& name) const { return dir.filePath(name); }

    // The console's switch and level, which the decision reads.
    void setLevel(int level);
    void setSubnet(bool on);

    // Values under \options; a null `data` deletes the value.
    void setOption(const QString& name, const QString& data);
    QString option(const QString& name);
    // Rules: key is one of modReg's Block*Key.
    void setRule(const QString& key, const QString& name, const QString& data);
    QString rule(const QString& key, const QString& name);
    // The values of a key, "name=data", in enumeration order.
    QStringList values(const QString& key);
    // The rule keys ("ip", "rp", "lp") in the order they were first written to.
    QStringList ruleKeysInOrder();

    // The list as shown: keys, and the four address and state texts of one row.
    QStringList keys();
    QStringList rowTexts(int row);
    int rowCount();
    void selectRow(int row);

    // The event log file: its path, its bytes, and its records as "RemA|RemP|LocP|action".
    QString logPath() const { return path(QStringLiteral("WDlog.log")); }
    QByteArray logBytes() const;
    void writeLog(const QByteArray& bytes) const;
    QStringList log();

    // Writes QLWD.dat (GBK) with one line per (port, description).
    void writeTrojans(const std::vector<std::pair<QString, QString>>& entries);

    // Runs the events posted so far, including deferred deletions of closed windows.
    static void settle();

    QTemporaryDir dir;
    bool checkModels = true;
    FakeTcpTable table;
    std::unique_ptr<platform::RegistryHive> hive;
    std::unique_ptr<shell::Program> prog;
    RecordingTray* trayIcon = nullptr;         // owned by prog
    ScriptedMessageBoxes* questions = nullptr; // owned by prog
};

// The texts of a list box's items, and of a tab control's tabs, in order.
QStringList texts(const QAbstractItemView* list);
QStringList tabTexts(const QTabWidget* tabs);

} // namespace quillon::test
