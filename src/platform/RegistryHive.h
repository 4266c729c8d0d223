#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon::platform {

// The machine-wide store of the program's settings and rules: a registry-like tree of keys
// (backslash paths, matched case-insensitively) holding named text values in enumeration
// (insertion) order, kept in one SQLite database.
//
// Key paths given here are below the one root the program uses (HKEY_LOCAL_MACHINE), for
// example "SOFTWARE\Larkspire Works\LarkPF\block\ip".
//
// Every call opens nothing new beyond a cached connection and leaves the database whole
// whatever happens; a database that is not SQLite or is corrupt is never overwritten: calls
// then fail (false / nullopt) and the program goes on.
//
// One object serves one thread at a time; any number of objects and processes may share the
// file. A lookup sees every write committed before it, or, inside a ReadScope, every write
// committed before the scope's first read.
class RegistryHive {
public:
    // A key path folded once, for lookups made over and over with the same constant key (the
    // block decision asks the three rule keys for every connection).
    class KeyPath {
    public:
        explicit KeyPath(QStringView path);
        const QString& path() const { return m_path; }

    private:
        friend class RegistryHive;
        QString m_path;
        QByteArray m_folded;
        quint64 m_serial;
        bool m_valid = true; // false when the path holds a NUL: such a key never exists
    };

    // Reads made while a scope lives share one read transaction and see the hive as it was at
    // the first of them (the hive's own writes in between included); a commit of another
    // process shows from the next scope on. One list rebuild is one scope: it decides every
    // connection against one state of the rules, and pays for starting a transaction once.
    // Scopes nest; the outermost one ends the transaction.
    class ReadScope {
    public:
        explicit ReadScope(RegistryHive& hive);
        ~ReadScope();
        ReadScope(const ReadScope&) = delete;
        ReadScope& operator=(const ReadScope&) = delete;

    private:
        RegistryHive& m_hive;
    };

    // The machine-wide hive.
    static QString defaultPath(); // /var/lib/quillon/registry.db

    explicit RegistryHive(QString path = defaultPath());
    ~RegistryHive();
    RegistryHive(const RegistryHive&) = delete;
    RegistryHive& operator=(const RegistryHive&) = delete;

    QString path() const;

    // Sets a value, creating the key and every key between. A stored name that differs only
    // in letter case is replaced in place (keeping its spelling and enumeration position).
    bool setValue(QStringView key, QStringView name, QStringView data);

    // The data of the value named exactly `name` (case-sensitive), or nullopt when the key or
    // the value is missing or the hive cannot be read.
    std::optional<QString> value(QStringView key, QStringView name);

    // All values of the key in enumeration order; false when the key is missing or unreadable.
    bool values(QStringView key, std::vector<std::pair<QString, QString>>& out);
    // The same, handed out one value at a time as UTF-8 (name, data), so that a key of a
    // hundred thousand values is never held twice in memory.
    bool
    forEachValue(QStringView key,
                 const std::function<void(std::string_view name, std::string_view data)>& sink);

    // Deletes the value whose name matches case-insensitively; creates the key when missing.
    bool deleteValue(QStringView key, QStringView name);

    bool keyExists(QStringView key);
    bool createKey(QStringView key);

    // Direct sub-key names in creation order.
    bool subKeys(QStringView key, std::vector<QString>& out);

    // Whether this process can write the hive (probed without changing anything).
    bool writable();

    // Whether the hive can be read: Readable also while it does not exist yet; NoAccess when
    // this process may not read the file or its folder; Damaged when the file is there and
    // may be read but is not a sound hive (a backup can then be imported); Unsafe when root
    // declines a hive in a folder other users can change; Incomplete when it reads, but its
    // -wal or -shm file is gone and this account cannot make it, so no write can succeed.
    enum class Health { Readable, NoAccess, Damaged, Unsafe, Incomplete };
    Health health();

    // Lets reads (never writes) go on in a hive refused only for holding schema objects
    // Quillon did not make, so that its values can still be exported.
    void allowForeignSchemaReads(bool allow);

    // What a lookup found; the block decision must tell a failed read from a missing value.
    enum class Lookup { Found, Missing, Failed };
    enum class Match { Exact, IgnoreCase };
    // The value named `name` in `key`: exactly as spelled (the program's lookups) or ignoring
    // letter case (the editor's). `data` (and `storedName`, when given) are set when found.
    Lookup lookup(QStringView key, QStringView name, QString& data, Match match = Match::Exact,
                  QString* storedName = nullptr);
    // The same with a key path folded beforehand: one index seek per lookup, on the key's id,
    // which the hive resolves once and again after every commit it learns of.
    Lookup lookup(const KeyPath& key, QStringView name, QString& data, Match match = Match::Exact,
                  QString* storedName = nullptr);

    // The key's path as stored (each component spelled as first created); nullopt when the key
    // is missing or the hive cannot be read.
    std::optional<QString> keyPath(QStringView key);

    // A key and all its sub-keys, read in one consistent pass, parents before children and
    // siblings in creation order; false when the key is missing or the hive cannot be read.
    struct KeyContents {
        QString path; // as stored
        std::vector<std::pair<QString, QString>> values;
    };
    bool tree(QStringView key, std::vector<KeyContents>& out);

    // Several changes made as one transaction: all of them or none.
    struct Change {
        enum class Kind { CreateKey, SetValue, DeleteValue };
        Kind kind;
        QString key;
        QString name;
        QString data;
    };
    bool apply(const std::vector<Change>& changes);

    // Whether another connection (another process, or another object of this one) changed the
    // hive since the stamp `seen` was taken; `seen` becomes the stamp of now. Found from the
    // files' identity, sizes and times, without opening the hive: cheap enough for every tick.
    // This object's own writes do not count.
    bool changedElsewhere(quint64& seen);

    // Why the last call failed, for the editor's messages; empty when it met no error (a
    // missing key or value is not an error).
    QString lastError() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace quillon::platform
