#pragma once

#include <QString>
#include <QStringView>
#include <optional>

// What the console accepts as a new rule item. The block decision looks rules up by the exact
// text the connection list shows (plain decimal ports, dotted-decimal addresses without
// leading zeros, IPv6 addresses as inet_ntop writes them), so an item is stored in that form
// or not at all: an item in any other spelling would be a rule that silently never matches.
namespace quillon::settings::RuleEntry {

// A whole number 1-65535, surrounding white space allowed; its plain decimal text
// (" 080 " gives "80"). nullopt for anything else: no connection has port 0.
std::optional<QString> port(QStringView text);

// Why port() refuses `text`, in one line for the console; empty when it takes it.
QString whyNotPort(QStringView text);

// A dotted-decimal IPv4 address (four parts of 1-3 digits, each at most 255) or an IPv6
// address, surrounding white space allowed; its canonical text ("010.0.0.001" gives
// "10.0.0.1", "2001:DB8::0:1" gives "2001:db8::1", an IPv4-mapped "::ffff:10.0.0.1" gives
// "10.0.0.1"). nullopt for anything else.
std::optional<QString> address(QStringView text);

// Why address() refuses `text`, in one line for the console; empty when it takes it.
QString whyNotAddress(QStringView text);

} // namespace quillon::settings::RuleEntry
