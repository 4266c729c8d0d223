#include "ScreenshotWindows.h"

#include "chrome/SkinnedWindow.h"

namespace quillon::test {

namespace {

ScreenshotWindow frameOnly(const char* name, const QString& caption, int widthTwips,
                           int heightTwips, int barTopTwips = 240) {
    return {QLatin1String(name), [=] {
                return std::make_unique<chrome::SkinnedWindow>(caption, widthTwips, heightTwips,
                                                               barTopTwips);
            }};
}

} // namespace

// For now each window is its frame alone, at the window's caption and initial size.
std::vector<ScreenshotWindow> screenshotWindows() {
    return {
        frameOnly("frmMain", QStringLiteral("Quillon防火墙"), 6735, 5385),
        frameOnly("frmAlert", QStringLiteral("Quillon提醒您"), 5925, 4230, 480),
        frameOnly("frmOptions", QStringLiteral("控制台"), 8070, 7185),
        frameOnly("frmWarnSys", QStringLiteral("提示"), 3915, 2355),
        frameOnly("frmWarnExit", QStringLiteral("提示"), 4635, 2535),
    };
}

} // namespace quillon::test
