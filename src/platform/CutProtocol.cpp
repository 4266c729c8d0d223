#include "platform/CutProtocol.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quillon::platform::cutproto {

namespace {

constexpr std::uint64_t kNoCookie = ~std::uint64_t{0};

bool allZero(const std::uint32_t (&words)[4], int from) {
    for (int i = from; i < 4; ++i) {
        if (words[i] != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

std::array<unsigned char, kRequestSize> encode(const Request& request) {
    Wire w;
    std::memset(&w, 0, sizeof w);
    w.size = kRequestSize;
    w.magic = kMagic;
    w.version = kVersion;
    w.kind = static_cast<std::uint8_t>(request.kind);
    w.family = request.id.family;
    std::memcpy(w.local, request.id.local.data(), sizeof w.local);
    std::memcpy(w.remote, request.id.remote.data(), sizeof w.remote);
    w.localPort = request.id.localPort;
    w.remotePort = request.id.remotePort;
    w.ifIndex = request.id.ifIndex;
    w.cookie = request.id.cookie;
    std::array<unsigned char, kRequestSize> bytes{};
    std::memcpy(bytes.data(), &w, sizeof w);
    return bytes;
}

ParseError parse(const unsigned char* bytes, Request& out) {
    Wire w;
    std::memcpy(&w, bytes, sizeof w);
    if (w.size != kRequestSize) {
        return ParseError::WrongSize;
    }
    if (w.magic != kMagic) {
        return ParseError::WrongMagic;
    }
    if (w.version != kVersion) {
        return ParseError::WrongVersion;
    }
    if (w.reserved0 != 0 || w.reserved1 != 0) {
        return ParseError::NonZeroReserved;
    }
    if (w.kind == static_cast<std::uint8_t>(Kind::Probe)) {
        if (w.family != 0 || !allZero(w.local, 0) || !allZero(w.remote, 0) || w.localPort != 0 ||
            w.remotePort != 0 || w.ifIndex != 0 || w.cookie != 0) {
            return ParseError::ProbeNotEmpty;
        }
        out = Request{Kind::Probe, SocketId{}};
        return ParseError::Ok;
    }
    if (w.kind != static_cast<std::uint8_t>(Kind::Cut)) {
        return ParseError::UnknownKind;
    }
    if (w.family != AF_INET && w.family != AF_INET6) {
        return ParseError::UnknownFamily;
    }
    if (w.family == AF_INET && (!allZero(w.local, 1) || !allZero(w.remote, 1))) {
        return ParseError::BadAddress;
    }
    if (w.localPort == 0) {
        return ParseError::BadPort;
    }
    if (w.cookie == 0 || w.cookie == kNoCookie) {
        return ParseError::BadCookie;
    }
    Request r;
    r.kind = Kind::Cut;
    r.id.family = w.family;
    std::memcpy(r.id.local.data(), w.local, sizeof w.local);
    std::memcpy(r.id.remote.data(), w.remote, sizeof w.remote);
    r.id.localPort = w.localPort;
    r.id.remotePort = w.remotePort;
    r.id.ifIndex = w.ifIndex;
    r.id.cookie = w.cookie;
    out = r;
    return ParseError::Ok;
}

Answer answerOfErrno(int error) {
    switch (error) {
    case 0:
        return Answer::Cut;
    case ENOENT:
    case ESTALE: // the four-tuple is there but belongs to a newer socket
        return Answer::AlreadyGone;
    case EPERM:
    case EACCES:
        return Answer::NotPermitted;
    case EOPNOTSUPP:
        return Answer::NotSupported;
    default:
        return Answer::Failed;
    }
}

std::array<unsigned char, kAnswerSize> encodeAnswer(Answer answer) {
    std::array<unsigned char, kAnswerSize> bytes{};
    std::memcpy(bytes.data(), &kMagic, sizeof kMagic);
    bytes[4] = kVersion;
    bytes[5] = static_cast<unsigned char>(answer);
    return bytes;
}

bool parseAnswer(const unsigned char* bytes, Answer& out) {
    std::uint32_t magic = 0;
    std::memcpy(&magic, bytes, sizeof magic);
    if (magic != kMagic || bytes[4] != kVersion || bytes[6] != 0 || bytes[7] != 0 ||
        bytes[5] > static_cast<unsigned char>(Answer::BadRequest)) {
        return false;
    }
    out = static_cast<Answer>(bytes[5]);
    return true;
}

} // namespace quillon::platform::cutproto
