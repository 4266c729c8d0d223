#pragma once

namespace quillon::ui {

// Registers the pictures compiled into this library (toolbar, console art, skin, tray
// icons). The library is static, so the linker would drop registrations that nothing calls;
// main() calls this once before the first window, and so does every window test.
void InitResources();

} // namespace quillon::ui
