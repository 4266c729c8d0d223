#pragma once

#include <QString>

namespace quillon::shell {
class Program;
}

namespace quillon::modGeneral {

// Records one event: a line in the event log file and a row at the end of the console's log
// view. A console that does not exist yet is created (hidden); it reads the new line from
// the file itself. An event the file refused is dropped, from the view too.
void LogEvent(shell::Program& program, const QString& RemA, const QString& RemP,
              const QString& LocP, const QString& action);

} // namespace quillon::modGeneral
