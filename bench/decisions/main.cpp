// Every list rebuild decides every connection, and at the medium level each decision asks the
// hive six times (the three rule keys, once for the deny test and once for the allow test).
// This times 10,000 such decisions against hives of 100, 10,000 and 100,000 rules:
//
//   lookups   the six lookups through modReg, as the decision makes them: the rule keys
//             folded once, one read transaction for the 10,000 decisions (as for one list
//             rebuild), one index seek per lookup on the key's id
//   decision  the whole block decision (blocking::Decide) over the same lookups
//   two-seek  the same six lookups as a join of the key by its folded path and the value by
//             its folded name, each key path checked and folded at every lookup, under the
//             same read transaction and change detection: the lookup the hive had before
//   peer      the same six lookups done by enumerating the whole key and comparing every
//             name, the classic enumerate-until-it-matches lookup
//
// The enumeration peer is timed on as many decisions as fit in about a second and scaled to
// 10,000. The others are timed as the best of five runs, wall and processor time.
// Target: the lookups at most 0.65 x the two-seek lookups at 100,000 rules.
//
//   bench_decisions [RULES...]      (default 100 10000 100000)

#include "core/blocking/Decision.h"
#include "core/settings/modReg.h"
#include "support/BenchTiming.h"

#include <QAnyStringView>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QVarLengthArray>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <sqlite3.h>
#include <unistd.h>
#include <vector>

using quillon::platform::RegistryHive;
namespace modReg = quillon::settings::modReg;
namespace blocking = quillon::blocking;
using quillon::test::bestOf;
using quillon::test::Timing;

namespace {

constexpr int kConnections = 10000;
constexpr double kTargetMs = 150.0;
constexpr double kTargetTwoSeekRatio = 0.65;
constexpr int kRuns = 5;
constexpr qint64 kPeerBudgetMs = 1000;

struct Connection {
    QString RemA;
    QString RemP;
    QString LocP;
};

QString address(std::mt19937& rng) {
    std::uniform_int_distribution<int> octet(1, 254);
    return QStringLiteral("%1.%2.%3.%4")
        .arg(std::uniform_int_distribution<int>(11, 223)(rng))
        .arg(octet(rng))
        .arg(octet(rng))
        .arg(octet(rng));
}

// A hive holding `rules` rules: 80 % addresses, 10 % remote ports, 10 % local ports, deny
// and allow mixed; and 10,000 connections of which about half have a rule of some kind.
void build(RegistryHive& hive, int rules, std::vector<Connection>& connections) {
    std::mt19937 rng(20050701u + static_cast<unsigned>(rules));
    std::vector<QString> addresses;
    std::vector<QString> remotePorts;
    std::vector<QString> localPorts;
    std::vector<RegistryHive::Change> changes;
    using Kind = RegistryHive::Change::Kind;
    for (int i = 0; i < rules; ++i) {
        const QString verdict = (i % 3 == 0) ? QStringLiteral("0") : QStringLiteral("1");
        if (i % 10 < 8) {
            addresses.push_back(address(rng));
            changes.push_back({Kind::SetValue, modReg::BlockIpKey, addresses.back(), verdict});
        } else if (i % 10 == 8) {
            remotePorts.push_back(QString::number(1 + i % 65535));
            changes.push_back({Kind::SetValue, modReg::BlockRpKey, remotePorts.back(), verdict});
        } else {
            localPorts.push_back(QString::number(1 + (i * 7) % 65535));
            changes.push_back({Kind::SetValue, modReg::BlockLpKey, localPorts.back(), verdict});
        }
    }
    changes.push_back({Kind::CreateKey, modReg::BlockRpKey, {}, {}});
    changes.push_back({Kind::CreateKey, modReg::BlockLpKey, {}, {}});
    if (!hive.apply(changes)) {
        std::fprintf(stderr, "cannot build the hive: %s\n", qPrintable(hive.lastError()));
        std::exit(1);
    }
    auto pick = [&](const std::vector<QString>& from, QString fresh) {
        if (!from.empty() && rng() % 2 == 0) {
            return from[rng() % from.size()];
        }
        return fresh;
    };
    connections.clear();
    for (int i = 0; i < kConnections; ++i) {
        connections.push_back({pick(addresses, address(rng)),
                               pick(remotePorts, QString::number(1024 + rng() % 60000)),
                               pick(localPorts, QString::number(1024 + rng() % 60000))});
    }
}

// The registry-based lookup: enumerate every value of the key to its end, keeping the data
// of the value whose name matches exactly.
QString enumerate(RegistryHive& hive, const QString& key, const QString& name) {
    std::vector<std::pair<QString, QString>> values;
    QString result;
    if (hive.values(key, values)) {
        for (const auto& [n, d] : values) {
            if (n == name) {
                result = d;
            }
        }
    }
    return result;
}

// The hive's lookup as it was before the one-seek lookup: the key path checked for stray
// backslashes and case-folded at every lookup, then a join that seeks the key by its folded
// path and the value by its folded name, on a connection of its own set up as the hive's,
// sharing one read transaction per batch that starts with the same commit check.
// Like Quillon's own connections, it holds the hive only for one pass (begin() to end()): an
// idle connection kept open would hold off root, which takes the hive for itself while it uses
// it.
class TwoSeekLookup {
public:
    explicit TwoSeekLookup(const QString& path) : m_path(QFile::encodeName(path)) {}
    ~TwoSeekLookup() { close(); }
    TwoSeekLookup(const TwoSeekLookup&) = delete;
    TwoSeekLookup& operator=(const TwoSeekLookup&) = delete;

