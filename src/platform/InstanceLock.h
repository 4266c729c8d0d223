#pragma once

#include <QString>
#include <memory>

class QLockFile;

namespace quillon::platform {

// Keeps a second copy of the program from running beside the first: a lock file that names
// the owning process. A lock left behind by a process that died (a crash, a kill, or the
// immediate exit path) is taken over on the next start.
class InstanceLock {
public:
    // /run/lock/quillon.lock, or /tmp/quillon.lock where /run/lock cannot be written.
    static QString defaultPath();

    explicit InstanceLock(QString path = defaultPath());
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    QString path() const { return path_; }

    // Takes the lock without waiting. False when a live process holds it (or the lock file
    // cannot be created at all).
    bool tryLock();
    bool isLocked() const;
    // Gives the lock up (removes the file); nothing when not held.
    void unlock();

private:
    QString path_;
    std::unique_ptr<QLockFile> lock_;
};

} // namespace quillon::platform
