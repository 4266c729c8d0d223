#pragma once

#include "platform/TcpTable.h"

#include <QString>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quillon::platform {

// What is known of the program behind one connection.
struct SocketOwner {
    qint32 pid = 0;      // 0: no process holding the socket could be seen
    QString path;        // the executable (/proc/PID/exe); empty when it cannot be read
    QString command;     // the command name (/proc/PID/comm)
    bool shared = false; // further processes hold the socket too
    QString user;        // the socket's user; empty for a row without a socket (TIME_WAIT)

    bool hasProcess() const { return pid > 0; }
    bool empty() const { return pid == 0 && user.isEmpty(); }
};

// The reads of /proc that owner lookup makes, one call per system call it stands for, so
// that tests can count them.
class ProcFs {
public:
    virtual ~ProcFs() = default;
    // The processes running now (the numeric entries of /proc). False when unreadable.
    virtual bool processes(std::vector<qint32>& pids);
    // The descriptor numbers the process has open. False when they cannot be listed (the
    // process has ended, or belongs to another user).
    virtual bool descriptors(qint32 pid, std::vector<int>& fds);
    // The socket inode the descriptor refers to, 0 when it is no socket, nothing when it
    // cannot be read (closed meanwhile).
    virtual std::optional<quint64> socketInode(qint32 pid, int fd);
    // When the process started (clock ticks since boot), which tells it from a later process
    // given the same id; 0 when it has ended.
    virtual quint64 startTime(qint32 pid);
    // The user the process runs as, or -1 when it has ended.
    virtual qint64 processUser(qint32 pid);
    virtual QString executable(qint32 pid);
    virtual QString command(qint32 pid);
    // The name of a user id, or the id in decimal when it has no name.
    virtual QString userName(quint32 uid);
};

// Finds the process behind each connection from the socket links under /proc/PID/fd.
//
// Reading every descriptor of every process costs about as much as rebuilding the whole
// connection list, so the lookup is incremental: it remembers which socket each descriptor
// it has read holds, and reads /proc only while some connection's socket is not yet known.
// Then it lists the processes and reads only descriptor numbers it has not read before; only
// when that leaves a socket unexplained (a descriptor number reused) does it read again every
// descriptor of the processes that may hold it (those of the socket's user). A socket still
// not found belongs to a process this one may not look into: its user is shown alone, and it
// is not searched for again while it lasts. A process that ends is forgotten, with every
// socket it held, so a socket it shared falls to the next holder.
class SocketOwners {
public:
    explicit SocketOwners(std::unique_ptr<ProcFs> fs = nullptr);
    ~SocketOwners();
    SocketOwners(const SocketOwners&) = delete;
    SocketOwners& operator=(const SocketOwners&) = delete;

    // Learns the owners of `rows` (one snapshot), reading /proc only for what is not known
    // yet; ownerOf() then tells each row's.
    void resolve(const std::vector<TcpRow>& rows);
    // The owner of a row of the last resolved snapshot. Rows without a socket (TIME_WAIT,
    // half-open) have none.
    SocketOwner ownerOf(const TcpRow& row);
    // Both at once: the owners of `rows`, one per row in the same order.
    void resolve(const std::vector<TcpRow>& rows, std::vector<SocketOwner>& owners);

private:
    // A descriptor number and the socket inode it refers to (0: no socket).
    using Descriptor = std::pair<int, quint64>;

    struct Process {
        quint64 start = 0;
        qint64 uid = -1;
        // Sorted by number: a program may hold tens of thousands, and a map would cost
        // twice the room.
        std::vector<Descriptor> fds;
        bool infoRead = false;
        QString path;
        QString command;
    };

    // The processes holding one socket, in the order they were found. There is one per
    // socket of the table and nearly always a single holder, which is kept in place rather
    // than in an allocation of its own.
    class Holders {
    public:
        bool empty() const { return first_ == 0; }
        size_t size() const { return empty() ? 0 : 1 + (more_ ? more_->size() : 0); }
        qint32 front() const { return first_; }
        // Adds `pid` unless it holds the socket already.
        void add(qint32 pid);
        void remove(qint32 pid);
        template <typename F>
        void forEach(F f) const {
            if (first_ != 0) {
                f(first_);
            }
            if (more_) {
                for (const qint32 pid : *more_) {
                    f(pid);
                }
            }
        }

    private:
        qint32 first_ = 0; // 0: none (a process id is never 0)
        std::unique_ptr<std::vector<qint32>> more_;
    };

    void refreshHolders(const std::vector<quint64>& wanted);
    // Reads the descriptors of the running processes: those not read before, or with
    // `everyDescriptor` all of them, of the processes of `uids` only.
    void scan(const std::unordered_set<quint32>& uids, bool everyDescriptor);
    void forgetProcess(qint32 pid);
    // Forgets sockets that are no connection any more (`gone` sorted).
    void forgetSockets(const std::vector<quint64>& gone);
    std::unordered_map<qint32, Process>::iterator addProcess(qint32 pid);
    // Reads the process's descriptors (only new numbers unless `everyDescriptor`); true
    // when it was found holding a socket it was not known to hold.
    bool readDescriptors(qint32 pid, Process& p, bool everyDescriptor);
    // `pid` stops holding those of `inodes` that no descriptor of it refers to any more.
    void releaseUnheld(qint32 pid, const Process& p, std::vector<quint64>& inodes);
    void releaseHolder(qint32 pid, quint64 inode);
    bool known(quint64 inode) const;
    Process& info(qint32 pid);
    const QString& userName(quint32 uid);

    std::unique_ptr<ProcFs> fs_;
    std::unordered_map<qint32, Process> processes_;
    // Socket inode -> the processes holding it, in the order they were found.
    std::unordered_map<quint64, Holders> holders_;
    // The connections' sockets of the last lookup (sorted), and those no visible process
    // holds.
    std::vector<quint64> wanted_;
    std::unordered_set<quint64> hidden_;
    std::unordered_map<quint32, QString> users_;
    std::vector<qint32> pids_;
    std::vector<int> fdList_;
};

} // namespace quillon::platform
