#pragma once

#include "ui/chrome/WindowHelpers.h"

#include <QString>

class QWidget;

namespace quillon::shell {
class Program;
}

// The start-up load (the window helpers of the module are in ui/chrome/WindowHelpers.h, where
// every window reaches them).
namespace quillon::modGeneral {

// Brings the stored state into the windows at start: creates the console hidden (which
// restores its switches and level and fills its rule lists and log view), then restores the
// main window's list mode from the value its toolbar button 4 stores.
void LoadSettings(shell::Program& program);

} // namespace quillon::modGeneral
