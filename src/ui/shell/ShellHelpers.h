#pragma once

#include "platform/KernelGuard.h"
#include "platform/TcpTable.h"

#include <QString>

class QWidget;

namespace quillon::shell {

// What the process lacks to do its work, found at start.
struct Rights {
    platform::CutAccess cut = platform::CutAccess::Ok; // dropping connections
    bool hiveWritable = true;                          // storing rules and settings
    bool hiveReadable = true;                          // reading them (this process may)
    bool hiveDamaged = false;                          // reading them (the file is sound)
    bool hiveUnsafe = false;        // root declines a hive in a folder other users can change
    bool hiveIncomplete = false;    // its -wal or -shm file is gone: no write can succeed
    bool logWritable = true;        // writing the event log
    bool logDeclinedAsRoot = false; // root declines a log in a folder others can change
    // refusing denied connects before they connect and cutting on kernel events
    platform::Immediate immediate = platform::Immediate::On;
};

// Where the notice points the user to.
struct RightsPaths {
    QString helper; // quillon-cut beside the executable
    QString hive;
    QString log;
};

// The one notice shown at start when rights are missing: one line per missing right, saying
// what cannot be done, why, and how to grant it. Empty when nothing is missing.
QString RightsNotice(const Rights& rights, const RightsPaths& paths);

// Why denied connects are not refused at once, and that the poll still cuts them; empty while
// immediate enforcement works.
QString ImmediateLine(platform::Immediate immediate, const QString& helper);

// The tray tool tip's line while rights are missing: what cannot be done, in a few words.
// Empty when nothing is missing.
QString MissingRightsLine(const Rights& rights);

// The message of a command whose rules were not stored: that they were not, and which right
// is missing (else the store's own reason, `why`).
QString NotStoredMessage(const Rights& rights, const RightsPaths& paths, const QString& why);

} // namespace quillon::shell
