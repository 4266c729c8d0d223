#pragma once

#include <QString>
#include <QStringView>
#include <QVarLengthArray>
#include <sqlite3.h>
#include <vector>

// How the hive spells keys and names in SQLite: UTF-8 text, and the case-folded forms that make
// keys and stored names compare ignoring letter case.
namespace quillon::platform::hivetext {

// UTF-8 text on the stack for the common short names, so that a lookup allocates nothing but
// its result.
using Utf8 = QVarLengthArray<char, 256>;

// Unicode case folding of text outside ASCII.
void foldUnicode(QStringView text, Utf8& out);

// Case-insensitive identity of a name or key path. Returns whether letter case can matter for
// the text: false for ASCII without letters (every address and port), whose stored spelling
// then equals its folded form. ASCII (every address, port and option name the program uses) is
// folded here directly; nothing outside ASCII folds into ASCII other than to letters.
inline bool fold(QStringView text, Utf8& out) {
    out.resize(text.size());
    bool cased = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c >= 0x80) {
            foldUnicode(text, out);
            return true;
        }
        const char16_t lower = c | 0x20;
        cased = cased || (lower >= u'a' && lower <= u'z');
        out[i] = static_cast<char>(c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c);
    }
    return cased;
}

void utf8(QStringView text, Utf8& out);

// A key path's components. Leading, trailing and doubled backslashes name no key of their own
// ("run\" is the key "run"), so they are dropped.
std::vector<QStringView> components(QStringView key);

// The folded form of a whole key path, as stored in keys.folded.
void foldedPath(QStringView key, Utf8& out);

bool hasNul(QStringView text);

// Binds text that outlives every step of the statement.
void bind(sqlite3_stmt* s, int index, const Utf8& text);

QString columnText(sqlite3_stmt* s, int column);

} // namespace quillon::platform::hivetext
