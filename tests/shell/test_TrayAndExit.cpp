// The running program's life: the tray icon and its hook, the close request, the two
// prompts and the way out.
#include "ShellRig.h"
#include "platform/InstanceLock.h"
#include "support/UiTestMain.h"
#include "ui/blocking/frmMenu.h"
#include "ui/monitor/frmMain.h"
#include "ui/shell/TrayIcon.h"
#include "ui/shell/frmSplash.h"
#include "ui/shell/frmWarnExit.h"
#include "ui/shell/frmWarnSys.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

using namespace quillon;
using test::ShellRig;

namespace {

template <typename T>
bool windowShown() {
    const QList<T*> windows = test::topLevelWindows<T>();
    return !windows.isEmpty() && windows.first()->isVisible();
}

// A started program whose tray menu pops up into a recorder instead of the screen.
struct Started : ShellRig {
    explicit Started(bool tray = true) : ShellRig(tray) {
        program().main().popUpMenu = [this](QMenu& menu, const QPoint&) { popped.append(&menu); };
        started = startUp();
    }
    bool started = false;
    QList<QMenu*> popped;
};

} // namespace

class TestTrayAndExit : public QObject {
    Q_OBJECT
private slots:
    void closeRequest_data() {
        QTest::addColumn<QString>("warnsys");
        QTest::addColumn<bool>("notice");
        QTest::newRow("absent") << QString() << true;
        QTest::newRow("0") << QStringLiteral("0") << true;
        QTest::newRow("1") << QStringLiteral("1") << false;
        QTest::newRow("not exactly 1") << QStringLiteral("1 ") << true;
    }
    void closeRequest() {
        QFETCH(QString, warnsys);
        QFETCH(bool, notice);
        Started rig;
        QVERIFY(rig.started);
        // The console, created hidden at start, has stored "0"; absent is made here.
        rig.setOption(QStringLiteral("warnsys"), warnsys);
        monitor::frmMain& main = rig.program().main();
        main.show();
        QVERIFY(!main.close());
        QVERIFY(main.isHidden());
        QCOMPARE(windowShown<shell::frmWarnSys>(), notice);
        // Monitoring goes on; nothing was ended or written.
        QVERIFY(main.tmrRefresh->isActive());
        QVERIFY(rig.program().tray().shown());
        QCOMPARE(rig.option(QStringLiteral("warnsys")), warnsys);
        QVERIFY(!rig.program().splash().tmrEnd->isActive());

        // A close request on a hidden window is refused the same way.
        QCloseEvent again;
        QCoreApplication::sendEvent(&main, &again);
        QVERIFY(!again.isAccepted());
    }

    void warnSysRemembers() {
        Started rig;
        rig.setOption(QStringLiteral("warnsys"), QString());
        monitor::frmMain& main = rig.program().main();
        main.show();
        main.close();
        shell::frmWarnSys& notice = rig.program().warnSys();
        QVERIFY(notice.isVisible());
        QCOMPARE(notice.windowTitle(), QStringLiteral("提示"));
        QCOMPARE(notice.Label1->text(), QStringLiteral("是否隐藏在系统托盘里？"));
        QCOMPARE(notice.Check1->text(), QStringLiteral(" 我知道了请不要在显示！"));
        QCOMPARE(notice.Command1->text(), QStringLiteral("是的"));
        // Pixels from the layout's twips, 15 to one: 1320, 1560, 1095, 375; 3915 by 2355.
        QCOMPARE(notice.Command1->geometry(), QRect(88, 104, 73, 25));
        QCOMPARE(notice.size(), QSize(261, 157));

        // Not ticked: hidden, nothing written, shown again at the next close.
        notice.Command1->click();
        QVERIFY(notice.isHidden());
        QCOMPARE(rig.option(QStringLiteral("warnsys")), QString());
        main.show();
        main.close();
        QVERIFY(notice.isVisible());

        // Ticked: "1" written, and later closes hide quietly.
        notice.Check1->setChecked(true);
        notice.Command1->click();
        QVERIFY(notice.isHidden());
        QCOMPARE(rig.option(QStringLiteral("warnsys")), QStringLiteral("1"));
        main.show();
        main.close();
        QVERIFY(main.isHidden());
        QVERIFY(notice.isHidden());
    }

