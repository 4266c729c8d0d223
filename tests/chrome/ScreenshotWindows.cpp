#include "ScreenshotWindows.h"

#include "blocking/frmAlert.h"
#include "monitor/frmMain.h"
#include "platform/RegistryHive.h"
#include "settings/frmOptions.h"
#include "shell/Program.h"
#include "shell/frmWarnExit.h"
#include "shell/frmWarnSys.h"
#include "support/FakeTcpTable.h"

#include <QFile>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

namespace quillon::test {

namespace {

// The windows as a user meets them: a program over a small scripted table, a hive with a
// few rules, and the shipped trojan table, all in a temporary folder.
struct ScreenshotRig {
    ScreenshotRig() {
        monitor::modNetstat::InitStateNames();
        QFile::copy(qEnvironmentVariable("QUILLON_BIN_DIR") + QStringLiteral("/QLWD.dat"),
                    dir.filePath(QStringLiteral("QLWD.dat")));
        using platform::TcpState;
        table.add(FakeTcpTable::makeRow(QStringLiteral("0.0.0.0"), 0, 135, TcpState::StateListen));
        table.add(FakeTcpTable::makeRow(QStringLiteral("61.135.169.125"), 443, 52114,
                                        TcpState::StateEstablished));
        table.add(FakeTcpTable::makeRow(QStringLiteral("127.0.0.1"), 631, 40022,
                                        TcpState::StateTimeWait));
        table.add(FakeTcpTable::makeRow(QStringLiteral("10.0.0.5"), 80, 1025,
                                        TcpState::StateEstablished));
        hive =
            std::make_unique<platform::RegistryHive>(dir.filePath(QStringLiteral("registry.db")));
        // Rules that settle every scripted connection, so filling the list raises no alert.
        const QString ip = QStringLiteral("SOFTWARE\\Larkspire Works\\LarkPF\\block\\ip");
        for (const char* address : {"0.0.0.0", "61.135.169.125", "127.0.0.1", "10.0.0.5"}) {
            hive->setValue(ip, QString::fromLatin1(address), QStringLiteral("0"));
        }
        hive->setValue(ip, QStringLiteral("202.96.134.33"), QStringLiteral("1"));
        shell::Program::Config config;
        config.table = &table;
        config.hive = hive.get();
        config.programDir = dir.path();
        config.lockPath = dir.filePath(QStringLiteral("quillon.lock"));
        config.autostartPath = dir.filePath(QStringLiteral("autostart/quillon.desktop"));
        config.trayAvailable = false;
        program = std::make_unique<shell::Program>(config);
    }

    QTemporaryDir dir;
    FakeTcpTable table;
    std::unique_ptr<platform::RegistryHive> hive;
    std::unique_ptr<shell::Program> program;
};

ScreenshotRig& rig() {
    static ScreenshotRig r;
    return r;
}

// The program owns its windows; the picture test only borrows one for its shot.
std::unique_ptr<QWidget, void (*)(QWidget*)> borrowed(QWidget* w) {
    return {w, [](QWidget* widget) { widget->hide(); }};
}

} // namespace

std::vector<ScreenshotWindow> screenshotWindows() {
    return {
        {QStringLiteral("frmMain"),
         [] {
             monitor::frmMain& m = rig().program->main();
             m.tmrRefresh->stop();
             m.RefreshTable(true);
             return borrowed(&m);
         }},
        {QStringLiteral("frmAlert"),
         [] {
             monitor::frmMain& m = rig().program->main();
             blocking::frmAlert* alert = rig().program->newAlert();
             alert->RemA = QStringLiteral("61.1.2.3");
             alert->RemP = QStringLiteral("4321");
             alert->LocP = QStringLiteral("31337");
             alert->t = m.pending.append(alert->RemA, alert->RemP, alert->LocP);
             alert->b_Type = 1;
             alert->Form_Load();
             return borrowed(alert);
         }},
        {QStringLiteral("frmOptions"),
         [] {
             settings::frmOptions& o = rig().program->options();
             o.SSTab1->setCurrentIndex(2);
             return borrowed(&o);
         }},
        {QStringLiteral("frmOptions-rules"),
         [] {
             settings::frmOptions& o = rig().program->options();
             o.SSTab1->setCurrentIndex(0);
             return borrowed(&o);
         }},
        {QStringLiteral("frmWarnSys"), [] { return borrowed(&rig().program->warnSys()); }},
        {QStringLiteral("frmWarnExit"), [] { return borrowed(&rig().program->warnExit()); }},
    };
}

} // namespace quillon::test
