#include "platform/RegistryHive.h"

#include "platform/HiveChanges.h"
#include "platform/HiveConnection.h"
#include "platform/HiveKeys.h"
#include "platform/HiveOpener.h"
#include "platform/HiveText.h"
#include "platform/HiveValues.h"

#include <QFile>
#include <atomic>
#include <sys/stat.h>

namespace quillon::platform {

using namespace hivetext;

namespace {

// Tells KeyPaths apart without comparing their paths; a copy keeps its original's number.
std::atomic<quint64> keyPathSerials{0};

} // namespace

// The hive's parts, each over the one connection: opening and inspection, the transactions and
// change detection, keys, and values.
struct RegistryHive::Impl {
    explicit Impl(QString path)
        : connection(std::move(path)), opener(connection), keys(connection),
          values(connection, keys), changes(connection, opener, keys) {
        connection.onClose([this] {
            changes.closed();
            keys.forget();
            opener.closed();
        });
        connection.onClosedAfterWrite([this] { ownStamp = stamp(); });
    }

    // The database's and the log's identity, size and time of last write, folded into one
    // number: every commit appends to the log, and every checkpoint writes the database. Not
    // the time of the inode's change: SQLite running as root hands the log to its owner again
    // (fchown) at every open, which moves that time on every read.
    quint64 stamp() const {
        const QByteArray file = QFile::encodeName(connection.path());
        quint64 h = 1469598103934665603ull;
        const auto mix = [&h](quint64 v) { h = (h ^ v) * 1099511628211ull; };
        for (const QByteArray& name : {file, file + "-wal"}) {
            struct stat st {};
            if (::stat(name.constData(), &st) != 0) {
                mix(0);
                continue;
            }
            mix(st.st_ino);
            mix(static_cast<quint64>(st.st_size));
            mix(static_cast<quint64>(st.st_mtim.tv_sec));
            mix(static_cast<quint64>(st.st_mtim.tv_nsec));
        }
        return h;
    }

    Lookup lookup(const char* foldedKey, qsizetype keySize, quint64 serial, QStringView name,
                  QString& data, Match match, QString* storedName) {
        if (hasNul(name)) {
            return Lookup::Missing;
        }
        const HiveOpener::Ready r = changes.startRead();
        Lookup result = r == HiveOpener::Ready::NoHive ? Lookup::Missing : Lookup::Failed;
        if (r == HiveOpener::Ready::Yes) {
            if (HiveKeys::KeyId* key = keys.keyId(foldedKey, keySize, serial)) {
                result = key->id == 0 ? Lookup::Missing
                                      : values.find(*key, name, data, match, storedName);
            }
        }
        changes.finishRead(result != Lookup::Failed);
        return result;
    }

    bool rejectNul(std::initializer_list<QStringView> texts) {
        for (const QStringView t : texts) {
            if (hasNul(t)) {
                // A string value ends at its first NUL; such text could be neither stored
                // faithfully as REG_SZ nor exported.
                connection.setError(QStringLiteral("a key, name or data holds a NUL character"));
                return true;
            }
        }
        return false;
    }

    HiveConnection connection;
    quint64 ownStamp = 0; // the files as this object's last write left them
    HiveOpener opener;
    HiveKeys keys;
    HiveValues values;
    HiveChanges changes;
};

QString RegistryHive::defaultPath() {
    return QStringLiteral("/var/lib/quillon/registry.db");
}

RegistryHive::RegistryHive(QString path) : d(std::make_unique<Impl>(std::move(path))) {}

RegistryHive::~RegistryHive() = default;

QString RegistryHive::path() const {
    return d->connection.path();
}

QString RegistryHive::lastError() const {
    return d->connection.error();
}

bool RegistryHive::setValue(QStringView key, QStringView name, QStringView data) {
    if (d->rejectNul({key, name, data})) {
        return false;
    }
    return d->changes.write([&] { return d->values.set(key, name, data); });
}

RegistryHive::KeyPath::KeyPath(QStringView path)
    : m_path(path.toString()), m_serial(++keyPathSerials), m_valid(!hasNul(path)) {
    Utf8 folded;
    foldedPath(path, folded);
    m_folded = QByteArray(folded.constData(), folded.size());
}

RegistryHive::ReadScope::ReadScope(RegistryHive& hive) : m_hive(hive) {
    m_hive.d->changes.enterScope();
}

RegistryHive::ReadScope::~ReadScope() {
    m_hive.d->changes.leaveScope();
}

RegistryHive::Lookup RegistryHive::lookup(QStringView key, QStringView name, QString& data,
                                          Match match, QString* storedName) {
    if (hasNul(key)) {
        return Lookup::Missing;
    }
    Utf8 folded;
    foldedPath(key, folded);
    return d->lookup(folded.constData(), folded.size(), 0, name, data, match, storedName);
}

RegistryHive::Lookup RegistryHive::lookup(const KeyPath& key, QStringView name, QString& data,
                                          Match match, QString* storedName) {
    if (!key.m_valid) {
        return Lookup::Missing;
    }
    return d->lookup(key.m_folded.constData(), key.m_folded.size(), key.m_serial, name, data, match,
                     storedName);
}

std::optional<QString> RegistryHive::value(QStringView key, QStringView name) {
    QString data;
    if (lookup(key, name, data) == Lookup::Found) {
        return data;
    }
    return std::nullopt;
}

bool RegistryHive::values(QStringView key, std::vector<std::pair<QString, QString>>& out) {
    return forEachValue(key, [&](std::string_view name, std::string_view data) {
        out.emplace_back(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())),
                         QString::fromUtf8(data.data(), static_cast<qsizetype>(data.size())));
    });
}

