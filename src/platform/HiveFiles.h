#pragma once

#include <QByteArray>
#include <QString>

// The file-system side of making a hive: its folders and the files' owner group and modes, and
// placing a new database whole under the hive's name. Only names are used here: a descriptor
// of SQLite's files opened and closed outside SQLite would drop SQLite's own locks (POSIX
// record locks belong to the process).
namespace quillon::platform::hivefiles {

// Creates the missing folders down to `folder`, the last one (the hive's own) open to the
// group `quillon` where it exists; errno tells why it failed.
bool makeFolders(const QString& folder);

// Gives the new database `made` its group and mode and links it in at `path` unless a hive is
// already there (made by another process at the same moment): true when a hive is now at
// `path`; errno tells why it failed.
bool place(const QByteArray& made, const QString& path);

// Removes the new database and whatever SQLite left beside it.
void removeMade(const QByteArray& made);

} // namespace quillon::platform::hivefiles
