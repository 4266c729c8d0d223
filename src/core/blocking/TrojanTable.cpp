#include "core/blocking/TrojanTable.h"

#include "platform/CodePage.h"
#include "platform/SafeFiles.h"

#include <QFile>
#include <cstring>
#include <utility>

namespace quillon::blocking {

namespace {

constexpr char kSoh = '\x01';
constexpr char kCr = '\r';
constexpr char kLf = '\n';
// The file is meant to stay small, but a damaged or foreign file may hold one enormous line:
// it is read in pieces and only the matching line's description is ever kept.
constexpr qint64 kChunk = 64 * 1024;

enum class Need { Key, KeyAndDescription };

// Offset of the first SOH or CR in p[from, n), or n. The line end is looked for first: it is
// usually near, and the separator search then stops there.
qsizetype findSohOrCr(const char* p, qsizetype from, qsizetype n) {
    const void* cr = memchr(p + from, kCr, static_cast<size_t>(n - from));
    const qsizetype limit = cr ? static_cast<const char*>(cr) - p : n;
    const void* soh = memchr(p + from, kSoh, static_cast<size_t>(limit - from));
    return soh ? static_cast<const char*>(soh) - p : limit;
}

struct ScanResult {
    bool ok = true;         // false: the file could not be read, or a line lacked a separator
    bool found = false;     // a line's first field equals the port
    QByteArray description; // its description, when asked for
};

// Reads the table line by line up to the first line whose first field equals `port`.
//
// A line ends with CR LF or a lone CR; a lone LF is part of the line. Every line read
// before the match, and the match itself, must hold the separators the caller needs (the
// first SOH for the key alone, both for the description); one that does not makes the call
// fail, while the lines after the match are never looked at.
//
// Ports are plain ASCII digits, so the first field is compared with the port's bytes as it
// streams past rather than decoded: a key is never stored, whatever its length.
ScanResult scan(const QString& path, const QString& port, Need need) {
    ScanResult result;
    // Only a regular file, never through a link: a device or a FIFO in its place would feed
    // the scan without end or block it, and with it the program.
    QFile file;
    const int fd = platform::SafeFiles::open(path, platform::SafeFiles::Mode::Read);
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        result.ok = false;
        return result;
    }

    // A port that GBK cannot hold exactly cannot equal any key the file spells in GBK.
    const QByteArray portBytes = platform::CodePage::toGbk(port);
    const bool portEncodable = platform::CodePage::fromGbk(portBytes) == port;

    enum class Field { Key, Description, Rest };
    Field field = Field::Key;
    qsizetype keyLength = 0;  // bytes of the current key seen so far
    bool keyDiffers = false;  // the key already differs from the port
    bool keyMatched = false;  // the current line's key equals the port
    bool lineStarted = false; // the current line has at least one byte
    bool afterCr = false;     // the previous byte was a CR: an LF now completes the terminator

    // Ends the current line; returns false when it lacked a separator the caller needs.
    auto endLine = [&]() -> bool {
        bool carryOn = true;
        if (field == Field::Key) {
            result.ok = false; // no first separator (an empty line has none either)
            carryOn = false;
        } else if (field == Field::Description) {
            result.ok = false; // no second separator
            carryOn = false;
        }
        field = Field::Key;
        keyLength = 0;
        keyDiffers = false;
        keyMatched = false;
        lineStarted = false;
        return carryOn;
    };

    QByteArray chunk;
    while (true) {
        chunk = file.read(kChunk);
        if (chunk.isEmpty()) {
            if (file.error() != QFileDevice::NoError) {
                result.ok = false;
                return result;
            }
            break; // end of file
        }
        const char* p = chunk.constData();
        const qsizetype n = chunk.size();
        for (qsizetype i = 0; i < n; ++i) {
            const char c = p[i];
            if (afterCr) {
                afterCr = false;
                if (c == kLf) {
                    continue;
                }
            }
            if (c == kCr) {
                afterCr = true;
                if (!endLine()) {
                    return result;
                }
                continue;
            }
            lineStarted = true;
            switch (field) {
            case Field::Key:
                if (c == kSoh) {
                    keyMatched = portEncodable && !keyDiffers && keyLength == portBytes.size();
                    if (keyMatched && need == Need::Key) {
                        result.found = true;
                        return result;
                    }
                    field = need == Need::Key ? Field::Rest : Field::Description;
                } else if (keyDiffers) {
                    // This key can no longer match: jump to its end. The separator or CR
                    // found is handled by the next step of the loop.
                    i = findSohOrCr(p, i + 1, n) - 1;
                } else {
                    if (keyLength >= portBytes.size() || portBytes[keyLength] != c) {
                        keyDiffers = true;
                    }
                    ++keyLength;
                }
                break;
            case Field::Description: {
                // Skip to the next separator or line end in one step; only the matching
                // line's description is copied.
                const qsizetype j = findSohOrCr(p, i, n);
                if (keyMatched) {
                    result.description.append(p + i, j - i);
                }
                if (j < n && p[j] == kSoh) {
                    if (keyMatched) {
                        result.found = true;
                        return result;
                    }
                    field = Field::Rest;
                    i = j;
                } else {
                    i = j - 1; // the CR, if any, is handled by the loop
                }
                break;
            }
            case Field::Rest: {
                const void* cr = memchr(p + i, kCr, static_cast<size_t>(n - i));
                i = cr ? static_cast<const char*>(cr) - p - 1 : n - 1;
                break;
            }
            }
        }
    }
    // A last line without terminator is still a line; the end of the file right after a
    // terminator is not an extra empty line.
    if (lineStarted) {
        endLine();
    }
    return result;
}

} // namespace

TrojanTable::TrojanTable(QString filePath) : path_(std::move(filePath)) {}

std::optional<bool> TrojanTable::IsTrojan(const QString& port) const {
    const ScanResult r = scan(path_, port, Need::Key);
    if (!r.ok) {
        return std::nullopt;
    }
    return r.found;
}

std::optional<QString> TrojanTable::GetTrojan(const QString& port) const {
    const ScanResult r = scan(path_, port, Need::KeyAndDescription);
    if (!r.ok) {
        return std::nullopt;
    }
    if (!r.found) {
        return QString();
    }
    return platform::CodePage::fromGbk(r.description);
}

} // namespace quillon::blocking