    // Without a tray a hidden window could never come back: closing it asks about exiting.
    void closeWithoutTrayAsksToExit() {
        Started rig(false);
        monitor::frmMain& main = rig.program().main();
        QVERIFY(main.isVisible());
        QVERIFY(!main.close());
        QVERIFY(main.isVisible());
        QVERIFY(!windowShown<shell::frmWarnSys>());
        shell::frmWarnExit& prompt = rig.program().warnExit();
        QVERIFY(prompt.isVisible());
        prompt.Command2->click();
        QVERIFY(prompt.isHidden());
        QVERIFY(main.isVisible());
        QVERIFY(!rig.program().splash().tmrEnd->isActive());
    }

    void exitConfirmed() {
        Started rig;
        test::RecordingTray& tray = rig.tray();
        QTimer* tmrEnd = rig.program().splash().tmrEnd;
        struct AtRemoval {
            bool seen = false;
            bool hooked = true;
            bool timerArmed = true;
        } atRemoval;
        connect(&tray, &shell::TrayIcon::iconRemoved, this, [&] {
            atRemoval = {true, tray.hooked(), tmrEnd->isActive()};
        });
        rig.setOption(QStringLiteral("warnexit"), QString());

        rig.program().menu().mnuExit->trigger();
        shell::frmWarnExit& prompt = rig.program().warnExit();
        QVERIFY(prompt.isVisible());
        QCOMPARE(prompt.windowTitle(), QStringLiteral("提示"));
        QCOMPARE(prompt.Label1->text(),
                 QStringLiteral("如果你现在关闭本软件您将不会受到任何保护.是非确定关闭?"));
        QCOMPARE(prompt.Command1->text(), QStringLiteral("是的"));
        QCOMPARE(prompt.Command2->text(), QStringLiteral("不"));
        QCOMPARE(prompt.Check1->text(), QStringLiteral(" 我已经知道,请不要再提示我"));
        // 840, 1800, 3015, 195 twips; 4635 by 2535.
        QCOMPARE(prompt.Check1->geometry(), QRect(56, 120, 201, 13));
        QCOMPARE(prompt.size(), QSize(309, 169));
        // The exit item only opens the prompt.
        QVERIFY(tray.shown());
        QVERIFY(!tmrEnd->isActive());

        prompt.Command1->click();
        QVERIFY(prompt.confirmed());
        QCOMPARE(tray.calls, (QStringList{"hook", "add", "unhook", "remove"}));
        QVERIFY(atRemoval.seen);
        QVERIFY(!atRemoval.hooked);
        QVERIFY(!atRemoval.timerArmed);
        QVERIFY(!tray.shown());
        QVERIFY(tmrEnd->isActive());
        QCOMPARE(tmrEnd->interval(), 50);
        QCOMPARE(rig.option(QStringLiteral("warnexit")), QString());

        QTRY_COMPARE(rig.ended, 1);
        // The end gave the lock up: the next start is free to run.
        platform::InstanceLock next(rig.program().config().lockPath);
        QVERIFY(next.tryLock());
    }

    void exitConfirmedRemembered() {
        Started rig;
        rig.program().menu().mnuExit->trigger();
        shell::frmWarnExit& prompt = rig.program().warnExit();
        prompt.Check1->setChecked(true);
        prompt.Command1->click();
        QCOMPARE(rig.option(QStringLiteral("warnexit")), QStringLiteral("1"));
        QVERIFY(rig.program().splash().tmrEnd->isActive());
    }

    void exitDeclined() {
        Started rig;
        rig.setOption(QStringLiteral("warnexit"), QString());
        rig.program().menu().mnuExit->trigger();
        shell::frmWarnExit& prompt = rig.program().warnExit();
        prompt.Command2->click();
        QVERIFY(prompt.isHidden());
        QVERIFY(!prompt.confirmed());
        QCOMPARE(rig.option(QStringLiteral("warnexit")), QString());
        QVERIFY(rig.program().tray().shown());
        QVERIFY(rig.program().tray().hooked());
        QVERIFY(!rig.program().splash().tmrEnd->isActive());

        // Asked again next time.
        rig.program().menu().mnuExit->trigger();
        QVERIFY(prompt.isVisible());
        QVERIFY(!prompt.confirmed());
        QCOMPARE(rig.ended, 0);
    }

