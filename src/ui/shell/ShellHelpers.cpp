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
    // Without cuts at all, the line above says everything.
    if (rights.cut == platform::CutAccess::Ok) {
        if (const QString line = ImmediateLine(rights.immediate, paths.helper); !line.isEmpty()) {
            lines << line;
        }
    }
    const QString folder = QFileInfo(paths.hive).absolutePath();
    if (rights.hiveUnsafe) {
        lines << QStringLiteral("不能读取和保存规则：规则库 %1 所在的文件夹（或其上层文件夹）可被"
                                "其他用户更改，以 root 身份运行时不使用其中的规则库（请以 root "
                                "身份执行 setup-rights.sh install）。")
                     .arg(paths.hive);
    } else if (rights.hiveDamaged) {
        lines << QStringLiteral("不能读取规则：规则库 %1 已损坏；可以用 quillon-reg import "
                                "恢复备份。")
                     .arg(paths.hive);
    } else if (rights.hiveIncomplete) {
        lines << QStringLiteral("不能保存规则和设置：规则库的 %1-wal 或 %1-shm 文件缺失（请以 "
                                "root 身份执行 setup-rights.sh install 重新创建）。")
                     .arg(paths.hive);
    } else if (!rights.hiveReadable) {
        lines << QStringLiteral("不能读取和保存规则：%1 不可读。").arg(paths.hive);
    } else if (!rights.hiveWritable) {
        lines << QStringLiteral("不能保存规则和设置：%1 不可写。").arg(folder);
    }
    if (rights.logDeclinedAsRoot) {
        lines << QStringLiteral("不写入日志 %1：以 root 身份运行时，不写入其他用户可更改的文件夹"
                                "中的日志（把程序放在只有 root 可写的文件夹中）。")
                     .arg(paths.log);
    } else if (!rights.logWritable) {
        lines << QStringLiteral("不能写入日志 %1：该文件或其文件夹不可写（以 root 身份运行时，"
                                "不写入其他用户可写的文件夹中的日志）。")
                     .arg(paths.log);
    }
    if (lines.isEmpty()) {
        return {};
    }
    // The group grants every right but the helper's own installation: said once, at the end.
    // (What only root can mend, an unsafe folder or a missing file of the hive, it does not.)
    const bool hiveGroup = !rights.hiveUnsafe && !rights.hiveDamaged && !rights.hiveIncomplete &&
                           (!rights.hiveReadable || !rights.hiveWritable);
    if (rights.cut == platform::CutAccess::NotInGroup || hiveGroup ||
        (!rights.logWritable && !rights.logDeclinedAsRoot)) {
        lines << QStringLiteral("解决办法：把当前用户加入 quillon 组（sudo usermod -aG quillon "
                                "\"$USER\"），然后重新登录。");
    }
    return QStringLiteral("本程序缺少权限：\n") + lines.join(QLatin1Char('\n'));
}

QString ImmediateLine(platform::Immediate immediate, const QString& helper) {
    QString why;
    switch (immediate) {
    case platform::Immediate::On:
    case platform::Immediate::NotOffered:
        return {};
    case platform::Immediate::NoCapability:
        why = QStringLiteral("助手程序 %1 没有 CAP_BPF 和 CAP_PERFMON（请以 root 身份执行 "
                             "setup-rights.sh install；checkout 只给自己构建的助手 CAP_NET_ADMIN）")
                  .arg(helper);
        break;
    case platform::Immediate::NoKernelSupport:
        why = QStringLiteral(
            "本机内核不支持所需的 BPF 功能（BTF、cgroup 连接钩子和 TCP 状态跟踪点）");
        break;
    case platform::Immediate::NoCgroup:
        why = QStringLiteral("本机没有挂载 cgroup2 文件系统");
        break;
    case platform::Immediate::HelperEnded:
        why = QStringLiteral("助手程序 %1 已退出，重新启动失败").arg(helper);
        break;
    case platform::Immediate::NoHelper:
    case platform::Immediate::NotInGroup:
    case platform::Immediate::Failed:
        why = QStringLiteral("无法加载助手程序 %1 的内核程序").arg(helper);
        break;
    }
    return QStringLiteral("立即拦截已关闭：%1。被禁止的连接不会在连接前被拒绝，仍会在下一次刷新"
                          "（250 毫秒内）时断开。")
        .arg(why);
}

QString MissingRightsLine(const Rights& rights) {
    QStringList missing;
    if (rights.cut != platform::CutAccess::Ok) {
        missing << QStringLiteral("断开连接");
    }
    if (!rights.hiveReadable || rights.hiveDamaged || rights.hiveUnsafe) {
        missing << QStringLiteral("读取规则");
    }
    if (!rights.hiveWritable || rights.hiveIncomplete || rights.hiveUnsafe) {
        missing << QStringLiteral("保存规则");
    }
    if (!rights.logWritable || rights.logDeclinedAsRoot) {
        missing << QStringLiteral("写入日志");
    }
    return missing.isEmpty()
               ? QString()
               : QStringLiteral("缺少权限，不能") + missing.join(QStringLiteral("、"));
}

QString NotStoredMessage(const Rights& rights, const RightsPaths& paths, const QString& why) {
    // Only the rules' own right counts here: the notice's lines about the hive, with its
    // remedy.
    Rights hiveOnly = rights;
    hiveOnly.cut = platform::CutAccess::Ok;
    hiveOnly.logWritable = true;
    hiveOnly.logDeclinedAsRoot = false;
    hiveOnly.immediate = platform::Immediate::On;
    const QString notice = RightsNotice(hiveOnly, paths);
    const QString reason = notice.isEmpty() ? why : notice.section(QLatin1Char('\n'), 1);
    return QStringLiteral("规则没有保存，也没有记录。\n") + reason;
}

} // namespace quillon::shell
