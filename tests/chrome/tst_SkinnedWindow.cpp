#include "support/UiTestMain.h"
#include "ui/chrome/SkinnedWindow.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPointer>
#include <QRegularExpression>
#include <QTest>
#include <cmath>

using quillon::chrome::SkinImage;
using quillon::chrome::SkinnedWindow;

namespace {

bool samePicture(const QPixmap& shown, const QPixmap& holder) {
    return !holder.isNull() && shown.cacheKey() == holder.cacheKey();
}

QPoint centre(const QWidget* widget) {
    return widget->rect().center();
}

// A window whose close request only hides it, as the main window's does.
class HidingWindow : public SkinnedWindow {
public:
    HidingWindow() : SkinnedWindow(QStringLiteral("Quillon防火墙"), 6735, 5385) {}
    int closeRequests = 0;

protected:
    void closeEvent(QCloseEvent* event) override {
        ++closeRequests;
        hide();
        event->ignore();
    }
};

// Membership of one pixel in the outline, worked out from the outline's rules directly:
// rectangles hold x1 <= x < x2, ellipses hold the pixels whose centre lies inside the
// ellipse inscribed in their box.
bool outlineHolds(double w, double h, int x, int y) {
    const auto r = [](double v) { return std::nearbyint(v); };
    const auto inRect = [&](double x1, double y1, double x2, double y2) {
        return x >= r(x1) && x < r(x2) && y >= r(y1) && y < r(y2);
    };
    const auto inEllipse = [&](double x1, double y1, double x2, double y2) {
        const double bx1 = r(x1), by1 = r(y1), bx2 = r(x2), by2 = r(y2);
        const double ex = (x + 0.5 - (bx1 + bx2) / 2) / ((bx2 - bx1) / 2);
        const double ey = (y + 0.5 - (by1 + by2) / 2) / ((by2 - by1) / 2);
        return ex * ex + ey * ey <= 1.0;
    };
    return inRect(0, 26, w, h - 26) || inRect(23, 0, w - 23, h) || inRect(23, 52, w, h - 6) ||
           inRect(52, 52, w - 6, h) || inEllipse(0, 0, 52, 52) || inEllipse(w - 50, 0, w + 1, 52) ||
           inEllipse(0, h - 52, 52, h) || inEllipse(w - 9, h - 9, w, h);
}

} // namespace

class tst_SkinnedWindow : public QObject {
    Q_OBJECT
private slots:
    void frameAtCreation();
    void layoutFollowsWidth();
    void dragStripTop();
    void layoutRedoneOnResize();
    void regionRoundsHalfToEven();
    void regionSamplePoints();
    void regionFollowsRules_data();
    void regionFollowsRules();
    void maskFollowsSize();
    void shrinksToNothingAndBack();
    void paintingPlacesSkinPieces();
    void chromeStaysAboveContent();
    void rightPressOnStripDoesNotMove();
    void leftDragOnStripMovesWindow();
    void pressAndReleaseOnClose();
    void hoverTagRule();
    void bareSurfaceResetsHovers();
    void maximiseButtonPicturesFollowState();
    void closeButtonClosesTheWindowItsOwnWay();
    void minimiseButton();
    void maximiseButtonDoesNothing();
    void cornerGripOnlyChangesPointer();
};

