// The program's start: single instance, splash, the main window's start-up and what it
// leaves behind.
#include "ShellRig.h"
#include "core/monitor/Guard.h"
#include "core/monitor/modNetstat.h"
#include "core/settings/modReg.h"
#include "platform/Autostart.h"
#include "platform/ExeDir.h"
#include "platform/InstanceLock.h"
#include "support/TestSupport.h"
#include "support/UiTestMain.h"
#include "ui/monitor/frmMain.h"
#include "ui/settings/frmOptions.h"
#include "ui/shell/ShellHelpers.h"
#include "ui/shell/TrayIcon.h"
#include "ui/shell/frmSplash.h"

#include <QApplication>
#include <QLabel>
#include <QListView>
#include <QScreen>
#include <QSignalSpy>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QtTest>

using namespace quillon;
using test::FakeTcpTable;
using test::ShellRig;

namespace {

// What the start-up had done when the list was first filled.
struct FirstFill {
    bool seen = false;
    QStringList trayCalls;
    bool consoleExists = false;
    bool consoleVisible = false;
    bool stateNamesReady = false;
    bool mainHidden = false;
};

void watchFirstFill(ShellRig& rig, FirstFill& fill) {
    // The observer runs inside a rebuild, while the list model is being filled: it reads the
    // program through `prog`, since the rig's accessors would attach a model tester halfway
    // through a change.
    QObject::connect(&rig.program().guard(), &monitor::Guard::judging,
                     [&rig, &fill](const monitor::modNetstat::ConnectionRow&) {
                         if (fill.seen) {
                             return;
                         }
                         fill.seen = true;
                         shell::Program& program = *rig.prog;
                         fill.trayCalls = rig.tray().calls;
                         fill.consoleExists = program.optionsExists();
                         fill.consoleVisible = fill.consoleExists && program.options().isVisible();
                         fill.stateNamesReady = !monitor::modNetstat::TcpStateNames[5].isEmpty();
                         fill.mainHidden = program.main().isHidden();
                     });
}

// Two established connections the rules let through (no alert window), one listening port.
void addRows(ShellRig& rig) {
    using settings::modReg::BlockIpKey;
    rig.setRule(BlockIpKey, QStringLiteral("127.0.0.2"), QStringLiteral("0"));
    rig.setRule(BlockIpKey, QStringLiteral("127.0.0.3"), QStringLiteral("0"));
    rig.setRule(BlockIpKey, QStringLiteral("127.0.0.9"), QStringLiteral("1"));
    rig.table.add(QStringLiteral("127.0.0.2"), 80, 40001);
    rig.table.add(QStringLiteral("127.0.0.3"), 443, 40002);
    rig.table.add(FakeTcpTable::makeRow(QStringLiteral("0.0.0.0"), 0, 8080, platform::StateListen,
                                        QStringLiteral("0.0.0.0")));
}

} // namespace

class TestStartUp : public QObject {
    Q_OBJECT
private slots:
    void cleanup() {
        // Nothing of one case may leak into the next: every window goes with its program.
        QCOMPARE(test::topLevelWindows<monitor::frmMain>().size(), qsizetype(0));
    }

