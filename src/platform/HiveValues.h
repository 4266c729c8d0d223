#pragma once

#include "platform/HiveConnection.h"
#include "platform/HiveKeys.h"
#include "platform/RegistryHive.h"

namespace quillon::platform {

// The named values of the hive's keys: looking one up, setting, deleting and listing them.
// Callers run these inside the transaction of their call.
class HiveValues {
public:
    HiveValues(HiveConnection& connection, HiveKeys& keys);

    // The value named `name` in the key: exactly as spelled or ignoring letter case.
    RegistryHive::Lookup find(HiveKeys::KeyId& key, QStringView name, QString& data,
                              RegistryHive::Match match, QString* storedName);
    bool set(QStringView key, QStringView name, QStringView data);
    bool remove(QStringView key, QStringView name);
    bool list(sqlite3_int64 id, std::vector<std::pair<QString, QString>>& out);
    // The same, one value at a time as UTF-8 (name, data), nothing held.
    bool each(sqlite3_int64 id,
              const std::function<void(std::string_view, std::string_view)>& sink);
    // The key's values and those of all its sub-keys, parents before children.
    bool collect(sqlite3_int64 id, const QString& keyPath,
                 std::vector<RegistryHive::KeyContents>& out);

private:
    template <typename Bind>
    bool change(HiveConnection::Stmt which, QStringView key, QStringView name, Bind&& bindMore);

    HiveConnection& m_connection;
    HiveKeys& m_keys;
};

} // namespace quillon::platform
