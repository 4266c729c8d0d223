#include "platform/HiveFiles.h"

#include "platform/SafeFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::platform::hivefiles {

namespace {

constexpr gid_t kNoGroup = static_cast<gid_t>(-1);

gid_t quillonGroup() {
    const group* g = ::getgrnam("quillon");
    return g ? g->gr_gid : kNoGroup;
}

// Closes a descriptor when its scope ends.
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    bool ok() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Gives a file the group and mode of the hive in `folderGroup`'s folder: the group quillon's
// members edit the rules where the folder is theirs (0660); elsewhere only the owner writes and
// everyone reads (0644), since Quillon run by a user must read the rules to judge connections.
void setHiveMode(int fd, gid_t folderGroup) {
    const gid_t shared = quillonGroup();
    mode_t mode = 0644;
    if (shared != kNoGroup && folderGroup == shared) {
        struct stat st {};
        if ((::fstat(fd, &st) == 0 && st.st_gid == shared) ||
            ::fchown(fd, static_cast<uid_t>(-1), shared) == 0) {
            mode = 0660;
        }
    }
    ::fchmod(fd, mode);
}

// Writes all of `bytes`; false when the disk is full or the write fails.
bool writeWhole(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += n;
    }
    return true;
}

// Makes a file that did not exist, relative to the folder, with `bytes` in it; a name taken
// meanwhile (by anything, a link included) makes it fail with EEXIST.
bool makeFile(int dir, const QByteArray& name, const QByteArray& bytes, gid_t folderGroup) {
    Fd fd(::openat(dir, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0600));
    if (!fd.ok()) {
        return false;
    }
    setHiveMode(fd.get(), folderGroup);
    return writeWhole(fd.get(), bytes) && ::fsync(fd.get()) == 0;
}

} // namespace

// Each folder's mode is set explicitly: mkdir(2) takes the umask off, which would leave a folder
// open to everyone under umask 0 or closed to the group under 077. A new folder is set up
// through a descriptor of its own, opened without following a link, and its parent is held
// open while it is made.
bool makeFolders(const QString& folder) {
    QStringList missing;
    QString at = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    while (!QFileInfo::exists(at)) {
        missing.prepend(QFileInfo(at).fileName());
        const QString up = QFileInfo(at).absolutePath();
        if (up == at) {
            errno = ENOENT;
            return false;
        }
        at = up;
    }
    auto parent = std::make_unique<Fd>(
        ::open(QFile::encodeName(at).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent->ok()) {
        return false;
    }
    const gid_t shared = quillonGroup();
    for (qsizetype i = 0; i < missing.size(); ++i) {
        const QByteArray name = QFile::encodeName(missing[i]);
        // EEXIST: made by another process at the same moment, and left as it made it.
        const bool madeHere = ::mkdirat(parent->get(), name.constData(), 0700) == 0;
        if (!madeHere && errno != EEXIST) {
            return false;
        }
        auto made = std::make_unique<Fd>(::openat(parent->get(), name.constData(),
                                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!made->ok()) {
            return false;
        }
        if (madeHere) {
            mode_t mode = 0755;
            if (i + 1 == missing.size() && shared != kNoGroup &&
                ::fchown(made->get(), static_cast<uid_t>(-1), shared) == 0) {
                mode = 02750;
            }
            if (::fchmod(made->get(), mode) != 0) {
                return false;
            }
        }
        parent = std::move(made);
    }
    return true;
}

// The side files are made first, so that the database never stands without them, and
// whatever lay at their names before is removed, never reused: a stale log would be replayed
// into the new database, and a stale journal rolled into it. Two processes making the hive at
// once take turns on a lock of the folder; the second finds the hive there.
bool placeNew(const QString& path, const QByteArray& image) {
    const QFileInfo info(path);
    Fd dir(::open(QFile::encodeName(info.absolutePath()).constData(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.ok() || ::flock(dir.get(), LOCK_EX) != 0) {
        return false;
    }
    const QByteArray name = QFile::encodeName(info.fileName());
    struct stat st {};
    if (::fstatat(dir.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return true;
    }
    if (errno != ENOENT || ::fstat(dir.get(), &st) != 0) {
        return false;
    }
    const gid_t folderGroup = st.st_gid;
    for (const char* side : {"-wal", "-shm", "-journal"}) {
        const QByteArray sideName = name + side;
        if (::unlinkat(dir.get(), sideName.constData(), 0) != 0 && errno != ENOENT) {
            return false;
        }
        if (qstrcmp(side, "-journal") != 0 && !makeFile(dir.get(), sideName, {}, folderGroup)) {
            return false;
        }
    }
    const QByteArray temp = name + ".new-" + QByteArray::number(::getpid()) + '-' +
                            QByteArray::number(QRandomGenerator::global()->generate(), 16);
    bool placed = makeFile(dir.get(), temp, image, folderGroup);
    if (placed) {
        placed = ::linkat(dir.get(), temp.constData(), dir.get(), name.constData(), 0) == 0;
        if (!placed && errno != EEXIST) {
            // A file system without hard links: a rename that never replaces.
            placed = ::renameat2(dir.get(), temp.constData(), dir.get(), name.constData(),
                                 RENAME_NOREPLACE) == 0;
        }
        placed = placed || errno == EEXIST;
    }
    const int error = errno;
    ::unlinkat(dir.get(), temp.constData(), 0);
    ::fsync(dir.get());
    errno = error;
    return placed;
}

// A folder still to be made is judged by the nearest one that exists, in which it will be made.
bool trustedFolder(const QString& path) {
    QString folder = QFileInfo(path).absolutePath();
    while (!QFileInfo::exists(folder) && QFileInfo(folder).absolutePath() != folder) {
        folder = QFileInfo(folder).absolutePath();
    }
    return SafeFiles::trustedFolder(folder);
}

} // namespace quillon::platform::hivefiles
