#include "ui/chrome/SkinnedWindow.h"

#include "ui/chrome/Twips.h"

#include <QApplication>
#include <QChildEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>
#include <cmath>
#include <vector>

namespace quillon::chrome {

namespace {

// Sizes of the frame's controls, in twips.
constexpr int kBarHeight = 255;
constexpr int kButtonWidth = 255;
constexpr int kButtonHeight = 240;
constexpr int kButtonTop = 120;
constexpr int kBottomGripHeight = 195;
constexpr int kRightGripWidth = 135;
constexpr int kCornerGrip = 255;

// The caption, printed twice: a light copy first, the dark one 10 twips right and down over
// it, so the light copy shows as a highlight along the top and left of the letters.
const QColor kCaptionLight(151, 169, 193);
const QColor kCaptionDark(31, 96, 169);
constexpr int kCaptionLightX = 530;
constexpr int kCaptionLightY = 110;
constexpr int kCaptionDarkX = 540;
constexpr int kCaptionDarkY = 120;

QPixmap skinPicture(const char* name) {
    return QPixmap(QStringLiteral(":/chrome/") + QLatin1String(name) + QStringLiteral(".png"));
}

int roundHalfEven(double value) {
    return static_cast<int>(std::nearbyint(value));
}

// The pixels x1..x2-1, y1..y2-1.
QRegion rectRegion(int x1, int y1, int x2, int y2) {
    if (x2 <= x1 || y2 <= y1) {
        return {};
    }
    return QRegion(x1, y1, x2 - x1, y2 - y1);
}

// The pixels of the box x1..x2-1, y1..y2-1 whose centres lie inside the ellipse inscribed in
// the box, built row by row so the shape is symmetric in the box. (QRegion's own ellipse
// samples the pixels' top-left corners, which shifts the shape by half a pixel.)
QRegion ellipseRegion(int x1, int y1, int x2, int y2) {
    if (x2 <= x1 || y2 <= y1) {
        return {};
    }
    const double cx = (x1 + x2) / 2.0;
    const double cy = (y1 + y2) / 2.0;
    const double rx = (x2 - x1) / 2.0;
    const double ry = (y2 - y1) / 2.0;
    std::vector<QRect> rows;
    rows.reserve(static_cast<std::size_t>(y2 - y1));
    for (int y = y1; y < y2; ++y) {
        const double dy = (y + 0.5 - cy) / ry;
        const double reach = 1.0 - dy * dy;
        if (reach < 0.0) {
            continue;
        }
        const double half = rx * std::sqrt(reach);
        const int left = static_cast<int>(std::ceil(cx - half - 0.5));
        const int right = static_cast<int>(std::floor(cx + half - 0.5));
        if (right >= left) {
            rows.emplace_back(left, y, right - left + 1, 1);
        }
    }
    QRegion region;
    region.setRects(rows.data(), static_cast<int>(rows.size()));
    return region;
}

SkinImage* holder(QWidget* parent, const char* name, const char* picture) {
    auto* image = new SkinImage(parent);
    image->setObjectName(QLatin1String(name));
    image->setPicture(skinPicture(picture));
    image->resize(px(kButtonWidth), px(kButtonHeight));
    image->hide();
    return image;
}

} // namespace

QFont SkinnedWindow::skinFont() {
    QStringList families;
    if (QFontDatabase::hasFamily(QStringLiteral("Tahoma"))) {
        families << QStringLiteral("Tahoma");
    }
    // The application's faces, the one with Chinese glyphs first: start-up has put such a
    // face there when the desktop's own has none.
    const QStringList chinese = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
    QStringList others;
    for (const QString& family : QApplication::font().families()) {
        (chinese.contains(family) ? families : others) << family;
    }
    families << others;
    QFont font(QApplication::font());
    font.setFamilies(families);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    font.setWeight(QFont::Normal);
    font.setStyle(QFont::StyleNormal);
    font.setUnderline(false);
    font.setStrikeOut(false);
    font.setStretch(QFont::Unstretched);
    return font;
}

void SkinnedWindow::addChineseFace() {
    const QStringList families = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
    for (const QString& preferred :
         {QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
          QStringLiteral("Noto Sans SC"), QStringLiteral("Source Han Sans SC")}) {
        if (families.contains(preferred)) {
            QFont font = QApplication::font();
            font.setFamilies({font.family(), preferred});
            QApplication::setFont(font);
            return;
        }
    }
}

QPalette SkinnedWindow::skinPalette() {
    // Derived from a light button face and the white skin; the constructor gives every
    // role of every group (disabled text included) its light-theme colour.
    QPalette pal(QColor(240, 240, 240), QColor(Qt::white));
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::AlternateBase, QColor(245, 245, 245));
    pal.setColor(QPalette::ToolTipBase, QColor(255, 255, 220));
    pal.setColor(QPalette::ToolTipText, Qt::black);
    pal.setColor(QPalette::Highlight, QColor(0, 120, 215));
    pal.setColor(QPalette::HighlightedText, Qt::white);
    pal.setColor(QPalette::PlaceholderText, QColor(128, 128, 128));
    pal.setColor(QPalette::Link, QColor(0, 0, 255));
    pal.setColor(QPalette::LinkVisited, QColor(128, 0, 128));
    return pal;
}

