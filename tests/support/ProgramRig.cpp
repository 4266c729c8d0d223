#include "support/ProgramRig.h"

#include "core/monitor/ConnectionListModel.h"
#include "core/monitor/Guard.h"
#include "core/settings/LogModel.h"
#include "core/settings/modReg.h"
#include "support/TestSupport.h"
#include "ui/Resources.h"
#include "ui/monitor/frmMain.h"
#include "ui/settings/frmOptions.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>

namespace quillon::test {

using namespace settings::modReg;

ProgramRig::ProgramRig(const ProgramSetup& setup) {
    ui::InitResources();
    hive = std::make_unique<platform::RegistryHive>(path(QStringLiteral("registry.db")));
    shell::Program::Config config;
    config.table = setup.table ? setup.table : &table;
    config.hive = hive.get();
    config.owners = setup.owners;
    config.programDir = dir.path();
    config.lockPath =
        setup.lockPath.isEmpty() ? path(QStringLiteral("quillon.lock")) : setup.lockPath;
    config.autostartPath = path(QStringLiteral("autostart/quillon.desktop"));
    config.userAutostartPath = path(QStringLiteral("user-autostart/quillon.desktop"));
    config.trayAvailable = setup.tray;
    checkModels = setup.checkModels;
    prog = std::make_unique<shell::Program>(std::move(config));
    auto tray = std::make_unique<RecordingTray>(*prog);
    trayIcon = tray.get();
    prog->setTray(std::move(tray));
    auto boxes = std::make_unique<ScriptedMessageBoxes>();
    questions = boxes.get();
    prog->setMessageBoxes(std::move(boxes));
}

ProgramRig::~ProgramRig() {
    prog.reset();
    // Windows closed during the test wait for their deferred deletion; a rig that outlives
    // the application has nothing left to run.
    if (QCoreApplication::instance() != nullptr) {
        settle();
    }
}

shell::Program& ProgramRig::program() {
    if (checkModels) {
        // The main window of this program or of another one in the same test: either way
        // its model is worth checking.
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (auto* console = qobject_cast<monitor::frmMain*>(window)) {
                checkModel(console->listModel);
            }
        }
        if (prog->optionsExists()) {
            checkModel(prog->options().logModel);
        }
    }
    return *prog;
}

monitor::frmMain& ProgramRig::main() {
    monitor::frmMain& m = prog->main();
    m.tmrRefresh->stop();
    if (checkModels) {
        checkModel(m.listModel);
    }
    return m;
}

monitor::Guard& ProgramRig::guard() {
    return prog->guard();
}

settings::frmOptions& ProgramRig::options() {
    settings::frmOptions& console = prog->options();
    if (checkModels) {
        checkModel(console.logModel);
    }
    return console;
}

void ProgramRig::setLevel(int level) {
    prog->options().Slider1->setValue(level);
}

void ProgramRig::setSubnet(bool on) {
    prog->options().Check1->setChecked(on);
}

void ProgramRig::setOption(const QString& name, const QString& data) {
    if (data.isNull()) {
        DeleteRegValue(*hive, HKEY_LOCAL_MACHINE, OptionsKey, name);
    } else {
        WriteRegString(*hive, HKEY_LOCAL_MACHINE, OptionsKey, name, data);
    }
}

QString ProgramRig::option(const QString& name) {
    return ReadRegString(*hive, HKEY_LOCAL_MACHINE, OptionsKey, name);
}

void ProgramRig::setRule(const QString& key, const QString& name, const QString& data) {
    WriteRegString(*hive, HKEY_LOCAL_MACHINE, key, name, data);
}

QString ProgramRig::rule(const QString& key, const QString& name) {
    return ReadRegString(*hive, HKEY_LOCAL_MACHINE, key, name);
}

QStringList ProgramRig::values(const QString& key) {
    std::vector<std::pair<QString, QString>> vals;
    hive->values(key, vals);
    QStringList out;
    for (const auto& [name, data] : vals) {
        out << name + QLatin1Char('=') + data;
    }
    return out;
}

QStringList ProgramRig::ruleKeysInOrder() {
    std::vector<QString> names;
    hive->subKeys(ProductKey + QStringLiteral("\\block"), names);
    return QStringList(names.begin(), names.end());
}

QStringList ProgramRig::keys() {
    QStringList out;
    auto* model = main().listModel;
    for (int r = 0; r < model->rowCount(); ++r) {
        out << model->key(r);
    }
    return out;
}

QStringList ProgramRig::rowTexts(int row) {
    return test::rowTexts(*main().listModel, row).mid(0, monitor::ConnectionListModel::ColProgram);
}

int ProgramRig::rowCount() {
    return main().listModel->rowCount();
}

void ProgramRig::selectRow(int row) {
    auto& m = main();
    m.ListView1->setCurrentIndex(m.listModel->index(row, 0));
}

QByteArray ProgramRig::logBytes() const {
    return fileBytes(logPath());
}

void ProgramRig::writeLog(const QByteArray& bytes) const {
    writeFile(logPath(), bytes);
}

QStringList ProgramRig::log() {
    QStringList out;
    for (const settings::LogRecord& r : readLog(logPath())) {
        out << QStringList{r.RemA, r.RemP, r.LocP, r.action}.join('|');
    }
    return out;
}

void ProgramRig::writeTrojans(const std::vector<std::pair<QString, QString>>& entries) {
    writeTrojanFile(path(QStringLiteral("QLWD.dat")), entries);
}

void ProgramRig::settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QStringList texts(const QAbstractItemView* list) {
    QStringList out;
    const QAbstractItemModel* model = list->model();
    for (int i = 0; i < model->rowCount(); ++i) {
        out << model->index(i, 0).data().toString();
    }
    return out;
}

QStringList tabTexts(const QTabWidget* tabs) {
    QStringList out;
    for (int i = 0; i < tabs->count(); ++i) {
        out << tabs->tabText(i);
    }
    return out;
}

} // namespace quillon::test
