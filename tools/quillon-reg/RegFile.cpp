#include "RegFile.h"

#include <QList>
#include <QStringDecoder>
#include <QStringList>

namespace quillon::regfile {

namespace {

constexpr int kHexBytesPerLine = 25;

QString quoted(QStringView text) {
    QString out;
    out.reserve(text.size() + 2);
    out += u'"';
    for (const QChar c : text) {
        if (c == u'\\' || c == u'"') {
            out += u'\\';
        }
        out += c;
    }
    out += u'"';
    return out;
}

bool hasLineBreak(QStringView text) {
    return text.contains(u'\n') || text.contains(u'\r');
}

// REG_SZ as hex(1): the UTF-16LE text with its terminating NUL, wrapped like the registry
// editor wraps it.
QString hexString(QStringView data, qsizetype prefixLength) {
    QByteArray bytes;
    for (const QChar c : data) {
        bytes += static_cast<char>(c.unicode() & 0xff);
        bytes += static_cast<char>(c.unicode() >> 8);
    }
    bytes += QByteArray(2, '\0');
    QString out = QStringLiteral("hex(1):");
    int onLine = static_cast<int>(prefixLength / 3);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        out += QString::asprintf("%02x", static_cast<unsigned char>(bytes[i]));
        if (i + 1 < bytes.size()) {
            out += u',';
            if (++onLine >= kHexBytesPerLine) {
                out += QStringLiteral("\\\r\n  ");
                onLine = 0;
            }
        }
    }
    return out;
}

// Reading one line of a file. Positions and errors refer to the logical line.
class LineReader {
public:
    LineReader(QStringView text, qsizetype pos) : m_text(text), m_pos(pos) {}

    bool atEnd() const { return m_pos >= m_text.size(); }
    QChar peek() const { return atEnd() ? QChar() : m_text[m_pos]; }
    void skip(qsizetype n = 1) { m_pos += n; }
    QStringView rest() const { return m_text.mid(m_pos); }

    void skipSpaces() {
        while (!atEnd() && (peek() == u' ' || peek() == u'\t')) {
            ++m_pos;
        }
    }

