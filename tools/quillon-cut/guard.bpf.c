// The kernel half of quillon-cut: refuses connects the user's deny rules forbid, asks the
// helper to cut the connections they forbid as soon as the kernel touches them, and counts the
// TCP table's changes so that Quillon need not dump an unchanged table.
//
// It mirrors only the cut outcome of Quillon's decision, and only its inputs: the level, the
// local-network switch, the IPv6 switch, the pending questions' fields (which hold connections
// back) and the deny rules. Questions are still asked by Quillon at its tick.
//
// Built with CO-RE: the kernel structures below name only the fields read, and libbpf finds
// them in the running kernel's BTF, so one object loads on 6.1 and on newer kernels.
#include "guard_shared.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>
#include <linux/bpf.h>
#include <linux/types.h>

char LICENSE[] SEC("license") = "GPL";

#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6
#define EPERM_REFUSE 0 // a cgroup connect program refuses by returning 0: the caller gets EPERM

// The kernel's TCP states (include/net/tcp_states.h).
#define TCP_ESTABLISHED 1
#define TCP_SYN_SENT 2
#define TCP_SYN_RECV 3
#define TCP_TIME_WAIT 6
#define TCP_CLOSE 7
#define TCP_LISTEN 10
#define TCP_NEW_SYN_RECV 12

// Only the fields read; preserve_access_index makes every access a CO-RE relocation.
struct in6_addr {
    union {
        __u32 u6_addr32[4];
    } in6_u;
} __attribute__((preserve_access_index));

struct net {
    __u64 net_cookie;
} __attribute__((preserve_access_index));

typedef struct {
    struct net* net;
} possible_net_t;

struct sock_common {
    __be32 skc_daddr;
    __be32 skc_rcv_saddr;
    __be16 skc_dport;
    __u16 skc_num;
    unsigned short skc_family;
    volatile unsigned char skc_state;
    int skc_bound_dev_if;
    possible_net_t skc_net;
    struct in6_addr skc_v6_daddr;
    struct in6_addr skc_v6_rcv_saddr;
} __attribute__((preserve_access_index));

struct sock {
    struct sock_common __sk_common;
    __u16 sk_protocol;
} __attribute__((preserve_access_index));

struct bpf_iter__tcp {
    struct sock_common* sk_common;
} __attribute__((preserve_access_index));

volatile struct settings settings;
// Every state change of a TCP socket of the namespace; read by the helper.
volatile __u64 changes;
// Per port (host byte order): deny rules, and how many pending questions hold it.
volatile __u8 deny_remote_port[65536];
volatile __u8 deny_local_port[65536];
volatile __u8 hold_remote_port[65536];
volatile __u8 hold_local_port[65536];

struct addr_key {
    __u32 word[4]; // IPv4: word 0, the rest zero
};

#define MAX_ADDRESSES 262144
#define MAX_HELD 1024

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, MAX_ADDRESSES);
    __type(key, struct addr_key);
    __type(value, __u8);
} deny_address SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, MAX_HELD);
    __type(key, struct addr_key);
    __type(value, __u8);
} hold_address SEC(".maps");

// When the last refusal of an address and port was reported: a program retrying in a loop
// yields one report a second.
struct refuse_key {
    struct addr_key addr;
    __u32 port;
};

struct refuse_seen {
    __u64 at;
    __u32 since; // refusals not reported since then
    __u32 pad;
};

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, struct refuse_key);
    __type(value, struct refuse_seen);
} refused SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 1 << 20);
} events SEC(".maps");

static __always_inline int is_mapped(const __u32 a[4]) {
    return a[0] == 0 && a[1] == 0 && a[2] == bpf_htonl(0xFFFF);
}

