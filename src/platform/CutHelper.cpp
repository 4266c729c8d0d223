#include "platform/CutHelper.h"

#include "platform/Capabilities.h"
#include "platform/SockDiagParser.h"
#include "platform/SocketIdentity.h"

#include <QFile>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

// A helper that does not answer in this time is taken for hung: the cut runs on the
// user-interface thread and must not freeze it. The helper's own kernel wait is shorter.
constexpr int kAnswerTimeoutMs = 3000;

bool receiveAll(int fd, unsigned char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kAnswerTimeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t n = ::recv(fd, data + done, size - done, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

CutHelper::CutHelper(QString path) : path_(std::move(path)) {}

CutHelper::~CutHelper() {
    stop();
}

cutproto::SocketId CutHelper::socketId(const TcpRow& row) {
    return SocketIdOf(row);
}

CutResult CutHelper::resultOf(cutproto::Answer answer) {
    switch (answer) {
    case cutproto::Answer::Cut:
        return CutResult::Cut;
    case cutproto::Answer::AlreadyGone:
        return CutResult::AlreadyGone;
    case cutproto::Answer::NotPermitted:
        return CutResult::NotPermitted;
    case cutproto::Answer::NotSupported:
        return CutResult::NotSupported;
    case cutproto::Answer::Failed:
    case cutproto::Answer::NotConnection:
    case cutproto::Answer::BadRequest:
        break;
    }
    return CutResult::Failed;
}

bool CutHelper::start() {
    if (fd_ >= 0) {
        return true;
    }
    startError_ = 0;
    if (path_.isEmpty()) {
        startError_ = ENOENT;
        return false;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        startError_ = errno;
        return false;
    }
    // Reports come one record a datagram, read without blocking; the helper never blocks on
    // them either.
    int reports[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, reports) != 0) {
        startError_ = errno;
        ::close(pair[0]);
        ::close(pair[1]);
        return false;
    }
    const int reportBuffer = 1 << 20;
    ::setsockopt(reports[1], SOL_SOCKET, SO_SNDBUF, &reportBuffer, sizeof reportBuffer);
    ::fcntl(reports[0], F_SETFL, ::fcntl(reports[0], F_GETFL) | O_NONBLOCK);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, reports[1], 3);
    const QByteArray file = QFile::encodeName(path_);
    char name[] = "quillon-cut";
    char* argv[] = {name, nullptr};
    char* envp[] = {nullptr};
    pid_t pid = -1;
    // posix_spawn reports a failed exec (missing file, no right to run it) as its result.
    const int error = ::posix_spawn(&pid, file.constData(), &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    ::close(reports[1]);
    if (error != 0) {
        ::close(pair[0]);
        ::close(reports[0]);
        startError_ = error;
        return false;
    }
    fd_ = pair[0];
    reportFd_ = reports[0];
    pid_ = pid;
    ++generation_;
    enforcement_.reset();
    return true;
}

void CutHelper::stop() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (reportFd_ >= 0) {
        ::close(reportFd_);
        reportFd_ = -1;
    }
    if (pid_ > 0) {
        // Its input is closed, so it is ending; a hung one is ended here.
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        pid_ = -1;
    }
}

std::optional<cutproto::Reply> CutHelper::askOnce(const cutproto::Request& request) {
    if (!start()) {
        return std::nullopt;
    }
    const auto bytes = cutproto::encode(request);
    if (!writeAll(fd_, bytes.data(), bytes.size())) {
        stop();
        return std::nullopt;
    }
    unsigned char bytesIn[cutproto::kAnswerSize];
    cutproto::Reply reply;
    if (!receiveAll(fd_, bytesIn, sizeof bytesIn) || !cutproto::parseReply(bytesIn, reply)) {
        stop();
        return std::nullopt;
    }
    return reply;
}

std::optional<cutproto::Reply> CutHelper::ask(const cutproto::Request& request) {
    // A helper that ended since the last request (killed, or the machine's kernel dropped
    // it) is started again once.
    const bool wasRunning = fd_ >= 0;
    auto answer = askOnce(request);
    if (!answer && wasRunning && startError_ == 0) {
        answer = askOnce(request);
    }
    return answer;
}

