#pragma once

#include "platform/SockDiagParser.h"
#include "platform/TcpTable.h"

#include <memory>

struct nlmsghdr;

namespace quillon::platform {

class CutHelper;

// The kernel's TCP table over NETLINK_SOCK_DIAG: a dump per snapshot on a socket that stays
// open, and SOCK_DESTROY with the row's exact socket id (cookie included) for the cut. A
// process that holds CAP_NET_ADMIN (root) cuts itself; any other hands its cuts to the
// helper quillon-cut, when one is set.
class NetlinkTcpTable final : public TcpTable {
public:
    NetlinkTcpTable();
    ~NetlinkTcpTable() override;
    NetlinkTcpTable(const NetlinkTcpTable&) = delete;
    NetlinkTcpTable& operator=(const NetlinkTcpTable&) = delete;

    bool snapshot(std::vector<TcpRow>& rows) override;
    CutResult cut(const TcpRow& row) override;
    CutResult probeCut() override;
    CutAccess cutAccess() override;

    // The cut helper used when this process holds no CAP_NET_ADMIN; none by default, and
    // then such a process cannot cut.
    void setCutHelper(const QString& path);
    // The helper's BPF programs, whichever process cuts.
    KernelGuard* kernelGuard() override;

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
    CutResult probeInProcess();
    bool cutsInProcess();

    int dumpFd_ = -1;
    quint32 dumpPort_ = 0;
    quint32 dumpSeq_ = 0;
    int destroyFd_ = -1;
    quint32 destroyPort_ = 0;
    quint32 destroySeq_ = 0;
    bool singlePass_ = true;
    int lastError_ = 0;
    int privileged_ = -1; // whether this process holds CAP_NET_ADMIN; -1 until asked
    std::unique_ptr<CutHelper> helper_;
    std::unique_ptr<unsigned char[]> buffer_;
    sockdiag::DumpParser parser_;
};

} // namespace quillon::platform
