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
    std::function<std::unique_ptr<QWidget>()> create;
};

// The five skinned windows. This is the one place that says how each is built for its
// picture; a window that needs the program around it (settings, platform fakes) is built
// here and the rendering test stays as it is.
std::vector<ScreenshotWindow> screenshotWindows();

} // namespace quillon::test