    void normalStartEndsHiddenInTray() {
        ShellRig rig;
        addRows(rig);
        FirstFill fill;
        watchFirstFill(rig, fill);
        QVERIFY(!rig.program().splash().tmrEnd->isActive());
        QCOMPARE(rig.program().splash().tmrEnd->interval(), 50);

        QVERIFY(rig.startUp());
        monitor::frmMain& main = rig.program().main();
        test::RecordingTray& tray = rig.tray();

        QVERIFY(rig.program().splash().isHidden());
        QVERIFY(main.isHidden());
        QCOMPARE(tray.calls, (QStringList{"hook", "add"}));
        QVERIFY(tray.shown());
        QVERIFY(tray.hooked());
        QCOMPARE(tray.icon()->toolTip(), QStringLiteral("Quillon防火墙"));
        QVERIFY(!tray.icon()->icon().isNull());

        // The list is filled and kept current.
        QCOMPARE(main.ListView1->model()->rowCount(), 3);
        QVERIFY(main.tmrRefresh->isActive());

        // The console exists, hidden, with its rule lists loaded.
        QVERIFY(rig.program().optionsExists());
        settings::frmOptions& console = rig.options();
        QVERIFY(console.isHidden());
        QCOMPARE(test::texts(console.lstIP), QStringList{QStringLiteral("127.0.0.9")});

        // Order: settings loaded, state names set, hook and icon in place before the first
        // fill, the window already hidden.
        QVERIFY(fill.seen);
        QCOMPARE(fill.trayCalls, (QStringList{"hook", "add"}));
        QVERIFY(fill.consoleExists);
        QVERIFY(!fill.consoleVisible);
        QVERIFY(fill.stateNamesReady);
        QVERIFY(fill.mainHidden);

        // The start-with-the-session entry points at the running binary: machine-wide for a
        // binary only root can replace, else the user's own, and none for root.
        const auto scope =
            platform::Autostart::scopeFor(platform::executablePath(), ::geteuid() == 0);
        const QString machine = rig.path(QStringLiteral("autostart/quillon.desktop"));
        const QString user = rig.path(QStringLiteral("user-autostart/quillon.desktop"));
        QCOMPARE(QFile::exists(machine), scope == platform::Autostart::Scope::MachineWide);
        QCOMPARE(QFile::exists(user), scope == platform::Autostart::Scope::User);
        if (scope != platform::Autostart::Scope::None) {
            const QString entry = QString::fromUtf8(
                test::fileBytes(scope == platform::Autostart::Scope::MachineWide ? machine : user));
            QVERIFY(
                entry.contains(QStringLiteral("\nExec=\"%1\"\n").arg(platform::executablePath())));
        }

        // Nothing is missing: no notice anywhere.
        QVERIFY(tray.messages.isEmpty());
        QVERIFY(main.findChild<QLabel*>(QStringLiteral("lblRights")) == nullptr);
        QVERIFY(rig.table.probeCount() >= 1);
        QCOMPARE(rig.ended, 0);
    }

    // Button 4's stored state comes back: listening rows hidden, forced rebuild inside the
    // load, before the tray is hooked.
    void loadSettingsRestoresListMode() {
        ShellRig rig;
        addRows(rig);
        rig.setOption(QStringLiteral("所有连接"), QStringLiteral("1"));
        FirstFill fill;
        watchFirstFill(rig, fill);
        QVERIFY(rig.startUp());

        monitor::frmMain& main = rig.program().main();
        QToolButton* four = main.button(4);
        QVERIFY(four != nullptr);
        QVERIFY(four->isChecked());
        QCOMPARE(four->text(), QStringLiteral("全部"));
        QCOMPARE(four->toolTip(), QStringLiteral("显示所有连接"));
        QCOMPARE(main.ListView1->model()->rowCount(), 2);

        QVERIFY(fill.seen);
        QVERIFY(fill.trayCalls.isEmpty());
        QVERIFY(fill.consoleExists);
        QVERIFY(main.isHidden());
    }

    void loadSettingsWithoutListMode_data() {
        QTest::addColumn<QString>("stored");
        QTest::newRow("absent") << QString();
        QTest::newRow("0") << QStringLiteral("0");
        QTest::newRow("legacy active") << QStringLiteral("active");
    }
    void loadSettingsWithoutListMode() {
        QFETCH(QString, stored);
        ShellRig rig;
        addRows(rig);
        if (stored == QStringLiteral("active")) {
            // The old name of the setting is not what the toolbar writes: it is not read.
            rig.setOption(QStringLiteral("active"), QStringLiteral("1"));
        } else if (!stored.isEmpty()) {
            rig.setOption(QStringLiteral("所有连接"), stored);
        }
        QVERIFY(rig.startUp());
        monitor::frmMain& main = rig.program().main();
        QVERIFY(!main.button(4)->isChecked());
        QCOMPARE(main.ListView1->model()->rowCount(), 3);
    }

