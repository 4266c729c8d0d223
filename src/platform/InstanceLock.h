#pragma once

#include <QString>

namespace quillon::platform {

// Keeps a second copy of the program from running beside the first, per user: flock(2) on a
// file of the user's own in a folder of the user's own. The kernel releases the lock when its
// holder dies, however it dies, so no stale lock ever blocks a start; and since the file is
// opened without following links and must belong to the user, no other user's file can stand
// in the way.
class InstanceLock {
public:
    // quillon.lock in $XDG_RUNTIME_DIR when that is a folder of this user's own that nobody
    // else may write; else in /run/user/<uid> on the same terms; else in a 0700 folder
    // ~/.cache/quillon of the user's own (home from the user database, not the environment).
    // Empty when none of them can be had.
    static QString defaultPath();

    explicit InstanceLock(QString path = defaultPath());
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    QString path() const { return path_; }

    // Takes the lock without waiting. False when another process holds it, or the lock file
    // cannot be had. Whatever else sits at the path (a symbolic link, another user's file, a
    // folder left empty) is replaced by a file of the user's own first.
    bool tryLock();
    bool isLocked() const { return fd_ >= 0; }
    // Whether the last tryLock failed because another process holds the lock (rather than
    // for want of a place to keep it).
    bool heldElsewhere() const { return heldElsewhere_; }
    // Gives the lock up; the file stays (removing it would race with a starting copy that
    // has just opened it). Nothing when not held.
    void unlock();

private:
    QString path_;
    int fd_ = -1;
    bool heldElsewhere_ = false;
};

} // namespace quillon::platform
