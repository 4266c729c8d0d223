// quillon-cut: destroys one TCP connection at a time for Quillon, which holds no capability
// itself. Installed root:quillon 0750 with cap_net_admin+ep, so only members of the group
// quillon can run it, and it does nothing but this.
//
// It reads fixed-size requests from its standard input (see platform/CutProtocol.h), checks
// every field, looks the socket up by its full identity, refuses listening sockets, destroys
// the connection and answers the outcome on its standard output. It reads no argument, no
// environment variable and no file but the kernel's list of mounts, and ends when its input
// closes. Its probe destroys a loopback listener of its own, the one socket it makes.
//
// When Quillon hands it a report socket as descriptor 3, it first loads and attaches the BPF
// programs built into it (which needs cap_bpf and cap_perfmon besides cap_net_admin), then
// gives up every capability but cap_net_admin before it reads any request: from then on it
// refuses the connects Quillon's deny rules forbid and cuts forbidden connections on their
// kernel events, reporting both on that socket. No BPF descriptor ever leaves it.
#include "Enforcer.h"
#include "platform/Capabilities.h"
#include "platform/CutProtocol.h"
#include "platform/NetlinkWalk.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/capability.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace proto = quillon::platform::cutproto;

namespace {

// Exit codes, for whoever reads them: the answers themselves go down the pipe.
constexpr int kEndOfInput = 0;
constexpr int kShortRequest = 1;
constexpr int kBadStream = 2;
constexpr int kNoNetlink = 3;

// A kernel that does not answer must not hold Quillon's cut forever.
constexpr int kReplyTimeoutSeconds = 2;

struct Request {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
};

class SockDiag {
public:
    bool open() {
        fd_ = quillon::platform::netlink::OpenSockDiag(port_, kReplyTimeoutSeconds);
        return fd_ >= 0;
    }

    // Asks the kernel about exactly this socket. Returns 0 with its state, or an errno
    // (ENOENT: no such socket; ESTALE: the four-tuple belongs to a newer socket).
    int lookup(const proto::SocketId& id, int& state) {
        Request r = request(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, id);
        return exchange(r, &state);
    }

    // Destroys exactly this socket. Returns 0 or the kernel's errno.
    int destroy(const proto::SocketId& id) {
        Request r = request(SOCK_DESTROY, NLM_F_REQUEST | NLM_F_ACK, id);
        return exchange(r, nullptr);
    }

private:
    Request request(std::uint16_t type, std::uint16_t flags, const proto::SocketId& id) {
        Request r;
        std::memset(&r, 0, sizeof r);
        r.nlh.nlmsg_len = sizeof r;
        r.nlh.nlmsg_type = type;
        r.nlh.nlmsg_flags = flags;
        r.nlh.nlmsg_seq = ++seq_;
        r.nlh.nlmsg_pid = port_;
        r.req.sdiag_family = id.family;
        r.req.sdiag_protocol = IPPROTO_TCP;
        r.req.idiag_states = ~0u;
        quillon::platform::netlink::FillSockId(r.req.id, id);
        return r;
    }

    // Sends the request and reads until its own answer: a socket message (a lookup's
    // result, whose state goes to `state`) or an error message (0 for an acknowledgement).
    int exchange(Request& r, int* state) {
        namespace netlink = quillon::platform::netlink;
        if (const int error = netlink::SendToKernel(fd_, &r, sizeof r)) {
            return error;
        }
        const int result = netlink::AwaitAnswer(
            fd_, r.nlh, buffer_.data(), buffer_.size(), [&](const netlink::Message& m) {
                if (state == nullptr || m.header.nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                    m.payloadLen < sizeof(inet_diag_msg)) {
                    return false;
                }
                inet_diag_msg d;
                std::memcpy(&d, m.payload, sizeof d);
                *state = d.idiag_state;
                return true;
            });
        return result < 0 ? -result : result;
    }

