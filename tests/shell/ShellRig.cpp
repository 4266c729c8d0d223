#include "ShellRig.h"

#include "shell/frmSplash.h"

namespace quillon::test {

using namespace settings::modReg;

ShellRig::ShellRig(bool tray, const QString& lockPath) {
    hive = std::make_unique<platform::RegistryHive>(dir.filePath(QStringLiteral("registry.db")));
    shell::Program::Config config;
    config.table = &table;
    config.hive = hive.get();
    config.programDir = dir.path();
    config.lockPath = lockPath.isEmpty() ? dir.filePath(QStringLiteral("quillon.lock")) : lockPath;
    config.autostartPath = dir.filePath(QStringLiteral("autostart/quillon.desktop"));
    config.trayAvailable = tray;
    prog = std::make_unique<shell::Program>(config);
    prog->splash().setEndAction([this] { ++ended; });
}

ShellRig::~ShellRig() {
    prog.reset();
}

void ShellRig::setOption(const QString& name, const QString& data) {
    if (data.isNull()) {
        DeleteRegValue(*hive, HKEY_LOCAL_MACHINE, OptionsKey, name);
    } else {
        WriteRegString(*hive, HKEY_LOCAL_MACHINE, OptionsKey, name, data);
    }
}

QString ShellRig::option(const QString& name) {
    return ReadRegString(*hive, HKEY_LOCAL_MACHINE, OptionsKey, name);
}

bool ShellRig::startUp() {
    return prog->splash().startUp();
}

} // namespace quillon::test
