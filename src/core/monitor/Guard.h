#pragma once

#include "core/blocking/PendingAlerts.h"
#include "core/monitor/ConnectionListModel.h"
#include "core/monitor/ListRefresh.h"
#include "core/monitor/modNetstat.h"
#include "platform/KernelGuard.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace quillon::platform {
class RegistryHive;
class SocketOwners;
class TcpTable;
} // namespace quillon::platform
namespace quillon::settings {
class EventLog;
class Switches;
} // namespace quillon::settings
namespace quillon::blocking {
class TrojanTable;
enum class Outcome;
} // namespace quillon::blocking

namespace quillon::monitor {

class KernelMirror;

// How often the connection table is polled.
inline constexpr std::chrono::milliseconds kPollInterval{250};
// How many questions are open at once; more wait, holding their pending entries, and are
// asked in order as the open ones close. A flood of windows stacked on one spot hides all
// but the top one and costs memory the program does not get back.
inline constexpr int kOpenQuestions = 12;

// The per-tick work: polls the TCP table, rebuilds the connection list when the set of
// connections changed, judges every connection in snapshot order and carries out the
// outcome (a cut and its log record, or a question to the user). It keeps the pending-alert
// list the questions hold their entries in. Windows show its list, raise the alerts it asks
// for and send it their commands.
class Guard : public QObject {
    Q_OBJECT
public:
    struct Services {
        platform::TcpTable& table;
        platform::RegistryHive& hive;
        settings::EventLog& eventLog;
        blocking::TrojanTable& trojans;
        settings::Switches& switches;
        // Finds the program behind each connection; none: programs are not looked up.
        platform::SocketOwners* owners = nullptr;
    };

    explicit Guard(Services services, QObject* parent = nullptr);
    ~Guard() override;

    // The list the rebuilds fill.
    ConnectionListModel& model() { return *model_; }
    // The poll timer; created stopped, its interval kPollInterval.
    QTimer& timer() { return *timer_; }

    // Rebuilds the list when the set of connections changed since the last rebuild, or
    // always when forced; every row of the snapshot then passes CheckBlock, in order. The
    // snapshot holds IPv6 connections while the ipv6 switch is on.
    void RefreshTable(bool force);
    // Runs a command now, or, when it arrives while a rebuild or another command runs (events
    // let in by a decision), whole and in order right after that rebuild or command ends: a
    // command run halfway would see a half-built list and have its own rebuild deferred, and
    // one run inside another's rebuild would log and close before it.
    void whenIdle(std::function<void()> command);

    // Whether listening sockets are listed (they are judged either way).
    bool listsListening() const { return listsListening_; }
    void setListsListening(bool shown) { listsListening_ = shown; }

    // Called where a rebuild lets pending events run once: after a cut and after an alert
    // was raised. The main window shows the rows appended so far and processes events.
    void setLetEventsRun(std::function<void()> letEventsRun) {
        letEventsRun_ = std::move(letEventsRun);
    }

    // Records one event in the log file; eventLogged tells the views. False when the file
    // refused it (then nothing is told).
    bool LogEvent(const QString& RemA, const QString& RemP, const QString& LocP,
                  const QString& action);

    // Judges one connection and carries out the outcome (cut, alert or nothing).
    void CheckBlock(const modNetstat::ConnectionRow& row);
    // Removes the pending entry at slot t; alertsShifted tells the owners of later entries.
    // A question waiting for a window is asked soon after (from the event loop), once it has
    // been judged again.
    void ShiftAlertList(qint32 t);
    // A question was answered: connections it held back are judged again at the next tick,
    // even if the set of connections stays the same.
    void answered();
    // Questions open now (alertRequested given, entry not yet given back), and questions whose
    // entries wait for one of them to close. The waiting entries are the last ones of the
    // pending list, in the order they will be asked.
    int questionsOpen() const { return pending.AlertCount - questionsWaiting(); }
    int questionsWaiting() const { return static_cast<int>(waiting_.size()); }
    std::optional<bool> IsTrojan(const QString& port);
    std::optional<QString> GetTrojan(const QString& port);

    // Whether the kernel refuses and cuts between ticks (the helper's BPF programs), and if not,
    // why. Known after the first tick.
    platform::Immediate immediate() const { return immediate_; }
    // Rules were stored or deleted by this process: the kernel's tables follow now.
    void rulesChanged();

    // Rows of the last rebuild.
    qsizetype LastRowCount = 0;
    blocking::PendingAlerts pending;

signals:
    // A rebuild is about to empty the list, and has just filled it again.
    void rebuildStarting();
    void rebuildFinished();
    // A connection of the snapshot is about to be judged (listed first when it is shown).
    void judging(const quillon::monitor::modNetstat::ConnectionRow& row);
    // A connection no rule settles holds pending slot `slot`: a question is to be raised.
    void alertRequested(const quillon::monitor::modNetstat::ConnectionRow& row, qint32 slot);
    // The number of open or waiting questions changed.
    void questionsChanged(int open, int waiting);
    // The entry at `slot` went: every question holding a later slot now holds the one below.
    void alertsShifted(qint32 slot);
    // Another process changed the hive: the switches were read again; views of the stored
    // state show it afresh.
    void hiveChanged();
    // Immediate enforcement stopped (the helper ended and did not come back) or started again.
    void immediateChanged(quillon::platform::Immediate now);
    // An event was written to the event log.
    void eventLogged(const QString& RemA, const QString& RemP, const QString& LocP,
                     const QString& action);

private:
    void rebuild(bool force);
    void letEventsRun();
    void runDeferred();
    blocking::Outcome decide(const modNetstat::ConnectionRow& row, qint16 state,
                             const blocking::PendingAlerts& against);
    void askWaiting();
    bool stillToAsk(const modNetstat::ConnectionRow& row);
    // The kernel half: reports logged, a helper that ended restarted once, tables brought in
    // line. Then whether this tick must dump the table.
    void followKernel();
    bool mustDump(bool force);
    void logReport(const platform::KernelReport& report);
    // Logs the reports waiting; false when the helper ended.
    bool takeReports();
    void pendingChanged();

    Services services_;
    ConnectionListModel* model_;
    QTimer* timer_;
    ListRefresh refresh_;
    bool listsListening_ = true;
    std::function<void()> letEventsRun_;
    // A rebuild is running; requests arriving meanwhile (events run inside decisions) wait.
    bool rebuilding_ = false;
    bool forcedWhileRebuilding_ = false;
    std::deque<std::function<void()>> deferred_;
    quint64 hiveSeen_ = 0; // the hive's files as the last tick found them
    bool runningCommand_ = false;
    // Some connection was held back by a pending entry since the last rebuild; and the next
    // tick rebuilds whatever the table holds.
    bool heldBack_ = false;
    bool rebuildDue_ = false;
    // The questions that wait for a window, oldest first; their entries end the pending list.
    std::deque<modNetstat::ConnectionRow> waiting_;
    bool askQueued_ = false;

    platform::KernelGuard* kernel_ = nullptr;
    std::unique_ptr<KernelMirror> mirror_;
    platform::Immediate immediate_ = platform::Immediate::Failed;
    bool kernelAsked_ = false;
    bool restarted_ = false;
    // The kernel's change count when the last dump began, and what that dump held.
    std::optional<quint64> dumpedAt_;
    bool silentRows_ = true; // rows that may leave without a kernel event
    bool dumpedIpv6_ = true;
};

} // namespace quillon::monitor
