#pragma once

#include "platform/TcpTable.h"

#include <QObject>
#include <QString>
#include <functional>
#include <vector>

namespace quillon::platform {
class RegistryHive;
class TcpTable;
} // namespace quillon::platform
namespace quillon::settings {
class EventLog;
}

namespace quillon::monitor {

class Guard;

// What the event log's records say happened, one text per kind of event.
enum class Event {
    Cut,      // a forbidden connection cut by a rebuild
    DeniedIp, // the answers of a question, one each
    Allowed,
    DeniedRemotePort,
    DeniedLocalPort,
    DeniedAll,
    MenuDenied, // the connection menu's deny commands
    MenuCut,    // the connection menu's cut
};
QString eventText(Event event);

// The five answers of a question.
enum class Answer { DenyIp, Allow, DenyRemotePort, DenyLocalPort, DenyAll };

// The three rule keys, as the console's tabs list them.
enum class RuleList { Ip, RemotePort, LocalPort };
const QString& ruleKey(RuleList list);

// What became of a command of the user's: done, or not, and the store's or the log's own
// reason (which right is missing) when not.
struct CommandResult {
    enum class Status { Done, NotStored, NotCut, NotCleared };
    Status status = Status::Done;
    QString why;
    bool done() const { return status == Status::Done; }
};

// The user's commands, carried out in the core: the answers to a question, the connection
// menu's deny and cut commands, the console's rule edits and the clearing of the log. The
// windows ask, send the command and show its result. Commands that rebuild the list run whole
// and in order, after any rebuild or command under way (Guard::whenIdle); their `done` hears the
// result at their end.
class Commands : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(const CommandResult&)>;

    Commands(Guard& guard, platform::RegistryHive& hive, settings::EventLog& log,
             platform::TcpTable& table, QObject* parent = nullptr);

    // Stores the answer's rules for the connection's address and ports, rebuilds the list
    // (all answers but the allow), then logs the answer.
    void answer(Answer answer, const QString& RemA, const QString& RemP, const QString& LocP,
                Done done);
    // Denies the chosen fields of a listed row (its own texts, "无IP来源" and "等待状态" for a
    // listening row, stored as they stand), rebuilds the list and logs it.
    void deny(bool ra, bool rp, bool lp, const QString& RemA, const QString& RemP,
              const QString& LocP, Done done);
    // Cuts the connection a row shows: that connection only, never another in its place; a
    // cut that happened is logged with the row's texts.
    void cut(const platform::TcpRow& identity, const QString& RemA, const QString& RemP,
             const QString& LocP, Done done);

    // The console's edits: a deny rule stored or deleted, at once.
    CommandResult addRule(RuleList list, const QString& name);
    CommandResult deleteRule(RuleList list, const QString& name);
    CommandResult clearLog();

signals:
    // A deny rule was stored or deleted by a command (the console's lists follow).
    void ruleStored(quillon::monitor::RuleList list, const QString& name);
    void ruleDeleted(quillon::monitor::RuleList list, const QString& name);
    void logCleared();
    // A command stored nothing: its rules did not reach the hive (`why` is the hive's reason).
    void refused(const quillon::monitor::CommandResult& result);

private:
    struct Rule {
        RuleList list;
        QString name;
        QString verdict;
    };
    // Stores the rules in the order given; the first failure is the result.
    CommandResult store(const std::vector<Rule>& rules);

    Guard& guard_;
    platform::RegistryHive& hive_;
    settings::EventLog& log_;
    platform::TcpTable& table_;
};

} // namespace quillon::monitor