    int fd_ = -1;
    std::uint32_t port_ = 0;
    std::uint32_t seq_ = 0;
    std::array<unsigned char, 8192> buffer_{};
};

using proto::answerOfErrno;

// Whether cuts can work: the right to destroy the connections of this network namespace and
// a kernel that destroys sockets. The kernel looks a socket up before it checks rights, so
// only the destroy of a real socket asks the question: a loopback listener of the helper's
// own, which nobody else knows about.
proto::Answer probe(SockDiag& diag) {
    proto::SocketId own;
    const int listener = quillon::platform::openProbeListener(own);
    if (listener >= 0) {
        const int error = diag.destroy(own);
        ::close(listener);
        // ENOENT here would mean the kernel could not find a socket the helper holds open.
        return error == ENOENT || error == ESTALE ? proto::Answer::Failed : answerOfErrno(error);
    }
    // No listener to ask about (loopback down, for one). The destroy of an identity that names
    // nothing (cookie 1 on port 0 of no address) tells support (ENOENT) from none (EOPNOTSUPP);
    // the rights come from the capability, as far as it reaches this network namespace.
    proto::SocketId nothing;
    nothing.family = AF_INET;
    nothing.cookie = 1;
    const int error = diag.destroy(nothing);
    if (error == EOPNOTSUPP) {
        return proto::Answer::NotSupported;
    }
    if (error != ENOENT && error != ESTALE) {
        return proto::Answer::Failed;
    }
    return quillon::platform::hasNetAdminOverOwnNetwork() ? proto::Answer::Cut
                                                          : proto::Answer::NotPermitted;
}

proto::Answer cut(SockDiag& diag, const proto::SocketId& id) {
    int state = 0;
    const int error = diag.lookup(id, state);
    if (error != 0) {
        return answerOfErrno(error);
    }
    if (state == TCP_LISTEN) {
        return proto::Answer::NotConnection;
    }
    return answerOfErrno(diag.destroy(id));
}

// Reads exactly `size` bytes. Returns how many arrived before the end of input.
std::size_t readFully(unsigned char* buffer, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(STDIN_FILENO, buffer + got, size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

bool answer(const proto::Reply& reply) {
    const auto bytes = proto::encodeReply(reply);
    return quillon::platform::writeAll(STDOUT_FILENO, bytes.data(), bytes.size());
}

bool answer(proto::Answer a) {
    return answer(proto::Reply{a, 0, 0});
}

constexpr int kReportFd = 3;

// Reports go to Quillon without ever blocking the helper: a Quillon too busy to read them
// loses reports (its next rebuild logs what the poll finds), never the helper's cuts.
void sendReport(const proto::Report& report) {
    const auto bytes = proto::encodeReport(report);
    while (::send(kReportFd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
           errno == EINTR) {
    }
}

bool isSocket(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

// Keeps only cap_net_admin (and cap_bpf where the kernel checks it on every map update) in
// every set; the capabilities the load needed go before any request is read.
void keepOnlyWhatCutsNeed(bool keepBpf) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return;
    }
    __user_cap_data_struct kept[_LINUX_CAPABILITY_U32S_3]{};
    auto keep = [&](int cap) {
        const std::uint32_t bit = 1u << (cap % 32);
        kept[cap / 32].permitted |= data[cap / 32].permitted & bit;
        kept[cap / 32].effective |= data[cap / 32].effective & bit;
    };
    keep(CAP_NET_ADMIN);
    if (keepBpf) {
        keep(CAP_BPF);
    }
    ::syscall(SYS_capset, &header, kept);
}

// Handles one request of the immediate enforcement.
proto::Reply enforce(quillon::cut::Enforcer& enforcer, bool started, const proto::Request& r,
                     const quillon::cut::Enforcer::Destroy& destroy) {
    const proto::Reply refused{proto::Answer::NotSupported, 0, 0};
    switch (r.kind) {
    case proto::Kind::Enforcement:
        if (!started) {
            return proto::Reply{proto::Answer::NotSupported,
                                static_cast<std::uint8_t>(enforcer.off()), 0};
        }
        return proto::Reply{proto::Answer::Cut, 0, enforcer.works()};
    case proto::Kind::Changes:
        if (!started || (enforcer.works() & proto::kEnforceChanges) == 0) {
            return refused;
        }
        return proto::Reply{proto::Answer::Cut, 0, enforcer.changes()};
    case proto::Kind::Settings:
        return started && enforcer.settings(r.value) ? proto::Reply{proto::Answer::Cut, 0, 0}
                                                     : refused;
    case proto::Kind::Add:
    case proto::Kind::Remove:
        if (!started) {
            return refused;
        }
        return enforcer.change(r.set, r.id, r.kind == proto::Kind::Add)
                   ? proto::Reply{proto::Answer::Cut, 0, 0}
                   : proto::Reply{proto::Answer::Failed, 0, 0};
    case proto::Kind::Sweep:
        if (!started) {
            return refused;
        }
        return enforcer.sweep(destroy, sendReport) ? proto::Reply{proto::Answer::Cut, 0, 0}
                                                   : proto::Reply{proto::Answer::Failed, 0, 0};
    case proto::Kind::Cut:
    case proto::Kind::Probe:
        break;
    }
    return proto::Reply{proto::Answer::BadRequest, 0, 0};
}

} // namespace

int main() {
    // Nothing from the caller's environment reaches this process's work; with file
    // capabilities the loader already ignores the variables that would change what runs.
    ::clearenv();
    ::close_range(kReportFd + 1, ~0u, 0);
    ::umask(077);

    quillon::cut::Enforcer enforcer;
    bool started = false;
    if (isSocket(kReportFd)) {
        started = enforcer.start();
    } else {
        ::close(kReportFd);
    }
    keepOnlyWhatCutsNeed(started && enforcer.updatesNeedBpfCapability());

    SockDiag diag;
    if (!diag.open()) {
        return kNoNetlink;
    }
    const quillon::cut::Enforcer::Destroy destroy = [&diag](const proto::SocketId& id) {
        return diag.destroy(id);
    };
    std::array<unsigned char, proto::kRequestSize> request{};
    for (;;) {
        // Kernel records are handled as they come; a request is read once one is waiting.
        pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {enforcer.eventFd(), POLLIN, 0}};
        const int ready = ::poll(waits, started ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return kBadStream;
        }
        if (started && (waits[1].revents & POLLIN) != 0) {
            enforcer.drain(destroy, sendReport);
        }
        if (waits[0].revents == 0) {
            continue;
        }
        // The size comes first, so that a request of any other size is refused without
        // waiting for bytes that may never come.
        const std::size_t head = readFully(request.data(), sizeof(std::uint32_t));
        if (head == 0) {
            return kEndOfInput;
        }
        if (head < sizeof(std::uint32_t)) {
            return kShortRequest;
        }
        std::uint32_t size = 0;
        std::memcpy(&size, request.data(), sizeof size);
        if (size != proto::kRequestSize) {
            // The stream can no longer be split into requests: answer once and end.
            answer(proto::Answer::BadRequest);
            return kBadStream;
        }
        const std::size_t rest = request.size() - sizeof(std::uint32_t);
        if (readFully(request.data() + sizeof(std::uint32_t), rest) != rest) {
            return kShortRequest;
        }
        proto::Request r;
        proto::Reply reply{proto::Answer::BadRequest, 0, 0};
        if (proto::parse(request.data(), r) == proto::ParseError::Ok) {
            if (r.kind == proto::Kind::Probe) {
                reply.answer = probe(diag);
            } else if (r.kind == proto::Kind::Cut) {
                reply.answer = cut(diag, r.id);
            } else {
                reply = enforce(enforcer, started, r, destroy);
            }
        }
        if (!answer(reply)) {
            return kBadStream;
        }
    }
}
