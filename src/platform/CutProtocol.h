#pragma once

// The conversation between Quillon and quillon-cut, the small helper that alone holds
// CAP_NET_ADMIN. Plain C++ with no Qt, so that the helper links nothing it does not need.
//
// Quillon writes fixed-size requests to the helper's standard input and reads one fixed-size
// answer per request from its standard output. Where the kernel allows, the helper also keeps
// BPF programs that refuse forbidden connects and report forbidden connections the moment the
// kernel touches them; Quillon fills their tables with requests, and the helper's reports
// arrive as fixed-size records on a second socket, its descriptor 3. Every field is checked before
// anything is done with it; the size comes first so that a request of another size is refused
// without reading past it.

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillon::platform::cutproto {

inline constexpr std::uint32_t kMagic = 0x54554351; // "QCUT" read as little-endian bytes
inline constexpr std::uint8_t kVersion = 2;

enum class Kind : std::uint8_t {
    Cut = 1,   // destroy the connection the identity names
    Probe = 2, // may the helper destroy connections at all? (the identity is all zero)
    // Immediate enforcement. Every field but those named is zero.
    Enforcement = 3, // is it on? The answer's value holds the Enforce bits, its detail why not
    Settings = 4,    // value: the level in bits 0..7, Setting bits from bit 8
    Add = 5,         // set, and family with remote (an address set) or remotePort (a port set)
    Remove = 6,      // the same entry, taken out
    Sweep = 7,       // judge every open connection again now, cutting the forbidden ones
    Changes = 8,     // the answer's value: how many times a TCP socket changed state
};

// The tables Quillon fills: the deny rules and the fields of the pending questions, which
// hold back the connections sharing them.
enum class Set : std::uint8_t {
    None = 0,
    DenyAddress = 1,
    DenyRemotePort = 2,
    DenyLocalPort = 3,
    HoldAddress = 4,
    HoldRemotePort = 5,
    HoldLocalPort = 6,
};
inline constexpr std::uint8_t kLastSet = 6;

// Bits of a Settings request's value, above the level.
inline constexpr std::uint32_t kSettingExempt = 1u << 8; // local-network addresses pass
inline constexpr std::uint32_t kSettingIpv6 = 1u << 9;   // IPv6 connections are judged

// Bits of an Enforcement answer's value: what works.
inline constexpr std::uint64_t kEnforceRefuse = 1;   // connects are refused
inline constexpr std::uint64_t kEnforceCut = 2;      // connections are cut on their events
inline constexpr std::uint64_t kEnforceChanges = 4;  // the change count covers every change
inline constexpr std::uint64_t kEnforceSweep = 8;    // a Sweep request works
inline constexpr std::uint64_t kEnforceKeptBpf = 16; // the helper had to keep CAP_BPF

// Why enforcement is off: an Enforcement answer's detail byte.
enum class EnforceOff : std::uint8_t {
    None = 0,
    NoCapability = 1,    // the helper lacks cap_bpf or cap_perfmon (a checked-out build)
    NoKernelSupport = 2, // no BTF, no tracepoint, or BPF refused by the kernel
    NoCgroup = 3,        // no cgroup2 mount to attach the connect programs to
    LoadFailed = 4,      // anything else
};

// One connection's full identity, as the kernel's sock_diag names a socket. Addresses and
// ports are in network byte order; an AF_INET socket uses only the first word of each
// address, an AF_INET6 one all four.
struct SocketId {
    std::uint8_t family = 0;
    std::array<std::uint32_t, 4> local{};
    std::array<std::uint32_t, 4> remote{};
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    std::uint32_t ifIndex = 0;
    std::uint64_t cookie = 0;
};

// The request as it travels, 64 bytes in the machine's own byte order (both ends run on the
// same host).
struct Wire {
    std::uint32_t size;   // sizeof(Wire)
    std::uint32_t magic;  // kMagic
    std::uint8_t version; // kVersion
    std::uint8_t kind;    // Kind
    std::uint8_t family;  // AF_INET or AF_INET6; 0 for a port set
    std::uint8_t set;     // Set of an Add or Remove; zero otherwise
    std::uint32_t local[4];
    std::uint32_t remote[4];
    std::uint16_t localPort;
    std::uint16_t remotePort;
    std::uint32_t ifIndex;
    std::uint32_t value; // a Settings request's value; zero otherwise
    std::uint64_t cookie;
};
static_assert(sizeof(Wire) == 64, "the request has a fixed size, without padding");
inline constexpr std::size_t kRequestSize = sizeof(Wire);

// What the helper answers; one byte after the answer header.
enum class Answer : std::uint8_t {
    Cut = 0,           // the kernel dropped the connection (for a probe: cuts are possible)
    AlreadyGone = 1,   // no such connection (closed, or its four-tuple now holds another)
    NotPermitted = 2,  // the helper lacks CAP_NET_ADMIN
    NotSupported = 3,  // the kernel cannot destroy sockets
    Failed = 4,        // anything else
    NotConnection = 5, // the identity names a listening socket, which is never cut
    BadRequest = 6,    // a field is out of range; nothing was done
};

// The answer as it travels: magic, version, answer, detail, one zero byte, then a 64-bit value.
inline constexpr std::size_t kAnswerSize = 16;

struct Request {
    Kind kind = Kind::Cut;
    SocketId id; // Cut: the connection; Add and Remove: family, remote and remotePort
    Set set = Set::None;
    std::uint32_t value = 0;
};

struct Reply {
    Answer answer = Answer::Failed;
    std::uint8_t detail = 0;
    std::uint64_t value = 0;
};

// A report of the helper's, on its descriptor 3: a connect it refused, or a connection it cut.
enum class ReportKind : std::uint8_t { Refused = 1, Cut = 2 };

struct Report {
    ReportKind kind = ReportKind::Cut;
    std::uint8_t state = 0;       // the kernel's TCP state when judged
    SocketId id;                  // as the socket holds it; a refused connect has no local address
    std::uint32_t suppressed = 0; // refusals of the same address and port left unreported
};
inline constexpr std::size_t kReportSize = 64;

std::array<unsigned char, kReportSize> encodeReport(const Report& report);
// False when the bytes are not a report of this protocol.
bool parseReport(const unsigned char* bytes, Report& out);

// Encodes a request.
std::array<unsigned char, kRequestSize> encode(const Request& request);

// Why a request was refused; Ok when every field checks out.
enum class ParseError {
    Ok,
    WrongSize,  // the size field is not the request's size: the stream cannot be trusted on
    WrongMagic, // not a request of this protocol
    WrongVersion,
    UnknownKind,
    UnknownFamily,
    NonZeroReserved,
    BadAddress,    // an IPv4 request with bytes beyond the first address word
    BadPort,       // no local port: every socket in the table has one
    BadCookie,     // 0 and all ones never name a socket (all ones turns the kernel's check off)
    ProbeNotEmpty, // a request without an identity carries one
    BadSet,        // an Add or Remove names no set, or its entry does not fit the set
    BadValue,      // a Settings value out of range
};

// Checks and decodes exactly kRequestSize bytes.
ParseError parse(const unsigned char* bytes, Request& out);

// What a destroy's errno (0: the kernel dropped the socket) answers. The helper answers with
// it and Quillon, cutting in-process as root, reads its own destroys through it, so that a
// cut means the same whichever way it went.
Answer answerOfErrno(int error);

std::array<unsigned char, kAnswerSize> encodeAnswer(Answer answer);
std::array<unsigned char, kAnswerSize> encodeReply(const Reply& reply);
// False when the bytes are not an answer of this protocol.
bool parseAnswer(const unsigned char* bytes, Answer& out);
bool parseReply(const unsigned char* bytes, Reply& out);

} // namespace quillon::platform::cutproto
