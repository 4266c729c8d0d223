#pragma once

class QCoreApplication;

namespace quillon::chrome {

// Puts Qt's own texts (the entry fields' context menu, the standard buttons of a message
// box) into Simplified Chinese like the rest of the interface, from Qt's translation
// qtbase_zh_CN.qm in Qt's translations folder (Debian: qt6-translations-l10n). Without the
// file Qt's texts stay English and nothing else changes. Returns whether it was loaded.
bool installQtChineseTexts(QCoreApplication& app);

} // namespace quillon::chrome
