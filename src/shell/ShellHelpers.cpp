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
    QStringList cannot;
    QStringList grants;
    if (!rights.canCut) {
        cannot << QStringLiteral("断开被禁止的连接(需要 CAP_NET_ADMIN)");
        grants << QStringLiteral("执行 sudo setcap cap_net_admin+ep \"%1\"").arg(executable);
    }
    if (!rights.hiveWritable) {
        cannot << QStringLiteral("保存规则和设置(%1 不可写)").arg(folder);
        grants << QStringLiteral("给予对 %1 的写权限").arg(folder);
    }
    return QStringLiteral("本程序缺少权限，不能%1。\n解决办法：以 root 身份运行本程序；或%2。")
        .arg(cannot.join(QStringLiteral("，也不能")), grants.join(QStringLiteral("，并")));
}

} // namespace quillon::shell
