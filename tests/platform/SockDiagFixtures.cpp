#include "SockDiagFixtures.h"

#include <QFile>
#include <QtEndian>

namespace quillon::test::sockdiag {

std::vector<QByteArray> readDatagrams(const QString& path) {
    std::vector<QByteArray> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return out;
    }
    const QByteArray all = f.readAll();
    qsizetype at = 0;
    while (at + 4 <= all.size()) {
        const quint32 len = qFromLittleEndian<quint32>(all.constData() + at);
        at += 4;
        if (len > static_cast<quint32>(all.size() - at)) {
            break;
        }
        out.push_back(all.mid(at, static_cast<qsizetype>(len)));
        at += static_cast<qsizetype>(len);
    }
    return out;
}

bool writeDatagrams(const QString& path, const std::vector<QByteArray>& datagrams) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    for (const QByteArray& d : datagrams) {
        char len[4];
        qToLittleEndian<quint32>(static_cast<quint32>(d.size()), len);
        f.write(len, 4);
        f.write(d);
    }
    return f.error() == QFile::NoError;
}

} // namespace quillon::test::sockdiag
