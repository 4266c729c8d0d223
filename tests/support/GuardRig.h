#pragma once

#include "core/blocking/TrojanTable.h"
#include "core/monitor/Guard.h"
#include "core/settings/EventLog.h"
#include "core/settings/Switches.h"
#include "platform/RegistryHive.h"
#include "support/FakeTcpTable.h"
#include "support/TestSupport.h"

namespace quillon::test {

// A guard over a scripted table, with a fresh hive, log and trojan file of its own, for the
// core's tests without a display.
struct GuardServices {
    ScratchFolder dir;
    FakeTcpTable table;
    platform::RegistryHive hive{dir.filePath(QStringLiteral("registry.db"))};
    settings::EventLog log{dir.filePath(QStringLiteral("WDlog.log"))};
    blocking::TrojanTable trojans{dir.filePath(QStringLiteral("QLWD.dat"))};
    settings::Switches switches{hive};
    monitor::Guard guard{{table, hive, log, trojans, switches}};
};

} // namespace quillon::test
