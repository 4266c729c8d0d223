// Draws the toolbar pictures of the main window (imgCold at rest, imgHot under the pointer)
// and the shield mark beside the list, as PNG files into the folder given on the command
// line:
//   imgCold/1.png .. imgCold/5.png, imgHot/1.png .. imgHot/5.png, shield.png
// Pictures: 1 pause (polling runs), 2 refresh, 3 list filter, 4 console, 5 play (shown on
// button 1 while polling is stopped).

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>
#include <cstdio>
#include <functional>

namespace {

constexpr int kSize = 32;

struct Palette {
    QColor light; // top of the disc
    QColor dark;  // bottom of the disc
    QColor rim;
    QColor glyph;
    bool glow;
};

const Palette kCold{QColor(0x8f, 0xa3, 0xb8), QColor(0x4f, 0x63, 0x7a), QColor(0x3c, 0x4b, 0x5c),
                    QColor(0xff, 0xff, 0xff), false};
const Palette kHot{QColor(0x5c, 0xb8, 0xff), QColor(0x12, 0x5f, 0xc9), QColor(0x0b, 0x45, 0x96),
                   QColor(0xff, 0xff, 0xff), true};

// A glossy disc the glyph stands on.
void drawDisc(QPainter& p, const Palette& pal) {
    const QRectF disc(2.5, 2.5, 27, 27);
    if (pal.glow) {
        QRadialGradient halo(16, 16, 16);
        halo.setColorAt(0.75, QColor(0x5c, 0xb8, 0xff, 110));
        halo.setColorAt(1.0, QColor(0x5c, 0xb8, 0xff, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(halo);
        p.drawEllipse(QRectF(0, 0, kSize, kSize));
    }
    QLinearGradient body(0, disc.top(), 0, disc.bottom());
    body.setColorAt(0, pal.light);
    body.setColorAt(1, pal.dark);
    p.setPen(QPen(pal.rim, 1.0));
    p.setBrush(body);
    p.drawEllipse(disc);
    // Gloss on the upper half.
    QLinearGradient gloss(0, disc.top(), 0, disc.center().y());
    gloss.setColorAt(0, QColor(255, 255, 255, 150));
    gloss.setColorAt(1, QColor(255, 255, 255, 10));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawEllipse(QRectF(6, 3.5, 20, 12));
}

void drawPause(QPainter& p, const Palette& pal) {
    p.setPen(Qt::NoPen);
    p.setBrush(pal.glyph);
    p.drawRoundedRect(QRectF(10.5, 9.5, 4, 13), 1.2, 1.2);
    p.drawRoundedRect(QRectF(17.5, 9.5, 4, 13), 1.2, 1.2);
}

void drawPlay(QPainter& p, const Palette& pal) {
    QPainterPath tri;
    tri.moveTo(12.5, 9);
    tri.lineTo(23, 16);
    tri.lineTo(12.5, 23);
    tri.closeSubpath();
    p.setPen(QPen(pal.glyph, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(pal.glyph);
    p.drawPath(tri);
}

void drawRefresh(QPainter& p, const Palette& pal) {
    p.setPen(QPen(pal.glyph, 2.6, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    const QRectF ring(9, 9, 14, 14);
    p.drawArc(ring, 100 * 16, 250 * 16);
    // Arrow head at the open end of the arc (top, pointing right).
    const double a = 100.0 * M_PI / 180.0;
    const QPointF tip(16 + 7 * std::cos(a), 16 - 7 * std::sin(a));
    QPainterPath head;
    head.moveTo(tip + QPointF(4.5, 0));
    head.lineTo(tip + QPointF(-1.5, -4.0));
    head.lineTo(tip + QPointF(-1.5, 4.0));
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(pal.glyph);
    p.drawPath(head);
}

void drawFilter(QPainter& p, const Palette& pal) {
    // Three list lines, the lowest one shorter, and a small funnel at the lower right.
    p.setPen(QPen(pal.glyph, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(9, 10.5), QPointF(23, 10.5));
    p.drawLine(QPointF(9, 15), QPointF(23, 15));
    p.drawLine(QPointF(9, 19.5), QPointF(14, 19.5));
    QPainterPath funnel;
    funnel.moveTo(16, 17.5);
    funnel.lineTo(24.5, 17.5);
    funnel.lineTo(21.2, 21.5);
    funnel.lineTo(21.2, 25);
    funnel.lineTo(19.3, 24);
    funnel.lineTo(19.3, 21.5);
    funnel.closeSubpath();
    p.setPen(QPen(pal.rim, 0.8));
    p.setBrush(pal.glyph);
    p.drawPath(funnel);
}

void drawGear(QPainter& p, const Palette& pal) {
    QPainterPath gear;
    const int teeth = 8;
    const double rOut = 8.6;
    const double rIn = 6.4;
    for (int k = 0; k < teeth * 4; ++k) {
        const double ang = (k * 2 * M_PI) / (teeth * 4);
        const double r = (k % 4 == 0 || k % 4 == 1) ? rOut : rIn;
        const QPointF pt(16 + r * std::cos(ang - M_PI / (teeth * 4)),
                         16 + r * std::sin(ang - M_PI / (teeth * 4)));
        if (k == 0) {
            gear.moveTo(pt);
        } else {
            gear.lineTo(pt);
        }
    }
    gear.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(QPointF(16, 16), 2.8, 2.8);
    p.setPen(Qt::NoPen);
    p.setBrush(pal.glyph);
    p.drawPath(gear.subtracted(hole));
}

QImage icon(const Palette& pal, const std::function<void(QPainter&, const Palette&)>& glyph) {
    QImage img(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    drawDisc(p, pal);
    // A faint shadow under the glyph keeps it legible on the lighter disc.
    p.save();
    p.translate(0, 0.8);
    Palette shadow = pal;
    shadow.glyph = QColor(0, 0, 0, 70);
    shadow.rim = QColor(0, 0, 0, 0);
    glyph(p, shadow);
    p.restore();
    glyph(p, pal);
    return img;
}

// A shield with a check mark, 71 x 63 pixels.
QImage shield() {
    QImage img(71, 63, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath s;
    s.moveTo(35.5, 3);
    s.cubicTo(45, 8, 54, 9, 60, 9);
    s.cubicTo(60, 34, 52, 50, 35.5, 60);
    s.cubicTo(19, 50, 11, 34, 11, 9);
    s.cubicTo(17, 9, 26, 8, 35.5, 3);
    s.closeSubpath();
    QLinearGradient body(0, 3, 0, 60);
    body.setColorAt(0, QColor(0x4f, 0xa8, 0xf0));
    body.setColorAt(1, QColor(0x0e, 0x4c, 0x9e));
    p.setPen(QPen(QColor(0x0a, 0x36, 0x70), 1.6));
    p.setBrush(body);
    p.drawPath(s);
    // Left half lighter, as if lit from the left.
    QPainterPath left = s.intersected([] {
        QPainterPath r;
        r.addRect(0, 0, 35.5, 63);
        return r;
    }());
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 45));
    p.drawPath(left);
    QPainterPath check;
    check.moveTo(24, 31);
    check.lineTo(32.5, 40);
    check.lineTo(48, 21);
    p.setPen(QPen(QColor(255, 255, 255), 5.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(check);
    return img;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: toolbar-icons OUTPUT-FOLDER\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral("imgCold")) || !out.mkpath(QStringLiteral("imgHot"))) {
        std::fprintf(stderr, "cannot create the output folders\n");
        return 1;
    }
    const std::function<void(QPainter&, const Palette&)> glyphs[] = {
        drawPause, drawRefresh, drawFilter, drawGear, drawPlay};
    bool ok = true;
    for (int k = 0; k < 5; ++k) {
        const QString name = QStringLiteral("%1.png").arg(k + 1);
        ok = icon(kCold, glyphs[k]).save(out.filePath(QStringLiteral("imgCold/") + name)) && ok;
        ok = icon(kHot, glyphs[k]).save(out.filePath(QStringLiteral("imgHot/") + name)) && ok;
    }
    ok = shield().save(out.filePath(QStringLiteral("shield.png"))) && ok;
    if (!ok) {
        std::fprintf(stderr, "cannot write the pictures\n");
        return 1;
    }
    return 0;
}
