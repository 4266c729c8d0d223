#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <optional>
#include <vector>

// The registry editor's text format ("Windows Registry Editor Version 5.00"), as quillon-reg
// exports and imports it: UTF-8 text, one [key] line per key followed by its string values.
namespace quillon::regfile {

inline const QString Header = QStringLiteral("Windows Registry Editor Version 5.00");
inline const QString RootName = QStringLiteral("HKEY_LOCAL_MACHINE");

// The part of a full key path below the root, for "HKEY_LOCAL_MACHINE\..." or "HKLM\..." (the
// root in any letter case; the root alone gives the empty path); nullopt for any other root.
std::optional<QString> pathBelowRoot(QStringView fullPath);

// "HKEY_LOCAL_MACHINE\<path>", or the root alone for the empty path.
QString fullPath(QStringView pathBelowRoot);

// Why a value cannot go into a hive that must stay exportable, or the empty text when it can:
// no text may hold a NUL or a lone UTF-16 surrogate (a string value could not keep it), and a
// key or value name may not hold a line break (a [key] or "name"= line cannot). Data may span
// lines: it is written as hex(1). `name` and `data` may be omitted for a key alone.
QString refusal(QStringView key, QStringView name = {}, QStringView data = {});

struct Entry {
    QString name; // "" is the key's unnamed default value, written @=
    // The data; nullopt is a deletion ("name"=-), which only an imported file can hold.
    std::optional<QString> data;
};

struct Section {
    QString key; // below the root
    std::vector<Entry> entries;
};

struct Parsed {
    std::vector<Section> sections;
    QString error; // "line N: what is wrong"; empty when the whole file was understood
    bool ok() const { return error.isEmpty(); }
};

// Reads a whole file. UTF-8 (with or without a byte order mark) and the UTF-16 the registry
// editor itself writes are accepted. Any line that is not understood fails the whole file, so
// that an import never applies half of it.
Parsed parse(const QByteArray& bytes);

// Writes the sections as a file, CR LF line ends. Data that spans lines is written in the
// format's hex(1) form; a key or value name holding a line break cannot be written at all
// (false, with the reason in `error`), which only a hive edited by other means can hold.
bool write(const std::vector<Section>& sections, QByteArray& out, QString& error);

} // namespace quillon::regfile
