#include "core/blocking/PendingAlerts.h"

#include <QTest>
#include <memory>

using quillon::blocking::PendingAlerts;

class TestPendingAlerts : public QObject {
    Q_OBJECT

private:
    // The list is large (three arrays of 1001 texts): keep it off the stack.
    static std::unique_ptr<PendingAlerts> withABC() {
        auto list = std::make_unique<PendingAlerts>();
        list->append("1.1.1.1", "1001", "80");
        list->append("2.2.2.2", "2002", "81");
        list->append("3.3.3.3", "3003", "82");
        return list;
    }

    static void expectEntry(const PendingAlerts& list, int slot, const char* remA, const char* remP,
                            const char* locP) {
        QCOMPARE(list.AlertRemA[slot], QString::fromLatin1(remA));
        QCOMPARE(list.AlertRemP[slot], QString::fromLatin1(remP));
        QCOMPARE(list.AlertLocP[slot], QString::fromLatin1(locP));
    }

private slots:
    void appendGivesSlotsInOrder() {
        PendingAlerts list;
        QCOMPARE(list.AlertCount, 0);
        QCOMPARE(list.append("1.1.1.1", "1001", "80"), 0);
        QCOMPARE(list.append("2.2.2.2", "2002", "81"), 1);
        QCOMPARE(list.AlertCount, 2);
        expectEntry(list, 0, "1.1.1.1", "1001", "80");
        expectEntry(list, 1, "2.2.2.2", "2002", "81");
    }

    void closingTheMiddleThenTheOthers() {
        auto list = withABC();

        QVERIFY(list->shift(1)); // B closes
        QCOMPARE(list->AlertCount, 2);
        expectEntry(*list, 0, "1.1.1.1", "1001", "80");
        expectEntry(*list, 1, "3.3.3.3", "3003", "82");
        // The slot that fell out of the live range keeps its old text.
        expectEntry(*list, 2, "3.3.3.3", "3003", "82");

        QVERIFY(list->shift(1)); // C, now at slot 1, closes
        QCOMPARE(list->AlertCount, 1);
        expectEntry(*list, 0, "1.1.1.1", "1001", "80");

        QVERIFY(list->shift(0)); // A closes
        QCOMPARE(list->AlertCount, 0);
        QVERIFY(!list->matches("1.1.1.1", "1001", "80"));
    }

    void closingTheFirstMovesEveryOtherDown() {
        auto list = withABC();
        QVERIFY(list->shift(0));
        QCOMPARE(list->AlertCount, 2);
        expectEntry(*list, 0, "2.2.2.2", "2002", "81");
        expectEntry(*list, 1, "3.3.3.3", "3003", "82");
    }

    void slotOutsideTheLiveRangeChangesNothing() {
        auto list = withABC();
        for (const qint32 t : {-1, 3, 4, 1000, 1001}) {
            QVERIFY2(!list->shift(t), qPrintable(QString::number(t)));
        }
        QCOMPARE(list->AlertCount, 3);
        expectEntry(*list, 2, "3.3.3.3", "3003", "82");
    }

    void matchOnAnySingleField() {
        auto list = withABC();
        QVERIFY(list->matches("2.2.2.2", "9", "9"));
        QVERIFY(list->matches("9.9.9.9", "3003", "9"));
        QVERIFY(list->matches("9.9.9.9", "9", "80"));
        QVERIFY(!list->matches("9.9.9.9", "9", "9"));
        // Fields are compared with their own kind only, and exactly.
        QVERIFY(!list->matches("80", "1.1.1.1", "1001"));
        QVERIFY(!list->matches("2.2.2.20", "20020", "810"));
    }

    void leftoverTextAboveTheCountIsNeverMatched() {
        auto list = withABC();
        QVERIFY(list->shift(2));
        QCOMPARE(list->AlertRemA[2], QStringLiteral("3.3.3.3"));
        QVERIFY(!list->matches("3.3.3.3", "3003", "82"));
    }

    void theLastOfThe1001SlotsAndNoFurther() {
        auto list = std::make_unique<PendingAlerts>();
        for (int k = 0; k < PendingAlerts::kSlots; ++k) {
            QCOMPARE(list->append(QString::number(k), "1", "2"), k);
        }
        QVERIFY(list->full());
        QCOMPARE(list->AlertCount, 1001);
        expectEntry(*list, 1000, "1000", "1", "2");

        QCOMPARE(list->append("x", "y", "z"), -1);
        QCOMPARE(list->AlertCount, 1001);
        expectEntry(*list, 1000, "1000", "1", "2");

        // Once a window closes, the freed slot is used again.
        QVERIFY(list->shift(0));
        QVERIFY(!list->full());
        QCOMPARE(list->append("x", "y", "z"), 1000);
        expectEntry(*list, 999, "1000", "1", "2");
    }
};

QTEST_GUILESS_MAIN(TestPendingAlerts)
#include "test_PendingAlerts.moc"
