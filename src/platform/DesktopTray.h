#pragma once

namespace quillon::platform {

// Whether the desktop's tray is a D-Bus StatusNotifierItem host (KDE Plasma, GNOME with the
// AppIndicator extension, current Xfce): a org.kde.StatusNotifierWatcher on the session bus
// says a host is registered. Qt asks the same question when it creates a tray icon and then
// uses that protocol instead of the X tray. False without a session bus.
bool statusNotifierHostRegistered();

} // namespace quillon::platform
