// Opening images: the values shown, the failures and their messages, the open dialog and the
// drop rule.

#include <filesystem>

#include <QCheckBox>
#include <QPushButton>
#include <QTextEdit>
#include <QToolButton>
#include <QTreeWidget>

#include "app/icon_view.h"
#include "core/checksum/crc32.h"
#include "core/interpret.h"
#include "core/io/read_pass.h"
#include "tests/app/window_fixture.h"
#include "tests/archive/zip_builder.h"
#include "tests/fixture/crc32_reference.h"

using namespace cartscope::apptest;

class LoadSequenceTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void imageOpenShowsEverything();
    void shortAndExactSizes();
    void reopeningTheOpenFileWorks();
    void missingFileNamesPathAndReason();
    void openDialogFiltersAndCancel();
    void dropRule_data();
    void dropRule();
    void dropTakesOnlyTheFirstFile();
    void dropOnAnyControlOpensTheFile();
    void theWholeFileReadRunsAfterTheSequence();
    void aNewLoadOrClosingCancelsTheRead();
    void aFailedReadEndsTheLoad();
    void pluggedSinksSeeTheOneRead();
    void extractionRunsBesideTheRead();
};

void LoadSequenceTest::imageOpenShowsEverything()
{
    fixture::TempDir dir;
    Window w;
    const std::string path = writeImage(dir, "game.nds", sampleImage());
    w.open(path);
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    QVERIFY(w.form->imageLoaded());
    QVERIFY(w.form->imageHeld());
    QCOMPARE(w.text("FNameEdit"), q(path));
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("MYGAME"));
    QCOMPARE(w.text("SerialEdit"), QStringLiteral("NTR-ASME-USA"));
    QCOMPARE(w.text("MakerCodeEdit"), QStringLiteral("01"));
    QCOMPARE(w.text("MakerNameEdit"), QStringLiteral("Nintendo"));
    QCOMPARE(w.text("CRC32Edit").size(), 8);
    QVERIFY(w.text("FileSizeEdit")
                .endsWith(QStringLiteral("Mbit (%1 bytes)").arg(std::filesystem::file_size(path))));
    for (const char* verdict : {"SecAreaCheckEdit", "LogoCheckEdit", "HeaderCheckEdit"})
        QCOMPARE(w.text(verdict), QStringLiteral("OK"));
    QCOMPARE(w.text("ExpHeaderCRC16Edit"), w.text("ActHeaderCRC16Edit"));
    QCOMPARE(w.text("BadDumpCodeEdit"),
             QStringLiteral("Bad Data NOT Found, It's Likely This Dump Is Good!"));
    // Titles exactly as the banner holds them, line feed included.
    QCOMPARE(w.child<QTextEdit>("Lang2TntRichEdit")->toPlainText(),
             QStringLiteral("Cartscope Sample\nHomebrew Test Image"));
    const QString japanese = w.child<QTextEdit>("Lang1TntRichEdit")->toPlainText();
    QVERIFY(japanese.startsWith(QString::fromUtf16(u"\u30AB\u30FC\u30C8")));

    // The icon: the sample's bottom-left pixel has index 0 (magenta), so the view is
    // transparent there; the check box switches it.
    auto* icon = w.child<cartscope::app::IconView>("IconImage");
    QVERIFY(icon->hasPicture());
    QVERIFY(icon->isTransparent());
    QCOMPARE(qAlpha(icon->shownImage().pixel(0, 31)), 0);
    QCOMPARE(qAlpha(icon->shownImage().pixel(0, 0)), 255);
    w.child<QCheckBox>("IconTransparencyCheckBox")->click();
    QVERIFY(!icon->isTransparent());
    QCOMPARE(icon->shownImage().pixel(0, 31), qRgb(248, 0, 248));

    // The list, in the order the tables give, and the extraction commands.
    auto* list = w.child<QTreeWidget>("FSListView");
    QCOMPARE(list->topLevelItemCount(), 4);
    QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("/icon.bin"));
    QCOMPARE(list->topLevelItem(0)->text(2), QStringLiteral("100"));
    QCOMPARE(list->topLevelItem(0)->text(1).size(), 8);
    QCOMPARE(w.form->rows().size(), std::size_t{4});
    QVERIFY(w.child<QPushButton>("ExtractAllButton")->isEnabled());
    QVERIFY(!w.child<QPushButton>("ExtractFileButton")->isEnabled());
}