SkinnedWindow::SkinnedWindow(const QString& caption, int widthTwips, int heightTwips,
                             int barTopTwips, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), barTopTwips_(barTopTwips) {
    setWindowTitle(caption);
    // Set on the window, both reach every control inside it, whatever the desktop's theme
    // gives the application.
    setFont(skinFont());
    setPalette(skinPalette());
    // The surface is painted whole from the back buffer.
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Moves over the bare surface without a button held put hovered buttons back to rest.
    setMouseTracking(true);

    Pmain = new SkinImage(this);
    Pmain->setObjectName(QStringLiteral("Pmain"));
    Pmain->setPicture(skinPicture("skin"));
    Pmain->resize(Pmain->picture().size());
    Pmain->hide();

    ImMin1 = holder(this, "ImMin1", "ImMin1");
    ImMin2 = holder(this, "ImMin2", "ImMin2");
    Immax1 = holder(this, "Immax1", "Immax1");
    Immax2 = holder(this, "Immax2", "Immax2");
    IMus1 = holder(this, "IMus1", "IMus1");
    IMus2 = holder(this, "IMus2", "IMus2");
    ImClose1 = holder(this, "ImClose1", "ImClose1");
    ImClose2 = holder(this, "ImClose2", "ImClose2");
    IMus0 = holder(this, "IMus0", "IMus0");

    IMBar = new SkinImage(this);
    IMBar->setObjectName(QStringLiteral("IMBar"));
    IMBar->setGeometry(pxRect(0, barTopTwips_, 3015, kBarHeight));
    IMBar->installEventFilter(this);

    Pbottom = new SkinImage(this);
    Pbottom->setObjectName(QStringLiteral("Pbottom"));
    Pbottom->setCursor(Qt::SizeVerCursor);
    Pright = new SkinImage(this);
    Pright->setObjectName(QStringLiteral("Pright"));
    Pright->setCursor(Qt::SizeHorCursor);
    Pjiao = new SkinImage(this);
    Pjiao->setObjectName(QStringLiteral("Pjiao"));
    Pjiao->setCursor(Qt::SizeFDiagCursor);
    // The grips keep their left (bottom grip) and top (right grip) edges; sized by the layout.
    Pbottom->setGeometry(pxRect(0, 0, 0, kBottomGripHeight));
    Pright->setGeometry(pxRect(0, 0, kRightGripWidth, 0));
    Pjiao->resize(px(kCornerGrip), px(kCornerGrip));

    const auto button = [this](SkinImage*& control, const char* name, const QString& tip) {
        control = new SkinImage(this);
        control->setObjectName(QLatin1String(name));
        control->setToolTip(tip);
        control->resize(px(kButtonWidth), px(kButtonHeight));
        control->setMouseTracking(true);
        control->installEventFilter(this);
    };
    button(Immin, "Immin", QStringLiteral("最小化"));
    button(Immax, "Immax", QStringLiteral("最大化"));
    button(Imclose, "Imclose", QStringLiteral("关闭"));

    raiseChrome();
    resize(px(widthTwips), px(heightTwips));
    // A widget that was never shown gets no resize event; lay out and paint now so the
    // window is complete before it is first shown.
    layoutChrome();
    paintSkin();
    RMe();
}

SkinnedWindow::~SkinnedWindow() = default;