    void secondInstanceRefused() {
        ShellRig first;
        addRows(first);
        QVERIFY(first.startUp());
        const int windowsBefore = QApplication::topLevelWidgets().size();

        ShellRig second(true, first.program().config().lockPath);
        QVERIFY(!second.startUp());
        QVERIFY(second.program().splash().isHidden());
        QCOMPARE(test::topLevelWindows<monitor::frmMain>().size(), qsizetype(1));
        // Only the second's own splash object was made, never shown.
        QCOMPARE(QApplication::topLevelWidgets().size(), windowsBefore + 1);
        QVERIFY(second.tray().calls.isEmpty());
        QVERIFY(!QFile::exists(second.path(QStringLiteral("autostart"))));
        QVERIFY(!second.hive->keyExists(settings::modReg::OptionsKey));
        QCOMPARE(second.table.snapshotCount(), 0);

        // The first runs on, untouched, and still holds the lock.
        QVERIFY(first.program().tray().shown());
        QVERIFY(first.program().main().tmrRefresh->isActive());
        platform::InstanceLock third(first.program().config().lockPath);
        QVERIFY(!third.tryLock());
    }

    void splashShowsShippedPicture() {
        ShellRig rig;
        const QString shipped = test::shippedFile(QStringLiteral("SPLH.jpg"));
        QVERIFY2(QFile::copy(shipped, rig.path(QStringLiteral("SPLH.jpg"))), qPrintable(shipped));
        QVERIFY(rig.startUp());
        shell::frmSplash& splash = rig.program().splash();
        QVERIFY(splash.hasPicture());
        // 3480 x 2190 twips at 15 twips to the pixel.
        QCOMPARE(splash.size(), QSize(232, 146));
        QCOMPARE(splash.imgSplash->pixmap().size(), QSize(232, 146));
        QCOMPARE(splash.windowTitle(), QStringLiteral("Quillon防火墙"));
        const QRect screen = splash.screen()->geometry();
        QCOMPARE(splash.x(), screen.left() + (screen.width() - 232) / 2);
        QCOMPARE(splash.y(), screen.top() + (screen.height() - 146) / 2);
    }

