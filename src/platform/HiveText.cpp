#include "platform/HiveText.h"

#include <algorithm>

namespace quillon::platform::hivetext {

namespace {

void assign(Utf8& out, const QByteArray& bytes) {
    out.resize(bytes.size());
    std::copy(bytes.begin(), bytes.end(), out.begin());
}

bool isNormal(QStringView key) {
    return !key.startsWith(u'\\') && !key.endsWith(u'\\') && !key.contains(u"\\\\");
}

} // namespace

void foldUnicode(QStringView text, Utf8& out) {
    assign(out, text.toString().toCaseFolded().toUtf8());
}

void utf8(QStringView text, Utf8& out) {
    bool ascii = true;
    for (const QChar c : text) {
        ascii = ascii && c.unicode() < 0x80;
    }
    if (!ascii) {
        assign(out, text.toUtf8());
        return;
    }
    out.resize(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        out[i] = static_cast<char>(text[i].unicode());
    }
}

std::vector<QStringView> components(QStringView key) {
    std::vector<QStringView> parts;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= key.size(); ++i) {
        if (i == key.size() || key[i] == u'\\') {
            if (i > start) {
                parts.push_back(key.mid(start, i - start));
            }
            start = i + 1;
        }
    }
    return parts;
}

void foldedPath(QStringView key, Utf8& out) {
    if (isNormal(key)) {
        fold(key, out);
        return;
    }
    QString joined;
    for (const QStringView part : components(key)) {
        if (!joined.isEmpty()) {
            joined += u'\\';
        }
        joined += part;
    }
    fold(joined, out);
}

bool hasNul(QStringView text) {
    return text.contains(QChar(u'\0'));
}

void bind(sqlite3_stmt* s, int index, const Utf8& text) {
    sqlite3_bind_text(s, index, text.constData(), static_cast<int>(text.size()), SQLITE_STATIC);
}

QString columnText(sqlite3_stmt* s, int column) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    return QString::fromUtf8(p, sqlite3_column_bytes(s, column));
}

} // namespace quillon::platform::hivetext
