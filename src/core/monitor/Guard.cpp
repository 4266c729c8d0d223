#include "core/monitor/Guard.h"

#include "core/blocking/Decision.h"
#include "core/blocking/TrojanTable.h"
#include "core/monitor/Commands.h"
#include "core/monitor/KernelMirror.h"
#include "core/settings/EventLog.h"
#include "core/settings/Switches.h"
#include "core/settings/modReg.h"
#include "platform/RegistryHive.h"
#include "platform/SocketOwners.h"
#include "platform/TcpTable.h"

#include <QTimer>
#include <algorithm>

namespace quillon::monitor {

Guard::Guard(Services services, QObject* parent)
    : QObject(parent), services_(services), model_(new ConnectionListModel(this)),
      timer_(new QTimer(this)), refresh_(services.table) {
    timer_->setObjectName(QStringLiteral("tmrRefresh"));
    timer_->setInterval(kPollInterval);
    connect(timer_, &QTimer::timeout, this, [this] { RefreshTable(false); });
}

Guard::~Guard() = default;

void Guard::RefreshTable(bool force) {
    // Decisions let events run halfway through a rebuild; a tick arriving then is dropped
    // (the next one comes soon), a forced request is remembered and served right after, so
    // the list is never cleared under the loop that is filling it.
    if (rebuilding_) {
        forcedWhileRebuilding_ = forcedWhileRebuilding_ || force;
        return;
    }
    rebuilding_ = true;
    rebuild(force);
    while (forcedWhileRebuilding_) {
        forcedWhileRebuilding_ = false;
        rebuild(true);
    }
    rebuilding_ = false;
    runDeferred();
}

void Guard::whenIdle(std::function<void()> command) {
    deferred_.push_back(std::move(command));
    if (!rebuilding_) {
        runDeferred();
    }
}

// Commands and answers that came in during a rebuild or during another command, in the order
// they came, each whole: a command's own rebuild lets events in, and whatever arrives then
// (or is left from before) waits until the command has also logged and closed. Only the
// outermost call runs them; a rebuild inside a command leaves the rest to it.
void Guard::runDeferred() {
    if (runningCommand_) {
        return;
    }
    runningCommand_ = true;
    while (!deferred_.empty()) {
        std::function<void()> command = std::move(deferred_.front());
        deferred_.pop_front();
        command();
    }
    runningCommand_ = false;
}

void Guard::rebuild(bool force) {
    // Switches stored by another process (quillon-reg, another user's Quillon) count from the
    // next tick, as rules count from the next rebuild.
    const bool firstLook = hiveSeen_ == 0;
    if (services_.hive.changedElsewhere(hiveSeen_) && !firstLook) {
        services_.switches.follow();
        if (mirror_) {
            mirror_->rulesChanged();
        }
        emit hiveChanged();
    }
    // The family switch applies from this snapshot on: turned off, the IPv6 rows leave the
    // set of connections, which is a change, so the list is rebuilt without them at once.
    services_.table.setIpv6Rows(services_.switches.ipv6());
    followKernel();
    if (!mustDump(force)) {
        return;
    }
    const bool due = force || rebuildDue_;
    if (!refresh_.poll(due)) {
        silentRows_ = refresh_.silentRows();
        return;
    }
    silentRows_ = refresh_.silentRows();
    rebuildDue_ = false;
    heldBack_ = false;
    const std::vector<platform::TcpRow>& rows = refresh_.rows();
    const qsizetype n = static_cast<qsizetype>(rows.size());
    LastRowCount = n;
    // The programs behind the connections, found before any row is listed or judged.
    if (services_.owners != nullptr) {
        services_.owners->resolve(rows);
    }
    // Every connection of one rebuild is decided against one state of the rules, read in one
    // transaction; a rule stored meanwhile by another process counts from the next rebuild.
    platform::RegistryHive::ReadScope rules(services_.hive);

    emit rebuildStarting();
    model_->beginRebuild(refresh_.snapshot(), n);
    modNetstat::RowMaker maker;
    modNetstat::OwnerPool ownerPool;
    for (qsizetype i = 0; i < n; ++i) {
        const platform::TcpRow& kernelRow = rows[static_cast<size_t>(i)];
        modNetstat::ConnectionRow row = maker.make(kernelRow, i);
        if (services_.owners != nullptr) {
            row.owner = ownerPool.share(services_.owners->ownerOf(kernelRow));
        }
        // The list mode is read afresh for each listening row. The list holds the row's
        // position in the shared snapshot and its program, and makes its texts when shown.
        if (row.state != platform::StateListen || listsListening_) {
            model_->append(i, row.owner);
        }
        CheckBlock(row);
    }
    model_->endRebuild();
    emit rebuildFinished();
}

void Guard::letEventsRun() {
    model_->publish();
    if (letEventsRun_) {
        letEventsRun_();
    }
}

blocking::Outcome Guard::decide(const modNetstat::ConnectionRow& row, qint16 state,
                                const blocking::PendingAlerts& against) {
    namespace modReg = settings::modReg;

    const std::optional<int> subnet = services_.switches.subnet() ? 1 : 0;
    const int level = services_.switches.level();

    platform::RegistryHive& hive = services_.hive;
    auto verdict = [&hive](blocking::RuleKind kind, const QString& name) -> std::optional<QString> {
        const platform::RegistryHive::KeyPath* key = &modReg::BlockIpPath;
        if (kind == blocking::RuleKind::RemotePort) {
            key = &modReg::BlockRpPath;
        } else if (kind == blocking::RuleKind::LocalPort) {
            key = &modReg::BlockLpPath;
        }
        // A read that fails (a damaged or unreadable hive) is no rule, as for a missing
        // value: the connection is questioned at the high and medium levels. Counting it as a
        // deny would silently cut every connection over a storage fault.
        return modReg::ReadRegString(hive, modReg::HKEY_LOCAL_MACHINE, *key, name);
    };
    auto trojan = [this](const QString& port) { return IsTrojan(port); };
    return blocking::Decide(row.RemA, row.RemP, row.LocP, state, subnet, level, verdict, trojan,
                            against);
}

void Guard::CheckBlock(const modNetstat::ConnectionRow& row) {
    emit judging(row);
    switch (decide(row, row.state, pending)) {
    case blocking::Outcome::Nothing:
        break;
    case blocking::Outcome::HeldBack:
        heldBack_ = true;
        break;
    case blocking::Outcome::Cut: {
        model_->publish();
        // The row's own identity: if that connection is gone, nothing else is touched.
        const platform::CutResult result = services_.table.cut(row.identity);
        letEventsRun();
        // Only a cut that happened is logged; a connection already gone or a cut refused
        // for lack of rights leaves no record that would claim otherwise.
        if (result == platform::CutResult::Cut) {
            LogEvent(row.RemA, row.RemP, row.LocP, eventText(Event::Cut));
        }
        break;
    }
    case blocking::Outcome::Alert: {
        model_->publish();
        if (pending.full()) {
            break;
        }
        const qint32 slot = pending.append(row.RemA, row.RemP, row.LocP);
        pendingChanged();
        // With every window taken, or others already waiting, the question waits its turn;
        // its entry holds back what it shares meanwhile, as an open question's does.
        if (!waiting_.empty() || questionsOpen() > kOpenQuestions) {
            waiting_.push_back(row);
            emit questionsChanged(questionsOpen(), questionsWaiting());
            break;
        }
        emit alertRequested(row, slot);
        letEventsRun();
        break;
    }
    }
}

bool Guard::LogEvent(const QString& RemA, const QString& RemP, const QString& LocP,
                     const QString& action) {
    if (!services_.eventLog.LogEvent(RemA, RemP, LocP, action)) {
        return false;
    }
    emit eventLogged(RemA, RemP, LocP, action);
    return true;
}

void Guard::ShiftAlertList(qint32 t) {
    const qint32 firstWaiting = questionsOpen();
    if (!pending.shift(t)) {
        return;
    }
    pendingChanged();
    if (t >= firstWaiting) {
        waiting_.erase(waiting_.begin() + (t - firstWaiting));
    }
    emit alertsShifted(t);
    emit questionsChanged(questionsOpen(), questionsWaiting());
    // The next question opens from the event loop, not inside the close of the window that
    // made room for it.
    if (!waiting_.empty() && !askQueued_) {
        askQueued_ = true;
        QMetaObject::invokeMethod(this, &Guard::askWaiting, Qt::QueuedConnection);
    }
}

void Guard::answered() {
    rebuildDue_ = rebuildDue_ || heldBack_;
}

void Guard::askWaiting() {
    askQueued_ = false;
    while (!waiting_.empty() && questionsOpen() < kOpenQuestions) {
        const modNetstat::ConnectionRow row = std::move(waiting_.front());
        waiting_.pop_front();
        const qint32 slot = questionsOpen() - 1; // the entry just counted as open
        if (!stillToAsk(row)) {
            // Gone, closed or settled meanwhile: no question. What its entry held back, and a
            // connection now denied, are judged at the next tick.
            pending.shift(slot);
            pendingChanged();
            rebuildDue_ = true;
            emit alertsShifted(slot);
            continue;
        }
        emit alertRequested(row, slot);
    }
    emit questionsChanged(questionsOpen(), questionsWaiting());
}

// A waiting question is judged again against the table and the rules as they are now, just
// before it is asked. Its own entry is left out: no other entry shares its fields, or it
// would have been held back instead of asked.
bool Guard::stillToAsk(const modNetstat::ConnectionRow& row) {
    std::vector<platform::TcpRow> now;
    qint16 state = row.state;
    if (services_.table.snapshot(now)) {
        const auto found = std::find_if(now.begin(), now.end(), [&row](const platform::TcpRow& r) {
            return r.sameConnection(row.identity);
        });
        if (found == now.end()) {
            return false;
        }
        state = static_cast<qint16>(found->dwState);
    }
    static const blocking::PendingAlerts none;
    return decide(row, state, none) == blocking::Outcome::Alert;
}

std::optional<bool> Guard::IsTrojan(const QString& port) {
    return services_.trojans.IsTrojan(port);
}

std::optional<QString> Guard::GetTrojan(const QString& port) {
    return services_.trojans.GetTrojan(port);
}

void Guard::followKernel() {
    if (!kernelAsked_) {
        kernelAsked_ = true;
        kernel_ = services_.table.kernelGuard();
        if (kernel_ == nullptr) {
            immediate_ = platform::Immediate::NotOffered;
            return;
        }
        immediate_ = kernel_->state();
        if (immediate_ == platform::Immediate::On) {
            mirror_ = std::make_unique<KernelMirror>(*kernel_, services_.hive, services_.switches,
                                                     pending);
        }
    }
    if (!mirror_) {
        return;
    }
    if (!takeReports()) {
        // Its kernel programs went with it: until another helper has them again, only the poll
        // cuts. It is started again once; a second end is said and left so.
        dumpedAt_.reset();
        const platform::Immediate was = immediate_;
        immediate_ = !restarted_ && kernel_->restart() ? platform::Immediate::On
                                                       : platform::Immediate::HelperEnded;
        restarted_ = true;
        if (immediate_ != was) {
            emit immediateChanged(immediate_);
        }
    }
    if (immediate_ == platform::Immediate::On) {
        mirror_->sync();
    }
}

bool Guard::mustDump(bool force) {
    const bool ipv6 = services_.switches.ipv6();
    const bool ipv6Changed = ipv6 != dumpedIpv6_;
    dumpedIpv6_ = ipv6;
    std::optional<quint64> now;
    if (immediate_ == platform::Immediate::On && kernel_ != nullptr) {
        now = kernel_->changes();
    }
    // The count is taken before the dump, so a change during it shows at the next tick.
    const bool unchanged = now && dumpedAt_ && *now == *dumpedAt_;
    dumpedAt_ = now;
    return force || rebuildDue_ || silentRows_ || ipv6Changed || !unchanged;
}

void Guard::logReport(const platform::KernelReport& report) {
    const modNetstat::ConnectionRow row = modNetstat::MakeConnectionRow(report.row, 0);
    // A refused connect is logged as its cut would be. Its local port is the one bound before
    // connect(), if any; without one the record shows 0, as the table does for such a socket.
    LogEvent(row.RemA, row.RemP, row.LocP, eventText(Event::Cut));
}

bool Guard::takeReports() {
    std::vector<platform::KernelReport> reports;
    const bool alive = kernel_->takeReports(reports);
    for (const auto& report : reports) {
        logReport(report);
    }
    return alive;
}

void Guard::rulesChanged() {
    if (mirror_ && immediate_ == platform::Immediate::On) {
        mirror_->rulesChanged();
        mirror_->sync();
        // The connections the new rules cut went at once; their records come before whatever
        // the command logs next, as the poll's cuts would.
        takeReports();
    }
}

void Guard::pendingChanged() {
    if (mirror_ && immediate_ == platform::Immediate::On) {
        mirror_->pendingChanged();
        takeReports();
    }
}

} // namespace quillon::monitor