void tst_SkinnedWindow::frameAtCreation() {
    SkinnedWindow w(QStringLiteral("控制台"), 8070, 7185);
    QVERIFY(w.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(w.isWindow());
    QCOMPARE(w.size(), QSize(538, 479));
    QCOMPARE(w.windowTitle(), QStringLiteral("控制台"));
    QCOMPARE(w.palette().color(QPalette::Window), QColor(Qt::white));

    QVERIFY(w.Pmain->isHidden());
    QCOMPARE(w.Pmain->picture().size(), QSize(150, 155));
    for (SkinImage* holder : {w.ImMin1, w.ImMin2, w.Immax1, w.Immax2, w.IMus1, w.IMus2, w.ImClose1,
                              w.ImClose2, w.IMus0}) {
        QVERIFY2(holder->isHidden(), qPrintable(holder->objectName()));
        QCOMPARE(holder->picture().size(), QSize(17, 16));
    }
    // Each hover and pressed picture looks different from the button at rest in the skin's
    // top-right corner, where the layout puts minimise, maximise and close of a window the
    // skin's own size (150 - 73, 150 - 52, 150 - 31; top 8).
    const QImage skin = w.Pmain->picture().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage band = skin.copy(56, 8, 17, 16);
    const struct {
        SkinImage* holder;
        int left;
    } states[] = {{w.ImMin1, 77}, {w.ImMin2, 77},    {w.Immax1, 98},
                  {w.Immax2, 98}, {w.IMus1, 98},     {w.IMus2, 98},
                  {w.IMus0, 98},  {w.ImClose1, 119}, {w.ImClose2, 119}};
    for (const auto& state : states) {
        const QImage rest = skin.copy(state.left, 8, 17, 16);
        QVERIFY2(rest != band, "a resting button is drawn in the skin");
        QVERIFY2(state.holder->picture().toImage().convertToFormat(QImage::Format_RGB32) != rest,
                 qPrintable(state.holder->objectName()));
    }
    // The buttons are at rest: their look comes from the skin beneath them.
    for (SkinImage* button : {w.Immin, w.Immax, w.Imclose}) {
        QVERIFY(button->picture().isNull());
        QVERIFY(button->tag.isEmpty());
        QCOMPARE(button->size(), QSize(17, 16));
    }
    QCOMPARE(w.Immin->toolTip(), QStringLiteral("最小化"));
    QCOMPARE(w.Immax->toolTip(), QStringLiteral("最大化"));
    QCOMPARE(w.Imclose->toolTip(), QStringLiteral("关闭"));
    QCOMPARE(w.Pbottom->cursor().shape(), Qt::SizeVerCursor);
    QCOMPARE(w.Pright->cursor().shape(), Qt::SizeHorCursor);
    QCOMPARE(w.Pjiao->cursor().shape(), Qt::SizeFDiagCursor);
    QCOMPARE(w.Pjiao->size(), QSize(17, 17));
}

void tst_SkinnedWindow::layoutFollowsWidth() {
    SkinnedWindow w(QStringLiteral("提示"), 3000, 1500);
    QCOMPARE(w.width(), 200);
    // The layout's twips over 15, rounded: buttons at 1905, 2220 and 2535 twips across and
    // 120 down, the drag strip 240 down, 1900 wide (the width less 1100) and 255 high.
    QCOMPARE(w.Immin->pos(), QPoint(127, 8));
    QCOMPARE(w.Immax->pos(), QPoint(148, 8));
    QCOMPARE(w.Imclose->pos(), QPoint(169, 8));
    QCOMPARE(w.IMBar->geometry(), QRect(0, 16, 127, 17));
    // The grips run along the bottom and right edges up to the corner grip.
    QCOMPARE(w.Pbottom->geometry(), QRect(0, 100 - 13, 200 - 16, 13));
    QCOMPARE(w.Pright->geometry(), QRect(200 - 9, 0, 9, 100 - 16));
    QCOMPARE(w.Pjiao->geometry(), QRect(200 - 17, 100 - 17, 17, 17));
}

void tst_SkinnedWindow::dragStripTop() {
    SkinnedWindow alert(QStringLiteral("Quillon提醒您"), 5925, 4230, 480);
    SkinnedWindow prompt(QStringLiteral("提示"), 3915, 2355);
    // 480 and 240 twips down, 255 high, the width (5925 twips) less 1100 across.
    QCOMPARE(alert.IMBar->y(), 32);
    QCOMPARE(prompt.IMBar->y(), 16);
    QCOMPARE(alert.IMBar->height(), 17);
    QCOMPARE(alert.IMBar->width(), 322);
}

void tst_SkinnedWindow::layoutRedoneOnResize() {
    SkinnedWindow w(QStringLiteral("提示"), 3000, 1500);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.resize(300, 220);
    QCOMPARE(w.Imclose->pos(), QPoint(300 - 31, 8));
    QCOMPARE(w.Immax->pos(), QPoint(300 - 52, 8));
    QCOMPARE(w.Immin->pos(), QPoint(300 - 73, 8));
    QCOMPARE(w.IMBar->width(), 227);
    QCOMPARE(w.Pjiao->pos(), QPoint(300 - 17, 220 - 17));
    QCOMPARE(w.Pbottom->width(), 300 - 16);
    QCOMPARE(w.Pright->height(), 220 - 16);
    QCOMPARE(w.mask(), SkinnedWindow::regionFor(4500, 3300));
}

void tst_SkinnedWindow::regionRoundsHalfToEven() {
    // 1508 twips: w = 100.53, so the base rectangle ends at 101 and the top-right ellipse's
    // box runs from 51 to 102.
    const QRegion region = SkinnedWindow::regionFor(1508, 1500);
    const int middle = 50;
    QVERIFY(region.contains(QPoint(100, middle)));
    QVERIFY(!region.contains(QPoint(101, middle)));
    // The ellipse's widest rows (around its centre line y = 26) reach the box's last pixel.
    QVERIFY(region.contains(QPoint(101, 26)));
    QVERIFY(!region.contains(QPoint(102, 26)));
    QCOMPARE(region.boundingRect().right(), 101);
    // On the top row the ellipse centred at x = 76.5 holds the pixels 72 to 80.
    QVERIFY(region.contains(QPoint(80, 0)));
    QVERIFY(!region.contains(QPoint(81, 0)));

    // Halves go to the even neighbour: w = 46.5 (697.5 twips) gives a right edge of 46,
    // w = 47.5 one of 48.
    QVERIFY(!SkinnedWindow::regionFor(697.5, 1500).contains(QPoint(46, middle)));
    QVERIFY(SkinnedWindow::regionFor(712.5, 1500).contains(QPoint(47, middle)));
}

void tst_SkinnedWindow::regionSamplePoints() {
    const QRegion region = SkinnedWindow::regionFor(3000, 1500);
    QVERIFY(region.contains(QPoint(25, 25)));
    QVERIFY(!region.contains(QPoint(1, 1)));   // top-left rounding
    QVERIFY(region.contains(QPoint(199, 93))); // bottom-right: only the very corner goes
    QVERIFY(region.contains(QPoint(196, 96)));
    QVERIFY(!region.contains(QPoint(199, 99)));
    QVERIFY(!region.contains(QPoint(198, 1))); // top-right rounding
    QVERIFY(!region.contains(QPoint(1, 98)));  // bottom-left rounding
    QVERIFY(region.contains(QPoint(100, 0)));
    QVERIFY(region.contains(QPoint(0, 50)));
    QCOMPARE(region.boundingRect(), QRect(0, 0, 201, 100));
}

void tst_SkinnedWindow::regionFollowsRules_data() {
    QTest::addColumn<double>("widthTwips");
    QTest::addColumn<double>("heightTwips");
    QTest::newRow("frmMain") << 6735.0 << 5385.0;
    QTest::newRow("frmAlert") << 5925.0 << 4230.0;
    QTest::newRow("frmWarnSys") << 3915.0 << 2355.0;
    QTest::newRow("fractional") << 1508.0 << 1733.0;
    QTest::newRow("halves") << 697.5 << 1402.5;
    QTest::newRow("smallest") << 1000.0 << 1000.0;
}

void tst_SkinnedWindow::regionFollowsRules() {
    QFETCH(double, widthTwips);
    QFETCH(double, heightTwips);
    const double w = widthTwips / 15;
    const double h = heightTwips / 15;
    const QRegion region = SkinnedWindow::regionFor(widthTwips, heightTwips);
    for (int y = -2; y < h + 3; ++y) {
        for (int x = -2; x < w + 3; ++x) {
            if (region.contains(QPoint(x, y)) != outlineHolds(w, h, x, y)) {
                QFAIL(qPrintable(QStringLiteral("pixel (%1, %2)").arg(x).arg(y)));
            }
        }
    }
}

void tst_SkinnedWindow::maskFollowsSize() {
    SkinnedWindow w(QStringLiteral("Quillon防火墙"), 6735, 5385);
    QCOMPARE(w.mask(), SkinnedWindow::regionFor(6735, 5385));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.resize(200, 100);
    QVERIFY(w.mask().contains(QPoint(196, 96)));
    QVERIFY(!w.mask().contains(QPoint(199, 99)));
    QVERIFY(!w.mask().contains(QPoint(1, 1)));
}

void tst_SkinnedWindow::shrinksToNothingAndBack() {
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QPainter")));
    SkinnedWindow w(QStringLiteral("提示"), 3915, 2355);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.resize(0, 0);
    w.repaint();
    w.resize(120, 80);
    QCOMPARE(w.mask(), SkinnedWindow::regionFor(1800, 1200));
    QCOMPARE(w.Imclose->pos(), QPoint(120 - 31, 8));
    QCOMPARE(w.grab().toImage().pixelColor(60, 50), QColor(Qt::white));
}

void tst_SkinnedWindow::paintingPlacesSkinPieces() {
    SkinnedWindow w(QStringLiteral("Quillon防火墙"), 6735, 5385);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QImage shot = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage skin = w.Pmain->picture().toImage().convertToFormat(QImage::Format_RGB32);
    const int W = w.width();
    const int H = w.height();
    const auto same = [&](QPoint onWindow, QPoint inSkin) {
        return shot.pixel(onWindow) == skin.pixel(inSkin);
    };
    // Corners are copied one to one: top-left 30 x 40, top-right 111 x 29 (with the resting
    // caption buttons), bottom-left 30 x 40, bottom-right 111 x 35.
    QVERIFY(same({2, 36}, {2, 36}));
    QVERIFY(same({W - 111 + 60, 1}, {39 + 60, 1}));
    QVERIFY(same({W - 31 + 8, 8 + 8}, {39 + 80 + 8, 16})); // the close button at rest
    QVERIFY(same({W - 73 + 8, 8 + 8}, {39 + 38 + 8, 16})); // the minimise button at rest
    QVERIFY(same({5, H - 3}, {5, 152}));
    QVERIFY(same({W - 2, H - 2}, {148, 153}));
    QVERIFY(same({W - 100, H - 30}, {50, 125}));
    // Edges are stretched: the left and right strips down the sides, the top and bottom
    // strips along them.
    QVERIFY(same({1, H / 2}, {1, 59}));
    QVERIFY(same({W - 1, H / 2}, {149, 59}));
    QVERIFY(same({W / 2, 2}, {30, 2}));
    QVERIFY(same({W / 2, H - 2}, {30, 153}));
    // The middle keeps the background colour.
    QCOMPARE(QColor(shot.pixel(W / 2, H / 2)), QColor(Qt::white));

    // The caption: the dark copy is printed last, at 36, 8. The 8.25 pt strokes are thin
    // and smoothed, so a pixel counts when its colour is near the dark copy's.
    int dark = 0;
    for (int y = 8; y < 30; ++y) {
        for (int x = 30; x < 160; ++x) {
            const QColor c(shot.pixel(x, y));
            dark +=
                std::abs(c.red() - 31) + std::abs(c.green() - 96) + std::abs(c.blue() - 169) < 48
                    ? 1
                    : 0;
        }
    }
    QVERIFY(dark > 0);
}

void tst_SkinnedWindow::chromeStaysAboveContent() {
    SkinnedWindow w(QStringLiteral("提示"), 3915, 2355);
    // A content control covering the whole window, added after the frame was built.
    auto* cover = new QLabel(&w);
    cover->setGeometry(w.rect());
    QCOMPARE(w.childAt(centre(w.Imclose) + w.Imclose->pos()), w.Imclose);
    QCOMPARE(w.childAt(centre(w.IMBar) + w.IMBar->pos()), w.IMBar);
    QCOMPARE(w.childAt(w.Pjiao->pos() + QPoint(3, 3)), w.Pjiao);
    cover->raise();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.childAt(centre(w.Immin) + w.Immin->pos()), w.Immin);
}

