#include "platform/HiveValues.h"

#include "platform/HiveConnection.h"

#include <QAnyStringView>

namespace quillon::platform {

using namespace hivetext;
using Use = HiveConnection::Use;

namespace {

// Whether UTF-8 text spells exactly `text`; names of the program's lookups are ASCII, and
// compare without decoding.
bool sameText(const char* utf8Text, int size, QStringView text) {
    if (size == text.size()) {
        qsizetype i = 0;
        while (i < size && text[i].unicode() < 0x80 &&
               static_cast<char16_t>(static_cast<unsigned char>(utf8Text[i])) ==
                   text[i].unicode()) {
            ++i;
        }
        if (i == size) {
            return true;
        }
        if (text[i].unicode() < 0x80 && static_cast<unsigned char>(utf8Text[i]) < 0x80) {
            return false;
        }
    }
    return QAnyStringView(QUtf8StringView(utf8Text, size)) == QAnyStringView(text);
}

// The data of a rule: nearly always "1" or "0", which share one text each instead of a new one
// per lookup.
QString dataText(sqlite3_stmt* s, int column) {
    static const QString kOne = QStringLiteral("1");
    static const QString kZero = QStringLiteral("0");
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    const int size = sqlite3_column_bytes(s, column);
    if (size == 1 && (p[0] == '1' || p[0] == '0')) {
        return p[0] == '1' ? kOne : kZero;
    }
    return QString::fromUtf8(p, size);
}

} // namespace

HiveValues::HiveValues(HiveConnection& connection, HiveKeys& keys)
    : m_connection(connection), m_keys(keys) {}

RegistryHive::Lookup HiveValues::find(HiveKeys::KeyId& key, QStringView name, QString& data,
                                      RegistryHive::Match match, QString* storedName) {
    using Lookup = RegistryHive::Lookup;
    Utf8 folded;
    const bool cased = fold(name, folded);
    // A name in which case cannot matter is stored exactly as asked: only its data is read.
    const bool spelling = storedName || (match == RegistryHive::Match::Exact && cased);
    Use s(spelling ? m_connection.stmt(HiveConnection::FindValue) : m_keys.dataLookup(key));
    if (!s) {
        return Lookup::Failed;
    }
    if (spelling) {
        sqlite3_bind_int64(s.get(), 1, key.id);
    }
    bind(s.get(), 2, folded);
    const int rc = m_connection.step(s.get());
    if (rc != SQLITE_ROW) {
        return rc == SQLITE_DONE ? Lookup::Missing : Lookup::Failed;
    }
    if (!spelling) {
        data = dataText(s.get(), 0);
        return Lookup::Found;
    }
    const auto* stored = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
    const int storedSize = sqlite3_column_bytes(s.get(), 0);
    if (match == RegistryHive::Match::Exact && !sameText(stored, storedSize, name)) {
        return Lookup::Missing;
    }
    if (storedName) {
        *storedName = QString::fromUtf8(stored, storedSize);
    }
    data = dataText(s.get(), 1);
    return Lookup::Found;
}

// Changes one value of the key, which is made when missing: the key's id and the folded name
// are bound first, then whatever `bindMore` binds.
template <typename Bind>
bool HiveValues::change(HiveConnection::Stmt which, QStringView key, QStringView name,
                        Bind&& bindMore) {
    sqlite3_int64 id = 0;
    if (!m_keys.ensureKey(key, id)) {
        return false;
    }
    Use s(m_connection.stmt(which));
    if (!s) {
        return false;
    }
    Utf8 folded;
    fold(name, folded);
    sqlite3_bind_int64(s.get(), 1, id);
    bind(s.get(), 2, folded);
    bindMore(s.get());
    return m_connection.step(s.get()) == SQLITE_DONE;
}

bool HiveValues::set(QStringView key, QStringView name, QStringView data) {
    Utf8 spelled;
    Utf8 text;
    utf8(name, spelled);
    utf8(data, text);
    return change(HiveConnection::UpsertValue, key, name, [&](sqlite3_stmt* s) {
        bind(s, 3, spelled);
        bind(s, 4, text);
    });
}

bool HiveValues::remove(QStringView key, QStringView name) {
    return change(HiveConnection::RemoveValue, key, name, [](sqlite3_stmt*) {});
}

bool HiveValues::list(sqlite3_int64 id, std::vector<std::pair<QString, QString>>& out) {
    return m_connection.eachRow(HiveConnection::ListValues, id, [&](sqlite3_stmt* s) {
        out.emplace_back(columnText(s, 0), columnText(s, 1));
    });
}

bool HiveValues::each(sqlite3_int64 id,
                      const std::function<void(std::string_view, std::string_view)>& sink) {
    return m_connection.eachRow(HiveConnection::ListValues, id, [&](sqlite3_stmt* s) {
        const auto text = [s](int column) {
            return std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(s, column)),
                                    static_cast<size_t>(sqlite3_column_bytes(s, column)));
        };
        sink(text(0), text(1));
    });
}

bool HiveValues::collect(sqlite3_int64 id, const QString& keyPath,
                         std::vector<RegistryHive::KeyContents>& out) {
    RegistryHive::KeyContents contents{keyPath, {}};
    if (!list(id, contents.values)) {
        return false;
    }
    out.push_back(std::move(contents));
    std::vector<std::pair<sqlite3_int64, QString>> children;
    if (!m_keys.listSubKeys(id, children)) {
        return false;
    }
    for (const auto& [childId, name] : children) {
        const QString childPath = keyPath.isEmpty() ? name : keyPath + u'\\' + name;
        if (!collect(childId, childPath, out)) {
            return false;
        }
    }
    return true;
}

} // namespace quillon::platform
