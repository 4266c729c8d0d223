#include "platform/HiveChanges.h"

namespace quillon::platform {

using Use = HiveConnection::Use;

HiveChanges::HiveChanges(HiveConnection& connection, HiveOpener& opener, HiveKeys& keys)
    : m_connection(connection), m_opener(opener), m_keys(keys) {}

void HiveChanges::leaveScope() {
    if (--m_scopes == 0) {
        endRead();
    }
    m_connection.release();
}

void HiveChanges::closed() {
    m_readOpen = false;
    m_dataVersion = -1;
}

HiveOpener::Ready HiveChanges::openRead() {
    const HiveOpener::Ready r = m_opener.ready(false);
    return r == HiveOpener::Ready::Yes && !beginRead() ? HiveOpener::Ready::Failed : r;
}

// Learning of other connections' commits goes through SQLite's own counter: PRAGMA
// data_version, run as the transaction's first statement, takes the snapshot and reports in the
// same step whether anything was committed since the last transaction, so no commit can slip in
// between the check and the snapshot. Nothing of SQLite's files is ever touched directly: a
// descriptor of the -shm file opened and closed by the program would drop SQLite's own locks on
// it (POSIX record locks belong to the process), and the next connection would then rebuild the
// index under this one.
bool HiveChanges::beginRead() {
    if (m_readOpen) {
        return true;
    }
    if (!m_connection.run(HiveConnection::Begin)) {
        return false;
    }
    Use s(m_connection.stmt(HiveConnection::DataVersion));
    if (!s || m_connection.step(s.get()) != SQLITE_ROW) {
        m_connection.run(HiveConnection::Rollback);
        return false;
    }
    const sqlite3_int64 version = sqlite3_column_int64(s.get(), 0);
    if (version != m_dataVersion) {
        m_keys.forget();
        m_dataVersion = version;
    }
    m_readOpen = true;
    return true;
}

void HiveChanges::endRead() {
    if (m_readOpen) {
        m_readOpen = false;
        if (!m_connection.run(HiveConnection::Commit)) {
            m_connection.run(HiveConnection::Rollback);
        }
    }
}

// A scope's reads go on in a new transaction after the write, which they see. Whatever the
// outcome, the keys this connection resolved may have changed; and a commit of its own does not
// move the counter of other connections' commits.
void HiveChanges::beginWrite() {
    endRead();
    m_keys.forget();
}

} // namespace quillon::platform
