#include "platform/HiveOpener.h"

#include "platform/HiveConnection.h"
#include "platform/HiveFiles.h"
#include "platform/HiveText.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>
#include <QUrl>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
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

// Every schema object but SQLite's own statistics tables, as one comparable line each.
constexpr const char* kSchemaQuery =
    "SELECT type || ' ' || name || ' ' || tbl_name || ' ' || coalesce(sql, '') FROM sqlite_schema "
    "WHERE NOT (type = 'table' AND name LIKE 'sqlite\\_stat%' ESCAPE '\\') ORDER BY 1";

// The hive's schema as Quillon makes it, and a new hive's whole file: an empty hive made in
// memory, marked as a database in WAL mode (file format versions 2), so that its first opener
// never needs a rollback journal beside it, which the group's members could not create.
struct MadeHive {
    QStringList schema; // "type name table sql" of every schema object, sorted
    QByteArray image;
};

const MadeHive& madeHive() {
    static const MadeHive made = [] {
        MadeHive m;
        sqlite3* db = nullptr;
        if (sqlite3_open(":memory:", &db) == SQLITE_OK &&
            sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
            sqlite3_exec(db,
                         QByteArray("PRAGMA application_id=" + QByteArray::number(kApplicationId) +
                                    "; PRAGMA user_version=" + QByteArray::number(kSchemaVersion))
                             .constData(),
                         nullptr, nullptr, nullptr) == SQLITE_OK) {
            sqlite3_stmt* s = nullptr;
            sqlite3_prepare_v2(db, kSchemaQuery, -1, &s, nullptr);
            while (s && sqlite3_step(s) == SQLITE_ROW) {
                m.schema << hivetext::columnText(s, 0);
            }
            sqlite3_finalize(s);
            sqlite3_int64 size = 0;
            if (unsigned char* bytes = sqlite3_serialize(db, "main", &size, 0)) {
                m.image = QByteArray(reinterpret_cast<const char*>(bytes), size);
                sqlite3_free(bytes);
                if (m.image.size() > 19) {
                    m.image[18] = 2;
                    m.image[19] = 2;
                }
            }
        }
        sqlite3_close(db);
        return m;
    }();
    return made;
}

bool runningAsRoot() {
    return ::geteuid() == 0;
}

bool exists(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 || errno != ENOENT;
}

} // namespace

HiveOpener::HiveOpener(HiveConnection& connection) : m_connection(connection) {}

void HiveOpener::closed() {
    m_asFound = false;
    m_initialised = false;
}

// What every open checks first: the hive is a regular file, reached without a link; and root's
// own conditions (see the class comment).
bool HiveOpener::mayOpen(bool forWrite) {
    const QString& path = m_connection.path();
    m_unsafe = false;
    m_strange = false;
    if (runningAsRoot() && !hivefiles::trustedFolder(path)) {
        m_unsafe = true;
        m_connection.setError(
            QStringLiteral("%1: the folder, or one above it, can be changed by other users than "
                           "root, so root does not use a hive there (setup-rights.sh install "
                           "closes /var/lib/quillon to them)")
                .arg(path));
        return false;
    }
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        m_connection.setError(QStringLiteral("cannot reach the hive %1: %2")
                                  .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        m_strange = true;
        m_connection.setError(
            S_ISLNK(st.st_mode)
                ? QStringLiteral("%1 is a symbolic link: the hive is only ever the file itself")
                      .arg(path)
                : QStringLiteral("%1 is not a regular file").arg(path));
        return false;
    }
    if (runningAsRoot() && exists(path + QStringLiteral("-journal"))) {
        m_strange = true;
        m_connection.setError(
            QStringLiteral("%1-journal lies beside the hive: root does not open a hive whose "
                           "journal another user may have written; remove it once no program "
                           "uses the hive")
                .arg(path));
        return false;
    }
    if (forWrite && sideFilesMissing()) {
        m_connection.setError(
            QStringLiteral("%1-wal or %1-shm is missing and this account cannot make it: run "
                           "setup-rights.sh install as root (/opt/quillon/setup-rights.sh once "
                           "installed)")
                .arg(path));
        return false;
    }
    return true;
}

