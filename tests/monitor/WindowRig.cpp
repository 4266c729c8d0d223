#include "WindowRig.h"

#include "monitor/ConnectionListModel.h"
#include "monitor/frmMain.h"
#include "settings/frmOptions.h"
#include "settings/modReg.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QSlider>
#include <QStringEncoder>
#include <QTimer>
#include <QTreeView>

namespace quillon::test {

using namespace settings::modReg;

WindowRig::WindowRig() {
    monitor::modNetstat::InitStateNames();
    hive = std::make_unique<platform::RegistryHive>(dir.filePath(QStringLiteral("registry.db")));
    shell::Program::Config config;
    config.table = &table;
    config.hive = hive.get();
    config.programDir = dir.path();
    config.lockPath = dir.filePath(QStringLiteral("quillon.lock"));
    config.autostartPath = dir.filePath(QStringLiteral("autostart/quillon.desktop"));
    config.trayAvailable = false;
    prog = std::make_unique<shell::Program>(config);
}

WindowRig::~WindowRig() {
    prog.reset();
    settle();
}

monitor::frmMain& WindowRig::main() {
    monitor::frmMain& m = prog->main();
    m.tmrRefresh->stop();
    return m;
}

void WindowRig::setLevel(int level) {
    prog->options().Slider1->setValue(level);
}

void WindowRig::setSubnet(bool on) {
    prog->options().Check1->setChecked(on);
}

void WindowRig::setRule(const QString& key, const QString& name, const QString& data) {
    WriteRegString(*hive, HKEY_LOCAL_MACHINE, key, name, data);
}

QString WindowRig::rule(const QString& key, const QString& name) {
    return ReadRegString(*hive, HKEY_LOCAL_MACHINE, key, name);
}

std::vector<std::pair<QString, QString>> WindowRig::rules(const QString& key) {
    std::vector<std::pair<QString, QString>> out;
    hive->values(key, out);
    return out;
}

QStringList WindowRig::ruleKeysInOrder() {
    std::vector<QString> names;
    hive->subKeys(ProductKey + QStringLiteral("\\block"), names);
    return QStringList(names.begin(), names.end());
}

QStringList WindowRig::keys() {
    QStringList out;
    auto* model = main().listModel;
    for (int r = 0; r < model->rowCount(); ++r) {
        out << model->key(r);
    }
    return out;
}

QStringList WindowRig::rowTexts(int row) {
    QStringList out;
    auto* model = main().listModel;
    for (int c = 0; c < model->columnCount(); ++c) {
        out << model->data(model->index(row, c)).toString();
    }
    return out;
}

int WindowRig::rowCount() {
    return main().listModel->rowCount();
}

void WindowRig::selectRow(int row) {
    auto& m = main();
    m.ListView1->setCurrentIndex(m.listModel->index(row, 0));
}

QStringList WindowRig::log() {
    QStringList out;
    settings::EventLog::read(dir.filePath(QStringLiteral("WDlog.log")),
                             [&out](settings::LogRecord&& r) {
                                 out << QStringList{r.RemA, r.RemP, r.LocP, r.action}.join('|');
                             });
    return out;
}

void WindowRig::writeTrojans(const std::vector<std::pair<QString, QString>>& entries) {
    QStringEncoder gbk("GBK");
    QByteArray bytes;
    for (const auto& [port, text] : entries) {
        bytes += gbk.encode(port) + '\x01' + gbk.encode(text) + '\x01' + "x\r\n";
    }
    QFile f(dir.filePath(QStringLiteral("QLWD.dat")));
    if (f.open(QIODevice::WriteOnly)) {
        f.write(bytes);
    }
}

void WindowRig::settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace quillon::test
