#pragma once

#include <QString>

// Opening the files the program keeps beside its executable (the event log, the trojan
// table, the splash picture) without being led astray by what others put there: never
// through a symbolic link, only ever a regular file (a device or FIFO could block the
// program or feed it without end), and, for root, never writing where another user could
// swap the file underneath.
namespace quillon::platform::SafeFiles {

// Whether `path` and every folder above it belong to root and may be written by no one else
// (no group or other write bit, no symbolic link on the way); a folder above `path` may also
// be a root-owned sticky folder such as /tmp. Only such a file may be trusted by root, or named
// where every user's session would run it.
bool rootOnlyPath(const QString& path);

// Whether this process may write files in `folder` without trusting another user: any
// process but root may (it risks only what it could reach anyway); root only where
// rootOnlyPath holds.
bool trustedFolder(const QString& folder);

enum class Mode {
    Read,          // an existing regular file, read only
    Append,        // append, creating the file when missing; write only
    AppendAndRead, // the same, also readable (to look at the last line's end)
};

// A descriptor for the file (close-on-exec, blocking), or -1 with errno set: ELOOP for a
// link, EINVAL for anything but a regular file, EACCES where root may not write.
int open(const QString& path, Mode mode);

// Empties the file in place (creating it when missing): a link in its place is refused, and
// so is anything but a regular file, on the same terms as an append.
bool empty(const QString& path);

// Whether an append would succeed now, found without creating or changing anything.
bool canAppend(const QString& path);

} // namespace quillon::platform::SafeFiles
