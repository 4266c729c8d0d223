#pragma once

#include "platform/CutProtocol.h"
#include "platform/TcpTable.h"

#include <QString>
#include <optional>
#include <sys/types.h>

namespace quillon::platform {

// Quillon's side of quillon-cut: cuts for a process that holds no capability itself. The
// helper is started once, on the first need, with an empty environment, and each cut goes to
// it over a socket pair that is its standard input and output. When it cannot be started
// (missing, or this user may not run it) every cut answers NotPermitted.
class CutHelper {
public:
    explicit CutHelper(QString path);
    ~CutHelper();
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

private:
    bool start();
    void stop();
    std::optional<cutproto::Answer> ask(const cutproto::Request& request);
    std::optional<cutproto::Answer> askOnce(const cutproto::Request& request);

    QString path_;
    int fd_ = -1;
    pid_t pid_ = -1;
    int startError_ = 0; // errno of the last failed start
};

} // namespace quillon::platform
