#include "platform/RegistryHive.h"

#include <QAnyStringView>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <QVarLengthArray>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/mman.h>
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
// The WAL index header at the start of the -shm file: two copies of 48 bytes, the second
// written first by a committing writer; byte 12 is set once the header is initialised.
constexpr size_t kWalHeaderSize = 48;
constexpr size_t kIsInitOffset = 12;
constexpr size_t kShmMapped = 2 * kWalHeaderSize;
using WalHeader = std::array<unsigned char, kWalHeaderSize>;

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
    FindValue,
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
    // Two index seeks, whatever the number of values in the key.
    "SELECT v.name, v.data FROM keys k JOIN vals v ON v.key = k.id "
    "WHERE k.folded = ?1 AND v.folded = ?2",
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
void fold(QStringView text, Utf8& out) {
    out.resize(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c >= 0x80) {
            assign(out, text.toString().toCaseFolded().toUtf8());
            return;
        }
        out[i] = static_cast<char>(c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c);
    }
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
    qint64 lookupsRun = 0;
    // The hive is in WAL mode, and stays so while this connection is open (leaving it needs
    // every other connection closed).
    bool walMode = false;
    // The connection reads the database file as it lies, without locks (see ready()); it is
    // dropped as soon as the file or its -shm index changes.
    bool asFound = false;
    struct stat foundStat {};
    // The lookups' read transaction, kept open while the hive does not change (see
    // beginLookup), and the -shm index header it was opened under.
    bool readOpen = false;
    WalHeader readHeader{};
    const unsigned char* shm = nullptr;

    enum class Ready { Yes, NoHive, Failed };

    ~Impl() { close(); }

    void close() {
        endLookups();
        if (shm) {
            munmap(const_cast<unsigned char*>(shm), kShmMapped);
            shm = nullptr;
        }
        walMode = false;
        asFound = false;
        lookupsRun = 0;
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

    // A lookup in its own transaction spends most of its time starting and ending that
    // transaction (and, in WAL mode, locking a read mark with two fcntl calls). So the lookups
    // share one read transaction for as long as the hive stays as it was when it began. Every
    // commit of any process rewrites the WAL index header in the -shm file (its change counter,
    // frame count and salts), which is how SQLite itself tells whether a snapshot is still the
    // newest; the header is read (both copies, as SQLite does) before each lookup, and any
    // difference, or a header being written at that moment, ends the transaction and the
    // lookup starts a new one. A lookup therefore always sees every commit made before it.
    // Everything other than a lookup ends the shared transaction first.
    void beginLookup() {
        WalHeader now;
        const bool known = walHeader(now);
        if (readOpen) {
            if (known && now == readHeader) {
                return;
            }
            endLookups();
        }
        // Without a readable header (the first lookup, a hive read through the fallback
        // connection) the lookup runs in a transaction of its own.
        if (known && sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK) {
            readOpen = true;
            readHeader = now;
        }
    }

    void endLookups() {
        if (readOpen) {
            if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
                sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            }
            readOpen = false;
        }
    }

    // The header as every reader sees it; false while it is being written, before it was
    // initialised, or when the -shm file cannot be mapped.
    bool walHeader(WalHeader& out) {
        if (!shm && !mapShm()) {
            return false;
        }
        WalHeader second;
        std::memcpy(out.data(), shm, out.size());
        std::atomic_thread_fence(std::memory_order_seq_cst);
        std::memcpy(second.data(), shm + out.size(), second.size());
        return out == second && out[kIsInitOffset] != 0;
    }

    // Maps the start of the -shm file, read-only. Only once SQLite has opened it for this
    // connection (after the first transaction): while a connection is open SQLite neither
    // removes nor shortens that file.
    bool mapShm() {
        if (!db || !walMode || lookupsRun == 0) {
            return false;
        }
        const QByteArray name = QFile::encodeName(path) + "-shm";
        const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        struct stat st {};
        void* p = MAP_FAILED;
        if (::fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(kShmMapped)) {
            p = ::mmap(nullptr, kShmMapped, PROT_READ, MAP_SHARED, fd, 0);
        }
        ::close(fd);
        if (p == MAP_FAILED) {
            return false;
        }
        shm = static_cast<const unsigned char*>(p);
        return true;
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
    // exactly as it is.
    bool inspect() {
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
        walMode = scalar("PRAGMA journal_mode") == QStringLiteral("wal");
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
            if (!QDir().mkpath(info.absolutePath())) {
                error = QStringLiteral("cannot create the folder %1").arg(info.absolutePath());
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

    // Runs `body` in one read transaction (deferred: readers never block writers).
    template <typename Body>
    bool read(Body&& body) {
        endLookups();
        const Ready r = ready(false);
        if (r != Ready::Yes) {
            endCall();
            return false;
        }
        bool ok = run(Begin);
        if (ok) {
            ok = body();
            if (!run(Commit)) {
                run(Rollback);
                ok = false;
            }
        }
        endCall();
        return ok;
    }

    // Runs `body` as one write transaction: it takes the write lock before reading anything,
    // so two writers never deadlock, and a crash at any point leaves the previous state.
    template <typename Body>
    bool write(Body&& body) {
        endLookups();
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
    bool findKey(const Utf8& folded, sqlite3_int64& id, QString* storedPath = nullptr) {
        Use s(stmt(FindKey));
        if (!s) {
            return false;
        }
        bind(s.get(), 1, folded);
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

RegistryHive::Lookup RegistryHive::lookup(QStringView key, QStringView name, QString& data,
                                          Match match, QString* storedName) {
    if (hasNul(key) || hasNul(name)) {
        return Lookup::Missing;
    }
    const Impl::Ready r = d->ready(false);
    if (r != Impl::Ready::Yes) {
        d->endCall();
        return r == Impl::Ready::NoHive ? Lookup::Missing : Lookup::Failed;
    }
    Lookup result = Lookup::Failed;
    d->beginLookup();
    {
        Use s(d->stmt(FindValue));
        if (s) {
            Utf8 folded;
            Utf8 foldedName;
            foldedPath(key, folded);
            fold(name, foldedName);
            bind(s.get(), 1, folded);
            bind(s.get(), 2, foldedName);
            const int rc = d->step(s.get());
            if (rc == SQLITE_DONE) {
                result = Lookup::Missing;
            } else if (rc == SQLITE_ROW) {
                const auto* stored = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
                const QUtf8StringView storedView(stored, sqlite3_column_bytes(s.get(), 0));
                if (match == Match::IgnoreCase || QAnyStringView(storedView) == name) {
                    data = columnText(s.get(), 1);
                    if (storedName) {
                        *storedName = storedView.toString();
                    }
                    result = Lookup::Found;
                } else {
                    result = Lookup::Missing;
                }
            }
        }
    }
    ++d->lookupsRun;
    if (result == Lookup::Failed) {
        d->endLookups();
    }
    d->endCall();
    return result;
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