    void splashWithoutUsablePicture_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("present");
        QTest::newRow("missing") << QByteArray() << false;
        QTest::newRow("not a picture") << QByteArray("\xff\xd8\xff garbage", 12) << true;
        QTest::newRow("empty") << QByteArray() << true;
    }
    void splashWithoutUsablePicture() {
        QFETCH(QByteArray, content);
        QFETCH(bool, present);
        ShellRig rig;
        if (present) {
            QVERIFY(test::writeFile(rig.path(QStringLiteral("SPLH.jpg")), content));
        }
        QVERIFY(rig.startUp());
        shell::frmSplash& splash = rig.program().splash();
        QVERIFY(!splash.hasPicture());
        QCOMPARE(splash.size(), QSize(232, 146));
        QVERIFY(splash.isHidden());
        // Start-up went on to the end.
        QCOMPARE(rig.tray().calls, (QStringList{"hook", "add"}));
        QVERIFY(rig.program().main().isHidden());
    }

    // With no tray the window stays open, and the icon comes as soon as a tray does.
    void noTrayKeepsWindowShown() {
        ShellRig rig(false);
        addRows(rig);
        QVERIFY(rig.startUp());
        monitor::frmMain& main = rig.program().main();
        test::RecordingTray& tray = rig.tray();
        QVERIFY(main.isVisible());
        QVERIFY(!main.isMinimized());
        QVERIFY(tray.added());
        QVERIFY(!tray.shown());
        QCOMPARE(main.ListView1->model()->rowCount(), 3);
        QVERIFY(tray.trayWatch()->isActive());

        bool appeared = false;
        tray.setAvailabilityProbe([&appeared] { return appeared; });
        tray.trayWatch()->setInterval(1);
        QSignalSpy shown(&tray, &shell::TrayIcon::iconShown);
        QTest::qWait(20);
        QVERIFY(!tray.shown());
        appeared = true;
        QVERIFY(shown.wait());
        QVERIFY(tray.shown());
        QVERIFY(!tray.trayWatch()->isActive());
        QCOMPARE(tray.icon()->toolTip(), QStringLiteral("Quillon防火墙"));
        QCOMPARE(tray.calls, (QStringList{"hook", "add"}));
        QVERIFY(main.isVisible());
    }

    void rightsNotice_data() {
        QTest::addColumn<bool>("tray");
        QTest::addColumn<int>("probe");
        QTest::addColumn<QString>("broken");
        QTest::addColumn<QStringList>("expected");
        const QStringList none;
        const QStringList cut{"不能断开被禁止的连接", "CAP_NET_ADMIN", "setcap cap_net_admin+ep"};
        const QStringList kernel{"不能断开被禁止的连接", "内核不支持"};
        const QStringList hive{"不能读取规则", "已损坏", "quillon-reg import"};
        const QStringList log{"不能写入日志", "WDlog.log", "usermod -aG quillon"};
        const int ok = int(platform::CutResult::Cut);
        const int denied = int(platform::CutResult::NotPermitted);
        const int unsupported = int(platform::CutResult::NotSupported);
        const QString sound;
        const QString damaged = QStringLiteral("hive");
        const QString linkedLog = QStringLiteral("log");
        QTest::newRow("tray, all rights") << true << ok << sound << none;
        QTest::newRow("tray, cannot cut") << true << denied << sound << cut;
        QTest::newRow("tray, kernel without destroy") << true << unsupported << sound << kernel;
        QTest::newRow("tray, hive damaged") << true << ok << damaged << hive;
        QTest::newRow("tray, log a link") << true << ok << linkedLog << log;
        QTest::newRow("no tray, all rights") << false << ok << sound << none;
        QTest::newRow("no tray, cannot cut") << false << denied << sound << cut;
        QTest::newRow("no tray, both") << false << denied << damaged << (cut + hive);
    }
    void rightsNotice() {
        QFETCH(bool, tray);
        QFETCH(int, probe);
        QFETCH(QString, broken);
        QFETCH(QStringList, expected);
        ShellRig rig(tray);
        rig.table.setProbeResult(platform::CutResult(probe));
        if (broken == QLatin1String("hive")) {
            // A hive that is not a database can be neither read nor written.
            QVERIFY(test::writeFile(rig.hive->path(), QByteArray(4096, 'x')));
        } else if (broken == QLatin1String("log")) {
            QVERIFY(QFile::link(rig.path(QStringLiteral("elsewhere.log")),
                                rig.path(QStringLiteral("WDlog.log"))));
        }
        QVERIFY(rig.startUp());
        monitor::frmMain& main = rig.program().main();
        const QStringList& messages = rig.tray().messages;
        // For as long as a right is missing the tray says so: a second line in its tool tip
        // (and a mark on its icon); with every right it is as it always was.
        const QStringList tip = rig.tray().toolTip().split(u'\n');
        QCOMPARE(tip.size(), expected.isEmpty() ? 1 : 2);
        QVERIFY(expected.isEmpty() || tip.last().startsWith(QStringLiteral("缺少权限")));
        auto* line = main.findChild<QLabel*>(QStringLiteral("lblRights"));

        QString shown;
        if (tray) {
            QVERIFY(line == nullptr);
            QCOMPARE(messages.size(), expected.isEmpty() ? 0 : 1);
            shown = messages.value(0);
        } else {
            QVERIFY(messages.isEmpty());
            QCOMPARE(line != nullptr, !expected.isEmpty());
            if (line != nullptr) {
                QVERIFY(line->isVisible());
                QVERIFY(main.height() > 359); // the layout's 5385 twips
                // The line stays inside the window, clear of the bottom grip.
                QVERIFY(line->geometry().bottom() < main.height() - 13);
                shown = line->text();
            }
        }
        for (const QString& part : expected) {
            QVERIFY2(shown.contains(part), qPrintable(shown));
        }
        if (probe == int(platform::CutResult::Cut)) {
            QVERIFY(!shown.contains(QStringLiteral("setcap")));
        }
        // Said once: the list's later rebuilds add nothing.
        rig.program().guard().RefreshTable(true);
        QCOMPARE(messages.size(), tray && !expected.isEmpty() ? 1 : 0);
    }

    // Each way of lacking the cut gets its own reason and its own remedy.
    void rightsNoticeNamesTheCutsProblem_data() {
        QTest::addColumn<int>("access");
        QTest::addColumn<QStringList>("expected");
        using platform::CutAccess;
        QTest::newRow("no helper")
            << int(CutAccess::NoHelper) << QStringList{"缺少助手程序", "/p/quillon-cut", "install"};
        QTest::newRow("not in group")
            << int(CutAccess::NotInGroup)
            << QStringList{"不在 quillon 组中", "sudo usermod -aG quillon \"$USER\"", "重新登录"};
        QTest::newRow("no capability")
            << int(CutAccess::NoCapability)
            << QStringList{"CAP_NET_ADMIN", "setcap cap_net_admin+ep \"/p/quillon-cut\""};
        QTest::newRow("kernel") << int(CutAccess::NotSupported)
                                << QStringList{"CONFIG_INET_DIAG_DESTROY"};
    }
    void rightsNoticeNamesTheCutsProblem() {
        QFETCH(int, access);
        QFETCH(QStringList, expected);
        shell::Rights rights;
        rights.cut = platform::CutAccess(access);
        const shell::RightsPaths paths{QStringLiteral("/p/quillon-cut"),
                                       QStringLiteral("/var/lib/quillon/registry.db"),
                                       QStringLiteral("/p/WDlog.log")};
        const QString notice = shell::RightsNotice(rights, paths);
        QVERIFY(notice.startsWith(QStringLiteral("本程序缺少权限：\n不能断开被禁止的连接：")));
        for (const QString& part : expected) {
            QVERIFY2(notice.contains(part), qPrintable(notice));
        }
        QVERIFY(shell::RightsNotice(shell::Rights{}, paths).isEmpty());
    }

    // Without the kernel's immediate blocking the notice says why, and that the poll still cuts;
    // where nothing can cut at all, the cut's own line says everything.
    void rightsNoticeSaysWhyBlockingIsNotImmediate_data() {
        QTest::addColumn<int>("immediate");
        QTest::addColumn<int>("access");
        QTest::addColumn<QStringList>("expected");
        using platform::CutAccess;
        using platform::Immediate;
        QTest::newRow("checked-out helper")
            << int(Immediate::NoCapability) << int(CutAccess::Ok)
            << QStringList{"立即拦截已关闭", "CAP_BPF", "setup-rights.sh install",
                           "仍会在下一次刷新"};
        QTest::newRow("kernel") << int(Immediate::NoKernelSupport) << int(CutAccess::Ok)
                                << QStringList{"立即拦截已关闭", "BPF"};
        QTest::newRow("no cgroup2")
            << int(Immediate::NoCgroup) << int(CutAccess::Ok) << QStringList{"cgroup2"};
        QTest::newRow("helper ended") << int(Immediate::HelperEnded) << int(CutAccess::Ok)
                                      << QStringList{"/p/quillon-cut", "重新启动失败"};
        QTest::newRow("no cut either")
            << int(Immediate::NotInGroup) << int(CutAccess::NotInGroup) << QStringList{};
    }
    void rightsNoticeSaysWhyBlockingIsNotImmediate() {
        QFETCH(int, immediate);
        QFETCH(int, access);
        QFETCH(QStringList, expected);
        shell::Rights rights;
        rights.immediate = platform::Immediate(immediate);
        rights.cut = platform::CutAccess(access);
        const shell::RightsPaths paths{QStringLiteral("/p/quillon-cut"), QStringLiteral("/h"),
                                       QStringLiteral("/p/WDlog.log")};
        const QString notice = shell::RightsNotice(rights, paths);
        QCOMPARE(notice.contains(QStringLiteral("立即拦截")), !expected.isEmpty());
        for (const QString& part : expected) {
            QVERIFY2(notice.contains(part), qPrintable(notice));
        }
    }

    void autostartSkippedWithoutRights() {
        ShellRig rig;
        QVERIFY(test::writeFile(rig.path(QStringLiteral("autostart")), {}));
        QVERIFY(rig.startUp());
        QVERIFY(QFileInfo(rig.path(QStringLiteral("autostart"))).isFile());
        QCOMPARE(rig.tray().calls, (QStringList{"hook", "add"}));
        QVERIFY(rig.program().main().isHidden());
    }
};

QUILLON_UI_TEST_MAIN(TestStartUp)
#include "test_StartUp.moc"