// The judged form of a remote address: IPv4 (also IPv4-mapped) in word 0 with family AF_INET.
static __always_inline void judged_address(__u16 family, const __u32 raw[4], struct addr_key* k,
                                           __u16* judged_family) {
    __builtin_memset(k, 0, sizeof *k);
    if (family == AF_INET) {
        k->word[0] = raw[0];
        *judged_family = AF_INET;
    } else if (is_mapped(raw)) {
        k->word[0] = raw[3];
        *judged_family = AF_INET;
    } else {
        k->word[0] = raw[0];
        k->word[1] = raw[1];
        k->word[2] = raw[2];
        k->word[3] = raw[3];
        *judged_family = AF_INET6;
    }
}

static __always_inline int is_local_network(__u16 family, const struct addr_key* k) {
    const __u8* b = (const __u8*)&k->word[0];
    if (family == AF_INET) {
        return (b[0] == 192 && b[1] == 168) || b[0] == 10;
    }
    return (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) || (b[0] & 0xFE) == 0xFC;
}

// The cut outcome of Quillon's decision: exemption, then pending questions, then the deny
// rules at levels 1 and 2. A port of 0 is one not chosen yet; it matches nothing.
static __always_inline int forbidden(__u16 family, const __u32 remote[4], __u16 remote_port,
                                     __u16 local_port) {
    const __u32 flags = settings.flags;
    const __u32 level = settings.level;
    if (!(flags & FLAG_ON) || (level != 1 && level != 2)) {
        return 0;
    }
    struct addr_key k;
    __u16 judged;
    judged_address(family, remote, &k, &judged);
    if (judged == AF_INET6 && !(flags & FLAG_IPV6)) {
        return 0;
    }
    if ((flags & FLAG_EXEMPT) && is_local_network(judged, &k)) {
        return 0;
    }
    if (bpf_map_lookup_elem(&hold_address, &k) || hold_remote_port[remote_port] ||
        (local_port != 0 && hold_local_port[local_port])) {
        return 0;
    }
    return bpf_map_lookup_elem(&deny_address, &k) || deny_remote_port[remote_port] ||
           (local_port != 0 && deny_local_port[local_port]);
}

static __always_inline void report_refusal(struct bpf_sock_addr* ctx, __u16 family,
                                           const __u32 remote[4], __u16 remote_port) {
    struct refuse_key key;
    __builtin_memset(&key, 0, sizeof key);
    key.addr.word[0] = remote[0];
    key.addr.word[1] = remote[1];
    key.addr.word[2] = remote[2];
    key.addr.word[3] = remote[3];
    key.port = remote_port | ((__u32)family << 16);
    const __u64 now = bpf_ktime_get_ns();
    struct refuse_seen* seen = bpf_map_lookup_elem(&refused, &key);
    __u32 suppressed = 0;
    if (seen) {
        if (now - seen->at < 1000000000ull) {
            __sync_fetch_and_add(&seen->since, 1);
            return;
        }
        suppressed = seen->since;
    }
    struct refuse_seen fresh = {.at = now};
    bpf_map_update_elem(&refused, &key, &fresh, BPF_ANY);

    struct event* e = bpf_ringbuf_reserve(&events, sizeof *e, 0);
    if (!e) {
        return;
    }
    __builtin_memset(e, 0, sizeof *e);
    e->kind = EVENT_REFUSED;
    e->family = family;
    e->state = TCP_SYN_SENT;
    e->remote_port = remote_port;
    e->remote[0] = remote[0];
    e->remote[1] = remote[1];
    e->remote[2] = remote[2];
    e->remote[3] = remote[3];
    struct bpf_sock* sk = ctx->sk;
    if (sk) {
        e->local_port = sk->src_port;
    }
    e->cookie = bpf_get_socket_cookie(ctx);
    e->suppressed = suppressed;
    bpf_ringbuf_submit(e, 0);
}

