#include "core/monitor/Commands.h"

#include "core/monitor/Guard.h"
#include "core/settings/EventLog.h"
#include "core/settings/modReg.h"
#include "platform/RegistryHive.h"

#include <QCoreApplication>

namespace quillon::monitor {

namespace modReg = settings::modReg;

QString eventText(Event event) {
    switch (event) {
    case Event::Cut:
        return QStringLiteral("已断开连接");
    case Event::DeniedIp:
        return QStringLiteral("拒绝IP连接");
    case Event::Allowed:
        return QStringLiteral("允许连接");
    case Event::DeniedRemotePort:
        return QStringLiteral("禁止远程端口连接");
    case Event::DeniedLocalPort:
        return QStringLiteral("禁止本机端口连接");
    case Event::DeniedAll:
        return QStringLiteral("全部禁止连接");
    case Event::MenuDenied:
        return QStringLiteral("禁止所有连接");
    case Event::MenuCut:
        return QStringLiteral("异常连接中断");
    }
    return {};
}

const QString& ruleKey(RuleList list) {
    switch (list) {
    case RuleList::Ip:
        break;
    case RuleList::RemotePort:
        return modReg::BlockRpKey;
    case RuleList::LocalPort:
        return modReg::BlockLpKey;
    }
    return modReg::BlockIpKey;
}

Commands::Commands(Guard& guard, platform::RegistryHive& hive, settings::EventLog& log,
                   platform::TcpTable& table, QObject* parent)
    : QObject(parent), guard_(guard), hive_(hive), log_(log), table_(table) {}

// Every rule is tried, as the answer was given; the first refusal is what the user hears.
CommandResult Commands::store(const std::vector<Rule>& rules) {
    CommandResult result;
    for (const Rule& rule : rules) {
        if (modReg::WriteRegString(hive_, modReg::HKEY_LOCAL_MACHINE, ruleKey(rule.list), rule.name,
                                   rule.verdict)) {
            if (rule.verdict == QLatin1String("1")) {
                emit ruleStored(rule.list, rule.name);
            }
        } else if (result.done()) {
            result = {CommandResult::Status::NotStored, hive_.lastError()};
        }
    }
    // The kernel refuses and cuts by the new rules at once, before the rebuild that follows.
    guard_.rulesChanged();
    if (!result.done()) {
        emit refused(result);
    }
    return result;
}

void Commands::answer(Answer answer, const QString& RemA, const QString& RemP, const QString& LocP,
                      Done done) {
    const QString deny = QStringLiteral("1");
    const QString allow = QStringLiteral("0");
    std::vector<Rule> rules;
    Event event = Event::DeniedIp;
    switch (answer) {
    case Answer::DenyIp:
        rules = {{RuleList::Ip, RemA, deny}};
        break;
    case Answer::Allow:
        rules = {{RuleList::Ip, RemA, allow},
                 {RuleList::RemotePort, RemP, allow},
                 {RuleList::LocalPort, LocP, allow}};
        event = Event::Allowed;
        break;
    case Answer::DenyRemotePort:
        rules = {{RuleList::RemotePort, RemP, deny}};
        event = Event::DeniedRemotePort;
        break;
    case Answer::DenyLocalPort:
        rules = {{RuleList::LocalPort, LocP, deny}};
        event = Event::DeniedLocalPort;
        break;
    case Answer::DenyAll:
        rules = {{RuleList::LocalPort, LocP, deny},
                 {RuleList::RemotePort, RemP, deny},
                 {RuleList::Ip, RemA, deny}};
        event = Event::DeniedAll;
        break;
    }
    // An allow settles the connection as it stands: nothing to rebuild for. The question's
    // own entry is still pending during the rebuild, so its connection is left alone until
    // the window has closed.
    const bool rebuild = answer != Answer::Allow;
    guard_.whenIdle(
        [this, rules = std::move(rules), rebuild, event, RemA, RemP, LocP, done = std::move(done)] {
            const CommandResult result = store(rules);
            if (rebuild) {
                guard_.RefreshTable(true);
            }
            // Connections the question held back are judged once its window has closed, at
            // the next tick, rather than whenever the set of connections next changes.
            guard_.answered();
            // A record says what was done: an answer whose rules did not reach the hive is not.
            if (result.done()) {
                guard_.LogEvent(RemA, RemP, LocP, eventText(event));
            }
            if (done) {
                done(result);
            }
        });
}

void Commands::deny(bool ra, bool rp, bool lp, const QString& RemA, const QString& RemP,
                    const QString& LocP, Done done) {
    const QString deny = QStringLiteral("1");
    std::vector<Rule> rules;
    if (ra) {
        rules.push_back({RuleList::Ip, RemA, deny});
    }
    if (rp) {
        rules.push_back({RuleList::RemotePort, RemP, deny});
    }
    if (lp) {
        rules.push_back({RuleList::LocalPort, LocP, deny});
    }
    guard_.whenIdle([this, rules = std::move(rules), RemA, RemP, LocP, done = std::move(done)] {
        const CommandResult result = store(rules);
        guard_.RefreshTable(true);
        if (result.done()) {
            guard_.LogEvent(RemA, RemP, LocP, eventText(Event::MenuDenied));
        }
        if (done) {
            done(result);
        }
    });
}

void Commands::cut(const platform::TcpRow& identity, const QString& RemA, const QString& RemP,
                   const QString& LocP, Done done) {
    guard_.whenIdle([this, identity, RemA, RemP, LocP, done = std::move(done)] {
        const platform::CutResult cut = table_.cut(identity);
        QCoreApplication::processEvents();
        // A connection already gone, or a cut refused, leaves no record claiming a cut.
        CommandResult result;
        if (cut == platform::CutResult::Cut) {
            guard_.LogEvent(RemA, RemP, LocP, eventText(Event::MenuCut));
        } else {
            result.status = CommandResult::Status::NotCut;
        }
        if (done) {
            done(result);
        }
    });
}

CommandResult Commands::addRule(RuleList list, const QString& name) {
    return store({{list, name, QStringLiteral("1")}});
}

CommandResult Commands::deleteRule(RuleList list, const QString& name) {
    const QString& key = ruleKey(list);
    modReg::DeleteRegValue(hive_, modReg::HKEY_LOCAL_MACHINE, key, name);
    guard_.rulesChanged();
    // A rule the hive refused to delete is still in force.
    if (modReg::ReadRegString(hive_, modReg::HKEY_LOCAL_MACHINE, key, name) == QLatin1String("1")) {
        const CommandResult result{CommandResult::Status::NotStored, hive_.lastError()};
        emit refused(result);
        return result;
    }
    emit ruleDeleted(list, name);
    return {};
}

CommandResult Commands::clearLog() {
    if (!log_.clear()) {
        return {CommandResult::Status::NotCleared, QString()};
    }
    emit logCleared();
    return {};
}

} // namespace quillon::monitor
