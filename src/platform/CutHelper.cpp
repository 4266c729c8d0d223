#include "platform/CutHelper.h"

#include "platform/Capabilities.h"
#include "platform/SocketIdentity.h"

#include <QFile>
#include <cerrno>
#include <csignal>
#include <cstring>
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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDOUT_FILENO);
    const QByteArray file = QFile::encodeName(path_);
    char name[] = "quillon-cut";
    char* argv[] = {name, nullptr};
    char* envp[] = {nullptr};
    pid_t pid = -1;
    // posix_spawn reports a failed exec (missing file, no right to run it) as its result.
    const int error = ::posix_spawn(&pid, file.constData(), &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    if (error != 0) {
        ::close(pair[0]);
        startError_ = error;
        return false;
    }
    fd_ = pair[0];
    pid_ = pid;
    return true;
}

void CutHelper::stop() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
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

std::optional<cutproto::Answer> CutHelper::askOnce(const cutproto::Request& request) {
    if (!start()) {
        return std::nullopt;
    }
    const auto bytes = cutproto::encode(request);
    if (!writeAll(fd_, bytes.data(), bytes.size())) {
        stop();
        return std::nullopt;
    }
    unsigned char reply[cutproto::kAnswerSize];
    cutproto::Answer answer{};
    if (!receiveAll(fd_, reply, sizeof reply) || !cutproto::parseAnswer(reply, answer)) {
        stop();
        return std::nullopt;
    }
    return answer;
}

std::optional<cutproto::Answer> CutHelper::ask(const cutproto::Request& request) {
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
    const auto answer = ask(request);
    if (!answer) {
        return startError_ != 0 ? CutResult::NotPermitted : CutResult::Failed;
    }
    return resultOf(*answer);
}

CutAccess CutHelper::access() {
    cutproto::Request request;
    request.kind = cutproto::Kind::Probe;
    const auto answer = ask(request);
    if (!answer) {
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
    switch (*answer) {
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

} // namespace quillon::platform
