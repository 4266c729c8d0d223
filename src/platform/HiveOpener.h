#pragma once

#include "platform/RegistryHive.h"

#include <sys/stat.h>

namespace quillon::platform {

class HiveConnection;

// Opens the hive for a call and says what state it is in: a read of a hive that does not exist
// yet answers "no hive" and creates nothing; the first write creates the folder and the
// database. A file that is not SQLite, some other program's database, a damaged or a newer hive
// is never written. A hive this account may only read and whose -shm index is gone is read as
// the file lies, for as long as it stays untouched.
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

private:
    bool stillAsFound() const;
    bool inspect();
    bool inspectNow();
    bool initialise();
    bool createHive();
    void configure();
    Ready useInspected(bool forWrite);
    Ready openAsFound();

    HiveConnection& m_connection;
    bool m_initialised = false;
    // The connection reads the database file as it lies, without locks (see ready()); it is
    // dropped as soon as the file changes or a -shm index appears.
    bool m_asFound = false;
    struct stat m_foundStat {};
};

} // namespace quillon::platform
