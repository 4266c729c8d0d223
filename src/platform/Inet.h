#pragma once

#include <QtGlobal>

// The socket library's address conversion, kept here with the other calls into the system so
// that the text side of the connection monitor stays free of system headers.
namespace quillon::platform::Inet {

// Room for the longest dotted-decimal IPv4 text and its NUL.
inline constexpr int kIpv4TextSize = 16;

// Converts an IPv4 address in network byte order (the first octet of the dotted form is the
// lowest-addressed byte) into `buffer`. Returns the NUL-terminated dotted-decimal text, or
// null when the conversion produced none.
const char* Ipv4ToText(quint32 address, char (&buffer)[kIpv4TextSize]);

} // namespace quillon::platform::Inet
