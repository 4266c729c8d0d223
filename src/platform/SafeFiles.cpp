#include "platform/SafeFiles.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::platform::SafeFiles {

namespace {

QByteArray folderOf(const QString& path) {
    return QFile::encodeName(QFileInfo(path).absolutePath());
}

// Opens without following a link and without blocking on a FIFO, then insists on a regular
// file and makes the descriptor blocking again.
int openRegular(const QByteArray& file, int flags) {
    const int fd =
        ::open(file.constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

} // namespace

bool rootOnlyPath(const QString& path) {
    QByteArray at = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    if (!at.startsWith('/')) {
        return false;
    }
    // A folder above may be open to all when it is root's and sticky (/tmp): there no one else
    // may rename or remove root's entries, so the path below stays root's.
    for (bool above = false;; above = true) {
        struct stat st {};
        if (::lstat(at.constData(), &st) != 0 || S_ISLNK(st.st_mode) || st.st_uid != 0 ||
            ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !(above && (st.st_mode & S_ISVTX) != 0))) {
            return false;
        }
        if (at == "/") {
            return true;
        }
        const qsizetype slash = at.lastIndexOf('/');
        at.truncate(slash > 0 ? slash : 1);
    }
}

bool trustedFolder(const QString& folder) {
    return ::geteuid() != 0 || rootOnlyPath(folder);
}

int open(const QString& path, Mode mode) {
    const QByteArray file = QFile::encodeName(path);
    if (mode == Mode::Read) {
        return openRegular(file, O_RDONLY);
    }
    if (!trustedFolder(QFile::decodeName(folderOf(path)))) {
        errno = EACCES;
        return -1;
    }
    return openRegular(file,
                       (mode == Mode::AppendAndRead ? O_RDWR : O_WRONLY) | O_APPEND | O_CREAT);
}

bool empty(const QString& path) {
    if (!trustedFolder(QFile::decodeName(folderOf(path)))) {
        return false;
    }
    const int fd = openRegular(QFile::encodeName(path), O_WRONLY | O_CREAT);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::ftruncate(fd, 0) == 0;
    ::close(fd);
    return ok;
}

bool canAppend(const QString& path) {
    const QByteArray folder = folderOf(path);
    if (!trustedFolder(QFile::decodeName(folder))) {
        return false;
    }
    const QByteArray file = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(file.constData(), &st) != 0) {
        return errno == ENOENT && ::access(folder.constData(), W_OK | X_OK) == 0;
    }
    return S_ISREG(st.st_mode) && ::access(file.constData(), W_OK) == 0;
}

} // namespace quillon::platform::SafeFiles
