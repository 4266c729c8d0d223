#include "platform/SocketOwners.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

// A whole number of decimal digits, or -1.
long long decimal(const char* s) {
    if (*s == '\0') {
        return -1;
    }
    long long v = 0;
    for (; *s != '\0'; ++s) {
        if (*s < '0' || *s > '9' || v > (LLONG_MAX - 9) / 10) {
            return -1;
        }
        v = v * 10 + (*s - '0');
    }
    return v;
}

// The numeric entries of a folder (process ids in /proc, descriptor numbers in fd/).
template <typename Int>
bool numericEntries(const char* folder, std::vector<Int>& out) {
    out.clear();
    DIR* d = ::opendir(folder);
    if (d == nullptr) {
        return false;
    }
    while (const dirent* e = ::readdir(d)) {
        const long long v = decimal(e->d_name);
        if (v >= 0 && v <= INT_MAX) {
            out.push_back(static_cast<Int>(v));
        }
    }
    ::closedir(d);
    return true;
}

// Reads a small /proc file whole; returns the byte count, or -1.
ssize_t readSmall(const char* file, char* buf, size_t size) {
    const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    ssize_t n;
    do {
        n = ::read(fd, buf, size - 1);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n >= 0) {
        buf[n] = '\0';
    }
    return n;
}

} // namespace

bool ProcFs::processes(std::vector<qint32>& pids) {
    return numericEntries("/proc", pids);
}

bool ProcFs::descriptors(qint32 pid, std::vector<int>& fds) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/fd", pid);
    return numericEntries(path, fds);
}

std::optional<quint64> ProcFs::socketInode(qint32 pid, int fd) {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/fd/%d", pid, fd);
    char link[64];
    const ssize_t n = ::readlink(path, link, sizeof link - 1);
    if (n < 0) {
        return std::nullopt;
    }
    constexpr char kPrefix[] = "socket:[";
    constexpr size_t kPrefixLen = sizeof kPrefix - 1;
    if (n <= static_cast<ssize_t>(kPrefixLen) + 1 || std::memcmp(link, kPrefix, kPrefixLen) != 0 ||
        link[n - 1] != ']') {
        return 0;
    }
    link[n - 1] = '\0';
    const long long inode = decimal(link + kPrefixLen);
    return inode > 0 ? static_cast<quint64>(inode) : 0;
}

quint64 ProcFs::startTime(qint32 pid) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    char buf[1024];
    if (readSmall(path, buf, sizeof buf) <= 0) {
        return 0;
    }
    // The command name in parentheses may hold spaces and parentheses itself: the fields
    // are counted from the last ')', which field 3 follows after one space. The start time,
    // field 22, follows the 20th space.
    const char* p = std::strrchr(buf, ')');
    if (p == nullptr) {
        return 0;
    }
    for (int field = 2; field < 22; ++field) {
        p = std::strchr(p + 1, ' ');
        if (p == nullptr) {
            return 0;
        }
    }
    return std::strtoull(p + 1, nullptr, 10);
}

qint64 ProcFs::processUser(qint32 pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d", pid);
    struct stat st {};
    return ::stat(path, &st) == 0 ? static_cast<qint64>(st.st_uid) : -1;
}

QString ProcFs::executable(qint32 pid) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/exe", pid);
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path, target, sizeof target);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof target)) {
        return {};
    }
    return QFile::decodeName(QByteArray(target, static_cast<int>(n)));
}

QString ProcFs::command(qint32 pid) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
    char buf[64];
    ssize_t n = readSmall(path, buf, sizeof buf);
    if (n <= 0) {
        return {};
    }
    if (buf[n - 1] == '\n') {
        --n;
    }
    return QString::fromUtf8(buf, static_cast<int>(n));
}

QString ProcFs::userName(quint32 uid) {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(4096);
    while (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == ERANGE &&
           buf.size() < (1u << 20)) {
        buf.resize(buf.size() * 2);
    }
    if (found != nullptr && found->pw_name != nullptr && found->pw_name[0] != '\0') {
        return QString::fromLocal8Bit(found->pw_name);
    }
    return QString::number(uid);
}

SocketOwners::SocketOwners(std::unique_ptr<ProcFs> fs)
    : fs_(fs ? std::move(fs) : std::make_unique<ProcFs>()) {}

SocketOwners::~SocketOwners() = default;

namespace {

// A row whose socket a process can hold. A TIME_WAIT socket and a half-open request socket
// have none (the kernel reports inode 0 for both).
bool hasSocket(const TcpRow& row) {
    return row.inode != 0 && row.dwState != StateTimeWait;
}

bool descriptorBefore(const std::pair<int, quint64>& d, int fd) {
    return d.first < fd;
}

} // namespace

