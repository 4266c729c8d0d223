// Draws the console's pictures: the banner of the security tab, the emblem of the credits
// frame and the small level icon. Not part of the program: run it by hand when the artwork
// changes and commit what it writes (the console takes them from its Qt resource):
//   QT_QPA_PLATFORM=offscreen build/bin/quillon-console-art src/ui/settings/art

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>
#include <algorithm>
#include <cstdio>

namespace {

const QColor kNavy(0x0f, 0x30, 0x57);
const QColor kTeal(0x1f, 0x7a, 0x8c);
const QColor kSky(0x9f, 0xe3, 0xf0);
const QColor kGold(0xf2, 0xc1, 0x4e);

// A heater shield filling `r`: flat shoulders, straight sides, curving to a point.
QPainterPath shieldPath(const QRectF& r) {
    const double w = r.width();
    const double h = r.height();
    QPainterPath p;
    p.moveTo(r.left() + w * 0.5, r.top());
    p.cubicTo(r.left() + w * 0.70, r.top() + h * 0.08, r.left() + w * 0.88, r.top() + h * 0.10,
              r.right(), r.top() + h * 0.10);
    p.lineTo(r.right(), r.top() + h * 0.45);
    p.cubicTo(r.right(), r.top() + h * 0.75, r.left() + w * 0.72, r.top() + h * 0.90,
              r.left() + w * 0.5, r.bottom());
    p.cubicTo(r.left() + w * 0.28, r.top() + h * 0.90, r.left(), r.top() + h * 0.75, r.left(),
              r.top() + h * 0.45);
    p.lineTo(r.left(), r.top() + h * 0.10);
    p.cubicTo(r.left() + w * 0.12, r.top() + h * 0.10, r.left() + w * 0.30, r.top() + h * 0.08,
              r.left() + w * 0.5, r.top());
    p.closeSubpath();
    return p;
}

// A quill laid diagonally across `r`: a feather vane with its shaft and nib.
void drawQuill(QPainter& g, const QRectF& r, const QColor& vane, const QColor& shaft) {
    g.save();
    g.translate(r.center());
    g.rotate(-38);
    const double len = std::min(r.width(), r.height()) * 1.05;
    const double half = len / 2;
    QPainterPath feather;
    feather.moveTo(0, -half);
    feather.cubicTo(len * 0.20, -half * 0.55, len * 0.16, half * 0.20, 0, half * 0.55);
    feather.cubicTo(-len * 0.16, half * 0.20, -len * 0.20, -half * 0.55, 0, -half);
    g.setPen(Qt::NoPen);
    g.setBrush(vane);
    g.drawPath(feather);
    // Barbs: thin notches cut into the vane.
    QPen barb(shaft.lighter(160), std::max(0.6, len / 60));
    g.setPen(barb);
    for (int i = 1; i < 6; ++i) {
        const double y = -half * 0.6 + i * half * 0.18;
        g.drawLine(QPointF(0, y), QPointF(len * 0.14, y - len * 0.07));
        g.drawLine(QPointF(0, y), QPointF(-len * 0.14, y - len * 0.07));
    }
    QPen spine(shaft, std::max(1.0, len / 28), Qt::SolidLine, Qt::RoundCap);
    g.setPen(spine);
    g.drawLine(QPointF(0, -half * 0.85), QPointF(0, half));
    g.restore();
}

void drawEmblem(QPainter& g, const QRectF& r) {
    QLinearGradient fill(r.topLeft(), r.bottomRight());
    fill.setColorAt(0, kTeal.lighter(115));
    fill.setColorAt(1, kNavy);
    const QPainterPath shield = shieldPath(r);
    g.setPen(Qt::NoPen);
    g.setBrush(fill);
    g.drawPath(shield);
    // A highlight on the left half gives the shield some relief.
    g.save();
    g.setClipPath(shield);
    QLinearGradient shine(r.topLeft(), QPointF(r.center().x(), r.bottom()));
    shine.setColorAt(0, QColor(255, 255, 255, 90));
    shine.setColorAt(1, QColor(255, 255, 255, 0));
    g.setBrush(shine);
    g.drawRect(QRectF(r.left(), r.top(), r.width() / 2, r.height()));
    g.restore();
    g.setBrush(Qt::NoBrush);
    g.setPen(QPen(kGold, std::max(1.0, r.width() / 26)));
    g.drawPath(shieldPath(
        r.adjusted(r.width() * 0.06, r.height() * 0.05, -r.width() * 0.06, -r.height() * 0.05)));
    drawQuill(g,
              r.adjusted(r.width() * 0.2, r.height() * 0.16, -r.width() * 0.2, -r.height() * 0.2),
              QColor(255, 255, 255, 235), kGold.darker(130));
}

QImage banner() {
    QImage img(470, 77, QImage::Format_ARGB32_Premultiplied);
    QPainter g(&img);
    g.setRenderHint(QPainter::Antialiasing);
    g.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient bg(0, 0, img.width(), 0);
    bg.setColorAt(0, kNavy);
    bg.setColorAt(1, kTeal);
    g.fillRect(img.rect(), bg);

    // Sweeping arcs on the right, like a scope watching the line.
    const QPointF centre(img.width() - 40, img.height() + 10);
    for (int i = 1; i <= 6; ++i) {
        g.setPen(QPen(QColor(255, 255, 255, 16 + i * 4), 1.2));
        const double rad = i * 22.0;
        g.drawEllipse(centre, rad, rad);
    }
    QRadialGradient glow(centre, 140);
    glow.setColorAt(0, QColor(kSky.red(), kSky.green(), kSky.blue(), 70));
    glow.setColorAt(1, QColor(kSky.red(), kSky.green(), kSky.blue(), 0));
    g.setPen(Qt::NoPen);
    g.setBrush(glow);
    g.drawEllipse(centre, 140, 140);

    drawEmblem(g, QRectF(16, 8, 52, 61));

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(30);
    title.setBold(true);
    g.setFont(title);
    g.setPen(Qt::white);
    g.drawText(QPointF(84, 40), QStringLiteral("Quillon"));
    QFont tag(QStringLiteral("WenQuanYi Micro Hei"));
    tag.setPixelSize(14);
    g.setFont(tag);
    g.setPen(kSky);
    g.drawText(QPointF(86, 62), QStringLiteral("超敏感防火墙  ·  守护您的每一个连接"));

    // A thin gold rule along the bottom edge.
    g.fillRect(QRect(0, img.height() - 2, img.width(), 2), kGold);
    return img;
}

QImage emblem() {
    QImage img(95, 84, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter g(&img);
    g.setRenderHint(QPainter::Antialiasing);
    // A soft shadow under the shield.
    g.setPen(Qt::NoPen);
    g.setBrush(QColor(0, 0, 0, 40));
    g.drawPath(shieldPath(QRectF(22, 5, 54, 76)));
    drawEmblem(g, QRectF(19, 2, 54, 76));
    return img;
}

// Three bars rising left to right, the tallest gold: the level gauge beside its title.
QImage levelIcon() {
    QImage img(16, 16, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter g(&img);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(Qt::NoPen);
    g.setBrush(kTeal);
    g.drawRoundedRect(QRectF(1, 10, 4, 5), 1, 1);
    g.setBrush(kNavy);
    g.drawRoundedRect(QRectF(6, 6, 4, 9), 1, 1);
    g.setBrush(kGold.darker(110));
    g.drawRoundedRect(QRectF(11, 1, 4, 14), 1, 1);
    return img;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    const std::pair<QString, QImage> pictures[] = {
        {QStringLiteral("banner.png"), banner()},
        {QStringLiteral("emblem.png"), emblem()},
        {QStringLiteral("level.png"), levelIcon()},
    };
    for (const auto& [name, image] : pictures) {
        if (!image.save(out.filePath(name))) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(out.filePath(name)));
            return 1;
        }
    }
    return 0;
}
