// Texts drawn glyph by glyph look exactly as the same texts laid out and drawn; texts that
// need laying out are refused.
#include "support/UiTestMain.h"
#include "ui/chrome/SkinnedWindow.h"
#include "ui/settings/PlainGlyphs.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdlib>

using quillon::settings::PlainGlyphs;

namespace {

QImage drawn(const QFont& font, const std::function<void(QPainter&, QPoint)>& draw) {
    QImage image(280, 40, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    draw(painter, QPoint(3, 8 + QFontMetrics(font).ascent()));
    return image;
}

// How two drawings of the same text differ, empty when they match: both come from Qt's
// raster engine, whose blending code differs between CPUs (a shade here and there), so
// they are compared by pixels with a tolerance, never bit for bit. At most 1 % of the pixels
// may differ by more than 8/255 in a channel: a glyph standing one pixel off moves far more.
QString difference(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) {
        return QStringLiteral("sizes differ");
    }
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    qsizetype off = 0;
    for (int row = 0; row < x.height(); ++row) {
        for (int column = 0; column < x.width(); ++column) {
            const QRgb p = x.pixel(column, row);
            const QRgb q = y.pixel(column, row);
            const int most =
                std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                          std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
            off += most > 8 ? 1 : 0;
        }
    }
    const qsizetype all = qsizetype(x.width()) * x.height();
    return off * 100 <= all
               ? QString()
               : QStringLiteral("%1 of %2 pixels differ by more than 8/255").arg(off).arg(all);
}

} // namespace

class TestPlainGlyphs : public QObject {
    Q_OBJECT
private slots:
    void sameAsLaidOut_data();
    void sameAsLaidOut();
    void cellsOfALine();
};

void TestPlainGlyphs::sameAsLaidOut_data() {
    QTest::addColumn<QFont>("font");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("plain"); // 1 yes, 0 no, -1 as the font has it
    const QFont fonts[] = {quillon::chrome::SkinnedWindow::skinFont(), QApplication::font()};
    const char* fontNames[] = {"skin", "application"};
    const struct {
        const char* name;
        QString text;
        int plain;
    } texts[] = {
        {"time", QStringLiteral("2026-12-08 05:21:38"), 1},
        {"address", QStringLiteral("203.0.113.255"), 1},
        {"ports", QStringLiteral("40000 65535"), 1},
        {"IPv6 of digits", QStringLiteral("2001:4860::8888"), 1},
        {"IPv6 with letters (ff ligature)", QStringLiteral("2001:db8::a00:27ff:fe4e:66a1"), 0},
        {"Latin kerning pairs", QStringLiteral("AVAWAY To. Ty, 7."), 0},
        {"no address", QStringLiteral("无法获得IP"), 0},
        {"action", QStringLiteral("已断开连接"), -1},
        {"decomposed accent", QStringLiteral("e\u0301t\u00e9"), 0},
        {"Arabic", QStringLiteral("\u0645\u0631\u062d\u0628\u0627"), 0},
        {"Hebrew", QStringLiteral("\u05e9\u05dc\u05d5\u05dd"), 0},
        {"outside the BMP", QStringLiteral("a\U0001F600b"), 0},
    };
    for (int f = 0; f < 2; ++f) {
        for (const auto& t : texts) {
            QTest::addRow("%s, %s", fontNames[f], t.name) << fonts[f] << t.text << t.plain;
        }
    }
}

void TestPlainGlyphs::sameAsLaidOut() {
    QFETCH(QFont, font);
    QFETCH(QString, text);
    QFETCH(int, plain);
    PlainGlyphs glyphs;
    glyphs.setFont(font);
    qreal width = 0;
    const bool isPlain = glyphs.add(text, 0, 1e6, &width);
    if (plain >= 0) {
        QCOMPARE(isPlain, plain == 1);
    }
    if (!isPlain) {
        return;
    }
    QCOMPARE(qRound(width), QFontMetrics(font).horizontalAdvance(text));
    QVERIFY(!glyphs.add(text, 0, width - 1)); // too wide for the room: left to the layout
    const QImage laidOut = drawn(font, [&](QPainter& p, QPoint at) { p.drawText(at, text); });
    const QImage byGlyph = drawn(font, [&](QPainter& p, QPoint at) { glyphs.draw(p, at); });
    QVERIFY(laidOut != drawn(font, [](QPainter&, QPoint) {})); // something was drawn
    QCOMPARE(difference(byGlyph, laidOut), QString());
}

// Cells gathered on one line stand where each would stand drawn alone.
void TestPlainGlyphs::cellsOfALine() {
    const QFont font = quillon::chrome::SkinnedWindow::skinFont();
    const QString cells[] = {QStringLiteral("2026-12-08 05:21:38"), QStringLiteral("10.0.0.1"),
                             QStringLiteral("40000")};
    const int at[] = {0, 140, 215};
    PlainGlyphs glyphs;
    glyphs.setFont(font);
    for (int i = 0; i < 3; ++i) {
        QVERIFY(glyphs.add(cells[i], at[i], 200));
    }
    const QImage line = drawn(font, [&](QPainter& p, QPoint origin) { glyphs.draw(p, origin); });
    const QImage apart = drawn(font, [&](QPainter& p, QPoint origin) {
        for (int i = 0; i < 3; ++i) {
            p.drawText(origin + QPoint(at[i], 0), cells[i]);
        }
    });
    QCOMPARE(difference(line, apart), QString());
}

QUILLON_UI_TEST_MAIN(TestPlainGlyphs)
#include "test_PlainGlyphs.moc"
