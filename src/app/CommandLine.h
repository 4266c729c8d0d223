#pragma once

#include <optional>

namespace quillon::app {

// Answers the arguments that end the program before it starts: --help and --version print
// and give exit status 0, anything unknown a one-line error and status 2. Runs before any
// Qt application object exists, so it needs no display. Returns nullopt when the program
// should start.
std::optional<int> handleCommandLine(int argc, char** argv);

} // namespace quillon::app
