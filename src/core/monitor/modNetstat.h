#pragma once

#include "platform/SocketOwners.h"
#include "platform/TcpTable.h"

#include <QHash>
#include <QString>
#include <array>
#include <memory>
#include <unordered_map>
#include <vector>

// Turns kernel rows into the texts the rest of the program handles.
namespace quillon::monitor::modNetstat {

// State texts indexed by state number 0..13; empty until InitStateNames runs.
extern std::array<QString, 14> TcpStateNames;

// Fills TcpStateNames; calling it again rewrites the same texts.
void InitStateNames();

// The state's text, or the empty text for a number with no entry.
QString StateText(qint32 state);

// The longest address text: an IPv6 address with an IPv4 tail.
inline constexpr int kMaxAddressText = 45;

// Dotted-decimal text of an address in network byte order, or "无法获得IP".
QString IpToText(quint32 address);

// Canonical text of an IPv6 address (four words in network byte order), or "无法获得IP".
QString Ipv6ToText(const std::array<quint32, 4>& address);

// The text of a converter's result: "无法获得IP" when it produced nothing, else at most its
// first kMaxAddressText characters.
QString AddressText(const char* converted);

// Unsigned decimal text of a port field (network byte order in the low 16 bits).
QString PortText(quint32 field);

// The remote address text of a kernel row: dotted decimal, or canonical IPv6 text for an
// IPv6 connection.
QString RemoteAddressText(const platform::TcpRow& row);

// The program behind a connection, held once and shared by every row it owns: a big table
// has many rows and few programs, and a copy per row would cost more than the rest of the
// row. Reads as a platform::SocketOwner; an empty one holds nothing.
class SharedOwner {
public:
    SharedOwner() = default;
    SharedOwner(platform::SocketOwner owner);
    SharedOwner(std::shared_ptr<const platform::SocketOwner> owner) : owner_(std::move(owner)) {}

    const platform::SocketOwner& get() const { return owner_ ? *owner_ : none(); }
    operator const platform::SocketOwner&() const { return get(); }
    bool hasProcess() const { return get().hasProcess(); }
    bool empty() const { return get().empty(); }

private:
    static const platform::SocketOwner& none();
    std::shared_ptr<const platform::SocketOwner> owner_;
};

// Hands out one SharedOwner per distinct owner. Meant to live for one snapshot.
class OwnerPool {
public:
    SharedOwner share(platform::SocketOwner&& owner);

private:
    // By process id; a process's sockets differ at most in user and sharing.
    std::unordered_map<qint32, std::vector<std::shared_ptr<const platform::SocketOwner>>> held_;
};

// One connection as the program hands it around: the three texts in the order remote
// address (dotted decimal, or canonical IPv6 text for an IPv6 connection), remote port, local
// port, the state, the row position in its snapshot, and the kernel identity, so that a cut
// made later acts on this very connection.
struct ConnectionRow {
    QString RemA;
    QString RemP;
    QString LocP;
    qint16 state = 0;
    qsizetype position = 0;
    platform::TcpRow identity;
    SharedOwner owner; // the program behind it, when looked up
};

ConnectionRow MakeConnectionRow(const platform::TcpRow& row, qsizetype position);

// Makes the rows of one snapshot. The text of an IPv4 address or of a port is made once and
// shared by every row showing it: a big table repeats few addresses, and each port of a
// loopback connection shows on both of its rows. Meant to live for one snapshot.
class RowMaker {
public:
    ConnectionRow make(const platform::TcpRow& row, qsizetype position);

private:
    const QString& port(quint32 field);
    const QString& address(quint32 address);

    std::vector<QString> ports_;
    QHash<quint32, QString> addresses_;
};

} // namespace quillon::monitor::modNetstat
