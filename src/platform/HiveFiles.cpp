#include "platform/HiveFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::platform::hivefiles {

namespace {

// Who may use a hive the program creates. Where the group `quillon` exists, its members edit
// the rules: the folder is 2770 and of that group, so that every file made in it belongs to the
// group too, and the files are 0660. Without the group only the owner writes, and everyone
// reads, since a program run by a user must read the rules to judge connections: folder 0755,
// files 0644. SQLite gives its -wal and -shm files the database file's mode.
struct HiveModes {
    gid_t group = static_cast<gid_t>(-1);
    mode_t folder = 0755;
    mode_t file = 0644;
};

HiveModes hiveModes() {
    HiveModes modes;
    if (const group* g = ::getgrnam("quillon")) {
        modes.group = g->gr_gid;
        modes.folder = 02770;
        modes.file = 0660;
    }
    return modes;
}

// A new hive file's mode: 0660 once it belongs to the group `quillon` (a member or root may
// give it that group), else 0644.
void setFileMode(const QByteArray& name, const HiveModes& modes) {
    mode_t mode = 0644;
    if (modes.group != static_cast<gid_t>(-1)) {
        struct stat st {};
        if ((::stat(name.constData(), &st) == 0 && st.st_gid == modes.group) ||
            ::chown(name.constData(), static_cast<uid_t>(-1), modes.group) == 0) {
            mode = modes.file;
        }
    }
    ::chmod(name.constData(), mode);
}

} // namespace

// Each folder's mode is set explicitly: mkdir(2) takes the umask off, which would leave a folder
// open to everyone under umask 0 or closed to the group under 077. The hive's own folder is
// closed until its group and mode are set.
bool makeFolders(const QString& folder) {
    const HiveModes modes = hiveModes();
    QStringList missing;
    QString at = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    while (!QFileInfo::exists(at)) {
        missing.prepend(at);
        const QString up = QFileInfo(at).absolutePath();
        if (up == at) {
            break;
        }
        at = up;
    }
    for (qsizetype i = 0; i < missing.size(); ++i) {
        const QByteArray name = QFile::encodeName(missing[i]);
        if (::mkdir(name.constData(), 0700) != 0) {
            if (errno == EEXIST) {
                continue; // made by another process at the same moment
            }
            return false;
        }
        mode_t mode = 0755;
        if (i + 1 == missing.size() && modes.group != static_cast<gid_t>(-1) &&
            ::chown(name.constData(), static_cast<uid_t>(-1), modes.group) == 0) {
            mode = modes.folder;
        }
        if (::chmod(name.constData(), mode) != 0) {
            return false;
        }
    }
    return true;
}

bool place(const QByteArray& made, const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    setFileMode(made, hiveModes());
    bool placed = ::link(made.constData(), name.constData()) == 0 || errno == EEXIST;
    if (!placed && errno != EEXIST) {
        // A file system without hard links: a rename that never replaces.
        placed = ::renameat2(AT_FDCWD, made.constData(), AT_FDCWD, name.constData(),
                             RENAME_NOREPLACE) == 0 ||
                 errno == EEXIST;
    }
    return placed;
}

void removeMade(const QByteArray& made) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        ::unlink((made + suffix).constData());
    }
}

} // namespace quillon::platform::hivefiles
