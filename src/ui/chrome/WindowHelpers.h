#pragma once

class QWidget;

// Window helpers of modGeneral that every window uses, below the windows themselves.
namespace quillon::modGeneral {

// With `activate` true: restores a minimised window to the state it had before (a window
// that was maximised comes back maximised), otherwise brings it to the top. With `activate`
// false: minimises it.
void ActivateWindow(QWidget* window, bool activate);

// Gives a top-level window its place in the stacking order and shows it at its own position
// and size without activating it. Modes: 1 topmost (stays above other windows), 2 top,
// 3 not topmost, 4 bottom; any other mode is 2.
void PlaceWindow(QWidget* window, int mode);

// Centres a window on the screen it belongs to: left = (screen width - window width) / 2,
// top likewise. Nothing happens where there is no screen.
void CentreOnScreen(QWidget& window);

} // namespace quillon::modGeneral
