// Records the sock_diag fixtures of tests/data/sockdiag from the running kernel, inside a
// private network namespace with loopback connections only, and derives the hand-made
// variants from the recording. Run as root, by hand, when the fixtures need renewing:
//   build/test/bin/record_sockdiag_fixtures tests/data/sockdiag
#include "SockDiagFixtures.h"
#include "support/Loopback.h"

#include <QDir>
#include <QFile>
#include <QThread>
#include <cstdio>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace quillon::test;
using loopback::Fd;

namespace {

struct LegacyRequest {
    nlmsghdr nlh;
    inet_diag_req req;
};

struct V2Request {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
};

constexpr quint32 kStates = ((1u << 13) - 1) & ~1u;

// Sends one request and keeps every datagram until the kernel's final answer.
std::vector<QByteArray> record(const void* request, size_t len) {
    std::vector<QByteArray> out;
    Fd s(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(s.get(), request, len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) <
        0) {
        std::perror("sendto");
        return out;
    }
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t n = ::recv(s.get(), buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            std::perror("recv");
            return out;
        }
        out.emplace_back(buffer.data(), n);
        // The dump ends with NLMSG_DONE or NLMSG_ERROR; both are the last message.
        for (size_t at = 0; at + sizeof(nlmsghdr) <= static_cast<size_t>(n);) {
            nlmsghdr h;
            std::memcpy(&h, buffer.data() + at, sizeof h);
            if (h.nlmsg_type == NLMSG_DONE || h.nlmsg_type == NLMSG_ERROR) {
                return out;
            }
            at += NLMSG_ALIGN(h.nlmsg_len);
        }
    }
}

nlmsghdr headerAt(const QByteArray& d, qsizetype at) {
    nlmsghdr h;
    std::memcpy(&h, d.constData() + at, sizeof h);
    return h;
}

void setHeaderAt(QByteArray& d, qsizetype at, const nlmsghdr& h) {
    std::memcpy(d.data() + at, &h, sizeof h);
}

// Applies `change` to the header of every message of a datagram.
template <typename F>
QByteArray everyHeader(QByteArray d, F change) {
    for (qsizetype at = 0; at + static_cast<qsizetype>(sizeof(nlmsghdr)) <= d.size();) {
        nlmsghdr h = headerAt(d, at);
        change(h);
        setHeaderAt(d, at, h);
        at += NLMSG_ALIGN(h.nlmsg_len);
    }
    return d;
}