static __always_inline int judge_connect(struct bpf_sock_addr* ctx, __u16 family,
                                         const __u32 remote[4]) {
    if (!(settings.flags & FLAG_REFUSE) || bpf_get_netns_cookie(ctx) != settings.netns) {
        return 1;
    }
    const __u16 remote_port = bpf_ntohs((__u16)ctx->user_port);
    __u16 local_port = 0;
    struct bpf_sock* sk = ctx->sk;
    if (sk) {
        if (sk->protocol != IPPROTO_TCP) {
            return 1;
        }
        local_port = sk->src_port; // bound beforehand, or 0
    }
    if (!forbidden(family, remote, remote_port, local_port)) {
        return 1;
    }
    report_refusal(ctx, family, remote, remote_port);
    return EPERM_REFUSE;
}

SEC("cgroup/connect4")
int refuse_connect4(struct bpf_sock_addr* ctx) {
    __u32 remote[4] = {ctx->user_ip4, 0, 0, 0};
    return judge_connect(ctx, AF_INET, remote);
}

SEC("cgroup/connect6")
int refuse_connect6(struct bpf_sock_addr* ctx) {
    __u32 remote[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    return judge_connect(ctx, AF_INET6, remote);
}

// Asks the helper to cut a socket the decision forbids. Listening sockets are never cut; a
// socket still without its local port (an outgoing one at SYN_SENT) is judged without it, and
// again at its next state.
static __always_inline void judge_socket(const struct sock_common* skc, __u8 state) {
    if (state == TCP_LISTEN || state == TCP_CLOSE || state == TCP_TIME_WAIT ||
        state == TCP_NEW_SYN_RECV) {
        return;
    }
    const __u16 family = BPF_CORE_READ(skc, skc_family);
    __u32 remote[4] = {0, 0, 0, 0};
    __u32 local[4] = {0, 0, 0, 0};
    if (family == AF_INET) {
        remote[0] = BPF_CORE_READ(skc, skc_daddr);
        local[0] = BPF_CORE_READ(skc, skc_rcv_saddr);
    } else if (family == AF_INET6) {
        BPF_CORE_READ_INTO(&remote, skc, skc_v6_daddr.in6_u.u6_addr32);
        BPF_CORE_READ_INTO(&local, skc, skc_v6_rcv_saddr.in6_u.u6_addr32);
    } else {
        return;
    }
    const __u16 remote_port = bpf_ntohs(BPF_CORE_READ(skc, skc_dport));
    const __u16 local_port = BPF_CORE_READ(skc, skc_num);
    if (!forbidden(family, remote, remote_port, local_port)) {
        return;
    }
    struct event* e = bpf_ringbuf_reserve(&events, sizeof *e, 0);
    if (!e) {
        return;
    }
    __builtin_memset(e, 0, sizeof *e);
    e->kind = EVENT_CUT;
    e->family = family;
    e->state = state;
    e->local_port = local_port;
    e->remote_port = remote_port;
    __builtin_memcpy(e->local, local, sizeof local);
    __builtin_memcpy(e->remote, remote, sizeof remote);
    e->cookie = bpf_get_socket_cookie((void*)skc);
    e->if_index = BPF_CORE_READ(skc, skc_bound_dev_if);
    bpf_ringbuf_submit(e, 0);
}

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(on_state, const struct sock* sk, int oldstate, int newstate) {
    if (BPF_CORE_READ(sk, sk_protocol) != IPPROTO_TCP ||
        BPF_CORE_READ(sk, __sk_common.skc_net.net, net_cookie) != settings.netns) {
        return 0;
    }
    __sync_fetch_and_add(&changes, 1);
    judge_socket(&sk->__sk_common, (__u8)newstate);
    return 0;
}

// Run on demand after the deny rules changed: every open connection of the namespace is
// judged again, and the forbidden ones go to the helper to be cut.
SEC("iter/tcp")
int sweep(struct bpf_iter__tcp* ctx) {
    struct sock_common* skc = ctx->sk_common;
    if (!skc || BPF_CORE_READ(skc, skc_net.net, net_cookie) != settings.netns) {
        return 0;
    }
    judge_socket(skc, BPF_CORE_READ(skc, skc_state));
    return 0;
}
