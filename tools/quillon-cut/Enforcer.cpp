#include "Enforcer.h"

// The skeleton names the shared types, and is generated C-style code.
#include "guard_shared.h"
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wcast-align"
#include "guard.skel.h"
#pragma GCC diagnostic pop

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillon::cut {

namespace proto = platform::cutproto;

namespace {

#ifndef SO_NETNS_COOKIE
constexpr int SO_NETNS_COOKIE = 71;
#endif

// libbpf explains its failures on standard error, which the helper shares with Quillon's
// terminal; the outcome is told to Quillon instead.
int quiet(enum libbpf_print_level, const char*, va_list) {
    return 0;
}

std::uint64_t ownNetnsCookie() {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return 0;
    }
    std::uint64_t cookie = 0;
    socklen_t len = sizeof cookie;
    if (::getsockopt(s, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &len) != 0) {
        cookie = 0;
    }
    ::close(s);
    return cookie;
}

// The mount point of the cgroup2 hierarchy as this process sees it, preferring one that shows
// the hierarchy's root. Fields of /proc/self/mountinfo: id, parent, dev, root, mount point,
// options, optional fields, "-", type, source, super options; spaces inside names are \040.
std::string cgroup2Mount() {
    FILE* f = std::fopen("/proc/self/mountinfo", "re");
    if (f == nullptr) {
        return {};
    }
    std::string found;
    char* line = nullptr;
    size_t cap = 0;
    while (::getline(&line, &cap, f) > 0) {
        const char* dash = std::strstr(line, " - ");
        if (dash == nullptr || std::strncmp(dash + 3, "cgroup2 ", 8) != 0) {
            continue;
        }
        char root[4096];
        char point[4096];
        if (std::sscanf(line, "%*s %*s %*s %4095s %4095s", root, point) != 2) {
            continue;
        }
        std::string unescaped;
        for (const char* p = point; *p != '\0'; ++p) {
            if (p[0] == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] != '\0' && p[3] != '\0') {
                unescaped += static_cast<char>((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
                p += 3;
            } else {
                unescaped += *p;
            }
        }
        if (found.empty() || std::strcmp(root, "/") == 0) {
            found = unescaped;
            if (std::strcmp(root, "/") == 0) {
                break;
            }
        }
    }
    std::free(line);
    std::fclose(f);
    return found;
}

proto::EnforceOff offOfErrno(int error) {
    switch (error) {
    case EPERM:
    case EACCES:
        return proto::EnforceOff::NoCapability;
    case ENOENT:
    case ESRCH:
    case EOPNOTSUPP:
    case EINVAL:
    case E2BIG:
        return proto::EnforceOff::NoKernelSupport;
    default:
        return proto::EnforceOff::LoadFailed;
    }
}

// Whether the counter moves when a socket of this namespace listens and connects: older kernels
// set some states without the tracepoint, and then an unchanged count proves nothing.
bool countsChanges(const volatile __u64& counter) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bool ok = false;
    const std::uint64_t before = counter;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::listen(listener, 1) == 0 &&
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        const std::uint64_t listened = counter;
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client >= 0) {
            const bool connected =
                ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            ok = listened > before && connected && counter > listened;
            ::close(client);
        }
    }
    ::close(listener);
    return ok;
}

} // namespace

struct Enforcer::Impl {
    guard* skel = nullptr;
    bpf_link* links[3] = {nullptr, nullptr, nullptr};
    bpf_link* sweepLink = nullptr;
    ring_buffer* ring = nullptr;
    const Destroy* destroy = nullptr;
    const Send* send = nullptr;

    ~Impl() {
        ring_buffer__free(ring);
        bpf_link__destroy(sweepLink);
        for (bpf_link* l : links) {
            bpf_link__destroy(l);
        }
        guard__destroy(skel);
    }