void LoadSequenceTest::shortAndExactSizes()
{
    fixture::TempDir dir;
    Window w;
    // One byte short of the secure area's end: the header copy runs short.
    const std::string tooShort = writeImage(dir, "short.nds", sampleImage().totalSize(0x7FFF));
    w.open(tooShort);
    QCOMPARE(w.dialogs->errors, QStringList{QStringLiteral("Stream read error.")});
    QCOMPARE(w.text("FNameEdit"), q(tooShort));
    for (const char* name : {"IntNameEdit", "SerialEdit", "FileSizeEdit", "CRC32Edit",
                             "BadDumpCodeEdit", "HeaderCheckEdit", "DeviceCodeEdit"})
        QVERIFY2(w.text(name).isEmpty(), name);
    QVERIFY(!w.form->imageLoaded());
    QVERIFY(!w.child<QWidget>("SaveInfoButton")->isEnabled());
    QVERIFY(!w.child<cartscope::app::IconView>("IconImage")->hasPicture());

    // Exactly 0x8000 bytes with a valid header (no banner, no tree) loads completely.
    ImageBuilder exact;
    exact.title("EXACT").gameCode("ASME").noBanner().totalSize(0x8000);
    const std::string exactPath = writeImage(dir, "exact.nds", exact);
    QCOMPARE(std::filesystem::file_size(exactPath), std::uintmax_t{0x8000});
    w.open(exactPath);
    QCOMPARE(w.dialogs->errors.size(), 1);
    QVERIFY(w.form->imageLoaded());
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("EXACT"));
    QCOMPARE(w.text("FileSizeEdit"), QStringLiteral("0Mbit (32768 bytes)"));
    QVERIFY(w.child<QWidget>("SaveIconButton")->isEnabled());
}

void LoadSequenceTest::reopeningTheOpenFileWorks()
{
    fixture::TempDir dir;
    Window w;
    const std::string path = writeImage(dir, "game.nds", sampleImage());
    w.open(path);
    const QString crc = w.text("CRC32Edit");
    w.open(path); // the held stream (with its exclusive lock) is released first
    w.open(path);
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    QVERIFY(w.form->imageLoaded());
    QCOMPARE(w.text("CRC32Edit"), crc);
    QCOMPARE(w.child<QTreeWidget>("FSListView")->topLevelItemCount(), 4);
}

void LoadSequenceTest::missingFileNamesPathAndReason()
{
    fixture::TempDir dir;
    Window w;
    w.open(writeImage(dir, "game.nds", sampleImage()));
    const std::string missing = dir.file("nowhere.nds");
    w.open(missing);
    QCOMPARE(w.dialogs->errors.size(), 1);
    const QString message = w.dialogs->errors.front();
    QVERIFY2(message.startsWith(QStringLiteral("Cannot open file \"%1\". ").arg(q(missing))),
             qPrintable(message));
    QVERIFY(message.endsWith(QLatin1Char('.')));
    QVERIFY(!message.endsWith(QStringLiteral("..")));
    QCOMPARE(w.text("FNameEdit"), q(missing));
    QVERIFY(w.text("IntNameEdit").isEmpty());
    QVERIFY(!w.form->imageLoaded());
    QVERIFY(!w.form->imageHeld());
    // The previous image's rows went with it: nothing can be extracted from a closed image.
    QCOMPARE(w.child<QTreeWidget>("FSListView")->topLevelItemCount(), 0);
    QVERIFY(!w.child<QWidget>("ExtractAllButton")->isEnabled());

    // A folder is not an image either.
    w.open(dir.path());
    QCOMPARE(w.dialogs->errors.size(), 2);
    QVERIFY(w.dialogs->errors.back().startsWith(QStringLiteral("Cannot open file")));
}

