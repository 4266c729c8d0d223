// Draws Quillon's artwork: the program icon at the sizes desktops ask for and as SVG, and the
// splash picture. Usage: quillon-artwork <icon folder> <data folder>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>
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

// Where the mark is drawn: pixels through QPainter, or SVG text. The one drawing below goes
// to both, so the scalable icon and every pixel size come from the same source.
class Canvas {
public:
    virtual ~Canvas() = default;
    virtual void fill(const QPainterPath& path, const QBrush& brush) = 0;
    virtual void stroke(const QPainterPath& path, const QPen& pen) = 0;
};

class PainterCanvas final : public Canvas {
public:
    explicit PainterCanvas(QPainter& painter) : painter_(painter) {}
    void fill(const QPainterPath& path, const QBrush& brush) override {
        painter_.fillPath(path, brush);
    }
    void stroke(const QPainterPath& path, const QPen& pen) override {
        painter_.save();
        painter_.setPen(pen);
        painter_.setBrush(Qt::NoBrush);
        painter_.drawPath(path);
        painter_.restore();
    }

private:
    QPainter& painter_;
};

// SVG 1.1 with plain paths and linear gradients only, which every icon theme renderer reads.
class SvgCanvas final : public Canvas {
public:
    explicit SvgCanvas(int size) : size_(size) {}

    void fill(const QPainterPath& path, const QBrush& brush) override {
        QString paint;
        if (brush.style() == Qt::LinearGradientPattern) {
            const auto* g = static_cast<const QLinearGradient*>(brush.gradient());
            const QString id = QStringLiteral("g%1").arg(++gradients_);
            defs_ +=
                QStringLiteral("    <linearGradient id=\"%1\" gradientUnits=\"userSpaceOnUse\" "
                               "x1=\"%2\" y1=\"%3\" x2=\"%4\" y2=\"%5\">\n")
                    .arg(id, num(g->start().x()), num(g->start().y()), num(g->finalStop().x()),
                         num(g->finalStop().y()));
            for (const auto& [offset, color] : g->stops()) {
                defs_ += QStringLiteral("      <stop offset=\"%1\" stop-color=\"%2\"%3/>\n")
                             .arg(num(offset), color.name(), opacity("stop-opacity", color));
            }
            defs_ += QStringLiteral("    </linearGradient>\n");
            paint = QStringLiteral("fill=\"url(#%1)\"").arg(id);
        } else {
            paint = QStringLiteral("fill=\"%1\"%2")
                        .arg(brush.color().name(), opacity("fill-opacity", brush.color()));
        }
        body_ +=
            QStringLiteral("  <path %1%2 d=\"%3\"/>\n")
                .arg(paint,
                     path.fillRule() == Qt::OddEvenFill ? QStringLiteral(" fill-rule=\"evenodd\"")
                                                        : QString(),
                     data(path));
    }

    void stroke(const QPainterPath& path, const QPen& pen) override {
        // QPen's defaults: square caps, bevelled joins.
        body_ += QStringLiteral("  <path fill=\"none\" stroke=\"%1\"%2 stroke-width=\"%3\" "
                                "stroke-linecap=\"square\" stroke-linejoin=\"bevel\" d=\"%4\"/>\n")
                     .arg(pen.color().name(), opacity("stroke-opacity", pen.color()),
                          num(pen.widthF()), data(path));
    }

    QByteArray document() const {
        QString out = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                     "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" "
                                     "width=\"%1\" height=\"%1\" viewBox=\"0 0 %1 %1\">\n")
                          .arg(size_);
        if (!defs_.isEmpty()) {
            out += QStringLiteral("  <defs>\n") + defs_ + QStringLiteral("  </defs>\n");
        }
        out += body_ + QStringLiteral("</svg>\n");
        return out.toUtf8();
    }

