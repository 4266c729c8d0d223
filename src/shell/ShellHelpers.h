#pragma once

#include <QString>

class QWidget;

namespace quillon::shell {

// Centres a window on the screen it belongs to: left = (screen width - window width) / 2,
// top likewise. Nothing happens where there is no screen.
void CentreOnScreen(QWidget& window);

// What the process lacks to do its work, found at start.
struct Rights {
    bool canCut = true;       // the kernel lets it drop connections (CAP_NET_ADMIN)
    bool hiveWritable = true; // rules and settings can be stored
};

// The one notice shown at start when rights are missing: what is missing, what it means and
// how to grant it. Empty when nothing is missing.
QString RightsNotice(const Rights& rights, const QString& executable, const QString& hivePath);

} // namespace quillon::shell
