// The skinned windows under a dark desktop theme with a 12 pt desktop font: they keep the
// skin's 8.25 pt font and light colours, so their fixed layouts neither clip nor turn
// light text onto the white skin. Writes PNGs (dark-*.png) for a reviewer to look at.
#include "ScreenshotWindows.h"
#include "support/UiTestMain.h"
#include "ui/chrome/SkinnedWindow.h"
#include "ui/monitor/frmMain.h"
#include "ui/settings/frmOptions.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QSlider>
#include <QStyleFactory>
#include <QTest>
#include <QToolButton>

namespace {

bool dark(const QColor& c) {
    return c.lightness() < 100;
}

} // namespace

class tst_DesktopTheme : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void windowsKeepTheSkinsFontAndColours_data();
    void windowsKeepTheSkinsFontAndColours();
};

void tst_DesktopTheme::initTestCase() {
    // A dark theme and a large font as a desktop gives them to every application.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette night(QColor(53, 53, 53), QColor(35, 35, 35));
    night.setColor(QPalette::WindowText, QColor(238, 238, 238));
    night.setColor(QPalette::Text, QColor(238, 238, 238));
    night.setColor(QPalette::ButtonText, QColor(238, 238, 238));
    QApplication::setPalette(night);
    QFont big = QApplication::font();
    big.setPointSizeF(12);
    QApplication::setFont(big);
    QVERIFY(QDir().mkpath(QStringLiteral(QUILLON_SCREENSHOT_DIR)));
}

void tst_DesktopTheme::windowsKeepTheSkinsFontAndColours_data() {
    QTest::addColumn<int>("index");
    const auto windows = quillon::test::screenshotWindows();
    for (int i = 0; i < static_cast<int>(windows.size()); ++i) {
        QTest::newRow(qPrintable(windows[static_cast<std::size_t>(i)].name)) << i;
    }
}

void tst_DesktopTheme::windowsKeepTheSkinsFontAndColours() {
    QFETCH(int, index);
    const auto shot = quillon::test::screenshotWindows().at(static_cast<std::size_t>(index));
    auto window = shot.create();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    QList<QWidget*> widgets = window->findChildren<QWidget*>();
    widgets << window.get();
    for (QWidget* w : std::as_const(widgets)) {
        if (!w->isVisibleTo(window.get()) && w != window.get()) {
            continue;
        }
        const QByteArray what = w->metaObject()->className() + (" " + w->objectName().toUtf8());
        QVERIFY2(qFuzzyCompare(w->font().pointSizeF(), 8.25), what.constData());
        QVERIFY2(w->font().weight() == QFont::Normal, what.constData());
        QVERIFY2(dark(w->palette().color(QPalette::WindowText)), what.constData());
        QVERIFY2(dark(w->palette().color(QPalette::Text)), what.constData());
        QVERIFY2(dark(w->palette().color(QPalette::ButtonText)), what.constData());
        QVERIFY2(!dark(w->palette().color(QPalette::Base)), what.constData());
    }
    // The captions that a large font clipped fit their fixed places.
    const auto fits = [](const QWidget* w, const QString& text) {
        return w->fontMetrics().horizontalAdvance(text) <= w->width();
    };
    if (auto* main = qobject_cast<quillon::monitor::frmMain*>(window.get())) {
        for (int position : {1, 2, 4, 5}) {
            QToolButton* b = main->button(position);
            QVERIFY2(fits(b, b->text()), qPrintable(b->text()));
        }
    }
    if (auto* console = qobject_cast<quillon::settings::frmOptions*>(window.get())) {
        console->Slider1->setValue(2);
        QVERIFY(fits(console->lblTitle, console->lblTitle->text()));
    }
    const QString path =
        QStringLiteral(QUILLON_SCREENSHOT_DIR "/dark-") + shot.name + QStringLiteral(".png");
    QVERIFY2(window->grab().save(path), qPrintable(path));
}

QUILLON_UI_TEST_MAIN(tst_DesktopTheme)
#include "tst_DesktopTheme.moc"