CutResult CutHelper::cut(const TcpRow& row) {
    if (row.family != AF_INET && row.family != AF_INET6) {
        return CutResult::Failed; // not a row of the kernel's table
    }
    cutproto::Request request;
    request.kind = cutproto::Kind::Cut;
    request.id = socketId(row);
    const auto reply = ask(request);
    if (!reply) {
        return startError_ != 0 ? CutResult::NotPermitted : CutResult::Failed;
    }
    return resultOf(reply->answer);
}

CutAccess CutHelper::access() {
    cutproto::Request request;
    request.kind = cutproto::Kind::Probe;
    const auto reply = ask(request);
    if (!reply) {
        switch (startError_) {
        case 0:
            return CutAccess::Failed;
        case ENOENT:
        case ENOTDIR:
            return CutAccess::NoHelper;
        case EACCES:
        case EPERM:
            return CutAccess::NotInGroup;
        default:
            return CutAccess::Failed;
        }
    }
    switch (reply->answer) {
    case cutproto::Answer::Cut:
        return CutAccess::Ok;
    case cutproto::Answer::NotPermitted:
        return CutAccess::NoCapability;
    case cutproto::Answer::NotSupported:
        return CutAccess::NotSupported;
    default:
        return CutAccess::Failed;
    }
}

TcpRow CutHelper::rowOf(const cutproto::Report& report) {
    TcpRow row;
    const auto& id = report.id;
    const auto mapped = [](const std::array<std::uint32_t, 4>& a) {
        return a[0] == 0 && a[1] == 0 && a[2] == htonl(0xFFFF);
    };
    const bool noLocal = id.local == std::array<std::uint32_t, 4>{};
    if (id.family == AF_INET) {
        row.dwLocalAddr = id.local[0];
        row.dwRemoteAddr = id.remote[0];
    } else {
        std::copy(id.local.begin(), id.local.end(), row.local6.begin());
        std::copy(id.remote.begin(), id.remote.end(), row.remote6.begin());
        // As the dump tells them apart: an IPv4 connection on an IPv6 socket has mapped
        // addresses (a refused connect, none of its own yet).
        if (mapped(id.remote) && (mapped(id.local) || noLocal)) {
            row.dwLocalAddr = id.local[3];
            row.dwRemoteAddr = id.remote[3];
        } else {
            row.ipv6 = true;
        }
    }
    row.dwState = sockdiag::MapKernelState(report.state);
    row.dwLocalPort = id.localPort;
    row.dwRemotePort = id.remotePort;
    row.family = id.family;
    row.ifIndex = id.ifIndex;
    row.cookie = id.cookie;
    return row;
}

bool CutHelper::enforce(const cutproto::Request& request, quint64* value) {
    if (state() != Immediate::On) {
        return false;
    }
    const auto reply = askOnce(request);
    if (!reply || reply->answer != cutproto::Answer::Cut) {
        return false;
    }
    if (value != nullptr) {
        *value = reply->value;
    }
    return true;
}

Immediate CutHelper::state() {
    if (!enforcement_) {
        if (fd_ < 0 && generation_ > 0 && startError_ == 0) {
            return Immediate::HelperEnded; // restart() brings it back
        }
        if (!start()) {
            switch (startError_) {
            case ENOENT:
            case ENOTDIR:
                return Immediate::NoHelper;
            case EACCES:
            case EPERM:
                return Immediate::NotInGroup;
            default:
                return Immediate::Failed;
            }
        }
        cutproto::Request request;
        request.kind = cutproto::Kind::Enforcement;
        enforcement_ = askOnce(request);
        if (!enforcement_) {
            return Immediate::HelperEnded;
        }
    }
    if (fd_ < 0) {
        return Immediate::HelperEnded;
    }
    if (enforcement_->answer == cutproto::Answer::Cut) {
        return Immediate::On;
    }
    switch (static_cast<cutproto::EnforceOff>(enforcement_->detail)) {
    case cutproto::EnforceOff::NoCapability:
        return Immediate::NoCapability;
    case cutproto::EnforceOff::NoKernelSupport:
        return Immediate::NoKernelSupport;
    case cutproto::EnforceOff::NoCgroup:
        return Immediate::NoCgroup;
    case cutproto::EnforceOff::None:
    case cutproto::EnforceOff::LoadFailed:
        break;
    }
    return Immediate::Failed;
}

