// Draws the pictures of the skinned frame: the 150 x 155 skin the frame cuts its pieces
// from, and the 17 x 16 hover and pressed pictures of the caption buttons.
//
// The skin is drawn as a small window of its own size: its outline comes from the frame's
// own region, so the border follows the rounded corners pixel for pixel in every window
// (the corner pieces keep their distance to the window's edges). The button pictures are
// cut from the skin drawn with that one button hovered or pressed, so they match the title
// band beneath them exactly.
//
//   quillon-skin <folder>   writes skin.png, ImMin1.png ... IMus0.png into <folder>

#include "ui/chrome/SkinnedWindow.h"

#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <array>
#include <cstdio>
#include <vector>

namespace {

constexpr int kWidth = 150;
constexpr int kHeight = 155;
constexpr int kTwips = 15;

// The title band covers rows 0..27 and ends in a separator line; the pieces that carry it
// (top-left 40 rows, top edge 40 rows, top-right 29 rows) all hold it whole.
constexpr int kBandRows = 28;
// A quiet footer along the bottom edge, below every window's lowest content control.
constexpr int kFooterTop = 145;

// The caption buttons in the skin: where the frame puts them in a window of the skin's own
// size (minimise at W - 1095 twips, maximise W - 780, close W - 465, all 120 from the top).
constexpr int kButtonTop = 8;
constexpr int kButtonWidth = 17;
constexpr int kButtonHeight = 16;
constexpr std::array<int, 3> kButtonLeft = {kWidth - 73, kWidth - 52, kWidth - 31};

const QColor kBandTop(0xe2, 0xee, 0xfd);
const QColor kBandBottom(0xb2, 0xd0, 0xf3);
const QColor kBandLine(0x9c, 0xbd, 0xe6);
const QColor kBody(Qt::white);
const QColor kFooterLine(0xe1, 0xea, 0xf5);
const QColor kFooterTopColour(0xf6, 0xf9, 0xfd);
const QColor kFooterBottom(0xe8, 0xef, 0xf8);
const QColor kBorder(0x5f, 0x8d, 0xc8);
const QColor kGlyph(0x2c, 0x52, 0x86);

enum class Look { Rest, Hover, Pressed };
enum class Glyph { Minimise, Maximise, Restore, Close };

struct Button {
    Look look = Look::Rest;
    Glyph glyph = Glyph::Minimise;
};

QColor mix(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(static_cast<float>(a.redF() + (b.redF() - a.redF()) * t),
                            static_cast<float>(a.greenF() + (b.greenF() - a.greenF()) * t),
                            static_cast<float>(a.blueF() + (b.blueF() - a.blueF()) * t));
}

void drawBackground(QImage& image) {
    QPainter painter(&image);
    painter.fillRect(image.rect(), kBody);
    for (int y = 0; y < kBandRows; ++y) {
        painter.fillRect(0, y, kWidth, 1, mix(kBandTop, kBandBottom, y / (kBandRows - 1.0)));
    }
    // A glassy highlight just under the top edge, and the band's lower edge.
    painter.fillRect(0, 1, kWidth, 1, mix(kBandTop, Qt::white, 0.7));
    painter.fillRect(0, kBandRows, kWidth, 1, kBandLine);
    painter.fillRect(0, kBandRows + 1, kWidth, 1, QColor(0xf1, 0xf6, 0xfc));

    painter.fillRect(0, kFooterTop, kWidth, 1, kFooterLine);
    for (int y = kFooterTop + 1; y < kHeight; ++y) {
        const double t = (y - kFooterTop - 1.0) / (kHeight - kFooterTop - 2.0);
        painter.fillRect(0, y, kWidth, 1, mix(kFooterTopColour, kFooterBottom, t));
    }
}

// A one-pixel border along the outline with two softer rings inside it: bright in the
// title band (glass), a faint blue tint elsewhere.
void drawBorder(QImage& image) {
    const QRegion outline =
        quillon::chrome::SkinnedWindow::regionFor(kWidth * kTwips, kHeight * kTwips);
    const auto inside = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < kWidth && y < kHeight && outline.contains(QPoint(x, y));
    };
    // Distance (steps left, right, up, down) from each pixel to the nearest one outside.
    constexpr int kFar = 99;
    std::vector<int> distance(kWidth * kHeight, kFar);
    const auto at = [&](int x, int y) -> int& { return distance[y * kWidth + x]; };
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            if (!inside(x, y)) {
                at(x, y) = 0;
            } else if (!inside(x - 1, y) || !inside(x + 1, y) || !inside(x, y - 1) ||
                       !inside(x, y + 1)) {
                at(x, y) = 1;
            }
        }
    }
    for (int ring = 2; ring <= 3; ++ring) {
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                if (at(x, y) != kFar) {
                    continue;
                }
                const bool next = (x > 0 && at(x - 1, y) == ring - 1) ||
                                  (x + 1 < kWidth && at(x + 1, y) == ring - 1) ||
                                  (y > 0 && at(x, y - 1) == ring - 1) ||
                                  (y + 1 < kHeight && at(x, y + 1) == ring - 1);
                if (next) {
                    at(x, y) = ring;
                }
            }
        }
    }
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const QColor under = image.pixelColor(x, y);
            const bool band = y < kBandRows;
            QColor colour = under;
            switch (at(x, y)) {
            case 1:
                colour = kBorder;
                break;
            case 2:
                colour = band ? mix(under, Qt::white, 0.65) : mix(under, kBorder, 0.22);
                break;
            case 3:
                colour = band ? mix(under, Qt::white, 0.25) : mix(under, kBorder, 0.08);
                break;
            default:
                break;
            }
            image.setPixelColor(x, y, colour);
        }
    }
}

