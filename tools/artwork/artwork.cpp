// Draws Quillon's artwork: the program icon at the sizes desktops ask for, and the splash
// picture. Usage: quillon-artwork <icon folder> <data folder>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>
#include <cmath>

namespace {

const QColor kLight(0x3a, 0x86, 0xd8);
const QColor kDark(0x14, 0x3a, 0x70);
const QColor kRim(0xf4, 0xf8, 0xff);

// A heater shield in the box `r`: a flat top with rounded shoulders, straight sides for the
// upper half, then two curves meeting in a point at the bottom.
QPainterPath shieldPath(const QRectF& r) {
    const qreal w = r.width();
    const qreal h = r.height();
    const qreal x = r.left();
    const qreal y = r.top();
    const qreal shoulder = w * 0.12;
    QPainterPath p;
    p.moveTo(x + shoulder, y);
    p.lineTo(x + w - shoulder, y);
    p.quadTo(x + w, y, x + w, y + shoulder);
    p.lineTo(x + w, y + h * 0.45);
    p.cubicTo(x + w, y + h * 0.72, x + w * 0.78, y + h * 0.88, x + w / 2, y + h);
    p.cubicTo(x + w * 0.22, y + h * 0.88, x, y + h * 0.72, x, y + h * 0.45);
    p.lineTo(x, y + shoulder);
    p.quadTo(x, y, x + shoulder, y);
    p.closeSubpath();
    return p;
}

// The mark: a blue shield with a light rim, its right half darker, so that it still reads as
// a shield at 16 pixels where any finer drawing turns to mush.
void drawShield(QPainter& painter, const QRectF& box) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal rim = std::max<qreal>(1.0, box.width() / 14.0);
    const QPainterPath outer = shieldPath(box);
    painter.fillPath(outer, kRim);

    const QRectF inner = box.adjusted(rim, rim, -rim, -rim * 1.4);
    const QPainterPath body = shieldPath(inner);
    QLinearGradient g(inner.topLeft(), inner.bottomLeft());
    g.setColorAt(0.0, kLight);
    g.setColorAt(1.0, kLight.darker(135));
    painter.fillPath(body, g);

    // Right half in the dark blue: the classic parted shield.
    QPainterPath right;
    right.addRect(QRectF(inner.center().x(), inner.top(), inner.width() / 2 + 1, inner.height()));
    QLinearGradient d(inner.topLeft(), inner.bottomLeft());
    d.setColorAt(0.0, kDark.lighter(120));
    d.setColorAt(1.0, kDark);
    painter.fillPath(body.intersected(right), d);

    // A light chief (top band) from 32 pixels up, where there is room for it.
    if (box.width() >= 30) {
        QPainterPath chief;
        chief.addRect(QRectF(inner.left(), inner.top(), inner.width(), inner.height() * 0.2));
        QColor band = kRim;
        band.setAlpha(70);
        painter.fillPath(body.intersected(chief), band);
    }

    // The outline keeps the mark apart from dark and light panels alike.
    QPen edge(kDark.darker(150));
    edge.setWidthF(std::max<qreal>(0.8, box.width() / 40.0));
    painter.setPen(edge);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(outer);
    painter.restore();
}

QImage icon(int size) {
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter painter(&img);
    // A shield is taller than wide: full height, seven eighths of the width, centred.
    const qreal w = size * 0.875;
    drawShield(painter, QRectF((size - w) / 2.0, 0.5, w, size - 1.0));
    return img;
}

// The splash: 232 x 146 pixels (3480 x 2190 twips at 15 twips per pixel).
QImage splash() {
    QImage img(232, 146, QImage::Format_RGB32);
    QPainter painter(&img);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient sky(0, 0, 0, img.height());
    sky.setColorAt(0.0, QColor(0xff, 0xff, 0xff));
    sky.setColorAt(1.0, QColor(0xdc, 0xe9, 0xf8));
    painter.fillRect(img.rect(), sky);

    // A thin band at the foot in the mark's dark blue.
    painter.fillRect(QRect(0, img.height() - 22, img.width(), 22), kDark);

    drawShield(painter, QRectF(16, 22, 64, 74));

    QFont name(QStringLiteral("DejaVu Sans"));
    name.setPixelSize(30);
    name.setBold(true);
    painter.setFont(name);
    painter.setPen(kDark);
    painter.drawText(QRect(90, 28, 136, 38), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Quillon"));

    QFont sub(QStringLiteral("WenQuanYi Micro Hei"));
    sub.setPixelSize(15);
    painter.setFont(sub);
    painter.setPen(kLight.darker(120));
    painter.drawText(QRect(92, 66, 136, 22), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("超敏感防火墙"));

    QFont foot(QStringLiteral("WenQuanYi Micro Hei"));
    foot.setPixelSize(11);
    painter.setFont(foot);
    painter.setPen(kRim);
    painter.drawText(QRect(0, img.height() - 22, img.width() - 8, 22),
                     Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("正在启动…"));
    painter.end();
    return img;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    if (argc != 3) {
        err << "usage: quillon-artwork <icon folder> <data folder>\n";
        return 2;
    }
    const QDir icons(QString::fromLocal8Bit(argv[1]));
    const QDir data(QString::fromLocal8Bit(argv[2]));
    if (!QDir().mkpath(icons.path()) || !QDir().mkpath(data.path())) {
        err << "cannot create the output folders\n";
        return 1;
    }
    for (const int size : {16, 22, 32, 48, 64}) {
        const QString path = icons.filePath(QStringLiteral("icon-%1.png").arg(size));
        if (!icon(size).save(path, "PNG")) {
            err << "cannot write " << path << "\n";
            return 1;
        }
    }
    const QString splashPath = data.filePath(QStringLiteral("SPLH.jpg"));
    if (!splash().save(splashPath, "JPG", 92)) {
        err << "cannot write " << splashPath << "\n";
        return 1;
    }
    return 0;
}
