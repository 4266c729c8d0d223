#include "platform/RegistryHive.h"

#include <QAnyStringView>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QUrl>
#include <QVarLengthArray>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

// Marks a database as a Quillon hive ("Quln"), so that a path pointing at some other SQLite
// database is refused instead of written into.
constexpr int kApplicationId = 0x51756C6E;
constexpr int kSchemaVersion = 1;
// A writer holds the lock for one short transaction (an import of a large file a little
// longer); in WAL mode readers never wait for writers.
constexpr int kBusyTimeoutMs = 5000;
// Key ids remembered between commits: the program asks a handful of keys; an editor walking
// many keys just starts the list over when it is full.
constexpr size_t kMaxKeyIds = 32;

// The hive's layout; the README documents it for users who inspect rules with sqlite3.
// `keys.folded` and `vals.folded` are the case-folded spellings that make keys and stored
// names case-insensitive; `vals.seq` is the enumeration order (a replaced value keeps it).
constexpr const char* kSchema = R"sql(
CREATE TABLE keys (
    id     INTEGER PRIMARY KEY,
    parent INTEGER NOT NULL,
    name   TEXT NOT NULL,
    path   TEXT NOT NULL,
    folded TEXT NOT NULL UNIQUE
);
CREATE INDEX keys_by_parent ON keys(parent, id);
CREATE TABLE vals (
    key    INTEGER NOT NULL REFERENCES keys(id),
    folded TEXT NOT NULL,
    seq    INTEGER NOT NULL,
    name   TEXT NOT NULL,
    data   TEXT NOT NULL,
    PRIMARY KEY (key, folded)
) WITHOUT ROWID;
CREATE UNIQUE INDEX vals_in_order ON vals(key, seq);
CREATE VIEW hive AS
    SELECT k.path AS key, v.name AS name, v.data AS data, v.seq AS seq
    FROM vals v JOIN keys k ON k.id = v.key;
INSERT INTO keys(id, parent, name, path, folded) VALUES (1, 0, '', '', '');
)sql";

constexpr sqlite3_int64 kRootId = 1;

enum Stmt {
    Begin,
    BeginImmediate,
    Commit,
    Rollback,
    DataVersion,
    FindValue,
    FindData,
    FindKey,
    InsertKey,
    ListValues,
    ListSubKeys,
    UpsertValue,
    RemoveValue,
    StmtCount
};

constexpr std::array<const char*, StmtCount> kSql = {
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    // Run first in a read transaction, it starts the snapshot and tells whether another
    // connection committed since the last one.
    "PRAGMA data_version",
    // One seek in the primary key, whatever the number of values in the key.
    "SELECT name, data FROM vals WHERE key = ?1 AND folded = ?2",
    "SELECT data FROM vals WHERE key = ?1 AND folded = ?2",
    "SELECT id, path FROM keys WHERE folded = ?1",
    "INSERT INTO keys(parent, name, path, folded) VALUES (?1, ?2, ?3, ?4)",
    "SELECT name, data FROM vals WHERE key = ?1 ORDER BY seq",
    "SELECT id, name FROM keys WHERE parent = ?1 ORDER BY id",
    "INSERT INTO vals(key, folded, seq, name, data) "
    "VALUES (?1, ?2, coalesce((SELECT max(seq) FROM vals WHERE key = ?1), 0) + 1, ?3, ?4) "
    "ON CONFLICT(key, folded) DO UPDATE SET data = excluded.data",
    "DELETE FROM vals WHERE key = ?1 AND folded = ?2",
};

// UTF-8 text on the stack for the common short names, so that a lookup allocates nothing but
// its result.
using Utf8 = QVarLengthArray<char, 256>;

void assign(Utf8& out, const QByteArray& bytes) {
    out.resize(bytes.size());
    std::copy(bytes.begin(), bytes.end(), out.begin());
}

// Case-insensitive identity of a name or key path. ASCII (every address, port and option name
// the program uses) is folded here directly; anything else goes through Unicode case folding.
// Returns whether letter case can matter for the text: false for ASCII without letters (every
// address and port), whose stored spelling then equals its folded form. Nothing outside ASCII
// folds into ASCII other than to letters.
bool fold(QStringView text, Utf8& out) {
    out.resize(text.size());
    bool cased = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c >= 0x80) {
            assign(out, text.toString().toCaseFolded().toUtf8());
            return true;
        }
        const char16_t lower = c | 0x20;
        cased = cased || (lower >= u'a' && lower <= u'z');
        out[i] = static_cast<char>(c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c);
    }
    return cased;
}

void utf8(QStringView text, Utf8& out) {
    bool ascii = true;
    for (const QChar c : text) {
        ascii = ascii && c.unicode() < 0x80;
    }
    if (!ascii) {
        assign(out, text.toUtf8());
        return;
    }
    out.resize(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        out[i] = static_cast<char>(text[i].unicode());
    }
}

