#pragma once

// The user-space half of quillon-cut's immediate enforcement: loads the BPF programs built into
// the helper, attaches them, fills their tables on Quillon's requests, and turns their records
// into cuts and reports.

#include "platform/CutProtocol.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace quillon::cut {

class Enforcer {
public:
    // Destroys a socket; returns 0 or the kernel's errno.
    using Destroy = std::function<int(const platform::cutproto::SocketId&)>;
    // Hands a report to Quillon.
    using Send = std::function<void(const platform::cutproto::Report&)>;

    Enforcer();
    ~Enforcer();
    Enforcer(const Enforcer&) = delete;
    Enforcer& operator=(const Enforcer&) = delete;

    // Loads and attaches everything; false (and off()) when the kernel or the helper's rights
    // do not allow it. Runs while the helper still holds every capability it was given.
    bool start();

    // Whether map updates still need CAP_BPF once it is dropped (kernels before 6.5 with
    // unprivileged BPF disabled check it on every bpf() call). Asked by a child process that
    // drops the capability and tries, so the answer comes from the kernel itself.
    bool updatesNeedBpfCapability();

    // What works (cutproto::kEnforce* bits), and why nothing does.
    std::uint64_t works() const { return works_; }
    platform::cutproto::EnforceOff off() const { return off_; }

    // The ring buffer's descriptor, readable when records wait; -1 when not started.
    int eventFd() const;
    // Handles every waiting record: cuts through `destroy`, reports through `send`.
    void drain(const Destroy& destroy, const Send& send);

    // Quillon's requests. False when the entry or value cannot be taken.
    bool settings(std::uint32_t value);
    bool change(platform::cutproto::Set set, const platform::cutproto::SocketId& entry, bool add);
    bool sweep(const Destroy& destroy, const Send& send);
    std::uint64_t changes() const;

private:
    bool load();

    struct Impl;
    std::unique_ptr<Impl> d;
    std::uint64_t works_ = 0;
    platform::cutproto::EnforceOff off_ = platform::cutproto::EnforceOff::LoadFailed;
};

} // namespace quillon::cut
