#include "platform/HiveConnection.h"

#include "platform/HiveText.h"

namespace quillon::platform {

namespace {

constexpr std::array<const char*, HiveConnection::StmtCount> kSql = {
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

} // namespace

HiveConnection::HiveConnection(QString path) : m_path(std::move(path)) {}

// The owner closes the connection while what the close handler touches still lives.
HiveConnection::~HiveConnection() {
    closeHandle();
}

// The file itself only (never through a symbolic link), and nothing in it that runs code: the
// settings come before the first statement reads the schema.
bool HiveConnection::open(const QByteArray& name, int flags) {
    const int rc = sqlite3_open_v2(name.constData(), &m_db, flags | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
        fail(rc, QStringLiteral("cannot open the hive %1").arg(m_path));
        close();
        return false;
    }
    for (const int setting :
         {SQLITE_DBCONFIG_ENABLE_TRIGGER, SQLITE_DBCONFIG_ENABLE_VIEW,
          SQLITE_DBCONFIG_TRUSTED_SCHEMA, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION}) {
        sqlite3_db_config(m_db, setting, 0, nullptr);
    }
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    return true;
}

void HiveConnection::close() {
    if (m_onClose) {
        m_onClose();
    }
    closeHandle();
    m_broken = false;
    if (m_wrote) {
        m_wrote = false;
        if (m_onClosedAfterWrite) {
            m_onClosedAfterWrite();
        }
    }
}

void HiveConnection::closeHandle() {
    for (auto& s : m_stmts) {
        sqlite3_finalize(s);
        s = nullptr;
    }
    if (m_db) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
}

void HiveConnection::startCall() {
    m_broken = false;
    m_error.clear();
}

bool HiveConnection::fail(int rc, const QString& what) {
    m_lastRc = rc;
    const int primary = rc & 0xff;
    m_error =
        what + QStringLiteral(": ") +
        (m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(rc)));
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_IOERR ||
        primary == SQLITE_CANTOPEN || rc == SQLITE_READONLY_DBMOVED) {
        m_broken = true;
    }
    return false;
}

sqlite3_stmt* HiveConnection::stmt(Stmt which) {
    if (!m_stmts[which]) {
        m_stmts[which] = prepare(which);
    }
    return m_stmts[which];
}

sqlite3_stmt* HiveConnection::prepare(Stmt which) {
    sqlite3_stmt* s = nullptr;
    const int rc =
        sqlite3_prepare_v3(m_db, kSql[which], -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(s);
        fail(rc, QStringLiteral("cannot prepare a query"));
        return nullptr;
    }
    return s;
}

void HiveConnection::failedStep(int rc) {
    fail(rc, QStringLiteral("cannot use the hive %1").arg(m_path));
}

bool HiveConnection::run(Stmt which) {
    Use s(stmt(which));
    return s && step(s.get()) == SQLITE_DONE;
}

bool HiveConnection::exec(const char* sql) {
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK || fail(rc, QStringLiteral("cannot update the hive"));
}

std::optional<QString> HiveConnection::scalar(const char* sql) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(m_db, sql, -1, &s, nullptr);
    std::optional<QString> result;
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) {
            result = hivetext::columnText(s, 0);
        } else if (rc == SQLITE_DONE) {
            result = QString();
        }
    }
    if (!result) {
        fail(rc, QStringLiteral("cannot read the hive %1").arg(m_path));
    }
    sqlite3_finalize(s);
    return result;
}

} // namespace quillon::platform