void LoadSequenceTest::openDialogFiltersAndCancel()
{
    fixture::TempDir dir;
    Window w;
    // Whatever the user picks is opened, extension or not.
    const std::string odd = writeImage(dir, "game.bin", sampleImage("ODDNAME"));
    w.dialogs->openAnswers.push_back(q(odd));
    w.child<QToolButton>("OpenRomSpeedButton")->click();
    const DialogCall* call = w.dialogs->last("open");
    QVERIFY(call);
    const std::vector<cartscope::app::FileFilter> expected = {
        {"NDS Rom Files (*.nds;*.zip)", {"*.nds", "*.ids", "*.zip"}},
        {"Nintendo DS Rom Files (*.nds)", {"*.nds"}},
        {"iQueDS Rom Files (*.ids)", {"*.ids"}},
        {"Zip Files (*.zip)", {"*.zip"}},
        {"DSi Rom Files (*.dsi;*.srl)", {"*.dsi", "*.srl"}},
        {"7z Files (*.7z)", {"*.7z"}},
    };
    QVERIFY(call->filters == expected);
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("ODDNAME"));

    // Cancelling leaves the open image untouched.
    w.dialogs->openAnswers.push_back(std::nullopt);
    w.child<QToolButton>("OpenRomSpeedButton")->click();
    QCOMPARE(w.dialogs->count("open"), 2);
    QVERIFY(w.form->imageLoaded());
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("ODDNAME"));
    QVERIFY(w.dialogs->errors.isEmpty());

    // Qt is given the patterns in any letter case, behind the exact description.
    QCOMPARE(cartscope::app::qtFilterString(expected[2]),
             QStringLiteral("iQueDS Rom Files (*.ids) (*.[iI][dD][sS])"));
}

void LoadSequenceTest::dropRule_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("GAME.NDS") << "GAME.NDS" << true;
    QTest::newRow("game.Ids") << "game.Ids" << true;
    QTest::newRow("ARCHIVE.ZIP") << "ARCHIVE.ZIP" << true;
    QTest::newRow("GAME.DSI") << "GAME.DSI" << true;
    QTest::newRow("game.srl") << "game.srl" << true;
    QTest::newRow("game.srl.part") << "game.srl.part" << false;
    QTest::newRow("game.nds.bak") << "game.nds.bak" << false;
    QTest::newRow("no extension") << "game" << false;
    QTest::newRow("folder x.nds") << "x.nds/" << false;
    QTest::newRow("missing") << "missing.nds" << false;
}

void LoadSequenceTest::dropRule()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    fixture::TempDir dir;
    Window w;
    const std::string path = dir.file(name.toStdString());
    if (name.endsWith(QLatin1Char('/'))) {
        std::filesystem::create_directory(path);
    } else if (name.endsWith(QStringLiteral(".ZIP"))) {
        // Not a readable archive: accepted, then it quietly yields no image.
        fixture::writeFile(path, Bytes{'P', 'K', 0, 0});
    } else if (name != QStringLiteral("missing.nds")) {
        sampleImage().writeTo(path);
    }
    QVERIFY(w.drop({q(path)})); // any file is welcome to the drag; the rule decides at the drop
    QVERIFY2(w.dialogs->calls.empty(), "a drop never shows a message");
    if (name.endsWith(QStringLiteral(".ZIP"))) {
        // The archive was read: the window went through a load (cleared, nothing open).
        QVERIFY(!w.form->imageLoaded());
        QVERIFY(w.text("FNameEdit").isEmpty());
        return;
    }
    QCOMPARE(w.form->imageLoaded(), accepted);
    QCOMPARE(w.text("FNameEdit").isEmpty(), !accepted);
}

void LoadSequenceTest::dropTakesOnlyTheFirstFile()
{
    fixture::TempDir dir;
    const std::string first = writeImage(dir, "first.nds", sampleImage("FIRST"));
    const std::string second = writeImage(dir, "second.nds", sampleImage("SECOND"));
    const std::string rejected = writeImage(dir, "first.nds.bak", sampleImage("BAK"));
    {
        Window w;
        w.drop({q(first), q(second)});
        QCOMPARE(w.text("IntNameEdit"), QStringLiteral("FIRST"));
    }
    {
        Window w;
        w.drop({q(rejected), q(second)});
        QVERIFY(!w.form->imageLoaded());
        QVERIFY(w.text("FNameEdit").isEmpty());
    }
    {
        // A failing drop reports like any other open.
        Window w;
        const std::string bad = dir.file("bad.nds");
        fixture::writeFile(bad, Bytes(100, 0));
        w.drop({q(bad)});
        QCOMPARE(w.dialogs->errors, QStringList{QStringLiteral("Stream read error.")});
    }
}

