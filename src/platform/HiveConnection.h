#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <functional>
#include <optional>
#include <sqlite3.h>

namespace quillon::platform {

// One SQLite connection to a hive file, the statements cached on it and the record of the last
// error met through it. The connection lives for one call, or for one ReadScope while one is
// held: nothing is kept open between operations, so that another process (root, which takes
// the hive for itself while it uses it) never waits long for this one. A connection found
// damaged, moved or unreadable is closed at the end of its call too (endCall).
//
// Every connection is defensive: no triggers, no views, no untrusted functions in the schema,
// no extensions, and no writes to the schema tables. The hive's files may be written by every
// member of its group, and what one member plants must never run inside another's (or root's)
// writes.
class HiveConnection {
public:
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

    // A writer holds the lock for one short transaction (an import of a large file a little
    // longer); in WAL mode readers never wait for writers.
    static constexpr int kBusyTimeoutMs = 5000;

    explicit HiveConnection(QString path);
    ~HiveConnection();
    HiveConnection(const HiveConnection&) = delete;
    HiveConnection& operator=(const HiveConnection&) = delete;

    const QString& path() const { return m_path; }
    sqlite3* handle() const { return m_db; }

    // Runs before the connection closes, so that statements prepared on it are finalized and
    // whatever was learnt through it is forgotten.
    void onClose(std::function<void()> handler) { m_onClose = std::move(handler); }
    // Runs once a connection that committed a write has closed (its last changes to the files,
    // the checkpoint included, made).
    void onClosedAfterWrite(std::function<void()> handler) {
        m_onClosedAfterWrite = std::move(handler);
    }
    void wrote() { m_wrote = true; }

    bool open(const QByteArray& name, int flags);
    // Rolls back whatever transaction a failure left open.
    void close();

    // A call starts with no error and a sound connection; it ends by closing the connection
    // unless a scope holds it, and a broken one in any case.
    void startCall();
    void endCall() {
        if (m_broken || m_holds == 0) {
            close();
        }
    }
    void markBroken() { m_broken = true; }
    // While held (by a ReadScope), the connection outlives the calls made in it.
    void hold() { ++m_holds; }
    void release() {
        --m_holds;
        endCall();
    }

    // The statement cached on the connection, prepared at its first use.
    sqlite3_stmt* stmt(Stmt which);
    // A statement of the caller's own, which it finalizes before the connection closes.
    sqlite3_stmt* prepare(Stmt which);
    // One statement step with errors recorded; returns SQLITE_ROW, SQLITE_DONE or an error.
    int step(sqlite3_stmt* s) {
        const int rc = sqlite3_step(s);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            failedStep(rc);
        }
        return rc;
    }
    bool run(Stmt which);
    // Steps a cached statement over the rows of one key, its id bound first, handing each row
    // to `row`; false on error.
    template <typename Row>
    bool eachRow(Stmt which, sqlite3_int64 id, Row&& row) {
        Use s(stmt(which));
        if (!s) {
            return false;
        }
        sqlite3_bind_int64(s.get(), 1, id);
        int rc;
        while ((rc = step(s.get())) == SQLITE_ROW) {
            row(s.get());
        }
        return rc == SQLITE_DONE;
    }
    bool exec(const char* sql);
    // Runs a one-row pragma or query and returns its first column as text; nullopt on error.
    std::optional<QString> scalar(const char* sql);

    // Records a failure of SQLite; always false.
    bool fail(int rc, const QString& what);
    int lastRc() const { return m_lastRc; }
    const QString& error() const { return m_error; }
    void setError(const QString& error) { m_error = error; }
    void clearError() { m_error.clear(); }

private:
    void failedStep(int rc);
    void closeHandle();

    QString m_path;
    sqlite3* m_db = nullptr;
    std::array<sqlite3_stmt*, StmtCount> m_stmts{};
    std::function<void()> m_onClose;
    std::function<void()> m_onClosedAfterWrite;
    bool m_wrote = false;
    QString m_error;
    int m_lastRc = SQLITE_OK;
    bool m_broken = false;
    int m_holds = 0;
};

} // namespace quillon::platform
