#pragma once

#include "ui/shell/TrayIcon.h"

#include <QStringList>

namespace quillon::test {

// The program's real tray icon, which also keeps what the program asked of it: the calls in
// order ("hook", "unhook", "add", "remove"; a hook or unhook that changed nothing is left
// out) and the texts of the messages it gave.
class RecordingTray : public shell::TrayIcon {
public:
    using TrayIcon::TrayIcon;

    void hook(monitor::frmMain& window) override;
    void unhook() override;
    void add(const QIcon& icon, const QString& tip) override;
    void remove() override;
    bool showMessage(const QString& title, const QString& text) override;

    QStringList calls;
    QStringList messages;
};

} // namespace quillon::test
