#include "core/settings/RuleEntry.h"

#include "platform/Inet.h"

#include <QList>
#include <algorithm>

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
    if (value <= 0) {
        return std::nullopt;
    }
    return QString::number(value);
}

namespace {

// The typed text as a refusal quotes it: trimmed, and cut short so that the reason fits
// on its line.
QString quoted(QStringView trimmed) {
    constexpr qsizetype kLongest = 24;
    return QStringLiteral("“%1”").arg(
        trimmed.size() > kLongest ? trimmed.left(kLongest).toString() + u'…' : trimmed.toString());
}

bool allDigits(QStringView text) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

} // namespace

QString whyNotPort(QStringView text) {
    const QStringView trimmed = text.trimmed();
    if (port(trimmed)) {
        return {};
    }
    if (trimmed.isEmpty()) {
        return QStringLiteral("请先输入端口号（1 到 65535 的整数）。");
    }
    if (!allDigits(trimmed)) {
        return QStringLiteral("%1 不是端口号：端口号是 1 到 65535 的整数。").arg(quoted(trimmed));
    }
    if (digitsValue(trimmed, 65535) == 0) {
        return QStringLiteral("端口 0 不会出现在任何连接上：端口号是 1 到 65535 的整数。");
    }
    return QStringLiteral("%1 超出范围：端口号最大为 65535。").arg(quoted(trimmed));
}

QString whyNotAddress(QStringView text) {
    const QStringView trimmed = text.trimmed();
    if (address(trimmed)) {
        return {};
    }
    if (trimmed.isEmpty()) {
        return QStringLiteral("请先输入 IP 地址，如 10.0.0.1 或 2001:db8::1。");
    }
    if (trimmed.contains(u':')) {
        return QStringLiteral(
                   "%1 不是 IPv6 地址：请照 2001:db8::1 的样子输入，不带方括号或网卡名。")
            .arg(quoted(trimmed));
    }
    const bool dotted = std::all_of(trimmed.begin(), trimmed.end(),
                                    [](QChar c) { return c == u'.' || (c >= u'0' && c <= u'9'); });
    if (!dotted) {
        return QStringLiteral("%1 不是 IP 地址：规则只认数字地址，如 10.0.0.1，不认主机名。")
            .arg(quoted(trimmed));
    }
    const QList<QStringView> parts = trimmed.split(u'.');
    if (parts.size() == 4 && std::all_of(parts.begin(), parts.end(), [](QStringView part) {
            return allDigits(part) && part.size() <= 3;
        })) {
        return QStringLiteral("%1 不是 IP 地址：每段是 0 到 255 的数。").arg(quoted(trimmed));
    }
    return QStringLiteral("%1 不是 IP 地址：IPv4 地址是用点隔开的四段数，如 10.0.0.1。")
        .arg(quoted(trimmed));
}

} // namespace quillon::settings::RuleEntry
