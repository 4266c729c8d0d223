// The console's log view over a log of a million records: scrolled to the end it shows the
// file's last records, and back at the top its first ones, as the file holds them.

#include "core/settings/LogModel.h"
#include "platform/CodePage.h"
#include "support/ProgramRig.h"
#include "support/TestSupport.h"
#include "support/UiTestMain.h"
#include "ui/settings/LogView.h"
#include "ui/settings/frmOptions.h"

#include <QAccessible>
#include <QFile>
#include <QHeaderView>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <cstdio>

using namespace quillon;

namespace {

constexpr int kRecords = 1000000;

// A million records in the writer's layout, GBK action texts, and a damaged line after
// every thousandth record, which the view must skip.
QByteArray millionRecords() {
    const QByteArray actions[] = {platform::CodePage::toGbk(u"已断开连接"),
                                  platform::CodePage::toGbk(u"允许连接")};
    QByteArray bytes;
    bytes.reserve(kRecords * 72);
    char line[128];
    for (int i = 0; i < kRecords; ++i) {
        const int n = std::snprintf(line, sizeof line,
                                    "\"%d:%02d:%02d-2005-7-1\",\"10.%d.%d.%d\",\"%d\",\"%d\",\"",
                                    i / 3600 % 24, i / 60 % 60, i % 60, i >> 16 & 255, i >> 8 & 255,
                                    i & 255, i, 40000 + i % 20000);
        bytes.append(line, n);
        bytes += actions[i % 2];
        bytes += "\"\r\n";
        if (i % 1000 == 999) {
            bytes += "\"damaged\",\"\r\n";
        }
    }
    return bytes;
}

// The records of the whole lines in `bytes` (the first and last may be cut), read without
// the program's reader: the fields of this file hold no quotes or commas.
QList<QStringList> recordsIn(const QByteArray& bytes) {
    QList<QStringList> out;
    const QList<QByteArray> lines = bytes.split('\n');
    for (qsizetype k = 1; k + 1 < lines.size(); ++k) {
        const QByteArray line = lines.at(k).chopped(1); // the CR
        const QList<QByteArray> fields = line.split(',');
        QStringList texts;
        for (const QByteArray& field : fields) {
            texts << platform::CodePage::fromGbk(field.mid(1, field.size() - 2));
        }
        if (texts.size() == 5 && line.startsWith('"') && line.endsWith('"')) {
            out << texts;
        }
    }
    return out;
}

// The rows the view shows now, top to bottom, as their texts.
QList<QStringList> shownRows(settings::LogView& view, int& firstRow) {
    QList<QStringList> rows;
    firstRow = -1;
    const int step = view.rowHeight();
    for (int y = step / 2; y < view.viewport()->height(); y += step) {
        const QModelIndex index = view.indexAt(QPoint(2, y));
        if (!index.isValid()) {
            break;
        }
        if (firstRow < 0) {
            firstRow = index.row();
        }
        rows << test::rowTexts(*view.model(), index.row());
    }
    return rows;
}

} // namespace

class TestLogView : public QObject {
    Q_OBJECT
private slots:
    void millionRecordsToTheEndAndBack();
    void theLogTabReadsAsATableToAssistiveTechnology();
};

