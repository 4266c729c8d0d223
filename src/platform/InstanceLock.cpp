#include "platform/InstanceLock.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <unistd.h>

namespace quillon::platform {

QString InstanceLock::defaultPath() {
    const QString runLock = QStringLiteral("/run/lock");
    if (::access(QFile::encodeName(runLock).constData(), W_OK | X_OK) == 0) {
        return runLock + QStringLiteral("/quillon.lock");
    }
    return QDir::tempPath() + QStringLiteral("/quillon.lock");
}

InstanceLock::InstanceLock(QString path) : path_(std::move(path)) {}

InstanceLock::~InstanceLock() = default;

bool InstanceLock::tryLock() {
    if (isLocked()) {
        return true;
    }
    lock_ = std::make_unique<QLockFile>(path_);
    // The lock is held for the whole run, which lasts days. An age limit would let a second
    // copy take the lock from a live first one after that time, so there is none: a lock is
    // stale only when the process it names is gone, which QLockFile checks by pid and name.
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0)) {
        return true;
    }
    lock_.reset();
    return false;
}

bool InstanceLock::isLocked() const {
    return lock_ && lock_->isLocked();
}

void InstanceLock::unlock() {
    if (lock_) {
        lock_->unlock();
        lock_.reset();
    }
}

} // namespace quillon::platform