// A key path's components. Leading, trailing and doubled backslashes name no key of their own
// ("run\" is the key "run"), so they are dropped.
std::vector<QStringView> components(QStringView key) {
    std::vector<QStringView> parts;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= key.size(); ++i) {
        if (i == key.size() || key[i] == u'\\') {
            if (i > start) {
                parts.push_back(key.mid(start, i - start));
            }
            start = i + 1;
        }
    }
    return parts;
}

bool isNormal(QStringView key) {
    return !key.startsWith(u'\\') && !key.endsWith(u'\\') && !key.contains(u"\\\\");
}

// The folded form of a whole key path, as stored in keys.folded.
void foldedPath(QStringView key, Utf8& out) {
    if (isNormal(key)) {
        fold(key, out);
        return;
    }
    QString joined;
    for (const QStringView part : components(key)) {
        if (!joined.isEmpty()) {
            joined += u'\\';
        }
        joined += part;
    }
    fold(joined, out);
}

bool hasNul(QStringView text) {
    return text.contains(QChar(u'\0'));
}

void bind(sqlite3_stmt* s, int index, const Utf8& text) {
    // The buffers outlive every step of the statement they are bound to.
    sqlite3_bind_text(s, index, text.constData(), static_cast<int>(text.size()), SQLITE_STATIC);
}

QString columnText(sqlite3_stmt* s, int column) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    return QString::fromUtf8(p, sqlite3_column_bytes(s, column));
}

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

// Who may use a hive the program creates. Where the group `quillon` exists, its members edit
// the rules: the folder is 2770 and of that group, so that every file made in it belongs to the
// group too, and the files are 0660. Without the group only the owner writes, and everyone
// reads, since a program run by a user must read the rules to judge connections: folder 0755,
// files 0644. SQLite gives its -wal and -shm files the database file's mode.
struct HiveModes {
    gid_t group = static_cast<gid_t>(-1);
    mode_t folder = 0755;
    mode_t file = 0644;
};

HiveModes hiveModes() {
    HiveModes modes;
    if (const group* g = ::getgrnam("quillon")) {
        modes.group = g->gr_gid;
        modes.folder = 02770;
        modes.file = 0660;
    }
    return modes;
}

// Creates the missing folders down to `folder`, each with its mode set explicitly: mkdir(2)
// takes the umask off, which would leave a folder open to everyone under umask 0 or closed to
// the group under 077. The hive's own folder is closed until its group and mode are set.
bool makeFolders(const QString& folder) {
    const HiveModes modes = hiveModes();
    QStringList missing;
    QString at = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    while (!QFileInfo::exists(at)) {
        missing.prepend(at);
        const QString up = QFileInfo(at).absolutePath();
        if (up == at) {
            break;
        }
        at = up;
    }
    for (qsizetype i = 0; i < missing.size(); ++i) {
        const QByteArray name = QFile::encodeName(missing[i]);
        if (::mkdir(name.constData(), 0700) != 0) {
            if (errno == EEXIST) {
                continue; // made by another process at the same moment
            }
            return false;
        }
        mode_t mode = 0755;
        if (i + 1 == missing.size() && modes.group != static_cast<gid_t>(-1) &&
            ::chown(name.constData(), static_cast<uid_t>(-1), modes.group) == 0) {
            mode = modes.folder;
        }
        if (::chmod(name.constData(), mode) != 0) {
            return false;
        }
    }
    return true;
}

// A new hive file's mode: 0660 once it belongs to the group `quillon` (a member or root may
// give it that group), else 0644.
void setFileMode(const QByteArray& name, const HiveModes& modes) {
    mode_t mode = 0644;
    if (modes.group != static_cast<gid_t>(-1)) {
        struct stat st {};
        if ((::stat(name.constData(), &st) == 0 && st.st_gid == modes.group) ||
            ::chown(name.constData(), static_cast<uid_t>(-1), modes.group) == 0) {
            mode = modes.file;
        }
    }
    ::chmod(name.constData(), mode);
}

// Tells KeyPaths apart without comparing their paths; a copy keeps its original's number.
std::atomic<quint64> keyPathSerials{0};

// Resets a cached statement when the scope that stepped it ends, whatever way it ends.
class Use {
public:
    explicit Use(sqlite3_stmt* s) : m_s(s) {}
    ~Use() {
        if (m_s) {
            sqlite3_reset(m_s);
        }
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    sqlite3_stmt* get() const { return m_s; }
    explicit operator bool() const { return m_s != nullptr; }

private:
    sqlite3_stmt* m_s;
};

} // namespace

