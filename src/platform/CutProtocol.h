#pragma once

// The conversation between Quillon and quillon-cut, the small helper that alone holds
// CAP_NET_ADMIN. Plain C++ with no Qt, so that the helper links nothing it does not need.
//
// Quillon writes fixed-size requests to the helper's standard input and reads one fixed-size
// answer per request from its standard output. Every field is checked before anything is
// done with it; the size comes first so that a request of another size is refused without
// reading past it.

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillon::platform::cutproto {

inline constexpr std::uint32_t kMagic = 0x54554351; // "QCUT" read as little-endian bytes
inline constexpr std::uint8_t kVersion = 1;

enum class Kind : std::uint8_t {
    Cut = 1,   // destroy the connection the identity names
    Probe = 2, // may the helper destroy connections at all? (the identity is all zero)
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
    std::uint32_t size;     // sizeof(Wire)
    std::uint32_t magic;    // kMagic
    std::uint8_t version;   // kVersion
    std::uint8_t kind;      // Kind
    std::uint8_t family;    // AF_INET or AF_INET6
    std::uint8_t reserved0; // zero
    std::uint32_t local[4];
    std::uint32_t remote[4];
    std::uint16_t localPort;
    std::uint16_t remotePort;
    std::uint32_t ifIndex;
    std::uint32_t reserved1; // zero
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

// The answer as it travels: magic, version, answer, one zero byte.
inline constexpr std::size_t kAnswerSize = 8;

struct Request {
    Kind kind = Kind::Cut;
    SocketId id;
};

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
    BadAddress, // an IPv4 request with bytes beyond the first address word
    BadPort,    // no local port: every socket in the table has one
    BadCookie,  // 0 and all ones never name a socket (all ones turns the kernel's check off)
    ProbeNotEmpty,
};

// Checks and decodes exactly kRequestSize bytes.
ParseError parse(const unsigned char* bytes, Request& out);

// What a destroy's errno (0: the kernel dropped the socket) answers. The helper answers with
// it and Quillon, cutting in-process as root, reads its own destroys through it, so that a
// cut means the same whichever way it went.
Answer answerOfErrno(int error);

std::array<unsigned char, kAnswerSize> encodeAnswer(Answer answer);
// False when the bytes are not an answer of this protocol.
bool parseAnswer(const unsigned char* bytes, Answer& out);

} // namespace quillon::platform::cutproto