void tst_SkinnedWindow::rightPressOnStripDoesNotMove() {
    SkinnedWindow w(QStringLiteral("提示"), 3915, 2355);
    w.move(100, 100);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QPoint before = w.pos();
    QTest::mousePress(w.IMBar, Qt::RightButton, {}, QPoint(20, 5));
    QTest::mouseMove(w.IMBar, QPoint(60, 45));
    QTest::mouseRelease(w.IMBar, Qt::RightButton, {}, QPoint(60, 45));
    QCOMPARE(w.pos(), before);
}

void tst_SkinnedWindow::leftDragOnStripMovesWindow() {
    // The offscreen platform has no window manager to move the window, so this exercises
    // the hand-made move.
    SkinnedWindow w(QStringLiteral("提示"), 3915, 2355);
    w.move(100, 100);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::mousePress(w.IMBar, Qt::LeftButton, {}, QPoint(20, 5));
    QTest::mouseMove(w.IMBar, QPoint(50, 45));
    QCOMPARE(w.pos(), QPoint(130, 140));
    QTest::mouseRelease(w.IMBar, Qt::LeftButton, {}, QPoint(20, 5));
    // Once let go, moving over the strip leaves the window where it is.
    QTest::mouseMove(w.IMBar, QPoint(60, 10));
    QCOMPARE(w.pos(), QPoint(130, 140));
}

