#pragma once

#include <QByteArray>
#include <QString>

// The file-system side of making a hive: its folders, and a new database placed whole with its
// -wal and -shm files beside it. Everything is made relative to a descriptor of the folder that
// holds it, with O_EXCL and O_NOFOLLOW, and given its group and mode through its own
// descriptor: nothing is ever created, chowned or chmodded by a name that another user could
// have replaced in between. Only files that no SQLite connection has open yet are touched:
// a descriptor of SQLite's files opened and closed outside SQLite would drop SQLite's own
// locks (POSIX record locks belong to the process).
namespace quillon::platform::hivefiles {

// Creates the missing folders down to `folder`; where the group `quillon` exists and this
// process may give it, the last one (the hive's own) is 2750 and of that group, else 0755.
// errno tells why it failed.
bool makeFolders(const QString& folder);

// Places a new, empty hive (`image`, the bytes of a database in WAL mode) at `path` with empty
// -wal and -shm files, unless a database is already there: true when one is now at `path`.
// The files take the group `quillon` and mode 0660 in a folder of that group, else 0644.
// errno tells why it failed.
bool placeNew(const QString& path, const QByteArray& image);

// Whether this process may trust the hive's folder: any process but root may (it risks only
// what it could reach anyway); root only a folder that no other user can change (see
// SafeFiles::rootOnlyPath), since SQLite opens the hive and its side files by name.
bool trustedFolder(const QString& path);

} // namespace quillon::platform::hivefiles
