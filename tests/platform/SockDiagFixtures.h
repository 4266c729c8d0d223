#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

// Recorded sock_diag dumps in tests/data/sockdiag: each file is the datagrams of one dump as
// they were received, each one stored as a 32-bit little-endian length and its bytes.
namespace quillon::test::sockdiag {

std::vector<QByteArray> readDatagrams(const QString& path);
bool writeDatagrams(const QString& path, const std::vector<QByteArray>& datagrams);

} // namespace quillon::test::sockdiag