void tst_SkinnedWindow::pressAndReleaseOnClose() {
    HidingWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
        QTest::mousePress(w.Imclose, button, {}, centre(w.Imclose));
        QVERIFY(samePicture(w.Imclose->picture(), w.ImClose2->picture()));
        // Released outside the button: back to rest, and no click.
        QTest::mouseRelease(w.Imclose, button, {}, QPoint(-20, 30));
        QVERIFY(w.Imclose->picture().isNull());
        QVERIFY(w.Imclose->tag.isEmpty());
    }
    QCOMPARE(w.closeRequests, 0);
    QVERIFY(w.isVisible());
    // Any button presses; only the left one clicks.
    QTest::mouseClick(w.Imclose, Qt::RightButton, {}, centre(w.Imclose));
    QCOMPARE(w.closeRequests, 0);
}

void tst_SkinnedWindow::hoverTagRule() {
    SkinnedWindow w(QStringLiteral("提示"), 3915, 2355);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::mouseMove(w.Immin, centre(w.Immin));
    QVERIFY(samePicture(w.Immin->picture(), w.ImMin1->picture()));
    QCOMPARE(w.Immin->tag, QStringLiteral("1"));
    // Pressed while hovered: the pressed picture stays while the mouse moves on, because
    // the tag says the hover was already shown.
    QTest::mousePress(w.Immin, Qt::RightButton, {}, centre(w.Immin));
    QVERIFY(samePicture(w.Immin->picture(), w.ImMin2->picture()));
    QCOMPARE(w.Immin->tag, QStringLiteral("1"));
    QTest::mouseMove(w.Immin, centre(w.Immin) + QPoint(1, 1));
    QVERIFY(samePicture(w.Immin->picture(), w.ImMin2->picture()));
    QTest::mouseRelease(w.Immin, Qt::RightButton, {}, centre(w.Immin));
    QVERIFY(w.Immin->picture().isNull());
    QVERIFY(w.Immin->tag.isEmpty());
    // At rest again, the next move shows the hover picture again.
    QTest::mouseMove(w.Immin, centre(w.Immin) + QPoint(2, 0));
    QVERIFY(samePicture(w.Immin->picture(), w.ImMin1->picture()));

    QTest::mouseMove(w.Imclose, centre(w.Imclose));
    QVERIFY(samePicture(w.Imclose->picture(), w.ImClose1->picture()));
    QCOMPARE(w.Imclose->tag, QStringLiteral("1"));
}

