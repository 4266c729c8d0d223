// quillon-cut: destroys one TCP connection at a time for Quillon, which holds no capability
// itself. Installed root:quillon 0750 with cap_net_admin+ep, so only members of the group
// quillon can run it, and it does nothing but this.
//
// It reads fixed-size requests from its standard input (see platform/CutProtocol.h), checks
// every field, looks the socket up by its full identity, refuses listening sockets, destroys
// the connection and answers the outcome on its standard output. It reads no argument, no
// environment variable and no file, and ends when its input closes. Its probe destroys a
// loopback listener of its own, the one socket it makes.
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

bool answer(proto::Answer a) {
    const auto bytes = proto::encodeAnswer(a);
    return quillon::platform::writeAll(STDOUT_FILENO, bytes.data(), bytes.size());
}

} // namespace

int main() {
    // Nothing from the caller's environment reaches this process's work; with file
    // capabilities the loader already ignores the variables that would change what runs.
    ::clearenv();
    ::close_range(3, ~0u, 0);
    ::umask(077);

    SockDiag diag;
    if (!diag.open()) {
        return kNoNetlink;
    }
    std::array<unsigned char, proto::kRequestSize> request{};
    for (;;) {
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
        proto::Answer a = proto::Answer::BadRequest;
        if (proto::parse(request.data(), r) == proto::ParseError::Ok) {
            a = r.kind == proto::Kind::Probe ? probe(diag) : cut(diag, r.id);
        }
        if (!answer(a)) {
            return kBadStream;
        }
    }
}