QRegion SkinnedWindow::regionFor(double widthTwips, double heightTwips) {
    const double w = widthTwips / kTwipsPerPixel;
    const double h = heightTwips / kTwipsPerPixel;
    const auto r = roundHalfEven;
    QRegion region = rectRegion(0, r(26), r(w), r(h - 26));
    region += rectRegion(r(23), 0, r(w - 23), r(h));
    region += rectRegion(r(23), r(52), r(w), r(h - 6));
    region += rectRegion(r(52), r(52), r(w - 6), r(h));
    region += ellipseRegion(0, 0, r(52), r(52));
    region += ellipseRegion(r(w - 50), 0, r(w + 1), r(52));
    region += ellipseRegion(0, r(h - 52), r(52), r(h));
    region += ellipseRegion(r(w - 9), r(h - 9), r(w), r(h));
    return region;
}

void SkinnedWindow::RMe() {
    setMask(regionFor(twips(width()), twips(height())));
}

void SkinnedWindow::layoutChrome() {
    const double w = twips(width());
    const double h = twips(height());
    IMBar->resize(px(w - 1100), IMBar->height());
    Immax->move(px(w - 780), px(kButtonTop));
    Immin->move(px(w - 1095), px(kButtonTop));
    Imclose->move(px(w - 465), px(kButtonTop));
    Pbottom->setGeometry(Pbottom->x(), px(h - kBottomGripHeight), px(w - 240), Pbottom->height());
    Pright->setGeometry(px(w - kRightGripWidth), Pright->y(), Pright->width(), px(h - 240));
    Pjiao->move(px(w - kCornerGrip), px(h - kCornerGrip));
}

void SkinnedWindow::paintSkin() {
    if (size().isEmpty()) {
        backBuffer_ = QPixmap();
        return;
    }
    const qreal ratio = devicePixelRatioF();
    backBuffer_ = QPixmap(size() * ratio);
    backBuffer_.setDevicePixelRatio(ratio);
    QPainter painter(&backBuffer_);
    painter.fillRect(rect(), palette().color(QPalette::Window));

    const QPixmap& skin = Pmain->picture();
    if (!skin.isNull()) {
        const double w = twips(width());
        const double h = twips(height());
        const double pw = twips(skin.width());
        const double ph = twips(skin.height());
        // Each piece of the skin, stretched from its place in the picture to its place on
        // the window (x, y, width, height in twips); later pieces cover earlier ones.
        struct Piece {
            double dx, dy, dw, dh, sx, sy, sw, sh;
        };
        const Piece pieces[] = {
            {420, 0, w, 600, 420, 0, 120, 600},                             // top edge
            {420, h - 600, w, 600, 420, ph - 600, 120, 600},                // bottom edge
            {0, 0, 200, h, 0, 880, 200, 40},                                // left edge
            {w - 200, 0, 200, h, pw - 200, 880, 200, 40},                   // right edge
            {0, 0, 450, 600, 0, 0, 450, 600},                               // top-left corner
            {0, h - 600, 450, 600, 0, ph - 600, 450, 600},                  // bottom-left corner
            {w - 1665, 0, 1665, 435, pw - 1665, 0, 1665, 435},              // top-right corner
            {w - 1665, h - 525, 1665, 525, pw - 1665, ph - 525, 1665, 525}, // bottom-right
        };
        for (const Piece& p : pieces) {
            painter.drawPixmap(pxRect(p.dx, p.dy, p.dw, p.dh), skin,
                               pxRect(p.sx, p.sy, p.sw, p.sh));
        }
    }

    // Printing puts the top of the text line at the current position.
    painter.setFont(font());
    const int ascent = QFontMetrics(font()).ascent();
    const QString caption = windowTitle();
    painter.setPen(kCaptionLight);
    painter.drawText(px(kCaptionLightX), px(kCaptionLightY) + ascent, caption);
    painter.setPen(kCaptionDark);
    painter.drawText(px(kCaptionDarkX), px(kCaptionDarkY) + ascent, caption);
}

void SkinnedWindow::raiseChrome() {
    for (SkinImage* control : {IMBar, Pbottom, Pright, Pjiao, Immin, Immax, Imclose}) {
        if (control != nullptr) {
            control->raise();
        }
    }
}

bool SkinnedWindow::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::ChildAdded:
        // A content control added by a window lands on top of the stack: put the frame's
        // controls back above it so the caption buttons and grips are never covered.
        if (static_cast<QChildEvent*>(event)->child()->isWidgetType()) {
            raiseChrome();
        }
        break;
    case QEvent::WindowTitleChange:
    case QEvent::FontChange:
    case QEvent::PaletteChange:
        // The caption and background are part of the painted image.
        if (Pmain != nullptr) {
            paintSkin();
            update();
        }
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

void SkinnedWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutChrome();
    paintSkin();
    RMe();
}