// A small shield in the title band's left corner.
void drawEmblem(QPainter& painter) {
    QPainterPath shield;
    shield.moveTo(19.5, 6.0);
    shield.cubicTo(22.5, 7.6, 24.8, 8.0, 26.5, 8.0);
    shield.lineTo(26.5, 13.0);
    shield.cubicTo(26.5, 17.6, 23.6, 20.4, 19.5, 22.5);
    shield.cubicTo(15.4, 20.4, 12.5, 17.6, 12.5, 13.0);
    shield.lineTo(12.5, 8.0);
    shield.cubicTo(14.2, 8.0, 16.5, 7.6, 19.5, 6.0);
    shield.closeSubpath();
    QLinearGradient fill(0, 6, 0, 22.5);
    fill.setColorAt(0, QColor(0x5c, 0x9c, 0xea));
    fill.setColorAt(1, QColor(0x22, 0x5c, 0xb0));
    painter.setPen(QPen(QColor(0x1d, 0x4b, 0x8c), 1.0));
    painter.setBrush(fill);
    painter.drawPath(shield);
    // The shield's lit half and a check mark.
    QPainterPath lit;
    lit.moveTo(19.5, 7.3);
    lit.lineTo(19.5, 21.0);
    lit.cubicTo(16.0, 19.2, 13.6, 16.8, 13.6, 13.0);
    lit.lineTo(13.6, 9.0);
    lit.cubicTo(15.4, 8.9, 17.4, 8.4, 19.5, 7.3);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 46));
    painter.drawPath(lit);
    QPen check(Qt::white, 1.7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(check);
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(QPolygonF({{16.2, 13.8}, {18.7, 16.4}, {23.0, 11.2}}));
}

void drawGlyph(QPainter& painter, Glyph glyph, const QColor& colour, const QColor& behind) {
    painter.setBrush(Qt::NoBrush);
    switch (glyph) {
    case Glyph::Minimise:
        painter.fillRect(QRectF(5, 9, 7, 2), colour);
        break;
    case Glyph::Maximise:
        painter.setPen(QPen(colour, 1.0));
        painter.drawRect(QRectF(5.5, 4.5, 6, 6));
        painter.fillRect(QRectF(5, 4, 7, 2), colour);
        break;
    case Glyph::Restore:
        painter.setPen(QPen(colour, 1.0));
        painter.drawRect(QRectF(7.5, 3.5, 5, 5));
        painter.fillRect(QRectF(7, 3, 6, 2), colour);
        painter.fillRect(QRectF(4, 6, 6, 6), behind);
        painter.drawRect(QRectF(4.5, 6.5, 5, 5));
        painter.fillRect(QRectF(4, 6, 6, 2), colour);
        break;
    case Glyph::Close: {
        QPen pen(colour, 1.6, Qt::SolidLine, Qt::RoundCap);
        painter.setPen(pen);
        painter.drawLine(QPointF(5.6, 4.6), QPointF(11.4, 10.4));
        painter.drawLine(QPointF(11.4, 4.6), QPointF(5.6, 10.4));
        break;
    }
    }
}

