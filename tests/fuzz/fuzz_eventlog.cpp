// The event log reader over any bytes: no crash, and a file that opens is read to its end.
#include "FuzzInput.h"
#include "core/settings/EventLog.h"

using quillon::settings::EventLog;
using quillon::settings::LogRecord;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString path = quillon::fuzz::inputFile(data, size);
    const bool ok = EventLog::read(path, [](LogRecord&&) {});
    quillon::fuzz::require(ok, "a readable file is read");
    return 0;
}
