#pragma once

#include "platform/RegistryHive.h"
#include "settings/EventLog.h"
#include "shell/Program.h"
#include "support/FakeTcpTable.h"

#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <utility>
#include <vector>

namespace quillon::monitor {
class frmMain;
}

namespace quillon::test {

// A program over the fake TCP table with its hive, event log and trojan file in a temporary
// folder, for the main window, the alert window and the connection menu. The main window's
// timer is stopped so that the tests decide when a tick happens.
struct WindowRig {
    WindowRig();
    ~WindowRig();

    shell::Program& program() { return *prog; }
    monitor::frmMain& main();

    // The console's switch and level, which the decision reads.
    void setLevel(int level);
    void setSubnet(bool on);

    // Rules: key is one of modReg's Block*Key.
    void setRule(const QString& key, const QString& name, const QString& data);
    QString rule(const QString& key, const QString& name);
    std::vector<std::pair<QString, QString>> rules(const QString& key);
    // The rule keys ("ip", "rp", "lp") in the order they were first written to.
    QStringList ruleKeysInOrder();

    // The list as shown: keys, and the four texts of one row.
    QStringList keys();
    QStringList rowTexts(int row);
    int rowCount();
    void selectRow(int row);

    // The event log file's records, as "RemA|RemP|LocP|action".
    QStringList log();

    // Writes QLWD.dat (GBK) with one line per (port, description).
    void writeTrojans(const std::vector<std::pair<QString, QString>>& entries);

    // Runs the events posted so far, including deferred deletions of closed windows.
    static void settle();

    QTemporaryDir dir;
    FakeTcpTable table;
    std::unique_ptr<platform::RegistryHive> hive;
    std::unique_ptr<shell::Program> prog;
};

} // namespace quillon::test
