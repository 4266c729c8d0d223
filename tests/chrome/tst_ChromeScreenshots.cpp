#include "ScreenshotWindows.h"
#include "support/UiTestMain.h"
#include "ui/chrome/SkinnedWindow.h"

#include <QDir>
#include <QPainter>
#include <QTest>
#include <memory>

using quillon::chrome::SkinImage;
using quillon::chrome::SkinnedWindow;

namespace {

// Renders a window as it appears on screen: its surface and children, cut to its outline
// (a grab alone ignores the mask), on a transparent background.
QImage renderShaped(QWidget& window) {
    QImage image(window.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    if (!window.mask().isEmpty()) {
        painter.setClipRegion(window.mask());
    }
    window.render(&painter, QPoint(), QRegion(),
                  QWidget::DrawWindowBackground | QWidget::DrawChildren);
    return image;
}

QString outputDir() {
    return QStringLiteral(QUILLON_SCREENSHOT_DIR);
}

} // namespace

// Writes a PNG of every skinned window under the build folder for a reviewer to look at.
class tst_ChromeScreenshots : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void render_data();
    void render();
    void captionButtonStates();
};

void tst_ChromeScreenshots::initTestCase() {
    QVERIFY(QDir().mkpath(outputDir()));
}

void tst_ChromeScreenshots::render_data() {
    QTest::addColumn<int>("index");
    const auto windows = quillon::test::screenshotWindows();
    for (int i = 0; i < static_cast<int>(windows.size()); ++i) {
        QTest::newRow(qPrintable(windows[static_cast<std::size_t>(i)].name)) << i;
    }
}

void tst_ChromeScreenshots::render() {
    QFETCH(int, index);
    const auto shot = quillon::test::screenshotWindows().at(static_cast<std::size_t>(index));
    auto window = shot.create();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QImage image = renderShaped(*window);
    // The rounded corners are cut away; the middle is painted.
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(image.pixel(image.width() / 2, image.height() / 2)), 255);
    const QString path = outputDir() + QLatin1Char('/') + shot.name + QStringLiteral(".png");
    QVERIFY2(image.save(path), qPrintable(path));
    qInfo("%s", qPrintable(path));
}

// The caption buttons hovered and pressed, for a look at their pictures on the skin.
void tst_ChromeScreenshots::captionButtonStates() {
    SkinnedWindow w(QStringLiteral("提示"), 3915, 2355);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const auto save = [&](const char* name) {
        const QString path = outputDir() + QStringLiteral("/buttons-") + QLatin1String(name) +
                             QStringLiteral(".png");
        QVERIFY2(renderShaped(w).save(path), qPrintable(path));
    };
    save("rest");
    for (SkinImage* button : {w.Immin, w.Immax, w.Imclose}) {
        QTest::mouseMove(button, button->rect().center());
    }
    save("hover");
    QTest::mousePress(w.Imclose, Qt::LeftButton, {}, w.Imclose->rect().center());
    save("pressed");
    QTest::mouseRelease(w.Imclose, Qt::LeftButton, {}, QPoint(-30, 0));
    w.showMaximized();
    QTest::mouseMove(&w, w.rect().center()); // the bare surface puts the buttons at rest
    QTest::mouseMove(w.Immax, w.Immax->rect().center());
    save("maximised-hover");
}

QUILLON_UI_TEST_MAIN(tst_ChromeScreenshots)
#include "tst_ChromeScreenshots.moc"
