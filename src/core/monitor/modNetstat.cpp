#include "core/monitor/modNetstat.h"

#include "platform/Inet.h"

#include <QByteArray>
#include <utility>

namespace quillon::monitor::modNetstat {

std::array<QString, 14> TcpStateNames;

void InitStateNames() {
    TcpStateNames = {
        QStringLiteral("未知连接"),       QStringLiteral("封锁连接"),
        QStringLiteral("监听连接"),       QStringLiteral("SYN_SENT连接"),
        QStringLiteral("SYN_RCVD连接"),   QStringLiteral("待定连接"),
        QStringLiteral("FIN_WAIT1连接"),  QStringLiteral("FIN_WAIT2连接"),
        QStringLiteral("CLOSE_WAIT连接"), QStringLiteral("结束连接"),
        QStringLiteral("LAST_ACK连接"),   QStringLiteral("TIME_WAIT连接"),
        QStringLiteral("DELETE_TCB连接"), QString(),
    };
}

QString StateText(qint32 state) {
    if (state < 0 || state >= static_cast<qint32>(TcpStateNames.size())) {
        return {};
    }
    return TcpStateNames[static_cast<size_t>(state)];
}

QString AddressText(const char* converted) {
    if (!converted) {
        return QStringLiteral("无法获得IP");
    }
    // An IPv6 address text has at most 45 characters; the cap only guards odd converters.
    return QString::fromLatin1(converted,
                               static_cast<qsizetype>(qstrnlen(converted, kMaxAddressText)));
}

QString IpToText(quint32 address) {
    char text[platform::Inet::kIpv4TextSize];
    return AddressText(platform::Inet::Ipv4ToText(address, text));
}

QString Ipv6ToText(const std::array<quint32, 4>& address) {
    char text[platform::Inet::kIpv6TextSize];
    return AddressText(platform::Inet::Ipv6ToText(address, text));
}

QString PortText(quint32 field) {
    // The port sits in network byte order in the low 16 bits: the byte in bits 0..7 is the
    // high byte of the port. Only those 16 bits count, so the text is always 0..65535.
    const quint32 port = ((field & 0xFF) << 8) | ((field >> 8) & 0xFF);
    return QString::number(port);
}

QString RemoteAddressText(const platform::TcpRow& row) {
    return row.ipv6 ? Ipv6ToText(row.remote6) : IpToText(row.dwRemoteAddr);
}

SharedOwner::SharedOwner(platform::SocketOwner owner) {
    if (!owner.empty()) {
        owner_ = std::make_shared<const platform::SocketOwner>(std::move(owner));
    }
}

const platform::SocketOwner& SharedOwner::none() {
    static const platform::SocketOwner empty;
    return empty;
}

SharedOwner OwnerPool::share(platform::SocketOwner&& owner) {
    // A row without a socket has no owner, and needs no record.
    if (owner.empty()) {
        return {};
    }
    auto& same = held_[owner.pid];
    for (const auto& held : same) {
        if (held->shared == owner.shared && held->user == owner.user && held->path == owner.path &&
            held->command == owner.command) {
            return SharedOwner(held);
        }
    }
    same.push_back(std::make_shared<const platform::SocketOwner>(std::move(owner)));
    return SharedOwner(same.back());
}

namespace {

// A connection row from its kernel row and the texts made for it, by whichever maker.
ConnectionRow assemble(const platform::TcpRow& row, qsizetype position, QString remA, QString remP,
                       QString locP) {
    ConnectionRow r;
    r.RemA = std::move(remA);
    r.RemP = std::move(remP);
    r.LocP = std::move(locP);
    r.state = static_cast<qint16>(row.dwState);
    r.position = position;
    r.identity = row;
    return r;
}

} // namespace

ConnectionRow MakeConnectionRow(const platform::TcpRow& row, qsizetype position) {
    return assemble(row, position, RemoteAddressText(row), PortText(row.dwRemotePort),
                    PortText(row.dwLocalPort));
}

ConnectionRow RowMaker::make(const platform::TcpRow& row, qsizetype position) {
    return assemble(row, position, row.ipv6 ? Ipv6ToText(row.remote6) : address(row.dwRemoteAddr),
                    port(row.dwRemotePort), port(row.dwLocalPort));
}

const QString& RowMaker::port(quint32 field) {
    if (ports_.empty()) {
        ports_.resize(0x10000);
    }
    QString& text = ports_[field & 0xFFFF];
    if (text.isNull()) {
        text = PortText(field);
    }
    return text;
}

const QString& RowMaker::address(quint32 address) {
    auto it = addresses_.find(address);
    if (it == addresses_.end()) {
        it = addresses_.insert(address, IpToText(address));
    }
    return *it;
}

} // namespace quillon::monitor::modNetstat
