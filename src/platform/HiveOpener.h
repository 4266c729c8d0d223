#pragma once

#include "platform/RegistryHive.h"

namespace quillon::platform {

class HiveConnection;

// Opens the hive for a call and says what state it is in: a read of a hive that does not exist
// yet answers "no hive" and creates nothing; the first write creates the folder and the
// database. A file that is not SQLite, some other program's database, a damaged or a newer hive,
// or one holding schema objects Quillon did not make, is never written. A hive this account may
// only read and whose -shm index is gone is read as the file lies.
//
// Root uses a hive only in a folder no other user can change, never through a link and never
// with a rollback journal beside it (which the next opener would roll into the database), and
// takes it for itself while it uses it: in exclusive locking mode SQLite keeps the log's index
// in root's own memory instead of mapping the -shm file, which the group's members may write
// (one truncating it would otherwise kill root's process with SIGBUS).
class HiveOpener {
public:
    enum class Ready { Yes, NoHive, Failed };

    explicit HiveOpener(HiveConnection& connection);

    // Makes sure a usable connection exists.
    Ready ready(bool forWrite);
    // Forgets what it saw through a connection that closes.
    void closed();

    bool writable();
    RegistryHive::Health health();
    // Reads (never writes) of a hive refused only for schema objects of someone else's: what
    // can still be read of its keys and values.
    void allowForeignSchema(bool allow) { m_allowForeign = allow; }

private:
    bool mayOpen(bool forWrite);
    bool openFile();
    bool sideFilesMissing() const;
    bool checkSchema();
    bool inspect();
    bool inspectNow();
    bool initialise();
    bool createHive();
    void configure();
    Ready useInspected(bool forWrite);
    Ready openAsFound();

    HiveConnection& m_connection;
    bool m_initialised = false;
    // The connection reads the database file as it lies, without locks (see ready()).
    bool m_asFound = false;
    // Whether this object has checked the whole file once: reads check it at the first open, a
    // write at every open (a damaged hive must never be written).
    bool m_checked = false;
    bool m_forWrite = false;
    // Why the last open was refused, for health().
    bool m_unsafe = false;
    bool m_strange = false; // a link, not a regular file, or a journal beside it
    bool m_foreign = false;
    bool m_allowForeign = false;
};

} // namespace quillon::platform