    // "不" with the box ticked still stores "don't ask": the next exit goes straight through.
    void exitDeclinedButRemembered() {
        Started rig;
        rig.program().menu().mnuExit->trigger();
        shell::frmWarnExit& prompt = rig.program().warnExit();
        prompt.Check1->setChecked(true);
        prompt.Command2->click();
        QVERIFY(prompt.isHidden());
        QCOMPARE(rig.option(QStringLiteral("warnexit")), QStringLiteral("1"));
        QVERIFY(rig.program().tray().shown());
        QVERIFY(!rig.program().splash().tmrEnd->isActive());

        rig.program().menu().mnuExit->trigger();
        QVERIFY(prompt.confirmed());
        QVERIFY(rig.program().splash().tmrEnd->isActive());
        QTRY_COMPARE(rig.ended, 1);
    }

    void exitConfirmsItself_data() {
        QTest::addColumn<QString>("warnexit");
        QTest::addColumn<bool>("asks");
        QTest::newRow("1") << QStringLiteral("1") << false;
        QTest::newRow("0") << QStringLiteral("0") << true;
        QTest::newRow("yes") << QStringLiteral("yes") << true;
        QTest::newRow("absent") << QString() << true;
    }
    void exitConfirmsItself() {
        QFETCH(QString, warnexit);
        QFETCH(bool, asks);
        Started rig;
        rig.setOption(QStringLiteral("warnexit"), warnexit);
        rig.program().menu().mnuExit->trigger();
        shell::frmWarnExit& prompt = rig.program().warnExit();
        QCOMPARE(prompt.confirmed(), !asks);
        QCOMPARE(prompt.Check1->isChecked(), !asks);
        QCOMPARE(rig.program().splash().tmrEnd->isActive(), !asks);
        QCOMPARE(rig.program().tray().shown(), asks);
        if (!asks) {
            QCOMPARE(rig.tray().calls, (QStringList{"hook", "add", "unhook", "remove"}));
            QTRY_COMPARE(rig.ended, 1);
        }
        QCOMPARE(rig.option(QStringLiteral("warnexit")), warnexit);
    }

    void sysTrayShowsAndHides() {
        Started rig;
        monitor::frmMain& main = rig.program().main();
        QVERIFY(main.isHidden());

        main.SysTray();
        QVERIFY(main.isVisible());
        QVERIFY(!main.isMinimized());
        main.SysTray();
        QVERIFY(main.isHidden());

        // A minimised window counts as shown: it hides, and comes back restored.
        main.SysTray();
        main.showMinimized();
        QVERIFY(main.isMinimized());
        main.SysTray();
        QVERIFY(main.isHidden());
        main.SysTray();
        QVERIFY(main.isVisible());
        QVERIFY(!main.isMinimized());
    }

    // The icon's notifications reach the window only as a double click or the right button.
    void trayActivation() {
        Started rig;
        monitor::frmMain& main = rig.program().main();
        QSystemTrayIcon* icon = rig.program().tray().icon();

        emit icon->activated(QSystemTrayIcon::Trigger);
        emit icon->activated(QSystemTrayIcon::MiddleClick);
        emit icon->activated(QSystemTrayIcon::Unknown);
        QVERIFY(main.isHidden());
        QVERIFY(rig.popped.isEmpty());

        emit icon->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(main.isVisible());
        emit icon->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(main.isHidden());

        // The menu comes whether the window is hidden or shown.
        emit icon->activated(QSystemTrayIcon::Context);
        main.show();
        emit icon->activated(QSystemTrayIcon::Context);
        QCOMPARE(rig.popped.size(), 2);
        QMenu* menu = rig.program().menu().mnuMain;
        QCOMPARE(rig.popped.at(0), menu);
        QCOMPARE(rig.popped.at(1), menu);
        const QList<QAction*> items = menu->actions();
        QCOMPARE(items.size(), 3);
        QCOMPARE(items.at(0)->text(), QStringLiteral("&打开"));
        QVERIFY(items.at(1)->isSeparator());
        QCOMPARE(items.at(2)->text(), QStringLiteral("E&退出"));
        QVERIFY(main.isVisible());
    }