bool save(const QString& dir, const char* name, const std::vector<QByteArray>& datagrams) {
    const bool ok =
        sockdiag::writeDatagrams(dir + QLatin1Char('/') + QLatin1String(name), datagrams);
    std::printf("%s: %zu datagram(s)%s\n", name, datagrams.size(), ok ? "" : " NOT WRITTEN");
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <fixture folder>\n", argv[0]);
        return 2;
    }
    const QString dir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    if (const QString why = loopback::enterPrivateNetns(); !why.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 1;
    }

    // The scene: an IPv4 listener with 40 connections from four loopback addresses, a
    // dual-stack listener with an IPv4 client (its accepted socket is IPv4-mapped), an
    // IPv6 socket connected to an IPv4-mapped address, a pure IPv6 pair, an IPv6-only
    // listener on [::], an IPv6 listener bound to an IPv4-mapped address, and a TIME_WAIT.
    std::vector<Fd> keep;
    Fd listener = loopback::listenOn("127.0.0.1", 8080);
    for (int i = 0; i < 40; ++i) {
        const QByteArray from = QByteArrayLiteral("127.0.0.") + QByteArray::number(2 + i % 4);
        keep.push_back(loopback::connectTo("127.0.0.1", 8080, from.constData()));
        keep.push_back(loopback::acceptOne(listener));
    }
    Fd dual = loopback::listenOn("::", 8081);
    keep.push_back(loopback::connectTo("127.0.0.1", 8081, "127.0.0.6"));
    keep.push_back(loopback::acceptOne(dual));
    keep.push_back(loopback::connectTo("::ffff:127.0.0.1", 8080));
    keep.push_back(loopback::acceptOne(listener));
    Fd v6 = loopback::listenOn("::1", 9000, true);
    keep.push_back(loopback::connectTo("::1", 9000));
    keep.push_back(loopback::acceptOne(v6));
    Fd v6only = loopback::listenOn("::", 9001, true);
    Fd mappedListener = loopback::listenOn("::ffff:127.0.0.1", 8082);
    {
        Fd client = loopback::connectTo("127.0.0.1", 8080, "127.0.0.7");
        Fd server = loopback::acceptOne(listener);
        client.reset(); // the side that closes first ends in TIME_WAIT
        char c;
        (void)::read(server.get(), &c, 1);
        server.reset();
        QThread::msleep(200);
    }

    LegacyRequest legacy{};
    legacy.nlh.nlmsg_len = sizeof legacy;
    legacy.nlh.nlmsg_type = TCPDIAG_GETSOCK;
    legacy.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    legacy.nlh.nlmsg_seq = 7;
    legacy.req.idiag_family = AF_INET;
    legacy.req.idiag_states = kStates;
    legacy.req.id.idiag_cookie[0] = legacy.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    const std::vector<QByteArray> both = record(&legacy, sizeof legacy);

    // What ss lists at the same moment: the tests' independent account of the same table.
    if (FILE* p = ::popen("ss -tanH", "r")) {
        QFile out(dir + QStringLiteral("/tcpdiag_loopback.ss"));
        out.open(QIODevice::WriteOnly | QIODevice::Truncate);
        char line[512];
        while (std::fgets(line, sizeof line, p)) {
            out.write(line);
        }
        ::pclose(p);
    }

    V2Request v2{};
    v2.nlh.nlmsg_len = sizeof v2;
    v2.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    v2.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    v2.nlh.nlmsg_seq = 8;
    v2.req.sdiag_protocol = IPPROTO_TCP;
    v2.req.idiag_states = kStates;
    v2.req.id.idiag_cookie[0] = v2.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    v2.req.sdiag_family = AF_INET;
    const std::vector<QByteArray> inet = record(&v2, sizeof v2);
    v2.nlh.nlmsg_seq = 9;
    v2.req.sdiag_family = AF_INET6;
    const std::vector<QByteArray> inet6 = record(&v2, sizeof v2);

    // A request the kernel rejects outright (too short): an NLMSG_ERROR reply.
    V2Request shortReq = v2;
    shortReq.nlh.nlmsg_seq = 10;
    shortReq.nlh.nlmsg_len = sizeof(nlmsghdr) + 4;
    const std::vector<QByteArray> rejected = record(&shortReq, shortReq.nlh.nlmsg_len);

    // A dump the kernel starts and then ends with an error (no handler for the protocol).
    V2Request badProto = v2;
    badProto.nlh.nlmsg_seq = 11;
    badProto.req.sdiag_protocol = 254;
    const std::vector<QByteArray> doneError = record(&badProto, sizeof badProto);

    if (both.size() < 2) {
        std::fprintf(stderr, "the recorded dump is not multi-part\n");
        return 1;
    }
    bool ok = save(dir, "tcpdiag_loopback.bin", both) && save(dir, "sockdiag_inet.bin", inet) &&
              save(dir, "sockdiag_inet6.bin", inet6) &&
              save(dir, "sockdiag_rejected.bin", rejected) &&
              save(dir, "sockdiag_done_error.bin", doneError);

    // Hand-made from the recording: the kernel flags the second part as inconsistent.
    std::vector<QByteArray> intr = both;
    intr[1] = everyHeader(intr[1], [](nlmsghdr& h) { h.nlmsg_flags |= NLM_F_DUMP_INTR; });
    ok = save(dir, "tcpdiag_intr.bin", intr) && ok;

    // The first part cut short in the middle of its last message.
    std::vector<QByteArray> truncated = both;
    truncated[0].chop(30);
    ok = save(dir, "tcpdiag_truncated.bin", truncated) && ok;

    // Replies to an earlier request and to another socket come first and must be skipped.
    std::vector<QByteArray> stale = both;
    stale.insert(stale.begin(), everyHeader(both[0], [](nlmsghdr& h) { h.nlmsg_seq -= 1; }));
    stale.insert(stale.begin(), everyHeader(both[0], [](nlmsghdr& h) { h.nlmsg_pid += 1; }));
    ok = save(dir, "tcpdiag_stale.bin", stale) && ok;
    return ok ? 0 : 1;
}