struct RegistryHive::Impl {
    QString path;
    sqlite3* db = nullptr;
    bool initialised = false;
    // Set when the database turned out damaged, moved or unreadable: the connection is closed
    // at the end of the call and the next call starts afresh (and checks the file again).
    bool broken = false;
    std::array<sqlite3_stmt*, StmtCount> stmts{};
    QString error;
    int lastRc = SQLITE_OK;
    // The connection reads the database file as it lies, without locks (see ready()); it is
    // dropped as soon as the file changes or a -shm index appears.
    bool asFound = false;
    struct stat foundStat {};
    // Live ReadScopes, and whether their read transaction is open (it opens at the first read).
    int scopes = 0;
    bool readOpen = false;
    // SQLite's count of commits made by other connections, as of the last read transaction,
    // and the key ids resolved since: valid until this connection learns of a commit, its
    // own or another's (a restored backup may number every key anew).
    sqlite3_int64 dataVersion = -1;
    struct KeyId {
        QByteArray folded;
        quint64 serial;   // of the KeyPath it was last asked through, else 0
        sqlite3_int64 id; // 0: no such key
        // The key's own data lookup, its id bound once: a lookup then binds the name alone.
        sqlite3_stmt* findData = nullptr;
    };
    std::vector<KeyId> keyIds;

    enum class Ready { Yes, NoHive, Failed };

    ~Impl() { close(); }

    void close() {
        readOpen = false;
        dataVersion = -1;
        forgetKeys();
        asFound = false;
        for (auto& s : stmts) {
            sqlite3_finalize(s);
            s = nullptr;
        }
        if (db) {
            // Rolls back whatever transaction a failure left open.
            sqlite3_close(db);
            db = nullptr;
        }
        initialised = false;
        broken = false;
    }