// One caption button in a 17 x 16 box whose top-left corner is the painter's origin.
void drawButton(QPainter& painter, const Button& button, const QColor& bandBehind) {
    const QRectF face(0.5, 0.5, kButtonWidth - 1, kButtonHeight - 1);
    const bool close = button.glyph == Glyph::Close;
    QColor glyph = kGlyph;
    QColor behind = bandBehind;
    if (button.look != Look::Rest) {
        const bool pressed = button.look == Look::Pressed;
        QLinearGradient fill(0, 0, 0, kButtonHeight);
        QColor edge;
        if (close) {
            fill.setColorAt(0, pressed ? QColor(0xc0, 0x39, 0x2f) : QColor(0xf2, 0x70, 0x64));
            fill.setColorAt(1, pressed ? QColor(0xa3, 0x2c, 0x24) : QColor(0xd8, 0x45, 0x3a));
            edge = pressed ? QColor(0x86, 0x22, 0x1b) : QColor(0xb3, 0x35, 0x2c);
            glyph = Qt::white;
        } else {
            fill.setColorAt(0, pressed ? QColor(0xa9, 0xc6, 0xec) : QColor(0xff, 0xff, 0xff));
            fill.setColorAt(1, pressed ? QColor(0xc6, 0xdb, 0xf5) : QColor(0xdf, 0xec, 0xfb));
            edge = pressed ? QColor(0x4a, 0x7b, 0xbf) : QColor(0x7d, 0xa5, 0xd9);
            behind = pressed ? QColor(0xb8, 0xd0, 0xf0) : QColor(0xef, 0xf5, 0xfd);
        }
        painter.setPen(QPen(edge, 1.0));
        painter.setBrush(fill);
        painter.drawRoundedRect(face, 3, 3);
        if (close) {
            behind = fill.stops().at(0).second;
        }
        if (pressed) {
            // A pressed button's face sinks: the glyph moves down by one pixel.
            painter.translate(0, 1);
        }
    }
    drawGlyph(painter, button.glyph, glyph, behind);
}

// Six small dots in a triangle in the bottom-right corner, where the corner grip sits.
void drawGrip(QPainter& painter) {
    for (int a = 0; a < 3; ++a) {
        for (int b = 0; a + b < 3; ++b) {
            const int x = kWidth - 7 - 4 * a;
            const int y = kHeight - 7 - 4 * b;
            painter.fillRect(x + 1, y + 1, 2, 2, Qt::white);
            painter.fillRect(x, y, 2, 2, QColor(0x93, 0xac, 0xcc));
        }
    }
}

QImage drawSkin(const std::array<Button, 3>& buttons) {
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    drawBackground(image);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    drawEmblem(painter);
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        painter.save();
        painter.translate(kButtonLeft[i], kButtonTop);
        const QColor behind = image.pixelColor(kButtonLeft[i] + 8, kButtonTop + 8);
        drawButton(painter, buttons[i], behind);
        painter.restore();
    }
    drawGrip(painter);
    painter.end();
    drawBorder(image);
    return image;
}

std::array<Button, 3> atRest(Glyph maximise) {
    return {Button{Look::Rest, Glyph::Minimise}, Button{Look::Rest, maximise},
            Button{Look::Rest, Glyph::Close}};
}

// One button's picture: the skin drawn with that button in the given look, cut out where
// the button stands.
QImage buttonPicture(std::size_t index, Look look, Glyph glyph) {
    std::array<Button, 3> buttons = atRest(Glyph::Maximise);
    buttons[index] = Button{look, glyph};
    return drawSkin(buttons).copy(kButtonLeft[index], kButtonTop, kButtonWidth, kButtonHeight);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.exists()) {
        std::fprintf(stderr, "%s: no such folder\n", argv[1]);
        return 1;
    }
    struct Output {
        const char* name;
        QImage image;
    };
    const Output outputs[] = {
        {"skin", drawSkin(atRest(Glyph::Maximise))},
        {"ImMin1", buttonPicture(0, Look::Hover, Glyph::Minimise)},
        {"ImMin2", buttonPicture(0, Look::Pressed, Glyph::Minimise)},
        {"Immax1", buttonPicture(1, Look::Hover, Glyph::Maximise)},
        {"Immax2", buttonPicture(1, Look::Pressed, Glyph::Maximise)},
        {"IMus1", buttonPicture(1, Look::Hover, Glyph::Restore)},
        {"IMus2", buttonPicture(1, Look::Pressed, Glyph::Restore)},
        {"IMus0", buttonPicture(1, Look::Rest, Glyph::Restore)},
        {"ImClose1", buttonPicture(2, Look::Hover, Glyph::Close)},
        {"ImClose2", buttonPicture(2, Look::Pressed, Glyph::Close)},
    };
    for (const Output& output : outputs) {
        const QString path = folder.filePath(QLatin1String(output.name) + QStringLiteral(".png"));
        // Opaque 24-bit pictures, like the bitmaps they stand for.
        if (!output.image.convertToFormat(QImage::Format_RGB888).save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
