#pragma once

#include "platform/CutProtocol.h"
#include "platform/KernelGuard.h"
#include "platform/TcpTable.h"

#include <QString>
#include <optional>
#include <sys/types.h>

namespace quillon::platform {

// Quillon's side of quillon-cut: cuts for a process that holds no capability itself. The
// helper is started once, on the first need, with an empty environment, and each cut goes to
// it over a socket pair that is its standard input and output. When it cannot be started
// (missing, or this user may not run it) every cut answers NotPermitted.
//
// The helper is also the kernel guard: its BPF programs refuse and cut on their own, and its
// reports come over a second socket pair, its descriptor 3.
class CutHelper final : public KernelGuard {
public:
    explicit CutHelper(QString path);
    ~CutHelper() override;
    CutHelper(const CutHelper&) = delete;
    CutHelper& operator=(const CutHelper&) = delete;

    QString path() const { return path_; }

    CutResult cut(const TcpRow& row);

    // What the helper can do for this process, found without touching any connection.
    CutAccess access();

    // The identity of a row as the helper takes it.
    static cutproto::SocketId socketId(const TcpRow& row);

    // The result of one helper answer.
    static CutResult resultOf(cutproto::Answer answer);

    // The row a report names, as a dump would list it.
    static TcpRow rowOf(const cutproto::Report& report);

    Immediate state() override;
    quint64 generation() const override { return generation_; }
    bool countsChanges() override;
    bool setSettings(int level, bool exempt, bool ipv6) override;
    std::vector<bool> changeAll(const std::vector<KernelEntry>& entries, bool add) override;
    bool sweep() override;
    std::optional<quint64> changes() override;
    int reportDescriptor() const override { return reportFd_; }
    bool takeReports(std::vector<KernelReport>& out) override;
    bool restart() override;

private:
    bool start();
    void stop();
    std::optional<cutproto::Reply> ask(const cutproto::Request& request);
    std::optional<cutproto::Reply> askOnce(const cutproto::Request& request);
    // Asks a question of the immediate enforcement; false unless it answered Cut (done).
    bool enforce(const cutproto::Request& request, quint64* value = nullptr);

    QString path_;
    int fd_ = -1;
    int reportFd_ = -1;
    pid_t pid_ = -1;
    int startError_ = 0; // errno of the last failed start
    quint64 generation_ = 0;
    // What the helper of this generation said of its enforcement; asked once.
    std::optional<cutproto::Reply> enforcement_;
};

} // namespace quillon::platform