void LoadSequenceTest::dropOnAnyControlOpensTheFile()
{
    // The whole window is the drop target: a file dropped on any of its controls is opened,
    // the editable bad-dump field included, which must not take the path as text instead.
    fixture::TempDir dir;
    const std::string path = writeImage(dir, "game.nds", sampleImage());
    const QString verdict = QStringLiteral("Bad Data NOT Found, It's Likely This Dump Is Good!");
    Window w;
    w.form->show();
    const QList<QWidget*> targets = {
        w.child<QLineEdit>("BadDumpCodeEdit"), w.child<QLineEdit>("FNameEdit"),
        w.child<QLineEdit>("IntNameEdit"), w.child<QTextEdit>("Lang2TntRichEdit")->viewport(),
        w.child<QTreeWidget>("FSListView")->viewport()};
    for (QWidget* target : targets) {
        w.form->ClearInfo();
        QVERIFY(w.drop({q(path)}, target));
        QVERIFY2(w.dialogs->calls.empty(), qPrintable(w.dialogs->errors.join('|')));
        QVERIFY(w.form->imageLoaded());
        QCOMPARE(w.text("FNameEdit"), q(path));
        QCOMPARE(w.text("BadDumpCodeEdit"), verdict);
    }
}

void LoadSequenceTest::theWholeFileReadRunsAfterTheSequence()
{
    fixture::TempDir dir;
    const std::string path = writeImage(dir, "big.nds", sampleImage().minSize(6 << 20));
    Window w;
    int finished = 0;
    QObject::connect(w.form.get(), &cartscope::app::TForm1::readPassFinished, [&] { ++finished; });
    QStringList shown;
    QObject::connect(w.child<QLineEdit>("CRC32Edit"), &QLineEdit::textChanged,
                     [&](const QString& text) { shown << text; });
    w.form->openFile(path);
    // The sequence has ended and the window is usable; the read runs once events are handled.
    QVERIFY(w.form->imageLoaded());
    QVERIFY(w.form->readPassRunning());
    QCOMPARE(w.text("CRC32Edit"), QString::fromUtf8("Computing\u2026 0%"));
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("MYGAME"));
    QCOMPARE(w.child<QTreeWidget>("FSListView")->topLevelItemCount(), 4);
    for (const char* name : {"SaveInfoButton", "SaveToFileRadioButton", "SaveToClipRadioButton"})
        QVERIFY2(!w.child<QWidget>(name)->isEnabled(), name);
    QVERIFY(w.child<QWidget>("SaveIconButton")->isEnabled());
    QVERIFY(w.child<QWidget>("ExtractAllButton")->isEnabled());

    w.waitForReadPass();
    QCOMPARE(finished, 1);
    QCOMPARE(w.text("CRC32Edit"),
             q(cartscope::core::crc32Text(cartscope::reference::FileCrc32Reference(path))));
    for (const char* name : {"SaveInfoButton", "SaveToFileRadioButton", "SaveToClipRadioButton"})
        QVERIFY2(w.child<QWidget>(name)->isEnabled(), name);
    // Progress, then the value: every text before the last is a rising percentage.
    QVERIFY(shown.size() >= 2);
    int last = -1;
    for (qsizetype i = 0; i + 1 < shown.size(); ++i) {
        QVERIFY2(shown[i].startsWith(QString::fromUtf8("Computing\u2026 ")), qPrintable(shown[i]));
        const int percent = shown[i].mid(11).chopped(1).toInt();
        QVERIFY(percent >= last && percent <= 100);
        last = percent;
    }
}

void LoadSequenceTest::aNewLoadOrClosingCancelsTheRead()
{
    fixture::TempDir dir;
    const std::string first = writeImage(dir, "first.nds", sampleImage("FIRST").minSize(4 << 20));
    const std::string second = writeImage(dir, "second.nds", sampleImage("SECOND"));
    Window w;
    int finished = 0;
    QObject::connect(w.form.get(), &cartscope::app::TForm1::readPassFinished, [&] { ++finished; });
    w.form->openFile(first);
    QVERIFY(w.form->readPassRunning());
    w.open(second);
    QCOMPARE(finished, 1); // the first read never reports
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("SECOND"));
    QCOMPARE(w.text("CRC32Edit"),
             q(cartscope::core::crc32Text(cartscope::reference::FileCrc32Reference(second))));
    // Reopening the file whose read was stopped works: its lock went with the read.
    w.form->openFile(first);
    QVERIFY(w.form->readPassRunning());
    w.form->close();
    QVERIFY(!w.form->readPassRunning());
    QTest::qWait(20);
    QCOMPARE(finished, 1);
    QVERIFY(w.dialogs->errors.isEmpty());
}

namespace {
// Shrinks the image file while the read is under way: after the first block.
struct ShrinkingSink final : cartscope::core::ReadSink {
    std::string path;
    void consume(std::span<const std::uint8_t>, std::uint64_t position) override
    {
        if (position == 0)
            std::filesystem::resize_file(path, 0x9000);
    }
};
} // namespace

