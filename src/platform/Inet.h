#pragma once

#include <QStringView>
#include <QtGlobal>
#include <array>

// The socket library's address conversions, kept here with the other calls into the system so
// that the text side of the connection monitor stays free of system headers.
namespace quillon::platform::Inet {

// Room for the longest dotted-decimal IPv4 text and its NUL.
inline constexpr int kIpv4TextSize = 16;

// Room for the longest IPv6 text (45 characters, an IPv4 tail included) and its NUL.
inline constexpr int kIpv6TextSize = 46;

// Converts an IPv4 address in network byte order (the first octet of the dotted form is the
// lowest-addressed byte) into `buffer`. Returns the NUL-terminated dotted-decimal text, or
// null when the conversion produced none.
const char* Ipv4ToText(quint32 address, char (&buffer)[kIpv4TextSize]);

// Converts an IPv6 address (four words in network byte order, as the kernel reports it) into
// its canonical text in `buffer` (lower case, the longest run of zero groups as "::"). Returns
// the NUL-terminated text, or null when the conversion produced none.
const char* Ipv6ToText(const std::array<quint32, 4>& address, char (&buffer)[kIpv6TextSize]);

// The canonical text of an IPv6 address written in any valid way ("2001:DB8::0:1" gives
// "2001:db8::1"), in `buffer`; null when `text` is no IPv6 address.
const char* CanonicalIpv6(const char* text, char (&buffer)[kIpv6TextSize]);

// Copies an address text into `buffer` as NUL-terminated ASCII, ready for the conversions
// above. False (nothing usable) when it does not fit or holds a character that no address
// text has (NUL, or anything beyond ASCII).
bool AddressBytes(QStringView text, char (&buffer)[kIpv6TextSize]);

// The address a text names, in network byte order: an IPv4 dotted-decimal text (family
// AF_INET, word 0) or an IPv6 text (AF_INET6). 0 when it is neither. Other spellings of an
// address are accepted here; callers compare the canonical text themselves.
int AddressOfText(const char* text, std::array<quint32, 4>& address);

// Whether `text` is an IPv6 address of the local network: link-local (fe80::/10) or unique
// local (fc00::/7). False for anything else, IPv4 texts and loopback (::1) included.
bool IsIpv6LocalNetwork(const char* text);

} // namespace quillon::platform::Inet
