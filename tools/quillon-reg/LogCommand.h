#pragma once

#include <QStringList>

namespace quillon::regtool {

// `quillon-reg log [--csv] [FILE]`: prints the event log in UTF-8 for shell users, the file
// itself staying in its code page. Returns the tool's exit status.
int logCommand(QStringList args);

} // namespace quillon::regtool