bool CutHelper::countsChanges() {
    return state() == Immediate::On && (enforcement_->value & cutproto::kEnforceChanges) != 0;
}

bool CutHelper::setSettings(int level, bool exempt, bool ipv6) {
    cutproto::Request request;
    request.kind = cutproto::Kind::Settings;
    request.value = static_cast<std::uint32_t>(level >= 0 && level <= 3 ? level : 0) |
                    (exempt ? cutproto::kSettingExempt : 0) | (ipv6 ? cutproto::kSettingIpv6 : 0);
    return enforce(request);
}

std::vector<bool> CutHelper::changeAll(const std::vector<KernelEntry>& entries, bool add) {
    std::vector<bool> taken(entries.size(), false);
    if (entries.empty() || state() != Immediate::On) {
        return taken;
    }
    // A hundred thousand rules at start: requests go in batches, each written whole before its
    // answers are read, so the cost is the helper's work rather than a round trip per entry.
    constexpr std::size_t kBatch = 256;
    std::vector<unsigned char> out;
    for (std::size_t first = 0; first < entries.size(); first += kBatch) {
        const std::size_t n = std::min(kBatch, entries.size() - first);
        out.clear();
        for (std::size_t k = first; k < first + n; ++k) {
            cutproto::Request request;
            request.kind = add ? cutproto::Kind::Add : cutproto::Kind::Remove;
            request.set = entries[k].set;
            request.id.family = entries[k].family;
            std::copy(entries[k].address.begin(), entries[k].address.end(),
                      request.id.remote.begin());
            request.id.remotePort = htons(entries[k].port);
            const auto bytes = cutproto::encode(request);
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
        if (!writeAll(fd_, out.data(), out.size())) {
            stop();
            return taken;
        }
        for (std::size_t k = first; k < first + n; ++k) {
            unsigned char bytesIn[cutproto::kAnswerSize];
            cutproto::Reply reply;
            if (!receiveAll(fd_, bytesIn, sizeof bytesIn) ||
                !cutproto::parseReply(bytesIn, reply)) {
                stop();
                return taken;
            }
            taken[k] = reply.answer == cutproto::Answer::Cut;
        }
    }
    return taken;
}

bool CutHelper::sweep() {
    cutproto::Request request;
    request.kind = cutproto::Kind::Sweep;
    return enforce(request);
}

std::optional<quint64> CutHelper::changes() {
    if (!countsChanges()) {
        return std::nullopt;
    }
    cutproto::Request request;
    request.kind = cutproto::Kind::Changes;
    quint64 value = 0;
    if (!enforce(request, &value)) {
        return std::nullopt;
    }
    return value;
}

bool CutHelper::takeReports(std::vector<KernelReport>& out) {
    if (reportFd_ < 0) {
        return false;
    }
    unsigned char bytes[cutproto::kReportSize];
    for (;;) {
        const ssize_t n = ::recv(reportFd_, bytes, sizeof bytes, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        if (n == 0) {
            stop(); // the helper ended; its kernel programs went with it
            return false;
        }
        cutproto::Report report;
        if (static_cast<std::size_t>(n) == sizeof bytes && cutproto::parseReport(bytes, report)) {
            out.push_back(KernelReport{report.kind == cutproto::ReportKind::Refused, rowOf(report),
                                       report.suppressed});
        }
    }
}

bool CutHelper::restart() {
    stop();
    enforcement_.reset();
    // The start is made here: state() only says HelperEnded once a helper of this object ended.
    return start() && state() == Immediate::On;
}

} // namespace quillon::platform