    // A quoted string at the current position, with its \\ and \" escapes undone.
    std::optional<QString> quotedString(QString& error) {
        if (peek() != u'"') {
            error = QStringLiteral("expected a quoted string");
            return std::nullopt;
        }
        ++m_pos;
        QString out;
        while (!atEnd()) {
            const QChar c = m_text[m_pos++];
            if (c == u'"') {
                return out;
            }
            if (c == u'\\') {
                if (atEnd() || (peek() != u'\\' && peek() != u'"')) {
                    error = QStringLiteral("a backslash in a quoted string must be written \\\\");
                    return std::nullopt;
                }
                out += m_text[m_pos++];
            } else {
                out += c;
            }
        }
        error = QStringLiteral("the quoted string has no closing quote");
        return std::nullopt;
    }

private:
    QStringView m_text;
    qsizetype m_pos;
};

std::optional<QString> decode(const QByteArray& bytes, QString& error) {
    QByteArrayView view(bytes);
    if (view.startsWith("\xFF\xFE")) {
        QStringDecoder decoder(QStringDecoder::Utf16LE);
        QString text = decoder(view.sliced(2));
        if (!decoder.hasError()) {
            return text;
        }
    } else {
        if (view.startsWith("\xEF\xBB\xBF")) {
            view = view.sliced(3);
        }
        QStringDecoder decoder(QStringDecoder::Utf8);
        QString text = decoder(view);
        if (!decoder.hasError()) {
            return text;
        }
    }
    error = QStringLiteral("line 1: the file is not UTF-8 or UTF-16 text");
    return std::nullopt;
}

// The hex(1) byte list (already joined over its continuation lines) as text.
std::optional<QString> fromHexString(QStringView list, QString& error) {
    QByteArray bytes;
    for (QStringView item : list.split(u',')) {
        item = item.trimmed();
        bool ok = false;
        const uint b = item.toUInt(&ok, 16);
        if (!ok || item.size() != 2 || b > 0xff) {
            error = QStringLiteral("\"%1\" is not a hex byte").arg(item);
            return std::nullopt;
        }
        bytes += static_cast<char>(b);
    }
    if (bytes.size() % 2 != 0) {
        error = QStringLiteral("hex(1) data must be UTF-16 text, an even number of bytes");
        return std::nullopt;
    }
    QString text;
    for (qsizetype i = 0; i < bytes.size(); i += 2) {
        text += QChar(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                            static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    if (text.endsWith(QChar(u'\0'))) {
        text.chop(1);
    }
    return text;
}

} // namespace

std::optional<QString> pathBelowRoot(QStringView full) {
    const qsizetype slash = full.indexOf(u'\\');
    const QStringView root = slash < 0 ? full : full.left(slash);
    if (root.compare(RootName, Qt::CaseInsensitive) != 0 &&
        root.compare(u"HKLM", Qt::CaseInsensitive) != 0) {
        return std::nullopt;
    }
    return slash < 0 ? QString() : full.mid(slash + 1).toString();
}

QString refusal(QStringView key, QStringView name, QStringView data) {
    for (const QStringView text : {key, name, data}) {
        if (text.contains(QChar(u'\0'))) {
            return QStringLiteral("a string value cannot hold a NUL character");
        }
        if (!text.isValidUtf16()) {
            // A lone surrogate has no UTF-8 form: it would be stored as something else.
            return QStringLiteral("the text holds a lone UTF-16 surrogate, which is not a "
                                  "character");
        }
    }
    if (hasLineBreak(key)) {
        return QStringLiteral("a key cannot hold a line break");
    }
    if (hasLineBreak(name)) {
        return QStringLiteral("a value name cannot hold a line break");
    }
    return {};
}

QString fullPath(QStringView below) {
    return below.isEmpty() ? RootName : RootName + u'\\' + below.toString();
}

Parsed parse(const QByteArray& bytes) {
    Parsed result;
    const auto decoded = decode(bytes, result.error);
    if (!decoded) {
        return result;
    }
    QStringList lines = decoded->split(u'\n');
    for (QString& line : lines) {
        if (line.endsWith(u'\r')) {
            line.chop(1);
        }
    }
    auto fail = [&](qsizetype index, const QString& what) {
        result.sections.clear();
        result.error = QStringLiteral("line %1: %2").arg(index + 1).arg(what);
        return result;
    };
    if (lines.isEmpty() || QStringView(lines[0]).trimmed() != Header) {
        return fail(
            0, QStringLiteral("not a registry file: the first line must be \"%1\"").arg(Header));
    }
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype first = i;
        const QStringView line = QStringView(lines[i]).trimmed();
        if (line.isEmpty() || line.startsWith(u';')) {
            continue;
        }
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']')) {
                return fail(first, QStringLiteral("a key line must end with ]"));
            }
            const QStringView key = line.mid(1, line.size() - 2);
            if (key.startsWith(u'-')) {
                return fail(first, QStringLiteral("deleting keys ([-...]) is not supported"));
            }
            const auto below = pathBelowRoot(key);
            if (!below) {
                return fail(first, QStringLiteral("unknown root in \"%1\": only %2 (or HKLM)")
                                       .arg(key.toString(), RootName));
            }
            if (const QString why = refusal(*below); !why.isEmpty()) {
                return fail(first, why);
            }
            result.sections.push_back({*below, {}});
            continue;
        }
        if (!line.startsWith(u'@') && !line.startsWith(u'"')) {
            return fail(first, QStringLiteral("expected a [key] line, a \"name\"=\"data\" line "
                                              "or a ; comment"));
        }
        if (result.sections.empty()) {
            return fail(first, QStringLiteral("a value comes before any [key] line"));
        }
        LineReader reader(line, 0);
        Entry entry;
        QString error;
        if (reader.peek() == u'@') {
            reader.skip();
        } else {
            const auto name = reader.quotedString(error);
            if (!name) {
                return fail(first, error);
            }
            entry.name = *name;
        }
        reader.skipSpaces();
        if (reader.peek() != u'=') {
            return fail(first, QStringLiteral("expected = after the value name"));
        }
        reader.skip();
        reader.skipSpaces();
        if (reader.peek() == u'"') {
            const auto data = reader.quotedString(error);
            if (!data) {
                return fail(first, error);
            }
            reader.skipSpaces();
            if (!reader.atEnd()) {
                return fail(first, QStringLiteral("unexpected text after the closing quote"));
            }
            entry.data = *data;
        } else if (reader.rest() == u"-") {
            entry.data.reset();
        } else if (reader.rest().startsWith(u"hex(1):", Qt::CaseInsensitive)) {
            // The byte list may go on over lines that each end with a backslash.
            QString list = reader.rest().mid(7).toString();
            while (list.trimmed().endsWith(u'\\')) {
                list = list.trimmed().chopped(1);
                if (++i >= lines.size() || QStringView(lines[i]).trimmed().isEmpty()) {
                    return fail(first, QStringLiteral("the hex data breaks off after a \\"));
                }
                list += QStringView(lines[i]).trimmed();
            }
            const auto data = fromHexString(list, error);
            if (!data) {
                return fail(first, error);
            }
            entry.data = *data;
        } else {
            return fail(first, QStringLiteral("only string values (REG_SZ, \"data\") are "
                                              "supported"));
        }
        if (const QString why = refusal({}, entry.name, entry.data ? *entry.data : QString());
            !why.isEmpty()) {
            return fail(first, why);
        }
        result.sections.back().entries.push_back(std::move(entry));
    }
    return result;
}

bool write(const std::vector<Section>& sections, QByteArray& out, QString& error) {
    QString text = Header + QStringLiteral("\r\n");
    for (const Section& section : sections) {
        if (hasLineBreak(section.key)) {
            error = QStringLiteral("the key %1 holds a line break, which the file format cannot "
                                   "hold")
                        .arg(fullPath(section.key));
            return false;
        }
        text += QStringLiteral("\r\n[") + fullPath(section.key) + QStringLiteral("]\r\n");
        for (const Entry& entry : section.entries) {
            if (!entry.data) {
                continue;
            }
            if (hasLineBreak(entry.name)) {
                error = QStringLiteral("the value name \"%1\" in %2 holds a line break, which "
                                       "the file format cannot hold")
                            .arg(entry.name, fullPath(section.key));
                return false;
            }
            const QString name = entry.name.isEmpty() ? QStringLiteral("@") : quoted(entry.name);
            text += name + u'=';
            text += hasLineBreak(*entry.data) ? hexString(*entry.data, name.size() + 1)
                                              : quoted(*entry.data);
            text += QStringLiteral("\r\n");
        }
    }
    text += QStringLiteral("\r\n");
    out = text.toUtf8();
    return true;
}

} // namespace quillon::regfile
