#pragma once

#include "platform/HiveConnection.h"
#include "platform/HiveKeys.h"
#include "platform/HiveOpener.h"

#include <sqlite3.h>

namespace quillon::platform {

// The transactions the hive's calls run in, and how the connection learns of commits. A read
// runs in the open ReadScope's transaction, else in one of its own; a write in one immediate
// transaction. Every commit the connection learns of, its own or another's, makes it forget
// the key ids it resolved.
class HiveChanges {
public:
    HiveChanges(HiveConnection& connection, HiveOpener& opener, HiveKeys& keys);

    // ReadScopes nest; the outermost one ends the transaction and closes the connection.
    void enterScope() {
        ++m_scopes;
        m_connection.hold();
    }
    void leaveScope();

    // Opens the hive for reading unless a read transaction is open, and starts one.
    HiveOpener::Ready startRead() { return m_readOpen ? HiveOpener::Ready::Yes : openRead(); }
    // Ends what startRead began: the transaction, unless the call went well and a scope goes
    // on, and a connection found broken. (Both are inline: every lookup of a list rebuild
    // passes here.)
    void finishRead(bool ok) {
        if (!ok || m_scopes == 0) {
            endRead();
        }
        m_connection.endCall();
    }
    // Forgets what it knew of a connection that closes.
    void closed();

    // Runs `body` in one read transaction (deferred: readers never block writers).
    template <typename Body>
    bool read(Body&& body) {
        if (startRead() != HiveOpener::Ready::Yes) {
            finishRead(false);
            return false;
        }
        const bool ok = body();
        finishRead(ok);
        return ok;
    }

    // Runs `body` as one write transaction: it takes the write lock before reading anything,
    // so two writers never deadlock, and a crash at any point leaves the previous state.
    template <typename Body>
    bool write(Body&& body) {
        beginWrite();
        if (m_opener.ready(true) != HiveOpener::Ready::Yes) {
            m_connection.endCall();
            return false;
        }
        bool ok = m_connection.run(HiveConnection::BeginImmediate);
        if (ok) {
            ok = body() && m_connection.run(HiveConnection::Commit);
            if (!ok) {
                m_connection.run(HiveConnection::Rollback);
            }
        }
        if (ok) {
            m_connection.clearError();
            m_connection.wrote();
        }
        m_connection.endCall();
        return ok;
    }

private:
    HiveOpener::Ready openRead();
    bool beginRead();
    void endRead();
    void beginWrite();

    HiveConnection& m_connection;
    HiveOpener& m_opener;
    HiveKeys& m_keys;
    // Live ReadScopes, and whether their read transaction is open (it opens at the first read).
    int m_scopes = 0;
    bool m_readOpen = false;
    // SQLite's count of commits made by other connections, as of the last read transaction.
    sqlite3_int64 m_dataVersion = -1;
};

} // namespace quillon::platform