bool RegistryHive::forEachValue(
    QStringView key, const std::function<void(std::string_view, std::string_view)>& sink) {
    if (hasNul(key)) {
        return false;
    }
    Utf8 folded;
    foldedPath(key, folded);
    return d->changes.read([&] {
        sqlite3_int64 id = 0;
        return d->keys.findKey(folded, id) && id != 0 && d->values.each(id, sink);
    });
}

bool RegistryHive::deleteValue(QStringView key, QStringView name) {
    if (d->rejectNul({key, name})) {
        return false;
    }
    return d->changes.write([&] { return d->values.remove(key, name); });
}

bool RegistryHive::keyExists(QStringView key) {
    return keyPath(key).has_value();
}

bool RegistryHive::createKey(QStringView key) {
    if (d->rejectNul({key})) {
        return false;
    }
    return d->changes.write([&] {
        sqlite3_int64 id = 0;
        return d->keys.ensureKey(key, id);
    });
}

bool RegistryHive::subKeys(QStringView key, std::vector<QString>& out) {
    if (hasNul(key)) {
        return false;
    }
    Utf8 folded;
    foldedPath(key, folded);
    return d->changes.read([&] {
        sqlite3_int64 id = 0;
        std::vector<std::pair<sqlite3_int64, QString>> children;
        if (!d->keys.findKey(folded, id) || id == 0 || !d->keys.listSubKeys(id, children)) {
            return false;
        }
        for (auto& child : children) {
            out.push_back(std::move(child.second));
        }
        return true;
    });
}

std::optional<QString> RegistryHive::keyPath(QStringView key) {
    if (hasNul(key)) {
        return std::nullopt;
    }
    Utf8 folded;
    foldedPath(key, folded);
    QString stored;
    const bool found = d->changes.read([&] {
        sqlite3_int64 id = 0;
        return d->keys.findKey(folded, id, &stored) && id != 0;
    });
    return found ? std::optional<QString>(stored) : std::nullopt;
}

bool RegistryHive::tree(QStringView key, std::vector<KeyContents>& out) {
    if (hasNul(key)) {
        return false;
    }
    Utf8 folded;
    foldedPath(key, folded);
    std::vector<KeyContents> result;
    const bool ok = d->changes.read([&] {
        sqlite3_int64 id = 0;
        QString stored;
        return d->keys.findKey(folded, id, &stored) && id != 0 &&
               d->values.collect(id, stored, result);
    });
    if (ok) {
        out.insert(out.end(), std::make_move_iterator(result.begin()),
                   std::make_move_iterator(result.end()));
    }
    return ok;
}

bool RegistryHive::apply(const std::vector<Change>& changes) {
    for (const Change& c : changes) {
        if (d->rejectNul({c.key, c.name, c.data})) {
            return false;
        }
    }
    return d->changes.write([&] {
        for (const Change& c : changes) {
            sqlite3_int64 id = 0;
            bool ok = false;
            switch (c.kind) {
            case Change::Kind::CreateKey:
                ok = d->keys.ensureKey(c.key, id);
                break;
            case Change::Kind::SetValue:
                ok = d->values.set(c.key, c.name, c.data);
                break;
            case Change::Kind::DeleteValue:
                ok = d->values.remove(c.key, c.name);
                break;
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    });
}

bool RegistryHive::writable() {
    return d->opener.writable();
}

bool RegistryHive::changedElsewhere(quint64& seen) {
    const quint64 now = d->stamp();
    if (now == seen) {
        return false;
    }
    seen = now;
    return now != d->ownStamp;
}

void RegistryHive::allowForeignSchemaReads(bool allow) {
    d->opener.allowForeignSchema(allow);
}

RegistryHive::Health RegistryHive::health() {
    return d->opener.health();
}

} // namespace quillon::platform