void SocketOwners::resolve(const std::vector<TcpRow>& rows) {
    // Kept sorted between lookups: a set would cost five times the room in a big table.
    std::vector<quint64> wanted;
    wanted.reserve(rows.size());
    for (const TcpRow& row : rows) {
        if (hasSocket(row)) {
            wanted.push_back(row.inode);
        }
    }
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    // Connections closed since the last lookup: their descriptor numbers may come back
    // holding new sockets, so they are read again when they do.
    std::vector<quint64> gone;
    std::set_difference(wanted_.begin(), wanted_.end(), wanted.begin(), wanted.end(),
                        std::back_inserter(gone));
    forgetSockets(gone);
    wanted_.swap(wanted);

    std::unordered_map<quint64, quint32> missing;
    const auto collectMissing = [&] {
        missing.clear();
        for (const TcpRow& row : rows) {
            if (hasSocket(row) && !known(row.inode)) {
                missing.emplace(row.inode, row.uid);
            }
        }
    };
    collectMissing();
    if (missing.empty()) {
        // Nothing new: the holders are checked to be still running. (A scan does that for
        // every process it lists.)
        refreshHolders(wanted_);
        collectMissing();
    }
    if (!missing.empty()) {
        scan({}, false);
        collectMissing();
        if (!missing.empty()) {
            std::unordered_set<quint32> uids;
            for (const auto& m : missing) {
                uids.insert(m.second);
            }
            scan(uids, true);
            collectMissing();
            // Whoever holds these may not be looked into: they show their user alone.
            for (const auto& m : missing) {
                hidden_.insert(m.first);
            }
        }
    }
}

void SocketOwners::resolve(const std::vector<TcpRow>& rows, std::vector<SocketOwner>& owners) {
    resolve(rows);
    owners.clear();
    owners.reserve(rows.size());
    for (const TcpRow& row : rows) {
        owners.push_back(ownerOf(row));
    }
}

SocketOwner SocketOwners::ownerOf(const TcpRow& row) {
    SocketOwner o;
    if (!hasSocket(row)) {
        return o;
    }
    o.user = userName(row.uid);
    const auto h = holders_.find(row.inode);
    if (h == holders_.end() || h->second.empty()) {
        return o;
    }
    const qint32 pid = h->second.front();
    const Process& p = info(pid);
    o.pid = pid;
    o.path = p.path;
    o.command = p.command;
    o.shared = h->second.size() > 1;
    return o;
}

void SocketOwners::refreshHolders(const std::vector<quint64>& wanted) {
    // Only the holders of connections are checked, one read each: a process that ended (or
    // whose id now belongs to another) no longer holds what it held.
    std::unordered_set<qint32> pids;
    for (const quint64 inode : wanted) {
        const auto h = holders_.find(inode);
        if (h != holders_.end()) {
            h->second.forEach([&pids](qint32 pid) { pids.insert(pid); });
        }
    }
    for (const qint32 pid : pids) {
        const auto p = processes_.find(pid);
        if (p == processes_.end() || fs_->startTime(pid) != p->second.start) {
            forgetProcess(pid);
        }
    }
}

void SocketOwners::scan(const std::unordered_set<quint32>& uids, bool everyDescriptor) {
    if (!fs_->processes(pids_)) {
        return;
    }
    if (!everyDescriptor) {
        // Processes that ended since the last scan.
        std::unordered_set<qint32> running(pids_.begin(), pids_.end());
        std::vector<qint32> ended;
        for (const auto& [pid, p] : processes_) {
            if (running.count(pid) == 0) {
                ended.push_back(pid);
            }
        }
        for (const qint32 pid : ended) {
            forgetProcess(pid);
        }
    }
    for (const qint32 pid : pids_) {
        auto it = processes_.find(pid);
        const bool seenBefore = it != processes_.end();
        if (!seenBefore) {
            it = addProcess(pid);
            if (it == processes_.end()) {
                continue; // ended already
            }
        }
        if (everyDescriptor &&
            (it->second.uid < 0 || uids.count(static_cast<quint32>(it->second.uid)) == 0)) {
            continue;
        }
        const bool gained = readDescriptors(pid, it->second, everyDescriptor);
        // A process seen before that holds a new socket may be a new process under a reused
        // id; only then is that worth a read, and nothing read of the old one holds.
        if (gained && seenBefore && fs_->startTime(pid) != it->second.start) {
            forgetProcess(pid);
            it = addProcess(pid);
            if (it != processes_.end()) {
                readDescriptors(pid, it->second, true);
            }
        }
    }
}

std::unordered_map<qint32, SocketOwners::Process>::iterator SocketOwners::addProcess(qint32 pid) {
    const quint64 start = fs_->startTime(pid);
    if (start == 0) {
        return processes_.end();
    }
    auto it = processes_.emplace(pid, Process{}).first;
    it->second.start = start;
    it->second.uid = fs_->processUser(pid);
    return it;
}

