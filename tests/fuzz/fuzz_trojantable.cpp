// The trojan port table over any file content, asked for a few ports, among them the first
// field of the file's first line (so that matches are reached too).
#include "FuzzInput.h"
#include "core/blocking/TrojanTable.h"

using quillon::blocking::TrojanTable;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const TrojanTable table(quillon::fuzz::inputFile(data, size));
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype sep = bytes.indexOf('\x01');
    const QString first =
        QString::fromLatin1(bytes.left(sep < 0 ? 8 : std::min<qsizetype>(sep, 8)));
    for (const QString& port : {first, QStringLiteral("80"), QStringLiteral("31337"), QString()}) {
        const std::optional<bool> is = table.IsTrojan(port);
        const std::optional<QString> what = table.GetTrojan(port);
        // A port the table describes is one it lists.
        quillon::fuzz::require(!(what && !what->isEmpty() && is && !*is),
                               "a described port is listed");
    }
    return 0;
}