    void begin() {
        sqlite3_open_v2(m_path.constData(), &m_db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_busy_timeout(m_db, 5000);
        if (::geteuid() == 0) {
            sqlite3_exec(m_db, "PRAGMA locking_mode=EXCLUSIVE", nullptr, nullptr, nullptr);
        } else {
            sqlite3_exec(m_db, "PRAGMA mmap_size=268435456", nullptr, nullptr, nullptr);
        }
        sqlite3_prepare_v3(m_db,
                           "SELECT v.name, v.data FROM keys k JOIN vals v ON v.key = k.id "
                           "WHERE k.folded = ?1 AND v.folded = ?2",
                           -1, SQLITE_PREPARE_PERSISTENT, &m_find, nullptr);
        sqlite3_prepare_v3(m_db, "PRAGMA data_version", -1, SQLITE_PREPARE_PERSISTENT, &m_version,
                           nullptr);
        sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_step(m_version);
        m_seen = sqlite3_column_int64(m_version, 0);
        sqlite3_reset(m_version);
    }
    void end() {
        sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        close();
    }

    std::optional<QString> lookup(const QString& key, const QString& name) {
        if (key.contains(QChar(u'\0')) || name.contains(QChar(u'\0'))) {
            return QString();
        }
        Utf8 folded;
        Utf8 foldedName;
        if (key.startsWith(u'\\') || key.endsWith(u'\\') || key.contains(u"\\\\")) {
            return std::nullopt; // never the case for the rule keys
        }
        fold(key, folded);
        fold(name, foldedName);
        sqlite3_bind_text(m_find, 1, folded.constData(), static_cast<int>(folded.size()),
                          SQLITE_STATIC);
        sqlite3_bind_text(m_find, 2, foldedName.constData(), static_cast<int>(foldedName.size()),
                          SQLITE_STATIC);
        std::optional<QString> result;
        const int rc = sqlite3_step(m_find);
        if (rc == SQLITE_DONE) {
            result = QString();
        } else if (rc == SQLITE_ROW) {
            const QUtf8StringView stored(
                reinterpret_cast<const char*>(sqlite3_column_text(m_find, 0)),
                sqlite3_column_bytes(m_find, 0));
            result = QString();
            if (QAnyStringView(stored) == QAnyStringView(name)) {
                result =
                    QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(m_find, 1)),
                                      sqlite3_column_bytes(m_find, 1));
            }
        }
        sqlite3_reset(m_find);
        return result;
    }

private:
    void close() {
        sqlite3_finalize(m_find);
        sqlite3_finalize(m_version);
        sqlite3_close(m_db);
        m_find = nullptr;
        m_version = nullptr;
        m_db = nullptr;
    }

