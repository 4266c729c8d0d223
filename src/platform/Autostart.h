#pragma once

#include <QString>

// The start-with-the-system entry: a machine-wide XDG autostart desktop entry that starts the
// program when any user logs in to a desktop session.
namespace quillon::platform::Autostart {

// /etc/xdg/autostart/quillon.desktop
QString defaultPath();

// The text of the entry for `executable`.
QString entryText(const QString& executable);

// Writes (replaces) the entry at `path` so that it starts `executable`, creating the folder
// when missing. The file is replaced whole or left as it was. False when it could not be
// written (for example without the rights on /etc); callers carry on regardless.
bool write(const QString& path, const QString& executable);

} // namespace quillon::platform::Autostart
