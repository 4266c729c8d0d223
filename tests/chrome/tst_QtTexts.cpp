// Qt's own texts, as main() loads them: the entry fields' context menu and the standard
// buttons speak Chinese like the rest of the interface.
#include "ui/chrome/QtTexts.h"

#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

class TstQtTexts : public QObject {
    Q_OBJECT
private slots:
    void theEntryFieldsMenuAndTheStandardButtonsAreChinese() {
        QVERIFY(quillon::chrome::installQtChineseTexts(*QCoreApplication::instance()));
        QLineEdit entry(QStringLiteral("10.0.0.1"));
        std::unique_ptr<QMenu> menu(entry.createStandardContextMenu());
        QStringList texts;
        for (const QAction* action : menu->actions()) {
            if (!action->isSeparator()) {
                texts << action->text().section(u'\t', 0, 0); // without the shortcut
            }
        }
        QCOMPARE(texts.size(), 7);
        for (const QString& text : texts) {
            QVERIFY2(std::any_of(text.begin(), text.end(),
                                 [](QChar c) { return c.unicode() >= 0x4e00; }),
                     qPrintable(texts.join(u" | ")));
        }
        QVERIFY2(texts.contains(QStringLiteral("复制(&C)")), qPrintable(texts.join(u" | ")));
        QVERIFY2(texts.contains(QStringLiteral("粘贴(&P)")), qPrintable(texts.join(u" | ")));

        QMessageBox box(QMessageBox::Question, QStringLiteral("提示"), QStringLiteral("?"),
                        QMessageBox::Yes | QMessageBox::No);
        QVERIFY(!box.button(QMessageBox::Yes)->text().contains(u"Yes"));
    }
};

QTEST_MAIN(TstQtTexts)
#include "tst_QtTexts.moc"
