#pragma once

#include "platform/HiveText.h"

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <sqlite3.h>
#include <utility>
#include <vector>

namespace quillon::platform {

class HiveConnection;

// The hive's keys: finding a key by its folded path, creating keys with every key above them,
// listing sub-keys, and remembering the ids of the keys the program asks over and over.
class HiveKeys {
public:
    // A key's id in the current snapshot, valid until the connection learns of a commit, its
    // own or another's (a restored backup may number every key anew).
    struct KeyId {
        QByteArray folded;
        quint64 serial;   // of the KeyPath it was last asked through, else 0
        sqlite3_int64 id; // 0: no such key
        // The key's own data lookup, its id bound once: a lookup then binds the name alone.
        sqlite3_stmt* findData = nullptr;
    };

    explicit HiveKeys(HiveConnection& connection);
    ~HiveKeys();
    HiveKeys(const HiveKeys&) = delete;
    HiveKeys& operator=(const HiveKeys&) = delete;

    // The id of the key with this folded path, resolved once until forget(); nullptr when the
    // hive cannot be read. A KeyPath is known by its serial number, a path given as text by
    // its folded form.
    KeyId* keyId(const char* folded, qsizetype size, quint64 serial) {
        if (serial != 0) {
            for (KeyId& k : m_keyIds) {
                if (k.serial == serial) {
                    return &k;
                }
            }
        }
        return resolve(folded, size, serial);
    }
    // The key's data lookup, prepared at its first use; nullptr when it cannot be prepared.
    sqlite3_stmt* dataLookup(KeyId& key) {
        return key.findData ? key.findData : prepareDataLookup(key);
    }
    void forget();

    // The id of the key with this folded path: found (true, id), missing (true, 0) or failed.
    bool findKey(const char* folded, qsizetype size, sqlite3_int64& id,
                 QString* storedPath = nullptr);
    bool findKey(const hivetext::Utf8& folded, sqlite3_int64& id, QString* storedPath = nullptr) {
        return findKey(folded.constData(), folded.size(), id, storedPath);
    }

    // Opens the key, creating it and every missing key above it. Keys that already exist keep
    // the spelling they were created with.
    bool ensureKey(QStringView key, sqlite3_int64& id);

    // Direct sub-keys, ids and names, in creation order.
    bool listSubKeys(sqlite3_int64 id, std::vector<std::pair<sqlite3_int64, QString>>& out);

private:
    KeyId* resolve(const char* folded, qsizetype size, quint64 serial);
    sqlite3_stmt* prepareDataLookup(KeyId& key);

    HiveConnection& m_connection;
    std::vector<KeyId> m_keyIds;
};

} // namespace quillon::platform
