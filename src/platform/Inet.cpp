#include "platform/Inet.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace quillon::platform::Inet {

const char* Ipv4ToText(quint32 address, char (&buffer)[kIpv4TextSize]) {
    static_assert(kIpv4TextSize >= INET_ADDRSTRLEN);
    // The field is already in network byte order, which is what inet_ntop reads in memory.
    in_addr a{};
    a.s_addr = address;
    return ::inet_ntop(AF_INET, &a, buffer, sizeof buffer);
}

} // namespace quillon::platform::Inet
