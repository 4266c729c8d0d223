#include "ui/shell/ShellHelpers.h"

#include <QFileInfo>
#include <QWidget>

namespace quillon::shell {

QString RightsNotice(const Rights& rights, const RightsPaths& paths) {
    QStringList lines;
    switch (rights.cut) {
    case platform::CutAccess::Ok:
        break;
    case platform::CutAccess::NoHelper:
        lines << QStringLiteral("不能断开被禁止的连接：缺少助手程序 %1（请安装本程序：sudo cmake "
                                "--install，或安装 quillon 软件包）。")
                     .arg(paths.helper);
        break;
    case platform::CutAccess::NotInGroup:
        lines << QStringLiteral("不能断开被禁止的连接：当前用户不在 quillon 组中，不能运行助手程序 "
                                "%1。")
                     .arg(paths.helper);
        break;
    case platform::CutAccess::NoCapability:
        lines << QStringLiteral("不能断开被禁止的连接：助手程序 %1 没有 CAP_NET_ADMIN（执行 sudo "
                                "setcap cap_net_admin+ep \"%1\"，或以 root 身份运行本程序）。")
                     .arg(paths.helper);
        break;
    case platform::CutAccess::NotSupported:
        lines << QStringLiteral("不能断开被禁止的连接：本机内核不支持断开连接"
                                "（需要 CONFIG_INET_DIAG_DESTROY）。");
        break;
    case platform::CutAccess::Failed:
        lines << QStringLiteral("不能断开被禁止的连接：无法确认断开连接的权限。");
        break;
    }
    const QString folder = QFileInfo(paths.hive).absolutePath();
    if (rights.hiveDamaged) {
        lines << QStringLiteral("不能读取规则：规则库 %1 已损坏；可以用 quillon-reg import "
                                "恢复备份。")
                     .arg(paths.hive);
    } else if (!rights.hiveReadable) {
        lines << QStringLiteral("不能读取和保存规则：%1 不可读。").arg(paths.hive);
    } else if (!rights.hiveWritable) {
        lines << QStringLiteral("不能保存规则和设置：%1 不可写。").arg(folder);
    }
    if (!rights.logWritable) {
        lines << QStringLiteral("不能写入日志 %1：该文件或其文件夹不可写（以 root 身份运行时，"
                                "不写入其他用户可写的文件夹中的日志）。")
                     .arg(paths.log);
    }
    if (lines.isEmpty()) {
        return {};
    }
    // The group grants every right but the helper's own installation: said once, at the end.
    if (rights.cut == platform::CutAccess::NotInGroup || !rights.hiveReadable ||
        (!rights.hiveWritable && !rights.hiveDamaged) || !rights.logWritable) {
        lines << QStringLiteral("解决办法：把当前用户加入 quillon 组（sudo usermod -aG quillon "
                                "\"$USER\"），然后重新登录。");
    }
    return QStringLiteral("本程序缺少权限：\n") + lines.join(QLatin1Char('\n'));
}

} // namespace quillon::shell