bool SocketOwners::readDescriptors(qint32 pid, Process& p, bool everyDescriptor) {
    if (!fs_->descriptors(pid, fdList_)) {
        return false;
    }
    std::sort(fdList_.begin(), fdList_.end());
    // Descriptors closed since the last read; the process stops holding their sockets once
    // the new descriptors are in, unless one of those holds them too.
    std::vector<quint64> released;
    std::erase_if(p.fds, [&](const Descriptor& d) {
        if (std::binary_search(fdList_.begin(), fdList_.end(), d.first)) {
            return false;
        }
        released.push_back(d.second);
        return true;
    });
    bool gained = false;
    std::vector<Descriptor> added;
    for (const int fd : fdList_) {
        const auto d = std::lower_bound(p.fds.begin(), p.fds.end(), fd, descriptorBefore);
        const bool known = d != p.fds.end() && d->first == fd;
        if (known && !everyDescriptor) {
            continue;
        }
        // A descriptor closed since the listing (such as the one that listed them, in this
        // very process) is not remembered: its number is read when it comes back.
        const std::optional<quint64> inode = fs_->socketInode(pid, fd);
        if (!inode || (known && d->second == *inode)) {
            continue;
        }
        if (known) {
            released.push_back(d->second);
            d->second = *inode;
        } else {
            added.push_back({fd, *inode});
        }
        if (*inode != 0) {
            holders_[*inode].add(pid);
            hidden_.erase(*inode);
            gained = true;
        }
    }
    // The new numbers come in order: one merge keeps the list sorted.
    const auto middle = static_cast<std::ptrdiff_t>(p.fds.size());
    p.fds.insert(p.fds.end(), added.begin(), added.end());
    std::inplace_merge(p.fds.begin(), p.fds.begin() + middle, p.fds.end());
    releaseUnheld(pid, p, released);
    return gained;
}

void SocketOwners::releaseUnheld(qint32 pid, const Process& p, std::vector<quint64>& inodes) {
    std::erase(inodes, 0);
    if (inodes.empty()) {
        return;
    }
    std::sort(inodes.begin(), inodes.end());
    inodes.erase(std::unique(inodes.begin(), inodes.end()), inodes.end());
    std::vector<bool> stillHeld(inodes.size());
    for (const Descriptor& d : p.fds) {
        const auto i = std::lower_bound(inodes.begin(), inodes.end(), d.second);
        if (i != inodes.end() && *i == d.second) {
            stillHeld[static_cast<size_t>(i - inodes.begin())] = true;
        }
    }
    for (size_t i = 0; i < inodes.size(); ++i) {
        if (!stillHeld[i]) {
            releaseHolder(pid, inodes[i]);
        }
    }
}

void SocketOwners::releaseHolder(qint32 pid, quint64 inode) {
    const auto h = holders_.find(inode);
    if (h == holders_.end()) {
        return;
    }
    h->second.remove(pid);
    if (h->second.empty()) {
        holders_.erase(h);
    }
}

void SocketOwners::forgetProcess(qint32 pid) {
    const auto p = processes_.find(pid);
    if (p == processes_.end()) {
        return;
    }
    const std::vector<Descriptor> fds = std::move(p->second.fds);
    processes_.erase(p);
    for (const Descriptor& d : fds) {
        if (d.second != 0) {
            releaseHolder(pid, d.second);
        }
    }
}

void SocketOwners::Holders::add(qint32 pid) {
    if (first_ == 0) {
        first_ = pid;
        return;
    }
    if (first_ == pid) {
        return;
    }
    if (!more_) {
        more_ = std::make_unique<std::vector<qint32>>();
    } else if (std::find(more_->begin(), more_->end(), pid) != more_->end()) {
        return;
    }
    more_->push_back(pid);
}

void SocketOwners::Holders::remove(qint32 pid) {
    if (pid == first_) {
        // The next holder found moves up, so the order of finding is kept.
        first_ = 0;
        if (more_) {
            first_ = more_->front();
            more_->erase(more_->begin());
        }
    } else if (more_) {
        more_->erase(std::remove(more_->begin(), more_->end(), pid), more_->end());
    }
    if (more_ && more_->empty()) {
        more_.reset();
    }
}

void SocketOwners::forgetSockets(const std::vector<quint64>& gone) {
    // One pass over each holder's descriptors for all the sockets at once: a program that
    // closes thousands of connections together costs one pass, not one per connection.
    std::vector<qint32> holders;
    for (const quint64 inode : gone) {
        hidden_.erase(inode);
        const auto h = holders_.find(inode);
        if (h != holders_.end()) {
            h->second.forEach([&holders](qint32 pid) { holders.push_back(pid); });
            holders_.erase(h);
        }
    }
    std::sort(holders.begin(), holders.end());
    holders.erase(std::unique(holders.begin(), holders.end()), holders.end());
    for (const qint32 pid : holders) {
        const auto p = processes_.find(pid);
        if (p != processes_.end()) {
            std::erase_if(p->second.fds, [&gone](const Descriptor& d) {
                return std::binary_search(gone.begin(), gone.end(), d.second);
            });
        }
    }
}

bool SocketOwners::known(quint64 inode) const {
    return holders_.count(inode) != 0 || hidden_.count(inode) != 0;
}

SocketOwners::Process& SocketOwners::info(qint32 pid) {
    Process& p = processes_[pid];
    if (!p.infoRead) {
        p.infoRead = true;
        p.path = fs_->executable(pid);
        p.command = fs_->command(pid);
    }
    return p;
}

const QString& SocketOwners::userName(quint32 uid) {
    auto it = users_.find(uid);
    if (it == users_.end()) {
        it = users_.emplace(uid, fs_->userName(uid)).first;
    }
    return it->second;
}

} // namespace quillon::platform
