#include "platform/InstanceLock.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

const char kLockName[] = "/quillon.lock";

// A folder of this user's own that no one else may write (links not followed).
bool ownPrivateFolder(const QByteArray& path) {
    struct stat st {};
    return !path.isEmpty() && ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Makes `path` a 0700 folder of this user's own, creating it (and its parent) when missing.
bool makePrivateFolder(const QByteArray& parent, const QByteArray& path) {
    ::mkdir(parent.constData(), 0700);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    return ownPrivateFolder(path);
}

} // namespace

QString InstanceLock::defaultPath() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/') && ownPrivateFolder(runtime)) {
        return QFile::decodeName(runtime) + QLatin1String(kLockName);
    }
    const QByteArray perUser = "/run/user/" + QByteArray::number(::geteuid());
    if (ownPrivateFolder(perUser)) {
        return QFile::decodeName(perUser) + QLatin1String(kLockName);
    }
    // The home folder comes from the user database: under sudo the environment may still
    // name the calling user's.
    const passwd* pw = ::getpwuid(::geteuid());
    if (pw == nullptr || pw->pw_dir == nullptr || pw->pw_dir[0] != '/') {
        return {};
    }
    const QByteArray cache = QByteArray(pw->pw_dir) + "/.cache";
    const QByteArray folder = cache + "/quillon";
    if (!makePrivateFolder(cache, folder)) {
        return {};
    }
    return QFile::decodeName(folder) + QLatin1String(kLockName);
}

InstanceLock::InstanceLock(QString path) : path_(std::move(path)) {}

InstanceLock::~InstanceLock() {
    unlock();
}

bool InstanceLock::tryLock() {
    if (isLocked()) {
        return true;
    }
    heldElsewhere_ = false;
    if (path_.isEmpty()) {
        return false;
    }
    const QByteArray file = QFile::encodeName(path_);
    constexpr int kFlags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(file.constData(), kFlags, 0600);
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) {
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                ::close(fd);
                heldElsewhere_ = true; // a live copy holds it
                return false;
            }
            fd_ = fd;
            return true;
        }
        const int error = errno;
        if (fd >= 0) {
            ::close(fd);
        } else if (error != ELOOP && error != EISDIR && error != EACCES && error != EPERM) {
            return false; // no such folder, or none of the user's own
        }
        // Not a file of our own (a link, a device, a folder, someone else's file): it is
        // taken away and a file of our own made in its place. Only the folder's owner, or
        // root, can do that, and the folders chosen above are the user's own.
        if (::unlink(file.constData()) != 0 && ::rmdir(file.constData()) != 0) {
            return false;
        }
    }
    return false;
}

void InstanceLock::unlock() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace quillon::platform
