#include "ui/shell/Program.h"

#include "core/blocking/TrojanTable.h"
#include "core/monitor/Commands.h"
#include "core/monitor/Guard.h"
#include "core/settings/EventLog.h"
#include "core/settings/Switches.h"
#include "platform/FreeMemory.h"
#include "ui/blocking/frmAlert.h"
#include "ui/blocking/frmMenu.h"
#include "ui/chrome/MessageBoxes.h"
#include "ui/monitor/frmMain.h"
#include "ui/settings/frmOptions.h"
#include "ui/shell/ShellHelpers.h"
#include "ui/shell/TrayIcon.h"
#include "ui/shell/frmSplash.h"
#include "ui/shell/frmWarnExit.h"
#include "ui/shell/frmWarnSys.h"

#include <QMessageBox>
#include <QPixmapCache>
#include <QPushButton>
#include <QTimer>
#include <utility>

namespace quillon::shell {

namespace {
// How long after the last question closed its memory is given back.
constexpr int kSettleAfterQuestions = 1000;
} // namespace

Program::Program(Config config, QObject* parent)
    : QObject(parent), config_(std::move(config)),
      core_({config_.table, config_.hive, config_.owners, config_.programDir}) {
    core_.onGuardMade([this](monitor::Guard& guard) { followGuard(guard); });
}

Program::~Program() {
    // The windows are top-level widgets that refer back to the program: they go before it,
    // alerts first.
    for (const QPointer<blocking::frmAlert>& alert : std::as_const(alerts_)) {
        delete alert.data();
    }
    delete options_.data();
    delete menu_.data();
    delete warnExit_.data();
    delete warnSys_.data();
    tray_.reset();
    delete main_.data();
    delete splash_.data();
}

void Program::followGuard(monitor::Guard& guard) {
    connect(&core_.commands(), &monitor::Commands::refused, this,
            [this](const monitor::CommandResult& result) { tellNotStored(result); });
    connect(&guard, &monitor::Guard::alertRequested, this,
            [this](const monitor::modNetstat::ConnectionRow& row, qint32 slot) {
                raiseAlert(row, slot);
            });
    // Every window whose entry moved down follows it, so each keeps designating its own.
    connect(&guard, &monitor::Guard::alertsShifted, this, [this](qint32 t) {
        for (blocking::frmAlert* alert : alerts()) {
            if (alert != nullptr && !alert->isClosed() && alert->t > t) {
                --alert->t;
            }
        }
    });
    // The helper ended and did not come back: said once, as the start-up notice says it.
    connect(&guard, &monitor::Guard::immediateChanged, this, [this](platform::Immediate now) {
        const QString line = ImmediateLine(now, programDir() + QStringLiteral("/quillon-cut"));
        const QString caption = QStringLiteral("Quillon防火墙");
        if (!line.isEmpty() && !tray().showMessage(caption, line)) {
            messageBoxes().tell(nullptr, caption, line);
        }
    });
    // Questions beyond the open windows wait unseen: the tray says how many.
    connect(&guard, &monitor::Guard::questionsChanged, this, [this](int open, int waiting) {
        tray().setQuestionLine(
            waiting > 0 ? QStringLiteral("提醒窗口：%1 个打开，%2 个等待").arg(open).arg(waiting)
                        : QString());
        if (open == 0 && waiting == 0) {
            // Once the closed windows are gone (deleted from the event loop).
            QTimer::singleShot(kSettleAfterQuestions, this, [this] { dropQuestionsMemory(); });
        }
    });
    // A live console took the row from the log's notice already; a console created here
    // fills its view from the file, new line included.
    connect(&guard, &monitor::Guard::eventLogged, this, [this] { options(); });
    // An open console shows what another process stored, at the next tick.
    connect(&guard, &monitor::Guard::hiveChanged, this, [this] {
        if (optionsExists()) {
            options_->showStored();
            options_->fillRuleLists();
        }
    });
}

// Qt's styles cache each button's face under its palette, and every new window's buttons get
// palettes of their own: a flood of questions fills Qt's pixmap cache (10 MB) with faces of
// windows long closed, and the heap keeps what they freed. With no question left, both go.
void Program::dropQuestionsMemory() {
    if (guard().pending.AlertCount != 0) {
        return;
    }
    QPixmapCache::clear();
    platform::returnFreeMemory();
}

void Program::raiseAlert(const monitor::modNetstat::ConnectionRow& row, qint32 slot) {
    blocking::frmAlert* alert = newAlert();
    alert->RemA = row.RemA;
    alert->RemP = row.RemP;
    alert->LocP = row.LocP;
    alert->owner = row.owner;
    alert->t = slot;
    alert->b_Type = 1;
    alert->Form_Load();
}

monitor::frmMain& Program::main() {
    if (main_.isNull()) {
        main_ = new monitor::frmMain(core_, *this);
    }
    return *main_;
}

settings::frmOptions& Program::options() {
    if (options_.isNull()) {
        auto* console =
            new settings::frmOptions(core_, [this]() -> chrome::MessageBoxes& { return *boxes_; });
        options_ = console;
        // A closed console is deleted a moment later; from the close on, the next reference
        // creates a new one.
        // While a console lives its controls hold the switch and the level in force; once
        // it is closed, what the hive holds counts again from the next decision.
        connect(console, &settings::frmOptions::closed, this, [this, console] {
            if (options_.data() == console) {
                options_.clear();
                switches().invalidate();
            }
        });
    }
    return *options_;
}

blocking::frmMenu& Program::menu() {
    if (menu_.isNull()) {
        menu_ = new blocking::frmMenu(core_, *this);
    }
    return *menu_;
}

blocking::frmAlert* Program::newAlert() {
    auto* alert = new blocking::frmAlert(core_);
    alerts_.removeAll(nullptr);
    alerts_.append(alert);
    return alert;
}

QList<blocking::frmAlert*> Program::alerts() const {
    QList<blocking::frmAlert*> live;
    for (const QPointer<blocking::frmAlert>& tracked : alerts_) {
        blocking::frmAlert* alert = tracked.data();
        // An alert that was shown and is hidden again has been closed and is only waiting
        // for its deferred deletion; one not shown yet is just being opened.
        if (alert == nullptr ||
            (alert->isHidden() && alert->testAttribute(Qt::WA_WState_ExplicitShowHide))) {
            continue;
        }
        live.append(alert);
    }
    return live;
}

} // namespace quillon::shell

// The windows and services of the application shell that the program context creates on
// first reference.
namespace quillon::shell {

frmSplash& Program::splash() {
    if (splash_.isNull()) {
        splash_ = new frmSplash(*this);
    }
    return *splash_;
}

frmWarnSys& Program::warnSys() {
    if (warnSys_.isNull()) {
        warnSys_ = new frmWarnSys(*this);
    }
    return *warnSys_;
}

frmWarnExit& Program::warnExit() {
    if (warnExit_.isNull()) {
        warnExit_ = new frmWarnExit(*this);
    }
    return *warnExit_;
}

void Program::setTray(std::unique_ptr<TrayIcon> tray) {
    tray_ = std::move(tray);
}

TrayIcon& Program::tray() {
    if (!tray_) {
        tray_ = std::make_unique<TrayIcon>(*this);
    }
    return *tray_;
}

} // namespace quillon::shell
