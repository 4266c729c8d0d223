#include "settings/LogEvent.h"

#include "settings/EventLog.h"
#include "settings/frmOptions.h"
#include "shell/Program.h"

namespace quillon::modGeneral {

void LogEvent(shell::Program& program, const QString& RemA, const QString& RemP,
              const QString& LocP, const QString& action) {
    if (!program.eventLog().LogEvent(RemA, RemP, LocP, action)) {
        return;
    }
    // A live console took the row from the log's notice already; a console created here
    // fills its view from the file, new line included, so nothing is added twice.
    program.options();
}

} // namespace quillon::modGeneral