    // One record of the ring buffer.
    static int onRecord(void* context, void* data, size_t size) {
        auto* self = static_cast<Impl*>(context);
        if (size < sizeof(event) || self->destroy == nullptr || self->send == nullptr) {
            return 0;
        }
        event e;
        std::memcpy(&e, data, sizeof e);
        proto::Report r;
        r.state = e.state;
        r.id.family = e.family;
        std::memcpy(r.id.local.data(), e.local, sizeof e.local);
        std::memcpy(r.id.remote.data(), e.remote, sizeof e.remote);
        r.id.localPort = htons(e.local_port);
        r.id.remotePort = htons(e.remote_port);
        r.id.ifIndex = e.if_index;
        r.id.cookie = e.cookie;
        if (e.kind == EVENT_REFUSED) {
            r.kind = proto::ReportKind::Refused;
            r.suppressed = e.suppressed;
            (*self->send)(r);
        } else if (e.kind == EVENT_CUT && r.id.localPort != 0 && r.id.cookie != 0) {
            // The cookie makes the destroy hit exactly this socket; one that already went (cut
            // at an earlier state, or closed) answers ENOENT and is not reported twice.
            if ((*self->destroy)(r.id) == 0) {
                r.kind = proto::ReportKind::Cut;
                (*self->send)(r);
            }
        }
        return 0;
    }
};

Enforcer::Enforcer() : d(std::make_unique<Impl>()) {}
Enforcer::~Enforcer() = default;

bool Enforcer::start() {
    if (load()) {
        return true;
    }
    // What attached before the failure goes with the rest: it would judge nothing, yet stay
    // hooked into every connect of the machine for as long as the helper runs.
    d = std::make_unique<Impl>();
    works_ = 0;
    return false;
}

bool Enforcer::load() {
    libbpf_set_print(quiet);
    const std::uint64_t netns = ownNetnsCookie();
    if (netns == 0) {
        off_ = proto::EnforceOff::NoKernelSupport;
        return false;
    }
    d->skel = guard__open();
    if (d->skel == nullptr) {
        off_ = offOfErrno(errno);
        return false;
    }
    d->skel->bss->settings.netns = netns;
    if (const int error = guard__load(d->skel)) {
        off_ = offOfErrno(-error);
        return false;
    }
    const std::string mount = cgroup2Mount();
    const int cgroup =
        mount.empty() ? -1 : ::open(mount.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cgroup < 0) {
        off_ = proto::EnforceOff::NoCgroup;
        return false;
    }
    d->links[0] = bpf_program__attach_cgroup(d->skel->progs.refuse_connect4, cgroup);
    const int error4 = errno;
    d->links[1] = bpf_program__attach_cgroup(d->skel->progs.refuse_connect6, cgroup);
    const int error6 = errno;
    ::close(cgroup);
    d->links[2] = bpf_program__attach_trace(d->skel->progs.on_state);
    const int errorState = errno;
    if (d->links[0] == nullptr || d->links[1] == nullptr || d->links[2] == nullptr) {
        off_ = offOfErrno(d->links[0] == nullptr   ? error4
                          : d->links[1] == nullptr ? error6
                                                   : errorState);
        return false;
    }
    d->ring =
        ring_buffer__new(bpf_map__fd(d->skel->maps.events), &Impl::onRecord, d.get(), nullptr);
    if (d->ring == nullptr) {
        off_ = offOfErrno(errno);
        return false;
    }
    works_ = proto::kEnforceRefuse | proto::kEnforceCut;
    d->sweepLink = bpf_program__attach_iter(d->skel->progs.sweep, nullptr);
    if (d->sweepLink != nullptr) {
        works_ |= proto::kEnforceSweep;
    }
    if (countsChanges(d->skel->bss->changes)) {
        works_ |= proto::kEnforceChanges;
    }
    off_ = proto::EnforceOff::None;
    return true;
}