void tst_SkinnedWindow::bareSurfaceResetsHovers() {
    SkinnedWindow w(QStringLiteral("提示"), 3915, 2355);
    // A content control that passes mouse moves on to the window.
    auto* content = new QWidget(&w);
    content->setGeometry(40, 60, 100, 40);
    content->setMouseTracking(true);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QTest::mouseMove(w.Immin, centre(w.Immin));
    QTest::mouseMove(w.Immax, centre(w.Immax));
    QTest::mouseMove(w.Imclose, centre(w.Imclose));
    QCOMPARE(w.Immin->tag, QStringLiteral("1"));
    // Leaving a button for the title strip or a content control keeps the hover pictures.
    QTest::mouseMove(w.IMBar, QPoint(30, 5));
    QTest::mouseMove(content, QPoint(10, 10));
    QTest::mouseMove(w.Pjiao, QPoint(8, 8));
    QVERIFY(samePicture(w.Immin->picture(), w.ImMin1->picture()));
    QVERIFY(samePicture(w.Immax->picture(), w.Immax1->picture()));
    QVERIFY(samePicture(w.Imclose->picture(), w.ImClose1->picture()));
    // The bare surface puts all of them back to rest.
    QTest::mouseMove(&w, QPoint(w.width() / 2, 120));
    for (SkinImage* button : {w.Immin, w.Immax, w.Imclose}) {
        QVERIFY(button->picture().isNull());
        QVERIFY(button->tag.isEmpty());
    }
}