void TestLogView::millionRecordsToTheEndAndBack() {
    test::ProgramRig f;
    const QByteArray bytes = millionRecords();
    f.writeLog(bytes);
    settings::frmOptions& c = f.program().options();
    // The hidden console leaves a long log unread until it is shown.
    QTest::qWait(50);
    QVERIFY(!c.logModel->indexed());
    QCOMPARE(c.logModel->rowCount(), 0);
    c.show();
    QTRY_VERIFY_WITH_TIMEOUT(c.logModel->indexed(), 60000);
    QCOMPARE(c.logModel->rowCount(), kRecords);

    c.SSTab1->setCurrentIndex(1);
    c.show();
    QVERIFY(QTest::qWaitForWindowExposed(&c));
    c.lstLog->setFocus();
    settings::LogView& view = *c.lstLog;
    int first = -1;

    QTest::keyClick(&view, Qt::Key_End);
    view.viewport()->grab(); // painted, rows decoded
    const QList<QStringList> atEnd = shownRows(view, first);
    QVERIFY(atEnd.size() > 3);
    QCOMPARE(first + atEnd.size(), kRecords);
    const QList<QStringList> tail = recordsIn(bytes.right(64 * 100));
    QCOMPARE(atEnd, tail.mid(tail.size() - atEnd.size()));
    QCOMPARE(atEnd.last().at(2), QString::number(kRecords - 1));

    QTest::keyClick(&view, Qt::Key_Home);
    view.viewport()->grab();
    const QList<QStringList> atTop = shownRows(view, first);
    QCOMPARE(first, 0);
    QCOMPARE(atTop, recordsIn("\n" + bytes.left(80 * 100)).mid(0, atTop.size()));

    // A page down from the top, past a damaged line, and back to the end by the scroll bar.
    view.verticalScrollBar()->setValue(995);
    const QList<QStringList> middle = shownRows(view, first);
    QCOMPARE(first, 995);
    QCOMPARE(middle.at(10).at(2), QString::number(1005));
    view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum());
    QCOMPARE(shownRows(view, first).last().at(2), QString::number(kRecords - 1));

    // Read by assistive technology, the last record is there as well, made on demand.
    QAccessibleInterface* table = QAccessible::queryAccessibleInterface(&view);
    QVERIFY(table != nullptr && table->tableInterface() != nullptr);
    QCOMPARE(table->tableInterface()->rowCount(), kRecords);
    QCOMPARE(table->tableInterface()->cellAt(kRecords - 1, 2)->text(QAccessible::Name),
             QString::number(kRecords - 1));
}

// A screen reader finds the log tab's records as a table: the header's column names, then
// every record's cells with their texts, as the tree view before it showed them.
void TestLogView::theLogTabReadsAsATableToAssistiveTechnology() {
    test::ProgramRig f;
    f.writeLog(platform::CodePage::toGbk(
        u"\"1:02:03-2005-7-1\",\"10.0.0.1\",\"80\",\"40000\",\"已断开连接\"\r\n"
        u"\"1:02:04-2005-7-1\",\"10.0.0.2\",\"443\",\"40001\",\"允许连接\"\r\n"));
    settings::frmOptions& c = f.program().options();
    c.show();
    c.SSTab1->setCurrentIndex(1);
    QVERIFY(QTest::qWaitForWindowExposed(&c));
    QTRY_COMPARE(c.logModel->rowCount(), 2);
    settings::LogView& view = *c.lstLog;

    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&view);
    QVERIFY(iface != nullptr);
    QCOMPARE(iface->role(), QAccessible::Table);
    QAccessibleTableInterface* table = iface->tableInterface();
    QVERIFY(table != nullptr);
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(table->columnCount(), 5);
    QCOMPARE(iface->childCount(), 3 * 5);
    QList<QStringList> read;
    for (int row = 0; row < table->rowCount(); ++row) {
        QStringList texts;
        for (int column = 0; column < table->columnCount(); ++column) {
            QAccessibleInterface* cell = table->cellAt(row, column);
            QVERIFY(cell != nullptr);
            QCOMPARE(cell->role(), QAccessible::Cell);
            QCOMPARE(cell->parent(), iface);
            QCOMPARE(iface->child(iface->indexOfChild(cell)), cell);
            QCOMPARE(cell->tableCellInterface()->rowIndex(), row);
            QCOMPARE(cell->tableCellInterface()->columnHeaderCells().at(0)->text(QAccessible::Name),
                     view.model()->headerData(column, Qt::Horizontal).toString());
            texts << cell->text(QAccessible::Name);
        }
        read << texts;
    }
    QCOMPARE(read, (QList<QStringList>{test::rowTexts(*view.model(), 0),
                                       test::rowTexts(*view.model(), 1)}));
    QVERIFY(read.at(0).contains(QStringLiteral("10.0.0.2")) ||
            read.at(1).contains(QStringLiteral("10.0.0.2")));
    QCOMPARE(iface->child(0)->role(), QAccessible::ColumnHeader);
    QCOMPARE(iface->child(0)->text(QAccessible::Name), table->columnDescription(0));

    // Selecting a row is seen as selected cells.
    QVERIFY(table->selectRow(1));
    QCOMPARE(table->selectedRows(), QList<int>{1});
    QVERIFY(table->cellAt(1, 0)->state().selected);
}

QUILLON_UI_TEST_MAIN(TestLogView)
#include "test_LogView.moc"
