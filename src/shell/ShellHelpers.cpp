#include "shell/ShellHelpers.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace quillon::shell {

void CentreOnScreen(QWidget& window) {
    QScreen* screen = window.screen();
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return;
    }
    const QRect area = screen->geometry();
    const QSize size = window.frameGeometry().size();
    window.move(area.left() + (area.width() - size.width()) / 2,
                area.top() + (area.height() - size.height()) / 2);
}

QString RightsNotice(const Rights& rights, const QString& executable, const QString& hivePath) {
    if (rights.canCut && rights.hiveWritable) {
        return {};
    }
    const QString folder = QFileInfo(hivePath).absolutePath();
    QStringList lines;
    if (!rights.canCut) {
        lines << QStringLiteral(
            "没有断开网络连接的权限(CAP_NET_ADMIN)：被禁止的连接将不会被断开。");
    }
    if (!rights.hiveWritable) {
        lines << QStringLiteral("不能写入规则库 %1：规则和设置将不会被保存。").arg(hivePath);
    }
    QStringList ways;
    ways << QStringLiteral("以 root 身份运行本程序");
    QStringList grants;
    if (!rights.canCut) {
        grants << QStringLiteral("sudo setcap cap_net_admin+ep \"%1\"").arg(executable);
    }
    if (!rights.hiveWritable) {
        grants << QStringLiteral("给予对 %1 的写权限").arg(folder);
    }
    ways << grants.join(QStringLiteral("，并"));
    lines << QStringLiteral("解决办法：%1。").arg(ways.join(QStringLiteral("；或")));
    return lines.join(QLatin1Char('\n'));
}

} // namespace quillon::shell
