#include "support/RecordingTray.h"

namespace quillon::test {

void RecordingTray::hook(monitor::frmMain& window) {
    const bool before = hooked();
    TrayIcon::hook(window);
    if (!before && hooked()) {
        calls.append(QStringLiteral("hook"));
    }
}

void RecordingTray::unhook() {
    const bool before = hooked();
    TrayIcon::unhook();
    if (before && !hooked()) {
        calls.append(QStringLiteral("unhook"));
    }
}

void RecordingTray::add(const QIcon& icon, const QString& tip) {
    calls.append(QStringLiteral("add"));
    TrayIcon::add(icon, tip);
}

void RecordingTray::remove() {
    calls.append(QStringLiteral("remove"));
    TrayIcon::remove();
}

bool RecordingTray::showMessage(const QString& title, const QString& text) {
    const bool given = TrayIcon::showMessage(title, text);
    if (given) {
        messages.append(text);
    }
    return given;
}

} // namespace quillon::test
