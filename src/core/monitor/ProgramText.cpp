#include "core/monitor/ProgramText.h"

namespace quillon::monitor {

namespace {

const QString kOthers = QStringLiteral(" 等");

QString unknownProgram(const QString& user) {
    return QStringLiteral("未知（用户 ") + user + QStringLiteral("）");
}

} // namespace

QString ProgramCellText(const platform::SocketOwner& owner) {
    if (owner.hasProcess()) {
        const QString name = owner.command.isEmpty() ? QString::number(owner.pid) : owner.command;
        return owner.shared ? name + kOthers : name;
    }
    return owner.user.isEmpty() ? QString() : unknownProgram(owner.user);
}

QString ProgramLineText(const platform::SocketOwner& owner) {
    if (owner.hasProcess()) {
        // An executable that cannot be read (a process of the kernel's, or one just ended)
        // is named by its command name.
        QString program = owner.path.isEmpty() ? owner.command : owner.path;
        if (owner.shared) {
            program += kOthers;
        }
        return QStringLiteral("程序：") + program + QStringLiteral("（PID ") +
               QString::number(owner.pid) + QStringLiteral("，用户 ") + owner.user +
               QStringLiteral("）");
    }
    return owner.user.isEmpty() ? QString() : QStringLiteral("程序：") + unknownProgram(owner.user);
}

} // namespace quillon::monitor
