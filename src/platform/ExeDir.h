#pragma once

#include <QString>

namespace quillon::platform {

// The folder of the running executable (from /proc/self/exe), without a trailing slash.
// The trojan table, the splash picture and the event log live there.
QString executableDir();

// The full path of the running executable.
QString executablePath();

} // namespace quillon::platform
