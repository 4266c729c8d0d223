#include "core/monitor/CoreServices.h"

#include "core/blocking/TrojanTable.h"
#include "core/monitor/Commands.h"
#include "core/monitor/Guard.h"
#include "core/settings/EventLog.h"
#include "core/settings/Switches.h"

#include <utility>

namespace quillon::monitor {

CoreServices::CoreServices(Config config)
    : config_(std::move(config)), switches_(std::make_unique<settings::Switches>(*config_.hive)) {}

CoreServices::~CoreServices() = default;

settings::EventLog& CoreServices::eventLog() {
    if (!eventLog_) {
        eventLog_ =
            std::make_unique<settings::EventLog>(config_.programDir + QStringLiteral("/WDlog.log"));
    }
    return *eventLog_;
}

blocking::TrojanTable& CoreServices::trojans() {
    if (!trojans_) {
        trojans_ = std::make_unique<blocking::TrojanTable>(config_.programDir +
                                                           QStringLiteral("/QLWD.dat"));
    }
    return *trojans_;
}

Guard& CoreServices::guard() {
    if (!guard_) {
        guard_ = std::make_unique<Guard>(
            Guard::Services{table(), hive(), eventLog(), trojans(), *switches_, config_.owners});
        commands_ = std::make_unique<Commands>(*guard_, hive(), eventLog(), table());
        if (guardMade_) {
            guardMade_(*guard_);
        }
    }
    return *guard_;
}

Commands& CoreServices::commands() {
    guard();
    return *commands_;
}

} // namespace quillon::monitor
