#include "platform/HiveOpener.h"

#include "platform/HiveConnection.h"
#include "platform/HiveFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QUrl>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace quillon::platform {

namespace {

// Marks a database as a Quillon hive ("Quln"), so that a path pointing at some other SQLite
// database is refused instead of written into.
constexpr int kApplicationId = 0x51756C6E;
constexpr int kSchemaVersion = 1;

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

} // namespace

HiveOpener::HiveOpener(HiveConnection& connection) : m_connection(connection) {}

void HiveOpener::closed() {
    m_asFound = false;
    m_initialised = false;
}

// Whether a hive read as it lies is still untouched: a writer (in WAL mode) creates the -shm
// file first, and any change to the database file shows in its size or time.
bool HiveOpener::stillAsFound() const {
    const QString& path = m_connection.path();
    struct stat now {};
    return !QFileInfo::exists(path + QStringLiteral("-shm")) &&
           ::stat(QFile::encodeName(path).constData(), &now) == 0 &&
           now.st_ino == m_foundStat.st_ino && now.st_size == m_foundStat.st_size &&
           now.st_mtim.tv_sec == m_foundStat.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == m_foundStat.st_mtim.tv_nsec;
}

// Looks at a freshly opened (or still empty) database without writing anything. The checks
// read in one transaction, so that a hive that another process is making at this moment is
// seen either empty or whole, never half made.
bool HiveOpener::inspect() {
    sqlite3* db = m_connection.handle();
    const bool own = sqlite3_get_autocommit(db) != 0 &&
                     sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    const bool ok = inspectNow();
    if (own && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return ok;
}

bool HiveOpener::inspectNow() {
    const QString& path = m_connection.path();
    const auto appId = m_connection.scalar("PRAGMA application_id");
    const auto tables =
        appId ? m_connection.scalar("SELECT count(*) FROM sqlite_schema") : std::nullopt;
    if (!appId || !tables) {
        return false;
    }
    if (appId->toInt() == 0 && tables->toInt() == 0) {
        m_initialised = false;
        return true;
    }
    if (appId->toInt() != kApplicationId) {
        m_connection.setError(
            QStringLiteral("%1 is a SQLite database but not a Quillon hive").arg(path));
        return false;
    }
    const auto version = m_connection.scalar("PRAGMA user_version");
    if (!version) {
        return false;
    }
    if (version->toInt() > kSchemaVersion) {
        m_connection.setError(QStringLiteral("%1 was written by a newer Quillon").arg(path));
        return false;
    }
    // A damaged hive must never be written; one this connection cannot write anyway is read as
    // well as it can be, without the check's full pass over the file.
    if (sqlite3_db_readonly(m_connection.handle(), "main") == 1) {
        m_initialised = true;
        return true;
    }
    const auto check = m_connection.scalar("PRAGMA quick_check(1)");
    if (!check) {
        return false;
    }
    if (*check != QLatin1String("ok")) {
        m_connection.setError(QStringLiteral("%1 is damaged: %2").arg(path, *check));
        return false;
    }
    m_initialised = true;
    return true;
}

// Creates the layout in an empty database. Another process may be doing the same at this very
// moment; the immediate transaction makes one of them wait and the check inside it makes the
// second one find the work done.
bool HiveOpener::initialise() {
    HiveConnection& c = m_connection;
    if (!c.exec("PRAGMA journal_mode=WAL") || !c.exec("BEGIN IMMEDIATE")) {
        return false;
    }
    const auto appId = c.scalar("PRAGMA application_id");
    const auto tables = appId ? c.scalar("SELECT count(*) FROM sqlite_schema") : std::nullopt;
    bool ok = appId.has_value() && tables.has_value();
    if (ok && appId->toInt() == 0 && tables->toInt() == 0) {
        ok = c.exec(kSchema) &&
             c.exec(QByteArray("PRAGMA application_id=" + QByteArray::number(kApplicationId))
                        .constData()) &&
             c.exec(QByteArray("PRAGMA user_version=" + QByteArray::number(kSchemaVersion))
                        .constData());
    } else if (ok && appId->toInt() != kApplicationId) {
        c.setError(QStringLiteral("%1 is a SQLite database but not a Quillon hive").arg(c.path()));
        ok = false;
    }
    if (!ok) {
        sqlite3_exec(c.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    if (!c.exec("COMMIT")) {
        sqlite3_exec(c.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    m_initialised = true;
    return true;
}

// Makes a new hive whole under a name of its own, then links it into place, which fails when
// another process got there first: two writers starting on a missing hive at once both find
// one complete hive, and nobody ever sees an empty or half-made one.
bool HiveOpener::createHive() {
    const QString& path = m_connection.path();
    const QString folder = QFileInfo(path).absolutePath();
    if (!hivefiles::makeFolders(folder)) {
        m_connection.setError(QStringLiteral("cannot create the folder %1: %2")
                                  .arg(folder, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    const QString temp = path + QStringLiteral(".new-%1-%2")
                                    .arg(::getpid())
                                    .arg(QRandomGenerator::global()->generate(), 0, 16);
    const QByteArray tempName = QFile::encodeName(temp);
    bool made = false;
    {
        HiveConnection fresh(temp);
        HiveOpener freshOpener(fresh);
        made = fresh.open(tempName, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                        SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE) &&
               freshOpener.initialise();
        if (!made) {
            m_connection.setError(fresh.error());
        }
        // The last connection to close folds the log into the file and removes it.
    }
    bool placed = false;
    if (made) {
        placed = hivefiles::place(tempName, path);
        if (!placed) {
            m_connection.setError(QStringLiteral("cannot create the hive %1: %2")
                                      .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        }
    }
    hivefiles::removeMade(tempName);
    return placed;
}

// Settings of a connection to a healthy hive. None of them is essential: a hive that cannot be
// switched to WAL (read-only rights) is still read correctly.
void HiveOpener::configure() {
    sqlite3* db = m_connection.handle();
    sqlite3_exec(db, "PRAGMA mmap_size=268435456", nullptr, nullptr, nullptr);
    if (!sqlite3_db_readonly(db, "main")) {
        sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        // Writes are rare (a click, an import): syncing the log at every commit makes a rule
        // the user set survive a power cut too.
        sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
        // Keeping the -wal and -shm files after the last connection closes lets an account
        // without write rights on the folder still read the hive.
        int keep = 1;
        sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
        sqlite3_exec(db, "PRAGMA journal_size_limit=1048576", nullptr, nullptr, nullptr);
    }
}

HiveOpener::Ready HiveOpener::ready(bool forWrite) {
    m_connection.startCall();
    if (m_connection.handle() && m_asFound && (forWrite || !stillAsFound())) {
        m_connection.close();
    }
    if (m_connection.handle()) {
        if (m_asFound) {
            return m_initialised ? Ready::Yes : Ready::NoHive;
        }
        if (m_initialised) {
            return Ready::Yes;
        }
        // An empty database seen earlier: another process may have filled it since.
        if (!inspect()) {
            m_connection.markBroken();
            return Ready::Failed;
        }
        return useInspected(forWrite);
    }

    const QString& path = m_connection.path();
    if (!QFileInfo(path).exists()) {
        if (!forWrite) {
            return Ready::NoHive;
        }
        if (!createHive()) {
            return Ready::Failed;
        }
    }
    const int flags = SQLITE_OPEN_READWRITE | (forWrite ? SQLITE_OPEN_CREATE : 0) |
                      SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
    if (!m_connection.open(QFile::encodeName(path), flags)) {
        return Ready::Failed;
    }
    if (!inspect()) {
        // SQLite reads a WAL database only through its -shm index, which an account that may
        // not write the folder cannot create once the last connection removed it (the sqlite3
        // shell, for one, removes it). With no -shm file and no log left, no connection has the
        // hive open and the database file holds every commit, so it is read as it lies.
        const int primary = m_connection.lastRc() & 0xff;
        if (forWrite || (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN) ||
            QFileInfo::exists(path + QStringLiteral("-shm")) ||
            QFileInfo(path + QStringLiteral("-wal")).size() > 0) {
            m_connection.markBroken();
            return Ready::Failed;
        }
        return openAsFound();
    }
    return useInspected(forWrite);
}

// A database found empty is made a hive by the first write only. The connection is set up
// once it serves a hive: it was not while the database was empty.
HiveOpener::Ready HiveOpener::useInspected(bool forWrite) {
    if (!m_initialised) {
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

// Opens the database file read as it lies, for as long as it stays so (see stillAsFound).
HiveOpener::Ready HiveOpener::openAsFound() {
    const QString& path = m_connection.path();
    m_connection.close();
    struct stat found {};
    if (::stat(QFile::encodeName(path).constData(), &found) != 0) {
        return Ready::Failed;
    }
    const QByteArray uri = "file:" + QUrl::toPercentEncoding(path, "/") + "?immutable=1";
    if (!m_connection.open(uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX |
                                    SQLITE_OPEN_EXRESCODE)) {
        return Ready::Failed;
    }
    if (!inspect()) {
        m_connection.markBroken();
        return Ready::Failed;
    }
    m_asFound = true;
    m_foundStat = found;
    return m_initialised ? Ready::Yes : Ready::NoHive;
}

bool HiveOpener::writable() {
    // A hive that cannot even be read (not SQLite, damaged, someone else's) takes no writes.
    const bool readable = ready(false) != Ready::Failed;
    m_connection.endCall();
    if (!readable) {
        return false;
    }
    const QString& path = m_connection.path();
    const QFileInfo info(path);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    if (!info.exists()) {
        // The first write creates the folders that are missing: the nearest existing one must
        // take new entries.
        QDir dir(info.absolutePath());
        while (!dir.exists() && !dir.isRoot()) {
            dir.setPath(QFileInfo(dir.absolutePath()).absolutePath());
        }
        return ::access(QFile::encodeName(dir.absolutePath()).constData(), W_OK | X_OK) == 0;
    }
    const QByteArray file = QFile::encodeName(path);
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
    return !m_connection.handle() || sqlite3_db_readonly(m_connection.handle(), "main") != 1;
}

RegistryHive::Health HiveOpener::health() {
    const QString& path = m_connection.path();
    // A folder this process may not enter hides the hive, which would otherwise look missing.
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::access(folder.constData(), X_OK) != 0 && errno != ENOENT) {
        return RegistryHive::Health::NoAccess;
    }
    const Ready r = ready(false);
    m_connection.endCall();
    if (r != Ready::Failed) {
        return RegistryHive::Health::Readable;
    }
    const QByteArray file = QFile::encodeName(path);
    return ::access(file.constData(), R_OK) == 0 ? RegistryHive::Health::Damaged
                                                 : RegistryHive::Health::NoAccess;
}

} // namespace quillon::platform
