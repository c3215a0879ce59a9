// What the window shows of hostile texts and what it makes of them: invisible and reordering
// characters are marked on screen but kept in every name that is made or saved, the folder picker
// names the folder that will really be made, and numbers follow the user's locale.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>
#include <QTreeWidget>

#include "app/qt_text.h"
#include "tests/app/window_fixture.h"

using namespace cartscope::apptest;

class ShownTextTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void invisibleCharactersAreMarkedButNeverMade();
    void folderPickerNamesTheCleanedFolder();
    void cardSizeUsesTheLocaleDecimalSeparator();
    void aLockedImageIsInUseByAnotherProgram();
};

void ShownTextTest::invisibleCharactersAreMarkedButNeverMade()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    auto banner = fixture::sampleBanner();
    banner.titles[1] = u"Abc\u202Edef";
    ImageBuilder b;
    b.title("INV\xE2\x80\xAE"
            "X")
        .banner(banner);
    b.root({Node::file("invoice\xE2\x80\xAE"
                       "fdp.exe",
                       std::string("data"))});
    Window w;
    w.open(writeImage(dir, "inv.nds", b));
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    const QString mark = QStringLiteral("\u27E8U+202E\u27E9");
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("INV") + mark + QStringLiteral("X"));
    QCOMPARE(w.child<QTreeWidget>("FSListView")->topLevelItem(0)->text(0),
             QStringLiteral("/invoice") + mark + QStringLiteral("fdp.exe"));
    QCOMPARE(w.child<QTextEdit>("Lang2TntRichEdit")->toPlainText(),
             QStringLiteral("Abc") + mark + QStringLiteral("def"));

    // The folder and the file made carry the real names.
    w.dialogs->folderAnswers = {q(out.path())};
    w.child<QPushButton>("ExtractAllButton")->click();
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    QCOMPARE(filesBelow(out.path()), QStringList{QString::fromUtf8("INV\xE2\x80\xAE"
                                                                   "X/invoice\xE2\x80\xAE"
                                                                   "fdp.exe")});
    // The picker's status line shows the marks too.
    QCOMPARE(w.dialogs->last("folder")->text, QStringLiteral("A New SubDir 'INV") + mark +
                                                  QStringLiteral("X' Will Be Created Here"));

    // The report keeps the real internal name.
    w.child<QRadioButton>("SaveToClipRadioButton")->setChecked(true);
    w.child<QPushButton>("SaveInfoButton")->click();
    const QString report = w.child<QPlainTextEdit>("OutputTntMemo")->toPlainText();
    QVERIFY2(report.contains(QString::fromUtf8("INV\xE2\x80\xAE"
                                               "X")),
             qPrintable(report));
    QVERIFY(!report.contains(mark));
}

void ShownTextTest::folderPickerNamesTheCleanedFolder()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    Window w;
    w.open(writeImage(dir, "esc.nds", sampleImage("../../ESCAPE")));
    w.dialogs->folderAnswers = {q(out.path())};
    w.child<QPushButton>("ExtractAllButton")->click();
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    QCOMPARE(w.dialogs->last("folder")->text,
             QStringLiteral("A New SubDir '.._.._ESCAPE' Will Be Created Here"));
    QVERIFY(filesBelow(out.path()).contains(QStringLiteral(".._.._ESCAPE/icon.bin")));
}

void ShownTextTest::cardSizeUsesTheLocaleDecimalSeparator()
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    fixture::TempDir dir;
    Window w;
    ImageBuilder b = sampleImage();
    b.deviceCapacity(0x2F); // 2^64 bytes: that figure in scientific form
    w.open(writeImage(dir, "big.nds", b));
    const QString shown = w.text("CardSizeEdit");
    QLocale::setDefault(saved);
    QCOMPARE(shown, QStringLiteral("140737488355328Mbit (1,84467440737096E19 bytes) (2Fh)"));
}

void ShownTextTest::aLockedImageIsInUseByAnotherProgram()
{
    fixture::TempDir dir;
    const std::string path = writeImage(dir, "game.nds", sampleImage());
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    Window w;
    w.open(path);
    ::close(fd);
    QCOMPARE(w.dialogs->errors,
             QStringList{QStringLiteral("Cannot open file \"%1\". It is in use by another program.")
                             .arg(q(path))});
}

QTEST_MAIN(ShownTextTest)
#include "shown_text_test.moc"
