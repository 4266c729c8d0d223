#pragma once

#include <QString>
#include <QWidget>

namespace quillon::chrome {

// The frame shared by the five skinned windows: no system frame, a painted skin with
// rounded corners, the caption printed twice, image caption buttons, a title strip that
// drags the window, and grips that show resize pointers.
//
// Windows derive from it and place their content controls as direct children at absolute
// positions (chrome::pxRect of the layout tables' twips). Closing through the frame's close
// button is an ordinary close(): each window's closeEvent decides what closing means.
class SkinnedWindow : public QWidget {
    Q_OBJECT
public:
    // `caption` is the window title, printed by the frame; the size is the initial size in
    // twips; `barTopTwips` is where the drag strip IMBar stands (480 in the alert window,
    // 240 elsewhere).
    SkinnedWindow(const QString& caption, int widthTwips, int heightTwips,
                  int barTopTwips = 240, QWidget* parent = nullptr);
    ~SkinnedWindow() override;

    // Builds the rounded outline from the current size and installs it as the mask.
    void RMe();
};

} // namespace quillon::chrome