void LoadSequenceTest::aFailedReadEndsTheLoad()
{
    fixture::TempDir dir;
    const std::string path = writeImage(dir, "game.nds", sampleImage().minSize(3 << 20));
    Window w;
    w.form->addPassSinkProvider([&] {
        auto sink = std::make_shared<ShrinkingSink>();
        sink->path = path;
        return std::vector<std::shared_ptr<cartscope::core::ReadSink>>{sink};
    });
    w.form->openFile(path);
    QVERIFY(w.form->imageLoaded());
    w.waitForReadPass();
    QCOMPARE(w.dialogs->errors, QStringList{QStringLiteral("Stream read error.")});
    QVERIFY(!w.form->imageLoaded());
    QVERIFY(!w.form->imageHeld());
    QCOMPARE(w.text("FNameEdit"), q(path));
    for (const char* name : {"IntNameEdit", "CRC32Edit", "SerialEdit"})
        QVERIFY2(w.text(name).isEmpty(), name);
    QCOMPARE(w.child<QTreeWidget>("FSListView")->topLevelItemCount(), 0);
    for (const char* name : {"SaveInfoButton", "SaveIconButton", "ExtractAllButton"})
        QVERIFY2(!w.child<QWidget>(name)->isEnabled(), name);
}

namespace {
struct CountingSink final : cartscope::core::ReadSink {
    std::uint64_t bytes = 0;
    int finishes = 0;
    void consume(std::span<const std::uint8_t> block, std::uint64_t position) override
    {
        QCOMPARE(position, bytes);
        bytes += block.size();
    }
    void finish(std::uint64_t) override { ++finishes; }
};
} // namespace

void LoadSequenceTest::pluggedSinksSeeTheOneRead()
{
    fixture::TempDir dir;
    const Bytes image = sampleImage().minSize(3 << 20).build();
    const std::string path = dir.file("game.nds");
    fixture::writeFile(path, image);
    const std::string zip = dir.file("game.zip");
    cartscope::testzip::writeZip(zip, {cartscope::testzip::Entry::file("game.nds", image)});

    Window w;
    std::vector<std::shared_ptr<CountingSink>> made;
    w.form->addPassSinkProvider([&] {
        made.push_back(std::make_shared<CountingSink>());
        return std::vector<std::shared_ptr<cartscope::core::ReadSink>>{made.back()};
    });
    w.open(path);
    QCOMPARE(made.size(), std::size_t{1});
    QCOMPARE(made[0]->bytes, std::uint64_t{image.size()});
    QCOMPARE(made[0]->finishes, 1);

    // Out of an archive the copy is the read: no pass over the copy, the value at once.
    w.form->openFile(zip);
    QVERIFY(!w.form->readPassRunning());
    QCOMPARE(made.size(), std::size_t{2});
    QCOMPARE(made[1]->bytes, std::uint64_t{image.size()});
    QCOMPARE(made[1]->finishes, 1);
    QCOMPARE(w.text("CRC32Edit"),
             q(cartscope::core::crc32Text(cartscope::reference::FileCrc32Reference(path))));
    QVERIFY(w.child<QWidget>("SaveInfoButton")->isEnabled());
}

void LoadSequenceTest::extractionRunsBesideTheRead()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    const std::string path = writeImage(dir, "game.nds", sampleImage().minSize(8 << 20));
    Window w;
    w.form->openFile(path);
    QVERIFY(w.form->readPassRunning());
    // The read ends while the tree is extracted: "Save Info To:" waits for the job's end.
    bool savedDuringJob = true;
    QObject::connect(w.form.get(), &cartscope::app::TForm1::fileExtracted, [&](int done, int) {
        if (done == 1) {
            w.waitForReadPass();
            savedDuringJob = w.child<QWidget>("SaveInfoButton")->isEnabled();
        }
    });
    w.dialogs->folderAnswers = {q(out.path()), q(out.path())};
    w.child<QPushButton>("ExtractAllButton")->click();
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    QCOMPARE(filesBelow(out.path()).size(), 4);
    QVERIFY(!w.form->readPassRunning());
    QVERIFY(!savedDuringJob);
    QVERIFY(w.child<QWidget>("SaveInfoButton")->isEnabled());
    QCOMPARE(w.text("CRC32Edit"),
             q(cartscope::core::crc32Text(cartscope::reference::FileCrc32Reference(path))));
}

QTEST_MAIN(LoadSequenceTest)
#include "load_sequence_test.moc"