    bool fail(int rc, const QString& what) {
        lastRc = rc;
        const int primary = rc & 0xff;
        error =
            what + QStringLiteral(": ") +
            (db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(rc)));
        if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_IOERR ||
            primary == SQLITE_CANTOPEN || rc == SQLITE_READONLY_DBMOVED) {
            broken = true;
        }
        return false;
    }

    bool connect(const QByteArray& name, int flags) {
        const int rc = sqlite3_open_v2(name.constData(), &db, flags, nullptr);
        if (rc != SQLITE_OK) {
            fail(rc, QStringLiteral("cannot open the hive %1").arg(path));
            close();
            return false;
        }
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        return true;
    }

    // Whether a hive read as it lies is still untouched: a writer (in WAL mode) creates the
    // -shm file first, and any change to the database file shows in its size or time.
    bool stillAsFound() const {
        struct stat now {};
        return !QFileInfo::exists(path + QStringLiteral("-shm")) &&
               ::stat(QFile::encodeName(path).constData(), &now) == 0 &&
               now.st_ino == foundStat.st_ino && now.st_size == foundStat.st_size &&
               now.st_mtim.tv_sec == foundStat.st_mtim.tv_sec &&
               now.st_mtim.tv_nsec == foundStat.st_mtim.tv_nsec;
    }

    void endCall() {
        if (broken) {
            close();
        }
    }

    // Starts the read transaction that a lookup, or every read of a scope, runs in. Learning
    // of other connections' commits goes through SQLite's own counter: PRAGMA data_version,
    // run as the transaction's first statement, takes the snapshot and reports in the same
    // step whether anything was committed since the last transaction, so no commit can slip in
    // between the check and the snapshot. Nothing of SQLite's files is ever touched directly:
    // a descriptor of the -shm file opened and closed by the program would drop SQLite's own
    // locks on it (POSIX record locks belong to the process), and the next connection would
    // then rebuild the index under this one.
    bool beginRead() {
        if (readOpen) {
            return true;
        }
        if (!run(Begin)) {
            return false;
        }
        Use s(stmt(DataVersion));
        if (!s || step(s.get()) != SQLITE_ROW) {
            run(Rollback);
            return false;
        }
        const sqlite3_int64 version = sqlite3_column_int64(s.get(), 0);
        if (version != dataVersion) {
            forgetKeys();
            dataVersion = version;
        }
        readOpen = true;
        return true;
    }

    void endRead() {
        if (readOpen) {
            readOpen = false;
            if (!run(Commit)) {
                run(Rollback);
            }
        }
    }

    // The id of the key with this folded path in the current snapshot, resolved once until
    // this connection learns of a commit.
    // A KeyPath is known by its serial number, a path given as text by its folded form.
    KeyId* keyId(const char* folded, qsizetype size, quint64 serial) {
        if (serial != 0) {
            for (KeyId& k : keyIds) {
                if (k.serial == serial) {
                    return &k;
                }
            }
        }
        for (KeyId& k : keyIds) {
            if (k.folded.size() == size && std::memcmp(k.folded.constData(), folded, size) == 0) {
                k.serial = serial != 0 ? serial : k.serial;
                return &k;
            }
        }
        sqlite3_int64 id = 0;
        if (!findKey(folded, size, id)) {
            return nullptr;
        }
        if (keyIds.size() >= kMaxKeyIds) {
            forgetKeys();
        }
        keyIds.push_back({QByteArray(folded, size), serial, id});
        return &keyIds.back();
    }

    void forgetKeys() {
        for (KeyId& k : keyIds) {
            sqlite3_finalize(k.findData);
        }
        keyIds.clear();
    }

    sqlite3_stmt* stmt(Stmt which) {
        if (!stmts[which]) {
            const int rc = sqlite3_prepare_v3(db, kSql[which], -1, SQLITE_PREPARE_PERSISTENT,
                                              &stmts[which], nullptr);
            if (rc != SQLITE_OK) {
                fail(rc, QStringLiteral("cannot prepare a query"));
                stmts[which] = nullptr;
            }
        }
        return stmts[which];
    }

    bool exec(const char* sql) {
        const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        return rc == SQLITE_OK || fail(rc, QStringLiteral("cannot update the hive"));
    }

    // Runs a one-row pragma or query and returns its first column as text; nullopt on error.
    std::optional<QString> scalar(const char* sql) {
        sqlite3_stmt* s = nullptr;
        int rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
        std::optional<QString> result;
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(s);
            if (rc == SQLITE_ROW) {
                result = columnText(s, 0);
            } else if (rc == SQLITE_DONE) {
                result = QString();
            }
        }
        if (!result) {
            fail(rc, QStringLiteral("cannot read the hive %1").arg(path));
        }
        sqlite3_finalize(s);
        return result;
    }

    // Looks at a freshly opened (or still empty) database without writing anything: a file
    // that is not SQLite, some other program's database, a damaged or a newer hive is left
    // exactly as it is. The checks read in one transaction, so that a hive that another process
    // is making at this moment is seen either empty or whole, never half made.
    bool inspect() {
        const bool own = sqlite3_get_autocommit(db) != 0 &&
                         sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
        const bool ok = inspectNow();
        if (own && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        return ok;
    }

    bool inspectNow() {
        const auto appId = scalar("PRAGMA application_id");
        const auto tables = appId ? scalar("SELECT count(*) FROM sqlite_schema") : std::nullopt;
        if (!appId || !tables) {
            return false;
        }
        if (appId->toInt() == 0 && tables->toInt() == 0) {
            initialised = false;
            return true;
        }
        if (appId->toInt() != kApplicationId) {
            error = QStringLiteral("%1 is a SQLite database but not a Quillon hive").arg(path);
            return false;
        }
        const auto version = scalar("PRAGMA user_version");
        if (!version) {
            return false;
        }
        if (version->toInt() > kSchemaVersion) {
            error = QStringLiteral("%1 was written by a newer Quillon").arg(path);
            return false;
        }
        // A damaged hive must never be written; one this connection cannot write anyway is
        // read as well as it can be, without the check's full pass over the file.
        if (sqlite3_db_readonly(db, "main") == 1) {
            initialised = true;
            return true;
        }
        const auto check = scalar("PRAGMA quick_check(1)");
        if (!check) {
            return false;
        }
        if (*check != QLatin1String("ok")) {
            error = QStringLiteral("%1 is damaged: %2").arg(path, *check);
            return false;
        }
        initialised = true;
        return true;
    }

    // Creates the layout in an empty database. Another process may be doing the same at this
    // very moment; the immediate transaction makes one of them wait and the check inside it
    // makes the second one find the work done.
    bool initialise() {
        if (!exec("PRAGMA journal_mode=WAL") || !exec("BEGIN IMMEDIATE")) {
            return false;
        }
        const auto appId = scalar("PRAGMA application_id");
        const auto tables = appId ? scalar("SELECT count(*) FROM sqlite_schema") : std::nullopt;
        bool ok = appId.has_value() && tables.has_value();
        if (ok && appId->toInt() == 0 && tables->toInt() == 0) {
            ok = exec(kSchema) &&
                 exec(QByteArray("PRAGMA application_id=" + QByteArray::number(kApplicationId))
                          .constData()) &&
                 exec(QByteArray("PRAGMA user_version=" + QByteArray::number(kSchemaVersion))
                          .constData());
        } else if (ok && appId->toInt() != kApplicationId) {
            error = QStringLiteral("%1 is a SQLite database but not a Quillon hive").arg(path);
            ok = false;
        }
        if (!ok) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
        if (!exec("COMMIT")) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
        initialised = true;
        return true;
    }

    // Makes a new hive whole under a name of its own, then links it into place, which fails
    // when another process got there first: two writers starting on a missing hive at once
    // both find one complete hive, and nobody ever sees an empty or half-made one.
    bool createHive() {
        const HiveModes modes = hiveModes();
        const QString folder = QFileInfo(path).absolutePath();
        if (!makeFolders(folder)) {
            error = QStringLiteral("cannot create the folder %1: %2")
                        .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        const QString temp = path + QStringLiteral(".new-%1-%2")
                                        .arg(::getpid())
                                        .arg(QRandomGenerator::global()->generate(), 0, 16);
        const QByteArray tempName = QFile::encodeName(temp);
        bool made = false;
        {
            Impl fresh;
            fresh.path = temp;
            made = fresh.connect(tempName, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                               SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE) &&
                   fresh.initialise();
            if (!made) {
                error = fresh.error;
            }
            // The last connection to close folds the log into the file and removes it.
        }
        bool placed = false;
        if (made) {
            const QByteArray name = QFile::encodeName(path);
            setFileMode(tempName, modes);
            placed = ::link(tempName.constData(), name.constData()) == 0 || errno == EEXIST;
            if (!placed && errno != EEXIST) {
                // A file system without hard links: a rename that never replaces.
                placed = ::renameat2(AT_FDCWD, tempName.constData(), AT_FDCWD, name.constData(),
                                     RENAME_NOREPLACE) == 0 ||
                         errno == EEXIST;
            }
            if (!placed) {
                error = QStringLiteral("cannot create the hive %1: %2")
                            .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            }
        }
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            ::unlink((tempName + suffix).constData());
        }
        return placed;
    }

    // Settings of a connection to a healthy hive. None of them is essential: a hive that
    // cannot be switched to WAL (read-only rights) is still read correctly.
    void configure() {
        sqlite3_exec(db, "PRAGMA mmap_size=268435456", nullptr, nullptr, nullptr);
        if (!sqlite3_db_readonly(db, "main")) {
            sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
            // Writes are rare (a click, an import): syncing the log at every commit makes a
            // rule the user set survive a power cut too.
            sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
            // Keeping the -wal and -shm files after the last connection closes lets an
            // account without write rights on the folder still read the hive.
            int keep = 1;
            sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
            sqlite3_exec(db, "PRAGMA journal_size_limit=1048576", nullptr, nullptr, nullptr);
        }
    }

    // Makes sure a usable connection exists. A read of a hive that does not exist yet answers
    // "missing" and creates nothing; the first write creates the folder and the database.
    Ready ready(bool forWrite) {
        broken = false;
        error.clear();
        if (db && asFound && (forWrite || !stillAsFound())) {
            close();
        }
        if (db) {
            if (asFound) {
                return initialised ? Ready::Yes : Ready::NoHive;
            }
            if (initialised) {
                return Ready::Yes;
            }
            // An empty database seen earlier: another process may have filled it since.
            if (!inspect()) {
                broken = true;
                return Ready::Failed;
            }
            if (!initialised) {
                if (!forWrite) {
                    return Ready::NoHive;
                }
                if (!initialise()) {
                    return Ready::Failed;
                }
                configure();
            }
            return Ready::Yes;
        }

        const QFileInfo info(path);
        if (!info.exists()) {
            if (!forWrite) {
                return Ready::NoHive;
            }
            if (!createHive()) {
                return Ready::Failed;
            }
        }
        const int flags = SQLITE_OPEN_READWRITE | (forWrite ? SQLITE_OPEN_CREATE : 0) |
                          SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
        if (!connect(QFile::encodeName(path), flags)) {
            return Ready::Failed;
        }
        if (!inspect()) {
            // SQLite reads a WAL database only through its -shm index, which an account that
            // may not write the folder cannot create once the last connection removed it
            // (the sqlite3 shell, for one, removes it). With no -shm file and no log left, no
            // connection has the hive open and the database file holds every commit, so it
            // is read as it lies, for as long as it stays so (see stillAsFound).
            const int primary = lastRc & 0xff;
            if (forWrite || (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN) ||
                QFileInfo::exists(path + QStringLiteral("-shm")) ||
                QFileInfo(path + QStringLiteral("-wal")).size() > 0) {
                broken = true;
                return Ready::Failed;
            }
            close();
            struct stat found {};
            if (::stat(QFile::encodeName(path).constData(), &found) != 0) {
                return Ready::Failed;
            }
            const QByteArray uri = "file:" + QUrl::toPercentEncoding(path, "/") + "?immutable=1";
            if (!connect(uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX |
                                  SQLITE_OPEN_EXRESCODE)) {
                return Ready::Failed;
            }
            if (!inspect()) {
                broken = true;
                return Ready::Failed;
            }
            asFound = true;
            foundStat = found;
            return initialised ? Ready::Yes : Ready::NoHive;
        }
        if (!initialised) {
            if (!forWrite) {
                return Ready::NoHive;
            }
            if (!initialise()) {
                return Ready::Failed;
            }
        }
        configure();
        return Ready::Yes;
    }

    // One statement step with errors recorded; returns SQLITE_ROW, SQLITE_DONE or an error.
    int step(sqlite3_stmt* s) {
        const int rc = sqlite3_step(s);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            fail(rc, QStringLiteral("cannot use the hive %1").arg(path));
        }
        return rc;
    }

    bool run(Stmt which) {
        Use s(stmt(which));
        return s && step(s.get()) == SQLITE_DONE;
    }

    // Runs `body` in one read transaction (deferred: readers never block writers): the
    // scope's, when one is open, else one of its own.
    template <typename Body>
    bool read(Body&& body) {
        if (!readOpen) {
            const Ready r = ready(false);
            if (r != Ready::Yes || !beginRead()) {
                endCall();
                return false;
            }
        }
        bool ok = body();
        if (!ok || scopes == 0) {
            endRead();
        }
        endCall();
        return ok;
    }

    // Runs `body` as one write transaction: it takes the write lock before reading anything,
    // so two writers never deadlock, and a crash at any point leaves the previous state.
    template <typename Body>
    bool write(Body&& body) {
        // A scope's reads go on in a new transaction after the write, which they see.
        endRead();
        // Whatever the outcome, the keys this connection resolved may have changed; and a
        // commit of its own does not move the counter of other connections' commits.
        forgetKeys();
        if (ready(true) != Ready::Yes) {
            endCall();
            return false;
        }
        bool ok = run(BeginImmediate);
        if (ok) {
            ok = body() && run(Commit);
            if (!ok) {
                run(Rollback);
            }
        }
        if (ok) {
            error.clear();
        }
        endCall();
        return ok;
    }

    // The id of the key with this folded path: found (true, id), missing (true, 0) or failed.
    bool findKey(const char* folded, qsizetype size, sqlite3_int64& id,
                 QString* storedPath = nullptr) {
        Use s(stmt(FindKey));
        if (!s) {
            return false;
        }
        sqlite3_bind_text(s.get(), 1, folded, static_cast<int>(size), SQLITE_STATIC);
        const int rc = step(s.get());
        id = 0;
        if (rc == SQLITE_ROW) {
            id = sqlite3_column_int64(s.get(), 0);
            if (storedPath) {
                *storedPath = columnText(s.get(), 1);
            }
        }
        return rc == SQLITE_ROW || rc == SQLITE_DONE;
    }

    bool findKey(const Utf8& folded, sqlite3_int64& id, QString* storedPath = nullptr) {
        return findKey(folded.constData(), folded.size(), id, storedPath);
    }

    // Opens the key, creating it and every missing key above it. Keys that already exist keep
    // the spelling they were created with.
    bool ensureKey(QStringView key, sqlite3_int64& id) {
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
                Use s(stmt(InsertKey));
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
                if (step(s.get()) != SQLITE_DONE) {
                    return false;
                }
                id = sqlite3_last_insert_rowid(db);
            }
            parent = id;
        }
        id = parent;
        return true;
    }

    bool setValue(QStringView key, QStringView name, QStringView data) {
        sqlite3_int64 id = 0;
        if (!ensureKey(key, id)) {
            return false;
        }
        Use s(stmt(UpsertValue));
        if (!s) {
            return false;
        }
        Utf8 folded;
        Utf8 spelled;
        Utf8 text;
        fold(name, folded);
        utf8(name, spelled);
        utf8(data, text);
        sqlite3_bind_int64(s.get(), 1, id);
        bind(s.get(), 2, folded);
        bind(s.get(), 3, spelled);
        bind(s.get(), 4, text);
        return step(s.get()) == SQLITE_DONE;
    }

    bool deleteValue(QStringView key, QStringView name) {
        sqlite3_int64 id = 0;
        if (!ensureKey(key, id)) {
            return false;
        }
        Use s(stmt(RemoveValue));
        if (!s) {
            return false;
        }
        Utf8 folded;
        fold(name, folded);
        sqlite3_bind_int64(s.get(), 1, id);
        bind(s.get(), 2, folded);
        return step(s.get()) == SQLITE_DONE;
    }

    bool listValues(sqlite3_int64 id, std::vector<std::pair<QString, QString>>& out) {
        Use s(stmt(ListValues));
        if (!s) {
            return false;
        }
        sqlite3_bind_int64(s.get(), 1, id);
        int rc;
        while ((rc = step(s.get())) == SQLITE_ROW) {
            out.emplace_back(columnText(s.get(), 0), columnText(s.get(), 1));
        }
        return rc == SQLITE_DONE;
    }

    bool eachValue(sqlite3_int64 id,
                   const std::function<void(std::string_view, std::string_view)>& sink) {
        Use s(stmt(ListValues));
        if (!s) {
            return false;
        }
        sqlite3_bind_int64(s.get(), 1, id);
        int rc;
        while ((rc = step(s.get())) == SQLITE_ROW) {
            const auto text = [&s](int column) {
                return std::string_view(
                    reinterpret_cast<const char*>(sqlite3_column_text(s.get(), column)),
                    static_cast<size_t>(sqlite3_column_bytes(s.get(), column)));
            };
            sink(text(0), text(1));
        }
        return rc == SQLITE_DONE;
    }

    bool listSubKeys(sqlite3_int64 id, std::vector<std::pair<sqlite3_int64, QString>>& out) {
        Use s(stmt(ListSubKeys));
        if (!s) {
            return false;
        }
        sqlite3_bind_int64(s.get(), 1, id);
        int rc;
        while ((rc = step(s.get())) == SQLITE_ROW) {
            out.emplace_back(sqlite3_column_int64(s.get(), 0), columnText(s.get(), 1));
        }
        return rc == SQLITE_DONE;
    }

    bool collect(sqlite3_int64 id, const QString& keyPath, std::vector<KeyContents>& out) {
        KeyContents contents{keyPath, {}};
        if (!listValues(id, contents.values)) {
            return false;
        }
        out.push_back(std::move(contents));
        std::vector<std::pair<sqlite3_int64, QString>> children;
        if (!listSubKeys(id, children)) {
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

    Lookup lookup(const char* foldedKey, qsizetype keySize, quint64 serial, QStringView name,
                  QString& data, Match match, QString* storedName) {
        if (hasNul(name)) {
            return Lookup::Missing;
        }
        if (!readOpen) {
            const Ready r = ready(false);
            if (r != Ready::Yes || !beginRead()) {
                endCall();
                return r == Ready::NoHive ? Lookup::Missing : Lookup::Failed;
            }
        }
        Lookup result = Lookup::Failed;
        if (KeyId* key = keyId(foldedKey, keySize, serial)) {
            result =
                key->id == 0 ? Lookup::Missing : findValue(*key, name, data, match, storedName);
        }
        if (result == Lookup::Failed || scopes == 0) {
            endRead();
        }
        endCall();
        return result;
    }

    Lookup findValue(KeyId& key, QStringView name, QString& data, Match match,
                     QString* storedName) {
        Utf8 folded;
        const bool cased = fold(name, folded);
        // A name in which case cannot matter is stored exactly as asked: only its data is read.
        const bool spelling = storedName || (match == Match::Exact && cased);
        if (!spelling && !key.findData) {
            const int rc = sqlite3_prepare_v3(db, kSql[FindData], -1, SQLITE_PREPARE_PERSISTENT,
                                              &key.findData, nullptr);
            if (rc != SQLITE_OK) {
                sqlite3_finalize(key.findData);
                key.findData = nullptr;
                fail(rc, QStringLiteral("cannot prepare a query"));
                return Lookup::Failed;
            }
            sqlite3_bind_int64(key.findData, 1, key.id);
        }
        Use s(spelling ? stmt(FindValue) : key.findData);
        if (!s) {
            return Lookup::Failed;
        }
        if (spelling) {
            sqlite3_bind_int64(s.get(), 1, key.id);
        }
        bind(s.get(), 2, folded);
        const int rc = step(s.get());
        if (rc != SQLITE_ROW) {
            return rc == SQLITE_DONE ? Lookup::Missing : Lookup::Failed;
        }
        if (!spelling) {
            data = dataText(s.get(), 0);
            return Lookup::Found;
        }
        const auto* stored = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
        const int storedSize = sqlite3_column_bytes(s.get(), 0);
        if (match == Match::Exact && !sameText(stored, storedSize, name)) {
            return Lookup::Missing;
        }
        if (storedName) {
            *storedName = QString::fromUtf8(stored, storedSize);
        }
        data = dataText(s.get(), 1);
        return Lookup::Found;
    }

    bool rejectNul(std::initializer_list<QStringView> texts) {
        for (const QStringView t : texts) {
            if (hasNul(t)) {
                // A string value ends at its first NUL; such text could be neither stored
                // faithfully as REG_SZ nor exported.
                error = QStringLiteral("a key, name or data holds a NUL character");
                return true;
            }
        }
        return false;
    }
};

QString RegistryHive::defaultPath() {
    return QStringLiteral("/var/lib/quillon/registry.db");
}

RegistryHive::RegistryHive(QString path) : d(std::make_unique<Impl>()) {
    d->path = std::move(path);
}

RegistryHive::~RegistryHive() = default;

QString RegistryHive::path() const {
    return d->path;
}

QString RegistryHive::lastError() const {
    return d->error;
}

bool RegistryHive::setValue(QStringView key, QStringView name, QStringView data) {
    if (d->rejectNul({key, name, data})) {
        return false;
    }
    return d->write([&] { return d->setValue(key, name, data); });
}

RegistryHive::KeyPath::KeyPath(QStringView path)
    : m_path(path.toString()), m_serial(++keyPathSerials), m_valid(!hasNul(path)) {
    Utf8 folded;
    foldedPath(path, folded);
    m_folded = QByteArray(folded.constData(), folded.size());
}

RegistryHive::ReadScope::ReadScope(RegistryHive& hive) : m_hive(hive) {
    ++m_hive.d->scopes;
}

RegistryHive::ReadScope::~ReadScope() {
    if (--m_hive.d->scopes == 0) {
        m_hive.d->endRead();
        m_hive.d->endCall();
    }
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
    if (hasNul(key)) {
        return false;
    }
    Utf8 folded;
    foldedPath(key, folded);
    return d->read([&] {
        sqlite3_int64 id = 0;
        return d->findKey(folded, id) && id != 0 && d->listValues(id, out);
    });
}

bool RegistryHive::forEachValue(
    QStringView key, const std::function<void(std::string_view, std::string_view)>& sink) {
    if (hasNul(key)) {
        return false;
    }
    Utf8 folded;
    foldedPath(key, folded);
    return d->read([&] {
        sqlite3_int64 id = 0;
        return d->findKey(folded, id) && id != 0 && d->eachValue(id, sink);
    });
}

bool RegistryHive::deleteValue(QStringView key, QStringView name) {
    if (d->rejectNul({key, name})) {
        return false;
    }
    return d->write([&] { return d->deleteValue(key, name); });
}

bool RegistryHive::keyExists(QStringView key) {
    return keyPath(key).has_value();
}

bool RegistryHive::createKey(QStringView key) {
    if (d->rejectNul({key})) {
        return false;
    }
    return d->write([&] {
        sqlite3_int64 id = 0;
        return d->ensureKey(key, id);
    });
}

bool RegistryHive::subKeys(QStringView key, std::vector<QString>& out) {
    if (hasNul(key)) {
        return false;
    }
    Utf8 folded;
    foldedPath(key, folded);
    return d->read([&] {
        sqlite3_int64 id = 0;
        std::vector<std::pair<sqlite3_int64, QString>> children;
        if (!d->findKey(folded, id) || id == 0 || !d->listSubKeys(id, children)) {
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
    const bool found = d->read([&] {
        sqlite3_int64 id = 0;
        return d->findKey(folded, id, &stored) && id != 0;
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
    const bool ok = d->read([&] {
        sqlite3_int64 id = 0;
        QString stored;
        return d->findKey(folded, id, &stored) && id != 0 && d->collect(id, stored, result);
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
    return d->write([&] {
        for (const Change& c : changes) {
            sqlite3_int64 id = 0;
            bool ok = false;
            switch (c.kind) {
            case Change::Kind::CreateKey:
                ok = d->ensureKey(c.key, id);
                break;
            case Change::Kind::SetValue:
                ok = d->setValue(c.key, c.name, c.data);
                break;
            case Change::Kind::DeleteValue:
                ok = d->deleteValue(c.key, c.name);
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
    // A hive that cannot even be read (not SQLite, damaged, someone else's) takes no writes.
    if (d->ready(false) == Impl::Ready::Failed) {
        d->endCall();
        return false;
    }
    d->endCall();
    const QFileInfo info(d->path);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    if (!info.exists()) {
        // The first write creates the folders that are missing: the nearest existing one
        // must take new entries.
        QDir dir(info.absolutePath());
        while (!dir.exists() && !dir.isRoot()) {
            dir.setPath(QFileInfo(dir.absolutePath()).absolutePath());
        }
        return ::access(QFile::encodeName(dir.absolutePath()).constData(), W_OK | X_OK) == 0;
    }
    const QByteArray file = QFile::encodeName(d->path);
    if (::access(file.constData(), W_OK) != 0) {
        return false;
    }
    // A writer needs the -wal and -shm files; when they are missing it creates them in the
    // folder.
    const QByteArray wal = file + "-wal";
    const QByteArray shm = file + "-shm";
    const bool sideFiles =
        ::access(wal.constData(), W_OK) == 0 && ::access(shm.constData(), W_OK) == 0;
    if (!sideFiles && ::access(folder.constData(), W_OK | X_OK) != 0) {
        return false;
    }
    return !d->db || sqlite3_db_readonly(d->db, "main") != 1;
}

RegistryHive::Health RegistryHive::health() {
    // A folder this process may not enter hides the hive, which would otherwise look missing.
    const QByteArray folder = QFile::encodeName(QFileInfo(d->path).absolutePath());
    if (::access(folder.constData(), X_OK) != 0 && errno != ENOENT) {
        return Health::NoAccess;
    }
    const Impl::Ready r = d->ready(false);
    d->endCall();
    if (r != Impl::Ready::Failed) {
        return Health::Readable;
    }
    const QByteArray file = QFile::encodeName(d->path);
    return ::access(file.constData(), R_OK) == 0 ? Health::Damaged : Health::NoAccess;
}

} // namespace quillon::platform
