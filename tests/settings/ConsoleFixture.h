#pragma once

#include "platform/RegistryHive.h"
#include "settings/modReg.h"
#include "shell/Program.h"
#include "support/FakeTcpTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QListWidget>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <utility>
#include <vector>

namespace quillon::test {

// A whole program over a temporary hive, a temporary program folder and the fake table.
struct ConsoleFixture {
    QTemporaryDir dir;
    std::unique_ptr<platform::RegistryHive> hive;
    FakeTcpTable table;
    std::unique_ptr<shell::Program> program;

    ConsoleFixture() {
        QDir(dir.path()).mkpath(QStringLiteral("program"));
        hive = std::make_unique<platform::RegistryHive>(dir.filePath(QStringLiteral("hive.db")));
        shell::Program::Config config;
        config.table = &table;
        config.hive = hive.get();
        config.programDir = programDir();
        config.lockPath = dir.filePath(QStringLiteral("quillon.lock"));
        config.autostartPath = dir.filePath(QStringLiteral("autostart/quillon.desktop"));
        config.trayAvailable = false;
        program = std::make_unique<shell::Program>(std::move(config));
    }

    ~ConsoleFixture() {
        program.reset();
        // Windows closed during the test wait for their deferred deletion.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QString programDir() const { return dir.filePath(QStringLiteral("program")); }
    QString logPath() const { return programDir() + QStringLiteral("/WDlog.log"); }

    QString option(const QString& name) {
        return settings::modReg::ReadRegString(*hive, settings::modReg::HKEY_LOCAL_MACHINE,
                                               settings::modReg::OptionsKey, name);
    }
    void setOption(const QString& name, const QString& data) {
        settings::modReg::WriteRegString(*hive, settings::modReg::HKEY_LOCAL_MACHINE,
                                         settings::modReg::OptionsKey, name, data);
    }
    void setRule(const QString& key, const QString& name, const QString& data) {
        settings::modReg::WriteRegString(*hive, settings::modReg::HKEY_LOCAL_MACHINE, key, name,
                                         data);
    }
    // The values of a key, "name=data", in enumeration order.
    QStringList values(const QString& key) {
        std::vector<std::pair<QString, QString>> vals;
        hive->values(key, vals);
        QStringList out;
        for (const auto& [name, data] : vals) {
            out << name + QLatin1Char('=') + data;
        }
        return out;
    }

    QByteArray logBytes() const {
        QFile f(logPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void writeLog(const QByteArray& bytes) const {
        QFile f(logPath());
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            f.write(bytes);
        }
    }
};

inline QStringList texts(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) {
        out << list->item(i)->text();
    }
    return out;
}

} // namespace quillon::test
