#pragma once

#include "platform/RegistryHive.h"

#include <QString>

namespace quillon::settings {

// Every switch the program keeps under its options key. Adding one means a row in the table
// of Switches.cpp; nothing else names a switch's stored value.
enum class Switch {
    WarnSys,  // "1": the notice about hiding in the tray is no longer shown
    WarnExit, // "1": the exit prompt is no longer shown
    Level,    // the security level, 1 (high) to 3 (low)
    Subnet,   // "1": local-network addresses are let through unasked
    ListMode, // "1": the connection list hides the listening sockets
    Ipv6,     // "0": IPv6 connections are neither listed nor judged
};

// The stored switches, typed: the table of value names and defaults, and the settings the
// guard reads on every tick and the block decision on every connection, kept in memory.
//
// The decision's settings are read from the hive once and then follow the console's
// controls, which write them here and through to the hive; a hive that refuses the write
// does not undo the user's choice for the running program. After load() or invalidate()
// the next read takes what the hive holds then.
class Switches {
public:
    explicit Switches(platform::RegistryHive& hive) : hive_(hive) {}

    // The registry value a switch is stored under, and the text it counts as when nothing
    // usable is stored.
    static QString valueName(Switch which);
    static QString defaultValue(Switch which);

    // The stored text, or the empty text when the value is missing or cannot be read.
    QString read(Switch which) const;
    // Stores a switch; false when the hive refused it.
    bool write(Switch which, const QString& data);

    // The levels a decision knows.
    static constexpr int kLevelHigh = 1;
    static constexpr int kLevelLow = 3;

    // Local-network addresses are let through unasked.
    bool subnet();
    void setSubnet(bool on);
    // The security level, always one of kLevelHigh..kLevelLow: a stored level that is not
    // one of them counts as the default.
    int level();
    void setLevel(int level);
    // IPv6 connections are listed and judged. Only a stored "0" turns them off: a firewall's
    // rules must hold whatever the address family, so any other text counts as on.
    bool ipv6();
    void setIpv6(bool on);

    // The switches stored as "1" (on) or "0", read from the hive at each call. A value that
    // is missing, unreadable or any other text counts as off. The setters are false when the
    // hive refused the write.
    //
    // The notice about hiding in the tray is no longer shown.
    bool warnSysSilenced() const;
    bool setWarnSysSilenced(bool silenced);
    // The exit prompt is no longer shown: ending asks nothing.
    bool warnExitSilenced() const;
    bool setWarnExitSilenced(bool silenced);
    // The connection list hides the listening sockets.
    bool listeningHidden() const;
    bool setListeningHidden(bool hidden);

    // Reads the decision's settings from the hive now.
    void load();
    // The same after another process changed the hive, where a switch that cannot be read
    // keeps the value in force (a damaged hive must not swap the user's level for the
    // default).
    void follow();
    // Forgets them: the next read takes them from the hive again.
    void invalidate() { loaded_ = false; }

private:
    void ensureLoaded();
    bool isOn(Switch which) const;
    bool writeOn(Switch which, bool on);

    platform::RegistryHive& hive_;
    bool loaded_ = false;
    bool subnet_ = false;
    int level_ = 2;
    bool ipv6_ = true;
};

} // namespace quillon::settings
