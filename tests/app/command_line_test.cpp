// The program's own options: "--help" and "--version" print and succeed before the toolkit
// needs a display.

#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

class CommandLineTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void helpAndVersionNeedNoDisplay_data();
    void helpAndVersionNeedNoDisplay();
};

void CommandLineTest::helpAndVersionNeedNoDisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("starts");
    QTest::newRow("help") << QStringList{"--help"} << QStringLiteral("Usage: cartscope ");
    QTest::newRow("-h") << QStringList{"-h"} << QStringLiteral("Usage: cartscope ");
    QTest::newRow("version") << QStringList{"--version"} << QStringLiteral("cartscope 1.7");
    QTest::newRow("help wins") << QStringList{"--version", "--help"}
                               << QStringLiteral("Usage: cartscope ");
    QTest::newRow("after a Qt option")
        << QStringList{"-style", "fusion", "--version"} << QStringLiteral("cartscope 1.7");
}

void CommandLineTest::helpAndVersionNeedNoDisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, starts);
    for (const bool display : {false, true}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        // Without a display the toolkit would abort; with the offscreen one it would open a
        // window and wait.
        if (display)
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        else
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(CARTSCOPE_APP), arguments);
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        const QString out = QString::fromUtf8(program.readAllStandardOutput());
        QVERIFY2(out.startsWith(starts), qPrintable(out));
        QVERIFY(out.endsWith(QLatin1Char('\n')));
        QVERIFY(program.readAllStandardError().isEmpty());
    }
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "command_line_test.moc"