// A member of the group may write the hive's files but not its folder: where the -wal or -shm
// file is gone (removed by a connection that did not keep them, such as an sqlite3 shell), no
// write can succeed until root makes them again. Root's own writes need no -shm file.
bool HiveOpener::sideFilesMissing() const {
    const QString& path = m_connection.path();
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::access(folder.constData(), W_OK | X_OK) == 0) {
        return false;
    }
    return !exists(path + QStringLiteral("-wal")) || !exists(path + QStringLiteral("-shm"));
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

// A hive holds Quillon's tables, indexes and view and nothing else (SQLite's own statistics
// tables aside): a trigger, a view or a table planted by anyone who may write the file is never
// trusted, even though the connection would not run it.
bool HiveOpener::checkSchema() {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(m_connection.handle(), kSchemaQuery, -1, &s, nullptr) != SQLITE_OK) {
        sqlite3_finalize(s);
        return m_connection.fail(
            sqlite3_errcode(m_connection.handle()),
            QStringLiteral("cannot read the hive %1").arg(m_connection.path()));
    }
    QStringList found;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        found << hivetext::columnText(s, 0);
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) {
        return m_connection.fail(
            rc, QStringLiteral("cannot read the hive %1").arg(m_connection.path()));
    }
    const QStringList& expected = madeHive().schema;
    QStringList strange;
    for (const QString& object : found) {
        if (!expected.contains(object)) {
            strange << object.section(u' ', 0, 1);
        }
    }
    m_foreign = !strange.isEmpty() || found.size() < expected.size();
    if (m_foreign) {
        m_connection.setError(
            QStringLiteral("%1 is damaged: it holds schema objects Quillon did not make (%2); "
                           "quillon-reg export can still read its values")
                .arg(m_connection.path(), strange.isEmpty()
                                              ? QStringLiteral("some of its own are missing")
                                              : strange.join(QStringLiteral(", "))));
    }
    return !m_foreign;
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
    if (!checkSchema() && !(m_allowForeign && !m_forWrite)) {
        return false;
    }
    // A damaged hive must never be written; one this connection cannot write anyway is read as
    // well as it can be, without the check's full pass over the file, and so is one this object
    // has checked before (SQLite reports damage it meets on the way).
    if (sqlite3_db_readonly(m_connection.handle(), "main") == 1 || (m_checked && !m_forWrite)) {
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
    m_checked = true;
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

// Makes a new hive whole under a name of its own, with its -wal and -shm files, then links it
// into place, which fails when another process got there first: two writers starting on a
// missing hive at once both find one complete hive, and nobody ever sees a half-made one.
bool HiveOpener::createHive() {
    const QString& path = m_connection.path();
    const QString folder = QFileInfo(path).absolutePath();
    if (!hivefiles::makeFolders(folder)) {
        m_connection.setError(QStringLiteral("cannot create the folder %1: %2")
                                  .arg(folder, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    const QByteArray& image = madeHive().image;
    if (image.isEmpty() || !hivefiles::placeNew(path, image)) {
        m_connection.setError(QStringLiteral("cannot create the hive %1: %2")
                                  .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    return true;
}

// Settings of a connection to a healthy hive. None of them is essential: a hive that cannot be
// switched to WAL (read-only rights) is still read correctly.
void HiveOpener::configure() {
    sqlite3* db = m_connection.handle();
    // Root reads the file through read(2) only: a mapping of a file the group's members may
    // truncate would end root's process with SIGBUS.
    if (!runningAsRoot()) {
        sqlite3_exec(db, "PRAGMA mmap_size=268435456", nullptr, nullptr, nullptr);
    }
    if (!sqlite3_db_readonly(db, "main")) {
        sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        // Writes are rare (a click, an import): syncing the log at every commit makes a rule
        // the user set survive a power cut too.
        sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
        // Keeping the -wal and -shm files after the last connection closes lets an account
        // without write rights on the folder still read the hive, and the group's members go on
        // writing it; the log is emptied instead, so that it does not grow with every write.
        int keep = 1;
        sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
        sqlite3_exec(db, "PRAGMA journal_size_limit=0", nullptr, nullptr, nullptr);
    }
}

HiveOpener::Ready HiveOpener::ready(bool forWrite) {
    m_connection.startCall();
    m_forWrite = forWrite;
    if (m_connection.handle() && m_asFound && forWrite) {
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
    if (!mayOpen(forWrite)) {
        return Ready::Failed;
    }
    if (!exists(path)) {
        if (!forWrite) {
            return Ready::NoHive;
        }
        if (!createHive() || !mayOpen(forWrite)) {
            return Ready::Failed;
        }
    }
    if (!openFile()) {
        m_connection.markBroken();
        return Ready::Failed;
    }
    if (!inspect()) {
        // SQLite reads a WAL database only through its -shm index, which an account that may
        // not write the folder cannot create once the last connection removed it (the sqlite3
        // shell, for one, removes it). With no -shm file and no log left, no connection has the
        // hive open and the database file holds every commit, so it is read as it lies.
        const int primary = m_connection.lastRc() & 0xff;
        if (forWrite || (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN) ||
            exists(path + QStringLiteral("-shm")) ||
            QFileInfo(path + QStringLiteral("-wal")).size() > 0) {
            m_connection.markBroken();
            return Ready::Failed;
        }
        return openAsFound();
    }
    return useInspected(forWrite);
}

// Opens the hive file. Root takes it for itself before anything reads it (the locking mode
// decides whether the -shm file is mapped). Two exclusive openers that each got the shared lock
// would wait on each other for the upgrade until both time out, so root does not wait with the
// lock held: it lets go of the file and tries again after a short, varying pause.
bool HiveOpener::openFile() {
    const QByteArray name = QFile::encodeName(m_connection.path());
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
    if (!runningAsRoot()) {
        return m_connection.open(name, flags);
    }
    QDeadlineTimer deadline(HiveConnection::kBusyTimeoutMs);
    for (;;) {
        if (!m_connection.open(name, flags)) {
            return false;
        }
        sqlite3_busy_timeout(m_connection.handle(), 0);
        if (m_connection.exec("PRAGMA locking_mode=EXCLUSIVE") &&
            m_connection.scalar("PRAGMA schema_version")) {
            sqlite3_busy_timeout(m_connection.handle(), HiveConnection::kBusyTimeoutMs);
            return true;
        }
        if ((m_connection.lastRc() & 0xff) != SQLITE_BUSY || deadline.hasExpired()) {
            return false;
        }
        m_connection.close();
        QThread::usleep(1000 + QRandomGenerator::global()->bounded(4000));
    }
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

// Opens the database file read as it lies, for the rest of the call or scope.
HiveOpener::Ready HiveOpener::openAsFound() {
    const QString& path = m_connection.path();
    m_connection.close();
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
    // folder (see sideFilesMissing).
    const QByteArray wal = file + "-wal";
    const QByteArray shm = file + "-shm";
    const bool sideFiles =
        ::access(wal.constData(), W_OK) == 0 && ::access(shm.constData(), W_OK) == 0;
    return sideFiles || ::access(folder.constData(), W_OK | X_OK) == 0;
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
        return r == Ready::Yes && sideFilesMissing() ? RegistryHive::Health::Incomplete
                                                     : RegistryHive::Health::Readable;
    }
    if (m_unsafe) {
        return RegistryHive::Health::Unsafe;
    }
    if (m_strange) {
        return RegistryHive::Health::Damaged;
    }
    const QByteArray file = QFile::encodeName(path);
    return ::access(file.constData(), R_OK) == 0 ? RegistryHive::Health::Damaged
                                                 : RegistryHive::Health::NoAccess;
}

} // namespace quillon::platform
