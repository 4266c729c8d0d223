#include "monitor/modNetstat.h"

#include <QtEndian>

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

QString IpToText(quint32 address) {
    // The address is in network byte order: its lowest-addressed byte is the first octet.
    // Formatting the four bytes ourselves cannot fail, unlike the C library's converters;
    // the failure text stays for callers that have no address at all.
    const auto* b = reinterpret_cast<const unsigned char*>(&address);
    QString text;
    text.reserve(15);
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            text += QLatin1Char('.');
        }
        text += QString::number(b[i]);
    }
    return text.isEmpty() ? QStringLiteral("无法获得IP") : text;
}

QString PortText(quint32 field) {
    return QString::number(qFromBigEndian(static_cast<quint16>(field & 0xFFFF)));
}

ConnectionRow MakeConnectionRow(const platform::TcpRow& row, qint16 position) {
    ConnectionRow r;
    r.RemA = IpToText(row.dwRemoteAddr);
    r.RemP = PortText(row.dwRemotePort);
    r.LocP = PortText(row.dwLocalPort);
    r.state = static_cast<qint16>(row.dwState);
    r.position = position;
    r.identity = row;
    return r;
}

} // namespace quillon::monitor::modNetstat
