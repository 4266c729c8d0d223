#include "platform/HiveKeys.h"

#include "platform/HiveConnection.h"

#include <cstring>

namespace quillon::platform {

using namespace hivetext;
using Use = HiveConnection::Use;

namespace {

constexpr sqlite3_int64 kRootId = 1;
// Key ids remembered between commits: the program asks a handful of keys; an editor walking
// many keys just starts the list over when it is full.
constexpr size_t kMaxKeyIds = 32;

} // namespace

HiveKeys::HiveKeys(HiveConnection& connection) : m_connection(connection) {}

HiveKeys::~HiveKeys() {
    forget();
}

HiveKeys::KeyId* HiveKeys::resolve(const char* folded, qsizetype size, quint64 serial) {
    for (KeyId& k : m_keyIds) {
        if (k.folded.size() == size && std::memcmp(k.folded.constData(), folded, size) == 0) {
            k.serial = serial != 0 ? serial : k.serial;
            return &k;
        }
    }
    sqlite3_int64 id = 0;
    if (!findKey(folded, size, id)) {
        return nullptr;
    }
    if (m_keyIds.size() >= kMaxKeyIds) {
        forget();
    }
    m_keyIds.push_back({QByteArray(folded, size), serial, id});
    return &m_keyIds.back();
}

sqlite3_stmt* HiveKeys::prepareDataLookup(KeyId& key) {
    key.findData = m_connection.prepare(HiveConnection::FindData);
    if (key.findData) {
        sqlite3_bind_int64(key.findData, 1, key.id);
    }
    return key.findData;
}

void HiveKeys::forget() {
    for (KeyId& k : m_keyIds) {
        sqlite3_finalize(k.findData);
    }
    m_keyIds.clear();
}

bool HiveKeys::findKey(const char* folded, qsizetype size, sqlite3_int64& id, QString* storedPath) {
    Use s(m_connection.stmt(HiveConnection::FindKey));
    if (!s) {
        return false;
    }
    sqlite3_bind_text(s.get(), 1, folded, static_cast<int>(size), SQLITE_STATIC);
    const int rc = m_connection.step(s.get());
    id = 0;
    if (rc == SQLITE_ROW) {
        id = sqlite3_column_int64(s.get(), 0);
        if (storedPath) {
            *storedPath = columnText(s.get(), 1);
        }
    }
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool HiveKeys::ensureKey(QStringView key, sqlite3_int64& id) {
    Utf8 folded;
    foldedPath(key, folded);
    if (!findKey(folded, id)) {
        return false;
    }
    if (id != 0) {
        return true;
    }
    sqlite3_int64 parent = kRootId;
    QString prefix;
    QString prefixFolded;
    for (const QStringView part : components(key)) {
        if (!prefix.isEmpty()) {
            prefix += u'\\';
            prefixFolded += u'\\';
        }
        prefix += part;
        prefixFolded += part.toString().toCaseFolded();
        Utf8 f;
        utf8(prefixFolded, f);
        QString stored;
        if (!findKey(f, id, &stored)) {
            return false;
        }
        if (id != 0) {
            // Keys below an existing key are spelled after it as it is stored.
            prefix = stored;
        }
        if (id == 0) {
            Use s(m_connection.stmt(HiveConnection::InsertKey));
            if (!s) {
                return false;
            }
            Utf8 name;
            Utf8 display;
            utf8(part, name);
            utf8(prefix, display);
            sqlite3_bind_int64(s.get(), 1, parent);
            bind(s.get(), 2, name);
            bind(s.get(), 3, display);
            bind(s.get(), 4, f);
            if (m_connection.step(s.get()) != SQLITE_DONE) {
                return false;
            }
            id = sqlite3_last_insert_rowid(m_connection.handle());
        }
        parent = id;
    }
    id = parent;
    return true;
}

bool HiveKeys::listSubKeys(sqlite3_int64 id, std::vector<std::pair<sqlite3_int64, QString>>& out) {
    return m_connection.eachRow(HiveConnection::ListSubKeys, id, [&](sqlite3_stmt* s) {
        out.emplace_back(sqlite3_column_int64(s, 0), columnText(s, 1));
    });
}

} // namespace quillon::platform
