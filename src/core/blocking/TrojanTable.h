#pragma once

#include <QString>
#include <optional>

namespace quillon::blocking {

// The table of known trojan ports, QLWD.dat beside the executable: GBK lines ended by CR LF
// or a lone CR, fields split by byte 0x01 (port, description, ignored rest). Nothing is
// kept in memory: every call reads the file from its start to the first match.
class TrojanTable {
public:
    // `filePath` is the full path of QLWD.dat.
    explicit TrojanTable(QString filePath);

    QString filePath() const { return path_; }

    // Whether some line's first field equals `port` exactly; nullopt for an error (the file
    // cannot be opened, or a line before the match has no separator).
    std::optional<bool> IsTrojan(const QString& port) const;

    // The description of the first line whose first field equals `port`, or the empty text;
    // nullopt for an error (the file cannot be opened, or a line before the match lacks
    // either separator).
    std::optional<QString> GetTrojan(const QString& port) const;

private:
    QString path_;
};

} // namespace quillon::blocking
