#pragma once

#include "platform/SockDiagParser.h"
#include "platform/TcpTable.h"

#include <memory>

struct nlmsghdr;

namespace quillon::platform {

// The kernel's TCP table over NETLINK_SOCK_DIAG: a dump per snapshot on a socket that stays
// open, and SOCK_DESTROY with the row's exact socket id (cookie included) for the cut.
class NetlinkTcpTable final : public TcpTable {
public:
    NetlinkTcpTable();
    ~NetlinkTcpTable() override;
    NetlinkTcpTable(const NetlinkTcpTable&) = delete;
    NetlinkTcpTable& operator=(const NetlinkTcpTable&) = delete;

    bool snapshot(std::vector<TcpRow>& rows) override;
    CutResult cut(const TcpRow& row) override;
    CutResult probeCut() override;

    // Whether snapshots take one dump of both families (the legacy TCP request) rather than
    // one dump per family; false once the kernel refused the single dump.
    bool singlePassDump() const { return singlePass_; }

    // Chooses the dump; the single one is tried first and left for good if the kernel
    // refuses it. Switching to per-family dumps by hand is for comparing the two.
    void setSinglePassDump(bool single) { singlePass_ = single; }

    // The errno of the last failed snapshot, 0 after a good one.
    int lastError() const { return lastError_; }

    // The result a destroy errno stands for (0 = the kernel dropped the socket).
    static CutResult resultOfErrno(int error);

private:
    enum class DumpOutcome { Ok, Interrupted, Refused, Failed };

    bool openDumpSocket();
    void closeDumpSocket();
    DumpOutcome dumpOnce(std::vector<TcpRow>& rows);
    DumpOutcome runDump(nlmsghdr* request, std::vector<TcpRow>& rows);
    int destroy(nlmsghdr* request);
    int probeWithOwnListener(bool& madeListener);

    int dumpFd_ = -1;
    quint32 dumpPort_ = 0;
    quint32 dumpSeq_ = 0;
    int destroyFd_ = -1;
    quint32 destroyPort_ = 0;
    quint32 destroySeq_ = 0;
    bool singlePass_ = true;
    int lastError_ = 0;
    std::unique_ptr<unsigned char[]> buffer_;
    sockdiag::DumpParser parser_;
};

} // namespace quillon::platform
