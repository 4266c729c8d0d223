#include "platform/Inet.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace quillon::platform::Inet {

const char* Ipv4ToText(quint32 address, char (&buffer)[kIpv4TextSize]) {
    static_assert(kIpv4TextSize >= INET_ADDRSTRLEN);
    // The field is already in network byte order, which is what inet_ntop reads in memory.
    in_addr a{};
    a.s_addr = address;
    return ::inet_ntop(AF_INET, &a, buffer, sizeof buffer);
}

const char* Ipv6ToText(const std::array<quint32, 4>& address, char (&buffer)[kIpv6TextSize]) {
    static_assert(kIpv6TextSize >= INET6_ADDRSTRLEN);
    static_assert(sizeof(in6_addr) == sizeof address);
    in6_addr a;
    std::memcpy(&a, address.data(), sizeof a);
    return ::inet_ntop(AF_INET6, &a, buffer, sizeof buffer);
}

const char* CanonicalIpv6(const char* text, char (&buffer)[kIpv6TextSize]) {
    in6_addr a;
    if (::inet_pton(AF_INET6, text, &a) != 1) {
        return nullptr;
    }
    return ::inet_ntop(AF_INET6, &a, buffer, sizeof buffer);
}

bool AddressBytes(QStringView text, char (&buffer)[kIpv6TextSize]) {
    if (text.size() >= kIpv6TextSize) {
        return false;
    }
    qsizetype n = 0;
    for (const QChar c : text) {
        if (c.unicode() == 0 || c.unicode() > 0x7F) {
            return false;
        }
        buffer[n++] = static_cast<char>(c.unicode());
    }
    buffer[n] = '\0';
    return true;
}

bool IsIpv6LocalNetwork(const char* text) {
    in6_addr a;
    if (::inet_pton(AF_INET6, text, &a) != 1) {
        return false;
    }
    const unsigned char first = a.s6_addr[0];
    const bool linkLocal = first == 0xFE && (a.s6_addr[1] & 0xC0) == 0x80;
    const bool uniqueLocal = (first & 0xFE) == 0xFC;
    return linkLocal || uniqueLocal;
}

int AddressOfText(const char* text, std::array<quint32, 4>& address) {
    address = {};
    in_addr v4{};
    if (::inet_pton(AF_INET, text, &v4) == 1) {
        address[0] = v4.s_addr;
        return AF_INET;
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, text, &v6) == 1) {
        std::memcpy(address.data(), &v6, sizeof v6);
        return AF_INET6;
    }
    return 0;
}

} // namespace quillon::platform::Inet
