#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

namespace quillon::test {

// One skinned window to render for review: the PNG's base name and a way to build the
// window as the program shows it.
struct ScreenshotWindow {
    QString name;
    std::function<std::unique_ptr<QWidget, void (*)(QWidget*)>()> create;
};

// The five skinned windows as the program builds them, over a scripted table and a
// temporary hive and folder. The program keeps owning each window: the handle only hides it
// again when the shot is taken.
std::vector<ScreenshotWindow> screenshotWindows();

} // namespace quillon::test
