#include "core/settings/RuleEntry.h"

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

} // namespace

std::optional<QString> port(QStringView text) {
    const int value = digitsValue(text.trimmed(), 65535);
    if (value < 0) {
        return std::nullopt;
    }
    return QString::number(value);
}

std::optional<QString> address(QStringView text) {
    const QStringView trimmed = text.trimmed();
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

} // namespace quillon::settings::RuleEntry
