#pragma once

#include <QString>
#include <functional>
#include <memory>

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
}

namespace quillon::monitor {

class Commands;
class Guard;

// What a running Quillon works with, apart from its windows (QtCore only): the TCP table, the
// hive, the switches, the event log, the trojan table, the guard and the user's commands. Each
// service is made on first reference (the trojan table reads its file then). The windows get
// this, and nothing of each other.
class CoreServices {
public:
    struct Config {
        platform::TcpTable* table = nullptr;      // not owned
        platform::RegistryHive* hive = nullptr;   // not owned
        platform::SocketOwners* owners = nullptr; // not owned; none: programs are not looked up
        QString programDir;                       // QLWD.dat and WDlog.log live here
    };

    explicit CoreServices(Config config);
    ~CoreServices();
    CoreServices(const CoreServices&) = delete;
    CoreServices& operator=(const CoreServices&) = delete;

    platform::TcpTable& table() { return *config_.table; }
    platform::RegistryHive& hive() { return *config_.hive; }
    platform::SocketOwners* owners() { return config_.owners; }
    const QString& programDir() const { return config_.programDir; }

    settings::Switches& switches() { return *switches_; }
    settings::EventLog& eventLog();
    blocking::TrojanTable& trojans();
    Guard& guard();
    Commands& commands();

    // Called once, when the guard is made, so that the views can follow its notices.
    void onGuardMade(std::function<void(Guard&)> handler) { guardMade_ = std::move(handler); }

private:
    Config config_;
    std::function<void(Guard&)> guardMade_;
    std::unique_ptr<settings::Switches> switches_;
    std::unique_ptr<settings::EventLog> eventLog_;
    std::unique_ptr<blocking::TrojanTable> trojans_;
    // After the services they use, so that they go before them.
    std::unique_ptr<Guard> guard_;
    std::unique_ptr<Commands> commands_;
};

} // namespace quillon::monitor
