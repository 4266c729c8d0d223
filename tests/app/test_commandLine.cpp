// The program's own arguments: answered before anything starts, with no display at hand.

#include "support/TestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void answersWithoutStarting_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("out"); // a pattern for the whole of stdout
        QTest::addColumn<QString>("err"); // and for the whole of stderr
        const QString help = QStringLiteral("^Usage: quillon .*--help.*--version.*\\n$");
        QTest::newRow("help") << QStringList{"--help"} << 0 << help << "^$";
        QTest::newRow("-h") << QStringList{"-h"} << 0 << help << "^$";
        QTest::newRow("version") << QStringList{"--version"} << 0
                                 << "^quillon \\d+\\.\\d+\\.\\d+\\n$"
                                 << "^$";
        QTest::newRow("help wins") << QStringList{"--version", "--help"} << 0 << help << "^$";
        const QString oneLine = QStringLiteral("^quillon: unknown argument '%1'[^\\n]*\\n$");
        QTest::newRow("unknown") << QStringList{"--start"} << 2 << "^$" << oneLine.arg("--start");
        QTest::newRow("unknown after help")
            << QStringList{"--help", "x"} << 2 << "^$" << oneLine.arg("x");
        QTest::newRow("a display option")
            << QStringList{"-display", ":9"} << 2 << "^$" << oneLine.arg("-display");
    }

    void answersWithoutStarting() {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QProcess p;
        // No display anywhere: a program that started its windows would fail to connect.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        p.setProcessEnvironment(env);
        p.start(quillon::test::shippedFile(QStringLiteral("quillon")), args);
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        const QString stdoutText = QString::fromUtf8(p.readAllStandardOutput());
        const QString stderrText = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(p.exitCode(), code);
        const auto whole = [](const QString& pattern) {
            return QRegularExpression(pattern, QRegularExpression::DotMatchesEverythingOption);
        };
        QVERIFY2(whole(out).match(stdoutText).hasMatch(), qPrintable(stdoutText));
        QVERIFY2(whole(err).match(stderrText).hasMatch(), qPrintable(stderrText));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_commandLine.moc"
