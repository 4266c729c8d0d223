// What the kernel half of quillon-cut and its user-space half share: the settings it reads from
// its data section and the records it hands over its ring buffer. C, for both compilers.
#pragma once

#include <linux/types.h>

// Settings the helper writes through its mapping of this section: no system call, and so no
// capability, is needed to change them after load.
#define FLAG_ON 1u     // judge at all (off until the helper has its first settings)
#define FLAG_EXEMPT 2u // the local-network switch: 192.168/16, 10/8, fe80::/10, fc00::/7 pass
#define FLAG_IPV6 4u   // IPv6 connections are judged (the IPv6 switch)
#define FLAG_REFUSE 8u // connects are refused (off: only counted and cut)

struct settings {
    __u64 netns; // the cookie of the network namespace judged; others are never touched
    __u32 level; // 1 high, 2 medium: deny rules cut; anything else cuts nothing
    __u32 flags;
};

#define EVENT_REFUSED 1
#define EVENT_CUT 2

// One record to the helper. Addresses as the socket holds them (network byte order; IPv4 in
// word 0 of an AF_INET socket, IPv4-mapped in an AF_INET6 one); ports in host byte order.
struct event {
    __u8 kind;
    __u8 family;
    __u8 state;
    __u8 pad;
    __u16 local_port;
    __u16 remote_port;
    __u32 local[4];
    __u32 remote[4];
    __u64 cookie;
    __u32 if_index;
    __u32 suppressed; // EVENT_REFUSED: refusals of this address and port not reported before
};