private:
    // Three decimals are far below a pixel at any size the icon is shown.
    static QString num(qreal v) {
        QString text = QString::number(v, 'f', 3);
        while (text.endsWith(u'0')) {
            text.chop(1);
        }
        if (text.endsWith(u'.')) {
            text.chop(1);
        }
        return text == u"-0" ? QStringLiteral("0") : text;
    }

    static QString opacity(const char* attribute, const QColor& color) {
        return color.alpha() == 255 ? QString()
                                    : QStringLiteral(" %1=\"%2\"")
                                          .arg(QLatin1String(attribute), num(color.alphaF()));
    }

    static QString data(const QPainterPath& path) {
        QStringList parts;
        QPointF start;
        QPointF last;
        for (int i = 0; i < path.elementCount(); ++i) {
            const QPainterPath::Element e = path.elementAt(i);
            switch (e.type) {
            case QPainterPath::MoveToElement:
                if (i > 0 && last == start) {
                    parts << QStringLiteral("Z");
                }
                parts << QStringLiteral("M%1 %2").arg(num(e.x), num(e.y));
                start = e;
                break;
            case QPainterPath::LineToElement:
                parts << QStringLiteral("L%1 %2").arg(num(e.x), num(e.y));
                break;
            case QPainterPath::CurveToElement: {
                const QPainterPath::Element c2 = path.elementAt(i + 1);
                const QPainterPath::Element end = path.elementAt(i + 2);
                parts << QStringLiteral("C%1 %2 %3 %4 %5 %6")
                             .arg(num(e.x), num(e.y), num(c2.x), num(c2.y), num(end.x), num(end.y));
                i += 2;
                last = end;
                continue;
            }
            case QPainterPath::CurveToDataElement:
                break; // consumed with its curve
            }
            last = e;
        }
        if (path.elementCount() > 0 && last == start) {
            parts << QStringLiteral("Z");
        }
        return parts.join(u' ');
    }

    int size_;
    int gradients_ = 0;
    QString defs_;
    QString body_;
};

// The mark: a blue shield with a light rim, its right half darker, so that it still reads as
// a shield at 16 pixels where any finer drawing turns to mush.
void drawShield(Canvas& canvas, const QRectF& box) {
    const qreal rim = std::max<qreal>(1.0, box.width() / 14.0);
    const QPainterPath outer = shieldPath(box);
    canvas.fill(outer, kRim);

    const QRectF inner = box.adjusted(rim, rim, -rim, -rim * 1.4);
    const QPainterPath body = shieldPath(inner);
    QLinearGradient g(inner.topLeft(), inner.bottomLeft());
    g.setColorAt(0.0, kLight);
    g.setColorAt(1.0, kLight.darker(135));
    canvas.fill(body, g);

    // Right half in the dark blue: the classic parted shield.
    QPainterPath right;
    right.addRect(QRectF(inner.center().x(), inner.top(), inner.width() / 2 + 1, inner.height()));
    QLinearGradient d(inner.topLeft(), inner.bottomLeft());
    d.setColorAt(0.0, kDark.lighter(120));
    d.setColorAt(1.0, kDark);
    canvas.fill(body.intersected(right), d);

    // A light chief (top band) from 32 pixels up, where there is room for it.
    if (box.width() >= 30) {
        QPainterPath chief;
        chief.addRect(QRectF(inner.left(), inner.top(), inner.width(), inner.height() * 0.2));
        QColor band = kRim;
        band.setAlpha(70);
        canvas.fill(body.intersected(chief), band);
    }

    // The outline keeps the mark apart from dark and light panels alike.
    QPen edge(kDark.darker(150));
    edge.setWidthF(std::max<qreal>(0.8, box.width() / 40.0));
    canvas.stroke(outer, edge);
}

// A shield is taller than wide: full height, seven eighths of the width, centred.
QRectF iconBox(int size) {
    const qreal w = size * 0.875;
    return QRectF((size - w) / 2.0, 0.5, w, size - 1.0);
}

QImage icon(int size) {
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter painter(&img);
    painter.setRenderHint(QPainter::Antialiasing);
    PainterCanvas canvas(painter);
    drawShield(canvas, iconBox(size));
    return img;
}

// The scalable icon is the largest drawing, with all its detail, as vectors.
QByteArray scalableIcon() {
    constexpr int kSize = 256;
    SvgCanvas canvas(kSize);
    drawShield(canvas, iconBox(kSize));
    return canvas.document();
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

    {
        painter.save();
        PainterCanvas canvas(painter);
        drawShield(canvas, QRectF(16, 22, 64, 74));
        painter.restore();
    }

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
    // 16 to 64 pixels for trays, title bars and menus; 128 and 256 for launchers and
    // high-density screens.
    for (const int size : {16, 22, 32, 48, 64, 128, 256}) {
        const QString path = icons.filePath(QStringLiteral("icon-%1.png").arg(size));
        if (!icon(size).save(path, "PNG")) {
            err << "cannot write " << path << "\n";
            return 1;
        }
    }
    const QString svgPath = icons.filePath(QStringLiteral("icon.svg"));
    QSaveFile svg(svgPath);
    const QByteArray svgBytes = scalableIcon();
    if (!svg.open(QIODevice::WriteOnly) || svg.write(svgBytes) != svgBytes.size() ||
        !svg.commit()) {
        err << "cannot write " << svgPath << "\n";
        return 1;
    }
    const QString splashPath = data.filePath(QStringLiteral("SPLH.jpg"));
    if (!splash().save(splashPath, "JPG", 92)) {
        err << "cannot write " << splashPath << "\n";
        return 1;
    }
    return 0;
}