    // On a D-Bus tray every click is an activation and there is no double click: the
    // activation shows and hides the window; the context menu request is the same.
    void statusNotifierTrayActivation() {
        Started rig;
        monitor::frmMain& main = rig.program().main();
        rig.program().tray().setStatusNotifierTray(true);
        QSystemTrayIcon* icon = rig.program().tray().icon();
        emit icon->activated(QSystemTrayIcon::Trigger);
        QVERIFY(main.isVisible());
        emit icon->activated(QSystemTrayIcon::Trigger);
        QVERIFY(main.isHidden());
        emit icon->activated(QSystemTrayIcon::Context);
        QCOMPARE(rig.popped, QList<QMenu*>{rig.program().menu().mnuMain});
    }

    // A D-Bus tray host draws the icon by its theme name at the panel's size, or else from
    // the pictures sent along: the icon carries the installed name and every size up to 256.
    void trayIconHasItsThemeNameAndEverySize() {
        Started rig;
        const QIcon icon = rig.program().tray().icon()->icon();
        QCOMPARE(icon.name(), QStringLiteral("quillon"));
        QList<int> sides;
        for (const QSize& size : icon.availableSizes()) {
            QCOMPARE(size.width(), size.height());
            sides << size.width();
        }
        std::sort(sides.begin(), sides.end());
        QCOMPARE(sides, (QList<int>{16, 22, 32, 48, 64, 128, 256}));
        QCOMPARE(icon.pixmap(QSize(256, 256)).size(), QSize(256, 256));
    }

    void mnuOpen_data() {
        QTest::addColumn<int>("before");
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<int>("after");
        QTest::newRow("minimised") << int(Qt::WindowMinimized) << false << int(Qt::WindowNoState);
        QTest::newRow("maximised") << int(Qt::WindowMaximized) << false << int(Qt::WindowMaximized);
        QTest::newRow("hidden normal") << int(Qt::WindowNoState) << true << int(Qt::WindowNoState);
        QTest::newRow("hidden minimised")
            << int(Qt::WindowMinimized) << true << int(Qt::WindowNoState);
    }
    void mnuOpen() {
        QFETCH(int, before);
        QFETCH(bool, hidden);
        QFETCH(int, after);
        Started rig;
        monitor::frmMain& main = rig.program().main();
        main.show();
        main.setWindowState(Qt::WindowStates(before));
        if (hidden) {
            main.hide();
        }
        rig.program().menu().mnuOpen->trigger();
        QVERIFY(main.isVisible());
        QCOMPARE(int(main.windowState() & (Qt::WindowMinimized | Qt::WindowMaximized)), after);
    }

    void hookIsIdempotent() {
        ShellRig rig;
        monitor::frmMain& main = rig.program().main();
        test::RecordingTray& tray = rig.tray();
        QSystemTrayIcon* icon = tray.icon();

        // Unhooking what was never hooked does nothing.
        shell::modSystray::UnhookTrayMessages(rig.program());
        QVERIFY(tray.calls.isEmpty());

        shell::modSystray::HookTrayMessages(rig.program(), main);
        shell::modSystray::HookTrayMessages(rig.program(), main);
        QCOMPARE(tray.calls, (QStringList{"hook"}));
        QVERIFY(tray.hooked());
        // One connection: one double click toggles once.
        QVERIFY(main.isHidden());
        emit icon->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(main.isVisible());

        shell::modSystray::UnhookTrayMessages(rig.program());
        shell::modSystray::UnhookTrayMessages(rig.program());
        QCOMPARE(tray.calls, (QStringList{"hook", "unhook"}));
        QVERIFY(!tray.hooked());
        emit icon->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(main.isVisible());

        shell::modSystray::HookTrayMessages(rig.program(), main);
        emit icon->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(main.isHidden());
        QCOMPARE(tray.calls, (QStringList{"hook", "unhook", "hook"}));
    }
};

QUILLON_UI_TEST_MAIN(TestTrayAndExit)
#include "test_TrayAndExit.moc"
