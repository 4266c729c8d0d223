#include "ScreenshotWindows.h"

#include "core/monitor/Guard.h"
#include "core/settings/modReg.h"
#include "support/ProgramRig.h"
#include "support/TestSupport.h"
#include "ui/blocking/frmAlert.h"
#include "ui/monitor/frmMain.h"
#include "ui/settings/frmOptions.h"
#include "ui/shell/frmWarnExit.h"
#include "ui/shell/frmWarnSys.h"

#include <QFile>
#include <QTabWidget>

namespace quillon::test {

namespace {

// The windows as a user meets them: a program over a small scripted table, a hive with a
// few rules, and the shipped trojan table, all in a temporary folder.
struct ScreenshotRig : ProgramRig {
    ScreenshotRig() {
        monitor::modNetstat::InitStateNames();
        QFile::copy(shippedFile(QStringLiteral("QLWD.dat")), path(QStringLiteral("QLWD.dat")));
        using platform::TcpState;
        table.add(FakeTcpTable::makeRow(QStringLiteral("0.0.0.0"), 0, 135, TcpState::StateListen));
        table.add(FakeTcpTable::makeRow(QStringLiteral("61.135.169.125"), 443, 52114,
                                        TcpState::StateEstablished));
        table.add(FakeTcpTable::makeRow(QStringLiteral("127.0.0.1"), 631, 40022,
                                        TcpState::StateTimeWait));
        table.add(FakeTcpTable::makeRow(QStringLiteral("10.0.0.5"), 80, 1025,
                                        TcpState::StateEstablished));
        // Rules that settle every scripted connection, so filling the list raises no alert.
        using settings::modReg::BlockIpKey;
        for (const char* address : {"0.0.0.0", "61.135.169.125", "127.0.0.1", "10.0.0.5"}) {
            setRule(BlockIpKey, QString::fromLatin1(address), QStringLiteral("0"));
        }
        setRule(BlockIpKey, QStringLiteral("202.96.134.33"), QStringLiteral("1"));
    }
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
             monitor::frmMain& m = rig().main();
             rig().guard().RefreshTable(true);
             return borrowed(&m);
         }},
        {QStringLiteral("frmAlert"),
         [] {
             monitor::Guard& guard = rig().program().guard();
             blocking::frmAlert* alert = rig().program().newAlert();
             alert->RemA = QStringLiteral("61.1.2.3");
             alert->RemP = QStringLiteral("4321");
             alert->LocP = QStringLiteral("31337");
             alert->t = guard.pending.append(alert->RemA, alert->RemP, alert->LocP);
             alert->b_Type = 1;
             alert->Form_Load();
             return borrowed(alert);
         }},
        {QStringLiteral("frmOptions"),
         [] {
             settings::frmOptions& o = rig().program().options();
             o.SSTab1->setCurrentIndex(2);
             return borrowed(&o);
         }},
        {QStringLiteral("frmOptions-rules"),
         [] {
             settings::frmOptions& o = rig().program().options();
             o.SSTab1->setCurrentIndex(0);
             return borrowed(&o);
         }},
        {QStringLiteral("frmWarnSys"), [] { return borrowed(&rig().program().warnSys()); }},
        {QStringLiteral("frmWarnExit"), [] { return borrowed(&rig().program().warnExit()); }},
    };
}

} // namespace quillon::test