void tst_SkinnedWindow::maximiseButtonPicturesFollowState() {
    SkinnedWindow w(QStringLiteral("控制台"), 8070, 7185);
    w.showMaximized();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::mouseMove(w.Immax, centre(w.Immax));
    QVERIFY(samePicture(w.Immax->picture(), w.IMus1->picture()));
    QTest::mousePress(w.Immax, Qt::LeftButton, {}, centre(w.Immax));
    QVERIFY(samePicture(w.Immax->picture(), w.IMus2->picture()));
    QTest::mouseRelease(w.Immax, Qt::LeftButton, {}, centre(w.Immax));
    QVERIFY(w.Immax->picture().isNull());
    // The maximised window keeps its state: the button has no click action.
    QVERIFY(w.windowState() & Qt::WindowMaximized);

    // Minimised, the button's picture is left as it is.
    w.setWindowState(Qt::WindowMinimized);
    QTest::mouseMove(w.Immax, centre(w.Immax) + QPoint(2, 0));
    QVERIFY(w.Immax->picture().isNull());
    QCOMPARE(w.Immax->tag, QStringLiteral("1"));
}

void tst_SkinnedWindow::closeButtonClosesTheWindowItsOwnWay() {
    HidingWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::mouseMove(w.Imclose, centre(w.Imclose));
    QTest::mouseClick(w.Imclose, Qt::LeftButton, {}, centre(w.Imclose));
    QCOMPARE(w.closeRequests, 1);
    QVERIFY(w.isHidden());
    // Back at rest before the window went away.
    QVERIFY(w.Imclose->picture().isNull());
    QVERIFY(w.Imclose->tag.isEmpty());

    // A window without a close handler of its own really closes.
    auto* plain = new SkinnedWindow(QStringLiteral("提示"), 4635, 2535);
    const QPointer<SkinnedWindow> alive(plain);
    SkinImage* closeButton = plain->Imclose;
    plain->setAttribute(Qt::WA_DeleteOnClose);
    plain->show();
    QVERIFY(QTest::qWaitForWindowExposed(plain));
    QTest::mouseClick(closeButton, Qt::LeftButton, {}, centre(closeButton));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(alive.isNull());
}

void tst_SkinnedWindow::minimiseButton() {
    SkinnedWindow w(QStringLiteral("提示"), 3915, 2355);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::mouseClick(w.Immin, Qt::LeftButton, {}, centre(w.Immin));
    QVERIFY(w.windowState() & Qt::WindowMinimized);
    QVERIFY(w.Immin->picture().isNull());
}

void tst_SkinnedWindow::maximiseButtonDoesNothing() {
    SkinnedWindow w(QStringLiteral("Quillon防火墙"), 6735, 5385);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QRect before = w.geometry();
    QTest::mouseMove(w.Immax, centre(w.Immax));
    QVERIFY(samePicture(w.Immax->picture(), w.Immax1->picture()));
    QTest::mousePress(w.Immax, Qt::LeftButton, {}, centre(w.Immax));
    QVERIFY(samePicture(w.Immax->picture(), w.Immax2->picture()));
    QTest::mouseRelease(w.Immax, Qt::LeftButton, {}, centre(w.Immax));
    QTest::mouseDClick(w.Immax, Qt::LeftButton, {}, centre(w.Immax));
    QCOMPARE(w.geometry(), before);
    QCOMPARE(w.windowState(), Qt::WindowNoState);
    QVERIFY(w.isVisible());
}

void tst_SkinnedWindow::cornerGripOnlyChangesPointer() {
    SkinnedWindow w(QStringLiteral("Quillon防火墙"), 6735, 5385);
    w.move(50, 50);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QRect before = w.geometry();
    for (SkinImage* grip : {w.Pjiao, w.Pbottom, w.Pright}) {
        QTest::mousePress(grip, Qt::LeftButton, {}, QPoint(4, 4));
        QTest::mouseMove(grip, QPoint(44, 34));
        QTest::mouseRelease(grip, Qt::LeftButton, {}, QPoint(44, 34));
        QCOMPARE(w.geometry(), before);
    }
    QCOMPARE(w.Pjiao->cursor().shape(), Qt::SizeFDiagCursor);
}

QUILLON_UI_TEST_MAIN(tst_SkinnedWindow)
#include "tst_SkinnedWindow.moc"