void SkinnedWindow::paintEvent(QPaintEvent* event) {
    if (!qFuzzyCompare(backBuffer_.devicePixelRatio(), devicePixelRatioF())) {
        // Moved to a screen of another pixel density: the image is redrawn at the new one.
        paintSkin();
    }
    QPainter painter(this);
    painter.drawPixmap(event->rect(), backBuffer_,
                       QRectF(QPointF(event->rect().topLeft()) * backBuffer_.devicePixelRatio(),
                              QSizeF(event->rect().size()) * backBuffer_.devicePixelRatio()));
}

void SkinnedWindow::showEvent(QShowEvent* event) {
    raiseChrome();
    QWidget::showEvent(event);
}

void SkinnedWindow::mouseMoveEvent(QMouseEvent* event) {
    if (childAt(event->position().toPoint()) == nullptr) {
        resetHovers();
    }
    QWidget::mouseMoveEvent(event);
}

void SkinnedWindow::resetHovers() {
    for (SkinImage* button : {Imclose, Immin, Immax}) {
        if (!button->tag.isEmpty()) {
            button->setPicture({});
            button->tag.clear();
        }
    }
}

int SkinnedWindow::windowStateCode() const {
    const Qt::WindowStates state = windowState();
    if (state & Qt::WindowMinimized) {
        return 1;
    }
    if (state & (Qt::WindowMaximized | Qt::WindowFullScreen)) {
        return 2;
    }
    return 0;
}

bool SkinnedWindow::eventFilter(QObject* watched, QEvent* event) {
    const auto type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove &&
        type != QEvent::MouseButtonRelease) {
        return QWidget::eventFilter(watched, event);
    }
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (watched == IMBar) {
        if (type == QEvent::MouseButtonPress) {
            barPressed(mouse);
        } else if (type == QEvent::MouseMove) {
            barMoved(mouse);
        } else if (mouse->button() == Qt::LeftButton) {
            manualDrag_ = false;
        }
        return true;
    }
    for (SkinImage* button : {Immin, Immax, Imclose}) {
        if (watched != button) {
            continue;
        }
        if (type == QEvent::MouseMove) {
            buttonMoved(button);
        } else if (type == QEvent::MouseButtonPress) {
            buttonPressed(button);
        } else {
            buttonReleased(button, mouse);
        }
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void SkinnedWindow::barPressed(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    QWindow* handle = windowHandle();
    if (handle != nullptr && handle->startSystemMove()) {
        return;
    }
    // No window manager to move the window: follow the pointer until the button is let go.
    manualDrag_ = true;
    dragOffset_ = event->globalPosition().toPoint() - pos();
}

void SkinnedWindow::barMoved(QMouseEvent* event) {
    if (!manualDrag_) {
        return;
    }
    if (!(event->buttons() & Qt::LeftButton)) {
        manualDrag_ = false;
        return;
    }
    move(event->globalPosition().toPoint() - dragOffset_);
}

void SkinnedWindow::buttonMoved(SkinImage* button) {
    if (!button->tag.isEmpty()) {
        return;
    }
    if (button == Immin) {
        button->setPicture(ImMin1->picture());
    } else if (button == Imclose) {
        button->setPicture(ImClose1->picture());
    } else {
        const int state = windowStateCode();
        if (state == 0) {
            button->setPicture(Immax1->picture());
        } else if (state == 2) {
            button->setPicture(IMus1->picture());
        }
    }
    button->tag = QStringLiteral("1");
}

void SkinnedWindow::buttonPressed(SkinImage* button) {
    if (button == Immin) {
        button->setPicture(ImMin2->picture());
    } else if (button == Imclose) {
        button->setPicture(ImClose2->picture());
    } else {
        const int state = windowStateCode();
        if (state == 0) {
            button->setPicture(Immax2->picture());
        } else if (state == 2) {
            button->setPicture(IMus2->picture());
        }
    }
}

void SkinnedWindow::buttonReleased(SkinImage* button, QMouseEvent* event) {
    button->setPicture({});
    button->tag.clear();
    // A click is a left-button release over the button it was pressed on; it comes after
    // the button is back at rest. The maximise button has no click action.
    if (event->button() != Qt::LeftButton ||
        !button->rect().contains(event->position().toPoint())) {
        return;
    }
    if (button == Immin) {
        setWindowState(windowState() | Qt::WindowMinimized);
    } else if (button == Imclose) {
        close();
    }
}

} // namespace quillon::chrome
