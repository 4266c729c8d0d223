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

// The identity's fields, which the request and the report lay out alike.
template <typename WireT>
void putId(WireT& w, const SocketId& id) {
    w.family = id.family;
    std::memcpy(w.local, id.local.data(), sizeof w.local);
    std::memcpy(w.remote, id.remote.data(), sizeof w.remote);
    w.localPort = id.localPort;
    w.remotePort = id.remotePort;
    w.ifIndex = id.ifIndex;
    w.cookie = id.cookie;
}

template <typename WireT>
SocketId idOf(const WireT& w) {
    SocketId id;
    id.family = w.family;
    std::memcpy(id.local.data(), w.local, sizeof w.local);
    std::memcpy(id.remote.data(), w.remote, sizeof w.remote);
    id.localPort = w.localPort;
    id.remotePort = w.remotePort;
    id.ifIndex = w.ifIndex;
    id.cookie = w.cookie;
    return id;
}

// An entry of a set: an address (family and remote) or a port (remotePort, never 0); nothing else.
ParseError parseEntry(const Wire& w, Request& out) {
    if (w.set == 0 || w.set > kLastSet || w.value != 0) {
        return ParseError::BadSet;
    }
    const Set set = static_cast<Set>(w.set);
    const bool address = set == Set::DenyAddress || set == Set::HoldAddress;
    if (!allZero(w.local, 0) || w.localPort != 0 || w.ifIndex != 0 || w.cookie != 0) {
        return ParseError::BadSet;
    }
    if (address) {
        if (w.family != AF_INET && w.family != AF_INET6) {
            return ParseError::UnknownFamily;
        }
        if (w.family == AF_INET && !allZero(w.remote, 1)) {
            return ParseError::BadAddress;
        }
        if (w.remotePort != 0) {
            return ParseError::BadSet;
        }
    } else if (w.family != 0 || !allZero(w.remote, 0) || w.remotePort == 0) {
        return ParseError::BadSet;
    }
    Request r;
    r.kind = static_cast<Kind>(w.kind);
    r.set = set;
    r.id = idOf(w); // every other field was checked to be zero
    out = r;
    return ParseError::Ok;
}

} // namespace

std::array<unsigned char, kRequestSize> encode(const Request& request) {
    Wire w;
    std::memset(&w, 0, sizeof w);
    w.size = kRequestSize;
    w.magic = kMagic;
    w.version = kVersion;
    w.kind = static_cast<std::uint8_t>(request.kind);
    putId(w, request.id);
    w.set = static_cast<std::uint8_t>(request.set);
    w.value = request.value;
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
    const bool empty = w.family == 0 && allZero(w.local, 0) && allZero(w.remote, 0) &&
                       w.localPort == 0 && w.remotePort == 0 && w.ifIndex == 0 && w.cookie == 0;
    switch (static_cast<Kind>(w.kind)) {
    case Kind::Probe:
    case Kind::Enforcement:
    case Kind::Sweep:
    case Kind::Changes:
        if (w.set != 0 || w.value != 0) {
            return ParseError::NonZeroReserved;
        }
        if (!empty) {
            return ParseError::ProbeNotEmpty;
        }
        out = Request{static_cast<Kind>(w.kind), SocketId{}, Set::None, 0};
        return ParseError::Ok;
    case Kind::Settings: {
        if (w.set != 0) {
            return ParseError::NonZeroReserved;
        }
        if (!empty) {
            return ParseError::ProbeNotEmpty;
        }
        const std::uint32_t level = w.value & 0xFF;
        if (level > 3 || (w.value & ~(0xFFu | kSettingExempt | kSettingIpv6)) != 0) {
            return ParseError::BadValue;
        }
        out = Request{Kind::Settings, SocketId{}, Set::None, w.value};
        return ParseError::Ok;
    }
    case Kind::Add:
    case Kind::Remove:
        return parseEntry(w, out);
    case Kind::Cut:
        break;
    default:
        return ParseError::UnknownKind;
    }
    if (w.set != 0 || w.value != 0) {
        return ParseError::NonZeroReserved;
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
    r.id = idOf(w);
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
    return encodeReply(Reply{answer, 0, 0});
}

std::array<unsigned char, kAnswerSize> encodeReply(const Reply& reply) {
    std::array<unsigned char, kAnswerSize> bytes{};
    std::memcpy(bytes.data(), &kMagic, sizeof kMagic);
    bytes[4] = kVersion;
    bytes[5] = static_cast<unsigned char>(reply.answer);
    bytes[6] = reply.detail;
    std::memcpy(bytes.data() + 8, &reply.value, sizeof reply.value);
    return bytes;
}

bool parseReply(const unsigned char* bytes, Reply& out) {
    std::uint32_t magic = 0;
    std::memcpy(&magic, bytes, sizeof magic);
    if (magic != kMagic || bytes[4] != kVersion || bytes[7] != 0 ||
        bytes[5] > static_cast<unsigned char>(Answer::BadRequest)) {
        return false;
    }
    out.answer = static_cast<Answer>(bytes[5]);
    out.detail = bytes[6];
    std::memcpy(&out.value, bytes + 8, sizeof out.value);
    return true;
}

bool parseAnswer(const unsigned char* bytes, Answer& out) {
    Reply reply;
    if (!parseReply(bytes, reply)) {
        return false;
    }
    out = reply.answer;
    return true;
}

namespace {

// A report as it travels, in the machine's own byte order.
struct ReportWire {
    std::uint32_t magic;
    std::uint8_t kind;
    std::uint8_t family;
    std::uint8_t state;
    std::uint8_t zero;
    std::uint32_t local[4];
    std::uint32_t remote[4];
    std::uint16_t localPort;
    std::uint16_t remotePort;
    std::uint32_t ifIndex;
    std::uint64_t cookie;
    std::uint32_t suppressed;
    std::uint32_t zero2;
};
static_assert(sizeof(ReportWire) == kReportSize, "a report has a fixed size, without padding");

} // namespace

std::array<unsigned char, kReportSize> encodeReport(const Report& report) {
    ReportWire w;
    std::memset(&w, 0, sizeof w);
    w.magic = kMagic;
    w.kind = static_cast<std::uint8_t>(report.kind);
    putId(w, report.id);
    w.state = report.state;
    w.suppressed = report.suppressed;
    std::array<unsigned char, kReportSize> bytes{};
    std::memcpy(bytes.data(), &w, sizeof w);
    return bytes;
}

bool parseReport(const unsigned char* bytes, Report& out) {
    ReportWire w;
    std::memcpy(&w, bytes, sizeof w);
    if (w.magic != kMagic || w.zero != 0 || w.zero2 != 0 ||
        (w.kind != static_cast<std::uint8_t>(ReportKind::Refused) &&
         w.kind != static_cast<std::uint8_t>(ReportKind::Cut)) ||
        (w.family != AF_INET && w.family != AF_INET6) ||
        (w.family == AF_INET && (!allZero(w.local, 1) || !allZero(w.remote, 1)))) {
        return false;
    }
    out.kind = static_cast<ReportKind>(w.kind);
    out.state = w.state;
    out.id = idOf(w);
    out.suppressed = w.suppressed;
    return true;
}

} // namespace quillon::platform::cutproto
