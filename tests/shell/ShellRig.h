#pragma once

#include "platform/RegistryHive.h"
#include "settings/modReg.h"
#include "shell/Program.h"
#include "support/FakeTcpTable.h"

#include <QTemporaryDir>
#include <memory>

namespace quillon::test {

// A whole program over the fake TCP table, in a temporary folder: its hive, lock, program
// folder and autostart entry all live there. The end timer's tick is recorded instead of
// ending the test.
struct ShellRig {
    explicit ShellRig(bool tray = true, const QString& lockPath = {});
    ~ShellRig();

    shell::Program& program() { return *prog; }
    QString path(const QString& name) const { return dir.filePath(name); }

    // Stores a value under \options; a null `data` deletes it.
    void setOption(const QString& name, const QString& data);
    QString option(const QString& name);

    // Runs the splash start-up; the end action only counts.
    bool startUp();

    QTemporaryDir dir;
    FakeTcpTable table;
    std::unique_ptr<platform::RegistryHive> hive;
    std::unique_ptr<shell::Program> prog;
    int ended = 0;
};

} // namespace quillon::test
