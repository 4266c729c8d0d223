#pragma once

#include "platform/SocketOwners.h"

#include <QString>

// How the program behind a connection is written where the user judges the connection.
namespace quillon::monitor {

// The connection list's "程序" cell: the command name ("等" after it when other processes
// share the socket), "未知（用户 <name>）" when only the user is known, else empty.
QString ProgramCellText(const platform::SocketOwner& owner);

// The full line: "程序：<path>（PID <n>，用户 <name>）", "程序：未知（用户 <name>）" when
// only the user is known, else empty.
QString ProgramLineText(const platform::SocketOwner& owner);

} // namespace quillon::monitor
