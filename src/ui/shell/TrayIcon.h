#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>

class QTimer;

namespace quillon::monitor {
class frmMain;
}

namespace quillon::shell {

class Program;

// The program's one icon in the desktop's tray. On the X tray a left double-click on it
// reaches frmMain::SysTray and single clicks do nothing; on a D-Bus StatusNotifierItem tray,
// which knows no double click, an activation (a single click) reaches SysTray. A context
// menu request (the right button) reaches frmMain::SysTray2 on both.
//
// Hooking connects the icon's activation signal to the main window; adding shows the icon.
// The icon is added once at start-up and removed once at exit. Where the desktop has no tray
// when the icon is added, it is shown as soon as a tray turns up.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TrayIcon(Program& program, QObject* parent = nullptr);
    ~TrayIcon() override;

    // Whether the desktop has a tray now. By default the program's configuration says so;
    // the real program asks the desktop instead (QSystemTrayIcon::isSystemTrayAvailable).
    void setAvailabilityProbe(std::function<bool()> probe);
    bool available() const;

    // Whether the icon stands in a D-Bus StatusNotifierItem tray rather than the X tray; the
    // real program asks the desktop at start-up (platform::statusNotifierHostRegistered).
    void setStatusNotifierTray(bool statusNotifier) { statusNotifier_ = statusNotifier; }
    bool statusNotifierTray() const { return statusNotifier_; }

    // The calls the program makes are virtual so that a test can watch them.

    // Connects the icon's notifications to `window`. A second call while hooked does nothing.
    virtual void hook(monitor::frmMain& window);
    // Disconnects them. Does nothing when not hooked.
    virtual void unhook();
    bool hooked() const { return hooked_; }

    // Puts the icon in the tray with `tip` as its tool tip, or as soon as a tray appears.
    virtual void add(const QIcon& icon, const QString& tip);
    // A second line under the tool tip given to add (none when empty): how many questions are
    // open and how many wait, while some wait.
    void setQuestionLine(const QString& line);
    // While a right is missing the icon carries a warning mark and the tool tip a line that
    // names what is missing; an empty line takes both away.
    void setMissingRights(const QString& line);
    QString toolTip() const;

    // Takes the icon out of the tray (and stops waiting for one).
    virtual void remove();
    // Added and not removed since (whether or not a tray has shown it yet).
    bool added() const { return added_; }
    // The icon stands in a tray now.
    bool shown() const;

    // A quiet message from the icon (only when it is shown); false when it could not be given.
    virtual bool showMessage(const QString& title, const QString& text);

    // The timer that asks the desktop again for a tray while the icon waits for one.
    QTimer* trayWatch() const { return trayWatch_; }

    // The icon itself: tests emit its activated() signal as the desktop would.
    QSystemTrayIcon* icon() const { return icon_; }

signals:
    // The icon has been put in a tray (at the add, or later when a tray appeared).
    void iconShown();
    // The icon has been taken out at exit.
    void iconRemoved();

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void checkTray();

    Program& program_;
    std::function<bool()> probe_;
    QSystemTrayIcon* icon_ = nullptr;
    QTimer* trayWatch_ = nullptr;
    QPointer<monitor::frmMain> window_;
    QMetaObject::Connection hook_;
    bool hooked_ = false;
    bool added_ = false;
    bool statusNotifier_ = false;
    QString tip_;
    QString questionLine_;
    QString missingLine_;
    QIcon plainIcon_;
};

// The tray procedures the main window's start-up and the exit prompt call.
namespace modSystray {
void HookTrayMessages(Program& program, monitor::frmMain& window);
void UnhookTrayMessages(Program& program);
void AddTrayIcon(Program& program, const QIcon& icon, const QString& tipText);
void RemoveTrayIcon(Program& program);
} // namespace modSystray

// The program icon: the installed icon's theme name, "quillon", and the compiled-in pictures
// at 16, 22, 32, 48, 64, 128 and 256 pixels.
QIcon programIcon();

} // namespace quillon::shell
