#include "chrome/SkinnedWindow.h"

#include "chrome/Twips.h"

namespace quillon::chrome {

SkinnedWindow::SkinnedWindow(const QString& caption, int widthTwips, int heightTwips,
                             int barTopTwips, QWidget* parent)
    : QWidget(parent) {
    Q_UNUSED(barTopTwips);
    setWindowTitle(caption);
    resize(px(widthTwips), px(heightTwips));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
}

SkinnedWindow::~SkinnedWindow() = default;

void SkinnedWindow::RMe() {}

} // namespace quillon::chrome
