// Window helpers: stacking and activation.
#include "support/UiTestMain.h"
#include "ui/shell/modGeneral.h"

#include <QWidget>
#include <QtTest>

using namespace quillon;

class TestModGeneral : public QObject {
    Q_OBJECT

private slots:
    void placeWindowShowsAtItsOwnPlaceWithoutActivating();
    void placeWindowModes();
    void activateWindowRestoresMinimisedWindows();
};

void TestModGeneral::placeWindowShowsAtItsOwnPlaceWithoutActivating() {
    QWidget w;
    w.setGeometry(100, 120, 300, 200);
    modGeneral::PlaceWindow(&w, 1);
    QVERIFY(w.isVisible());
    QCOMPARE(w.geometry(), QRect(100, 120, 300, 200));
    QVERIFY(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(w.testAttribute(Qt::WA_ShowWithoutActivating));
    // Placed again as topmost: nothing is re-created, the place holds.
    modGeneral::PlaceWindow(&w, 1);
    QCOMPARE(w.geometry(), QRect(100, 120, 300, 200));
    QVERIFY(w.isVisible());
}

void TestModGeneral::placeWindowModes() {
    QWidget w;
    w.setGeometry(10, 20, 200, 100);
    modGeneral::PlaceWindow(&w, 1);
    modGeneral::PlaceWindow(&w, 3);
    QVERIFY(!w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(w.isVisible());
    QCOMPARE(w.geometry(), QRect(10, 20, 200, 100));
    for (int mode : {2, 4, 0, 7}) {
        modGeneral::PlaceWindow(&w, mode);
        QVERIFY(w.isVisible());
        QVERIFY(!w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    }
}

void TestModGeneral::activateWindowRestoresMinimisedWindows() {
    QWidget w;
    w.show();
    w.showMinimized();
    QVERIFY(w.isMinimized());
    modGeneral::ActivateWindow(&w, true);
    QVERIFY(!w.isMinimized());
    QVERIFY(!w.isMaximized());

    // A maximised window that was minimised comes back maximised.
    w.showMaximized();
    w.setWindowState(w.windowState() | Qt::WindowMinimized);
    modGeneral::ActivateWindow(&w, true);
    QVERIFY(!w.isMinimized());
    QVERIFY(w.isMaximized());

    // Not minimised: stays as it is.
    modGeneral::ActivateWindow(&w, true);
    QVERIFY(w.isMaximized());

    modGeneral::ActivateWindow(&w, false);
    QVERIFY(w.isMinimized());
}

QUILLON_UI_TEST_MAIN(TestModGeneral)
#include "test_modGeneral.moc"
