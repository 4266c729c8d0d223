#pragma once

#include "ui/chrome/SkinImage.h"

#include <QFont>
#include <QPalette>
#include <QPixmap>
#include <QPoint>
#include <QRegion>
#include <QString>
#include <QWidget>

namespace quillon::chrome {

// The frame shared by the five skinned windows: no system frame, a painted skin with
// rounded corners, the caption printed twice, image caption buttons, a title strip that
// drags the window, and grips that show resize pointers.
//
// Windows derive from it and place their content controls as direct children at absolute
// positions (chrome::pxRect of the layout tables' twips); the frame's own controls stay
// above them. Closing through the frame's close button is an ordinary close(): each
// window's closeEvent decides what closing means.
class SkinnedWindow : public QWidget {
    Q_OBJECT
public:
    // `caption` is the window title, printed by the frame; the size is the initial size in
    // twips; `barTopTwips` is where the drag strip IMBar stands (480 in the alert window,
    // 240 elsewhere).
    SkinnedWindow(const QString& caption, int widthTwips, int heightTwips, int barTopTwips = 240,
                  QWidget* parent = nullptr);
    ~SkinnedWindow() override;

    // The font of every skinned window: 8.25 pt regular, Tahoma where installed, else the
    // program's face with Chinese glyphs. The layouts are fixed in twips; the desktop's font
    // size would clip their captions.
    static QFont skinFont();
    // The windows speak Chinese. Where the desktop's default font has no CJK glyphs (a bare
    // session, a root session without the user's font settings), adds a face that has them
    // to the application's font, so that captions never come out as empty boxes. Run once
    // at start-up, before any window is made.
    static void addChineseFace();
    // The skin's light colours for every role: dark text on the white skin under any
    // desktop theme.
    static QPalette skinPalette();

    // Builds the rounded outline from the current size and installs it as the mask.
    void RMe();

    // The outline of a window of the given size in twips: four rectangles and four
    // ellipses, every coordinate rounded to the nearest pixel with halves to the even
    // neighbour. An ellipse holds the pixels whose centres lie inside the ellipse inscribed
    // in its box; a box's right and bottom edges are exclusive, as for the rectangles.
    static QRegion regionFor(double widthTwips, double heightTwips);

    // The frame's controls, by the names the windows know them by.
    SkinImage* Pmain = nullptr; // hidden; holds the skin picture the painting cuts from
    SkinImage* IMBar = nullptr; // the drag strip of the title bar
    SkinImage* Immin = nullptr;
    SkinImage* Immax = nullptr;
    SkinImage* Imclose = nullptr;
    SkinImage* Pbottom = nullptr; // grips: pointer only
    SkinImage* Pright = nullptr;
    SkinImage* Pjiao = nullptr;
    // Hidden holders of the caption buttons' hover (1) and pressed (2) pictures; IMus* are
    // the maximise button's pictures while the window is maximised. IMus0 is carried along
    // with the skin but shown by nothing.
    SkinImage* ImMin1 = nullptr;
    SkinImage* ImMin2 = nullptr;
    SkinImage* Immax1 = nullptr;
    SkinImage* Immax2 = nullptr;
    SkinImage* IMus1 = nullptr;
    SkinImage* IMus2 = nullptr;
    SkinImage* ImClose1 = nullptr;
    SkinImage* ImClose2 = nullptr;
    SkinImage* IMus0 = nullptr;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    // Moving over the bare window surface puts hovered caption buttons back to rest.
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void layoutChrome();
    void paintSkin();
    void raiseChrome();
    void resetHovers();
    // Window state as the caption buttons read it: 0 normal, 1 minimised, 2 maximised.
    int windowStateCode() const;

    void barPressed(QMouseEvent* event);
    void barMoved(QMouseEvent* event);
    void buttonMoved(SkinImage* button);
    void buttonPressed(SkinImage* button);
    void buttonReleased(SkinImage* button, QMouseEvent* event);

    int barTopTwips_;
    QPixmap backBuffer_;
    // Where the title strip was grabbed, relative to the window's top-left corner, while
    // the window is moved by hand (no system move available).
    bool manualDrag_ = false;
    QPoint dragOffset_;
};

} // namespace quillon::chrome