    QByteArray m_path;
    using Utf8 = QVarLengthArray<char, 256>;
    static void fold(QStringView text, Utf8& out) {
        out.resize(text.size());
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char16_t c = text[i].unicode();
            if (c >= 0x80) {
                const QByteArray bytes = text.toString().toCaseFolded().toUtf8();
                out.resize(bytes.size());
                std::copy(bytes.begin(), bytes.end(), out.begin());
                return;
            }
            out[i] = static_cast<char>(c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c);
        }
    }

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_find = nullptr;
    sqlite3_stmt* m_version = nullptr;
    sqlite3_int64 m_seen = -1;
};

} // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        sizes.push_back(std::atoi(argv[i]));
    }
    if (sizes.empty()) {
        sizes = {100, 10000, 100000};
    }
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }

    std::printf("%d decisions at level 2 (six lookups each), best of %d runs, ms per %d "
                "decisions\n\n",
                kConnections, kRuns, kConnections);
    std::printf("%8s  %16s  %16s  %16s  %9s  %12s  %10s  %6s  %6s\n", "rules", "lookups wall/cpu",
                "decision wall/cpu", "two-seek wall/cpu", "ours/2sk", "peer", "peer/ours", "hits",
                "cuts");
    double firstLookups = 0;
    double lastLookups = 0;
    double lastDecision = 0;
    double firstPeer = 0;
    double lastPeer = 0;
    double lastTwoSeekRatio = 0;
    double lastTwoSeekDecisionRatio = 0;
    const blocking::PendingAlerts pending;
    for (const int rules : sizes) {
        RegistryHive hive(dir.filePath(QStringLiteral("hive-%1.db").arg(rules)));
        std::vector<Connection> connections;
        build(hive, rules, connections);
        // Opening (and checking) the hive is a one-time cost of the program's start.
        modReg::ReadRegString(hive, modReg::HKEY_LOCAL_MACHINE, modReg::BlockIpKey, "x");

        int found = 0;
        const Timing lookups = bestOf(kRuns, [&] {
            found = 0;
            RegistryHive::ReadScope rebuild(hive);
            for (const Connection& c : connections) {
                for (int twice = 0; twice < 2; ++twice) {
                    for (const auto& [key, name] : {std::pair{&modReg::BlockIpPath, &c.RemA},
                                                    std::pair{&modReg::BlockRpPath, &c.RemP},
                                                    std::pair{&modReg::BlockLpPath, &c.LocP}}) {
                        const auto data = modReg::ReadRegStringChecked(
                            hive, modReg::HKEY_LOCAL_MACHINE, *key, *name);
                        found += data && !data->isEmpty();
                    }
                }
            }
        });

        TwoSeekLookup twoSeek(hive.path());
        int twoSeekFound = 0;
        const Timing twoSeekTime = bestOf(kRuns, [&] {
            twoSeekFound = 0;
            twoSeek.begin();
            for (const Connection& c : connections) {
                for (int twice = 0; twice < 2; ++twice) {
                    for (const auto& [key, name] : {std::pair{&modReg::BlockIpKey, &c.RemA},
                                                    std::pair{&modReg::BlockRpKey, &c.RemP},
                                                    std::pair{&modReg::BlockLpKey, &c.LocP}}) {
                        const auto data = twoSeek.lookup(*key, *name);
                        twoSeekFound += data && !data->isEmpty();
                    }
                }
            }
            twoSeek.end();
        });
        if (twoSeekFound != found) {
            std::fprintf(stderr, "the one-seek and two-seek lookups disagree (%d vs %d)\n", found,
                         twoSeekFound);
            return 1;
        }

        auto verdict = [&hive](blocking::RuleKind kind,
                               const QString& name) -> std::optional<QString> {
            const RegistryHive::KeyPath* key =
                kind == blocking::RuleKind::Address      ? &modReg::BlockIpPath
                : kind == blocking::RuleKind::RemotePort ? &modReg::BlockRpPath
                                                         : &modReg::BlockLpPath;
            return modReg::ReadRegStringChecked(hive, modReg::HKEY_LOCAL_MACHINE, *key, name);
        };
        auto trojan = [](const QString&) -> std::optional<bool> { return false; };
        int cuts = 0;
        const Timing decision = bestOf(kRuns, [&] {
            cuts = 0;
            RegistryHive::ReadScope rebuild(hive);
            for (const Connection& c : connections) {
                cuts += blocking::Decide(c.RemA, c.RemP, c.LocP, 5, 0, 2, verdict, trojan,
                                         pending) == blocking::Outcome::Cut;
            }
        });

        auto twoSeekVerdict = [&twoSeek](blocking::RuleKind kind, const QString& name) {
            const QString* key = kind == blocking::RuleKind::Address      ? &modReg::BlockIpKey
                                 : kind == blocking::RuleKind::RemotePort ? &modReg::BlockRpKey
                                                                          : &modReg::BlockLpKey;
            return twoSeek.lookup(*key, name);
        };
        int twoSeekCuts = 0;
        const Timing twoSeekDecision = bestOf(kRuns, [&] {
            twoSeekCuts = 0;
            twoSeek.begin();
            for (const Connection& c : connections) {
                twoSeekCuts += blocking::Decide(c.RemA, c.RemP, c.LocP, 5, 0, 2, twoSeekVerdict,
                                                trojan, pending) == blocking::Outcome::Cut;
            }
            twoSeek.end();
        });
        if (twoSeekCuts != cuts) {
            std::fprintf(stderr, "the decisions disagree (%d vs %d cuts)\n", cuts, twoSeekCuts);
            return 1;
        }

        // The peer on as many connections as fit in its time budget.
        int peerFound = 0;
        int peerDone = 0;
        QElapsedTimer peerTimer;
        peerTimer.start();
        // One read transaction for the whole pass, as for Quillon's own lookups.
        std::optional<RegistryHive::ReadScope> peerScope(std::in_place, hive);
        while (peerDone < kConnections && (peerDone < 3 || peerTimer.elapsed() < kPeerBudgetMs)) {
            const Connection& c = connections[static_cast<size_t>(peerDone)];
            for (int twice = 0; twice < 2; ++twice) {
                peerFound += !enumerate(hive, modReg::BlockIpKey, c.RemA).isEmpty();
                peerFound += !enumerate(hive, modReg::BlockRpKey, c.RemP).isEmpty();
                peerFound += !enumerate(hive, modReg::BlockLpKey, c.LocP).isEmpty();
            }
            ++peerDone;
        }
        const double peer =
            static_cast<double>(peerTimer.nsecsElapsed()) / 1e6 * kConnections / peerDone;
        peerScope.reset();
        // Both ways must find the same rules on the connections both looked at.
        int oursOnPeerSet = 0;
        for (int i = 0; i < peerDone; ++i) {
            const Connection& c = connections[static_cast<size_t>(i)];
            oursOnPeerSet += 2 * (!modReg::ReadRegString(hive, modReg::HKEY_LOCAL_MACHINE,
                                                         modReg::BlockIpKey, c.RemA)
                                       .isEmpty() +
                                  !modReg::ReadRegString(hive, modReg::HKEY_LOCAL_MACHINE,
                                                         modReg::BlockRpKey, c.RemP)
                                       .isEmpty() +
                                  !modReg::ReadRegString(hive, modReg::HKEY_LOCAL_MACHINE,
                                                         modReg::BlockLpKey, c.LocP)
                                       .isEmpty());
        }
        if (oursOnPeerSet != peerFound) {
            std::fprintf(stderr, "the two lookups disagree (%d vs %d)\n", oursOnPeerSet, peerFound);
            return 1;
        }

        char peerText[32];
        std::snprintf(peerText, sizeof peerText, "%.0f%s", peer,
                      peerDone < kConnections ? "*" : "");
        char lookupText[32];
        char decisionText[32];
        std::snprintf(lookupText, sizeof lookupText, "%.1f / %.1f", lookups.wallMs, lookups.cpuMs);
        std::snprintf(decisionText, sizeof decisionText, "%.1f / %.1f", decision.wallMs,
                      decision.cpuMs);
        char twoSeekText[32];
        std::snprintf(twoSeekText, sizeof twoSeekText, "%.1f / %.1f", twoSeekTime.wallMs,
                      twoSeekTime.cpuMs);
        std::printf("%8d  %16s  %16s  %16s  %9.3f  %12s  %9.0fx  %5.1f%%  %6d\n", rules, lookupText,
                    decisionText, twoSeekText, lookups.cpuMs / twoSeekTime.cpuMs, peerText,
                    peer / lookups.wallMs, 100.0 * found / (6.0 * kConnections), cuts);
        lastTwoSeekRatio = lookups.cpuMs / twoSeekTime.cpuMs;
        lastTwoSeekDecisionRatio = decision.cpuMs / twoSeekDecision.cpuMs;
        std::printf("%8s  decisions through the two-seek lookup: %.1f / %.1f ms, ours / two-seek "
                    "%.3f\n",
                    "", twoSeekDecision.wallMs, twoSeekDecision.cpuMs, lastTwoSeekDecisionRatio);
        if (firstLookups == 0) {
            firstLookups = lookups.cpuMs;
            firstPeer = peer;
        }
        lastLookups = lookups.cpuMs;
        lastDecision = decision.cpuMs;
        lastPeer = peer;
    }
    std::printf("\nhits: lookups that found a rule; cuts: decisions that cut\n");
    std::printf("* scaled from the decisions that fit in %lld ms\n",
                static_cast<long long>(kPeerBudgetMs));
    if (sizes.size() > 1) {
        std::printf("growth from %d to %d rules (processor time): lookups %.2fx, peer %.0fx\n",
                    sizes.front(), sizes.back(), lastLookups / firstLookups, lastPeer / firstPeer);
    }
    std::printf("target: %d decisions in at most %.0f ms at the largest size: %s "
                "(lookups %.1f ms, whole decisions %.1f ms of processor time)\n",
                kConnections, kTargetMs,
                std::max(lastLookups, lastDecision) <= kTargetMs ? "met" : "MISSED", lastLookups,
                lastDecision);
    std::printf("target: at most %.2f x the two-seek lookup at the largest size (processor "
                "time): lookups %.3f, %s; whole decisions %.3f, %s\n",
                kTargetTwoSeekRatio, lastTwoSeekRatio,
                lastTwoSeekRatio <= kTargetTwoSeekRatio ? "met" : "MISSED",
                lastTwoSeekDecisionRatio,
                lastTwoSeekDecisionRatio <= kTargetTwoSeekRatio ? "met" : "MISSED");
    return 0;
}
