#pragma once

#include <QString>

// The start-with-the-system entry: an XDG autostart desktop entry that starts the program
// when a desktop session begins. The machine-wide one runs in every user's session, so it may
// only ever name a binary that no one but root can replace.
namespace quillon::platform::Autostart {

// /etc/xdg/autostart/quillon.desktop
QString defaultPath();

// $XDG_CONFIG_HOME/autostart/quillon.desktop (~/.config when that is unset or relative).
QString userPath();

enum class Scope {
    MachineWide, // the binary and every folder above it are root's and no one else's to write
    User,        // anything else, run by a user: that user's own entry
    None,        // anything else, run by root: no entry at all
};

// Where the entry for `executable` belongs.
Scope scopeFor(const QString& executable, bool runningAsRoot);

// The path to write the entry for `executable` to, given the machine-wide and the user's
// paths, for this process; empty when no entry may be written.
QString placeFor(const QString& executable, const QString& machineWide, const QString& user);

// The text of the entry for `executable`.
QString entryText(const QString& executable);

// Writes (replaces) the entry at `path` so that it starts `executable`, creating the folder
// when missing. The file is replaced whole or left as it was. False when it could not be
// written (for example without the rights on /etc); callers carry on regardless.
bool write(const QString& path, const QString& executable);

} // namespace quillon::platform::Autostart