bool Enforcer::updatesNeedBpfCapability() {
    if (d->skel == nullptr) {
        return false;
    }
    const int map = bpf_map__fd(d->skel->maps.hold_address);
    const pid_t child = ::fork();
    if (child < 0) {
        return true;
    }
    if (child == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3]{};
        ::syscall(SYS_capset, &header, none);
        // A key no entry uses: all ones is no address Quillon ever holds back.
        std::uint32_t key[4] = {~0u, ~0u, ~0u, ~0u};
        std::uint8_t one = 1;
        const bool ok =
            bpf_map_update_elem(map, key, &one, BPF_ANY) == 0 && bpf_map_delete_elem(map, key) == 0;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const bool needed = !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (needed) {
        works_ |= proto::kEnforceKeptBpf;
    }
    return needed;
}

int Enforcer::eventFd() const {
    return d->ring != nullptr ? ring_buffer__epoll_fd(d->ring) : -1;
}

void Enforcer::drain(const Destroy& destroy, const Send& send) {
    if (d->ring == nullptr) {
        return;
    }
    d->destroy = &destroy;
    d->send = &send;
    ring_buffer__consume(d->ring);
    d->destroy = nullptr;
    d->send = nullptr;
}

bool Enforcer::settings(std::uint32_t value) {
    if (d->skel == nullptr || d->ring == nullptr) {
        return false;
    }
    std::uint32_t flags = FLAG_ON | FLAG_REFUSE;
    if ((value & proto::kSettingExempt) != 0) {
        flags |= FLAG_EXEMPT;
    }
    if ((value & proto::kSettingIpv6) != 0) {
        flags |= FLAG_IPV6;
    }
    // Two plain stores the programs read one at a time; a connect judged between them sees
    // the new level with the old switches, which one of Quillon's ticks could too.
    d->skel->bss->settings.level = value & 0xFF;
    d->skel->bss->settings.flags = flags;
    return true;
}

bool Enforcer::change(proto::Set set, const proto::SocketId& entry, bool add) {
    if (d->skel == nullptr || d->ring == nullptr) {
        return false;
    }
    auto* bss = d->skel->bss;
    const std::uint16_t port = ntohs(entry.remotePort);
    volatile std::uint8_t* ports = nullptr;
    bpf_map* addresses = nullptr;
    switch (set) {
    case proto::Set::DenyAddress:
        addresses = d->skel->maps.deny_address;
        break;
    case proto::Set::HoldAddress:
        addresses = d->skel->maps.hold_address;
        break;
    case proto::Set::DenyRemotePort:
        ports = bss->deny_remote_port;
        break;
    case proto::Set::DenyLocalPort:
        ports = bss->deny_local_port;
        break;
    case proto::Set::HoldRemotePort:
        ports = bss->hold_remote_port;
        break;
    case proto::Set::HoldLocalPort:
        ports = bss->hold_local_port;
        break;
    case proto::Set::None:
        return false;
    }
    if (ports != nullptr) {
        ports[port] = add ? 1 : 0;
        return true;
    }
    std::uint32_t key[4] = {entry.remote[0], 0, 0, 0};
    if (entry.family == AF_INET6) {
        std::memcpy(key, entry.remote.data(), sizeof key);
    }
    const int fd = bpf_map__fd(addresses);
    if (add) {
        const std::uint8_t one = 1;
        return bpf_map_update_elem(fd, key, &one, BPF_ANY) == 0;
    }
    return bpf_map_delete_elem(fd, key) == 0 || errno == ENOENT;
}

bool Enforcer::sweep(const Destroy& destroy, const Send& send) {
    if (d->sweepLink == nullptr) {
        return false;
    }
    const int iter = bpf_iter_create(bpf_link__fd(d->sweepLink));
    if (iter < 0) {
        return false;
    }
    // The program runs as the iterator is read; it prints nothing, so each read returns 0
    // once every socket was seen.
    char buffer[64];
    ssize_t n = 0;
    while ((n = ::read(iter, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    }
    ::close(iter);
    drain(destroy, send);
    return n == 0;
}

std::uint64_t Enforcer::changes() const {
    return d->skel != nullptr ? d->skel->bss->changes : 0;
}

} // namespace quillon::cut
