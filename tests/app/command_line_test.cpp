// The program's own options: "--help" and "--version" print and succeed before the toolkit
// needs a display, and cartscope(1) describes each.

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTest>

class CommandLineTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void helpAndVersionNeedNoDisplay_data();
    void helpAndVersionNeedNoDisplay();
    void theManPageNamesEveryOption();
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

void CommandLineTest::theManPageNamesEveryOption()
{
    QProcess program;
    program.start(QStringLiteral(CARTSCOPE_APP), {QStringLiteral("--help")});
    QVERIFY(program.waitForFinished(20000));
    const QString help = QString::fromUtf8(program.readAllStandardOutput());
    QFile page(QStringLiteral(CARTSCOPE_SOURCE_DIR "/docs/man/cartscope.1.scd"));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QString man = QString::fromUtf8(page.readAll());
    const QRegularExpression option(QStringLiteral("(?<![\\w-])(--?[a-z][a-z-]*|--)(?![\\w-])"));
    int seen = 0;
    for (auto it = option.globalMatch(help); it.hasNext(); ++seen) {
        const QString name = it.next().captured(1);
        if (name.startsWith(QLatin1String("--")) || name == QLatin1String("-h"))
            QVERIFY2(man.contains(QLatin1Char('*') + name + QLatin1Char('*')), qPrintable(name));
    }
    QVERIFY(seen >= 4);
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "command_line_test.moc"
