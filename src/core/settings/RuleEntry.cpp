#include "core/settings/RuleEntry.h"

#include "platform/Inet.h"

namespace quillon::settings::RuleEntry {
namespace {

// The value of a run of ASCII digits no greater than `max`, or -1. Leading zeros are
// allowed and do not count against any length limit, so "0000080" is 80.
int digitsValue(QStringView digits, int max) {
    if (digits.isEmpty()) {
        return -1;
    }
    int value = 0;
    for (QChar c : digits) {
        if (c < u'0' || c > u'9') {
            return -1;
        }
        value = value * 10 + (c.unicode() - u'0');
        if (value > max) {
            return -1;
        }
    }
    return value;
}

// A dotted-decimal IPv4 address in its canonical text.
std::optional<QString> ipv4Address(QStringView trimmed) {
    QString canonical;
    int parts = 0;
    for (QStringView part : trimmed.tokenize(u'.')) {
        // Up to three digits per part: "0000001" is no way to write an octet.
        if (++parts > 4 || part.size() > 3) {
            return std::nullopt;
        }
        const int value = digitsValue(part, 255);
        if (value < 0) {
            return std::nullopt;
        }
        if (parts > 1) {
            canonical += u'.';
        }
        canonical += QString::number(value);
    }
    if (parts != 4) {
        return std::nullopt;
    }
    return canonical;
}

// An IPv6 address in its canonical text, the one the connection list shows; an IPv4-mapped
// address in its dotted form, since connections between mapped addresses are listed (and
// judged) as IPv4 ones.
std::optional<QString> ipv6Address(QStringView trimmed) {
    char text[platform::Inet::kIpv6TextSize];
    char canonical[platform::Inet::kIpv6TextSize];
    if (!trimmed.contains(u':') || !platform::Inet::AddressBytes(trimmed, text) ||
        !platform::Inet::CanonicalIpv6(text, canonical)) {
        return std::nullopt;
    }
    const QString result = QString::fromLatin1(canonical);
    constexpr QStringView kMapped = u"::ffff:";
    if (result.startsWith(kMapped)) {
        if (auto v4 = ipv4Address(QStringView(result).mid(kMapped.size()))) {
            return v4;
        }
    }
    return result;
}

} // namespace

std::optional<QString> address(QStringView text) {
    const QStringView trimmed = text.trimmed();
    if (auto v4 = ipv4Address(trimmed)) {
        return v4;
    }
    return ipv6Address(trimmed);
}

std::optional<QString> port(QStringView text) {
    const int value = digitsValue(text.trimmed(), 65535);
    if (value < 0) {
        return std::nullopt;
    }
    return QString::number(value);
}

} // namespace quillon::settings::RuleEntry
