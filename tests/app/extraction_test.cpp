// The file list's sorting and command enabling, and both extraction commands.

#include <chrono>
#include <filesystem>
#include <map>

#include <QAction>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>

#include "app/narc_dialog.h"
#include "app/progress_dialog.h"
#include "core/base/le.h"
#include "core/compress/code.h"
#include "core/compress/encode.h"
#include "core/rebuild/build.h"
#include "tests/app/window_fixture.h"

using namespace cartscope::apptest;

namespace {

void clickHeader(QTreeWidget* list, int section)
{
    QHeaderView* header = list->header();
    const QPoint at(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                    header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

void clickRow(QTreeWidget* list, int row)
{
    const QRect r = list->visualItemRect(list->topLevelItem(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
}

// Ten files in two folders, sizes 1..10 in a shuffled order.
ImageBuilder tenFiles()
{
    std::vector<Node> a;
    std::vector<Node> b;
    const int sizes[10] = {7, 3, 10, 1, 9, 2, 8, 4, 6, 5};
    for (int i = 0; i < 10; ++i) {
        Node n = Node::file("f" + std::to_string(i) + ".bin",
                            Bytes(static_cast<std::size_t>(sizes[i]), std::uint8_t('a' + i)));
        (i < 5 ? a : b).push_back(std::move(n));
    }
    ImageBuilder builder;
    builder.title("TEN").gameCode("ATEE").banner(fixture::sampleBanner());
    builder.root({Node::dir("one", a), Node::dir("two", b)});
    return builder;
}

// Files packed with LZ10 and LZ11, a plain one, one that begins like LZ10 but ends early, a NARC
// with a packed member and a code-compressed overlay (file ID 5, its table entry flagged).
ImageBuilder packedFiles()
{
    using cartscope::core::Codec;
    // Noise packs to more than it was; cut, its first 4 KiB still decode.
    Bytes cut = cartscope::core::compress(Codec::Lz10, fixture::noise(0x3000, 12345));
    cut.resize(0x1800);
    ImageBuilder b;
    b.title("PACKED").banner(fixture::sampleBanner());
    b.root(
        {Node::file("lz10.bin", cartscope::core::compress(Codec::Lz10, fixture::prose(0x3000, 1))),
         Node::dir("d", {Node::file("lz11.bin", cartscope::core::compress(
                                                    Codec::Lz11, fixture::prose(0x2000, 2)))}),
         Node::file("cut.bin", cut), Node::file("plain.txt", std::string("plain")),
         Node::file("m.narc",
                    fixture::narcArchive({{"in.bin", cartscope::core::compress(
                                                         Codec::Lz10, fixture::prose(0x800, 3))}},
                                         true))});
    const Bytes overlay = *cartscope::core::compressCode(fixture::prose(0x2000, 6));
    b.extraFiles({overlay});
    Bytes y9 = fixture::overlayEntry(0, 5);
    cartscope::core::putLe32(y9, 0x1C, 0x01000000 | static_cast<std::uint32_t>(overlay.size()));
    b.binary(0x50, 0x54, y9);
    return b;
}

} // namespace

class ExtractionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sortClicksFromFreshStart();
    void nameThenOffsetKeepsDirection();
    void commandsFollowTheList();
    void singleFile();
    void singleFileNeedsAFocusedRow();
    void wholeTreeWithCancelAfterThirdFile();
    void wholeTreeLocksTheWindow();
    void wholeTreeStopsOnError();
    void anImageWithoutFilesStillOffersTheWholeTree();
    void theDialogIsPaintedAtItsOwnPace();
    void decompressWhenExtracting();
    void cancelStopsTheDecompression();
};

void ExtractionTest::sortClicksFromFreshStart()
{
    fixture::TempDir dir;
    Window w;
    w.form->show();
    w.open(writeImage(dir, "ten.nds", tenFiles()));
    auto* list = w.child<QTreeWidget>("FSListView");
    QCOMPARE(list->topLevelItemCount(), 10);
    const QStringList ascending = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"};
    QStringList descending = ascending;
    std::reverse(descending.begin(), descending.end());
    clickHeader(list, 2);
    QCOMPARE(column(list, 2), descending);
    clickHeader(list, 2);
    QCOMPARE(column(list, 2), ascending);
    clickHeader(list, 2);
    QCOMPARE(column(list, 2), descending);
    // The rows extraction reads follow the list's order.
    QCOMPARE(w.form->rows().front().size, 10);

    // Another image comes unsorted; the next click on the same column reverses the direction.
    w.open(writeImage(dir, "ten2.nds", tenFiles()));
    QCOMPARE(column(list, 2).front(), QStringLiteral("7"));
    clickHeader(list, 2);
    QCOMPARE(column(list, 2), ascending);
}

void ExtractionTest::nameThenOffsetKeepsDirection()
{
    fixture::TempDir dir;
    Window w;
    w.form->show();
    w.open(writeImage(dir, "game.nds", sampleImage()));
    auto* list = w.child<QTreeWidget>("FSListView");
    clickHeader(list, 0);
    QCOMPARE(column(list, 0),
             (QStringList{"/data/big.bin", "/data/sound/bgm.sdat", "/empty.bin", "/icon.bin"}));
    clickHeader(list, 1);
    QStringList offsets = column(list, 1);
    QStringList sorted = offsets;
    sorted.sort();
    QCOMPARE(offsets, sorted);
}

void ExtractionTest::commandsFollowTheList()
{
    fixture::TempDir dir;
    Window w;
    w.form->show();
    w.child<QTabWidget>("PageControl")->setCurrentIndex(1);
    w.open(writeImage(dir, "game.nds", sampleImage()));
    auto* list = w.child<QTreeWidget>("FSListView");
    auto* single = w.child<QPushButton>("ExtractFileButton");
    auto* action = w.child<QMenu>("FilesPopupMenu")->actions().front();
    QVERIFY(w.child<QPushButton>("ExtractAllButton")->isEnabled());
    QVERIFY(!single->isEnabled());
    clickRow(list, 1);
    QVERIFY(single->isEnabled());
    // The menu's entry is set when the menu opens.
    Q_EMIT w.child<QMenu>("FilesPopupMenu")->aboutToShow();
    QVERIFY(action->isEnabled());
    list->clearSelection();
    Q_EMIT w.child<QMenu>("FilesPopupMenu")->aboutToShow();
    QVERIFY(!action->isEnabled());
    // A click on empty space, with no row selected, disables the button again.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(5, list->viewport()->height() - 5));
    QVERIFY(!single->isEnabled());

    // Sorting keeps the focused row on the same file.
    clickRow(list, 3);
    const QString focused = list->currentItem()->text(0);
    clickHeader(list, 0);
    QCOMPARE(list->currentItem()->text(0), focused);
    QVERIFY(list->currentItem()->isSelected());

    // The button follows a row chosen with the keyboard, and one chosen by the right click
    // that opens the menu (whose release the menu takes), as it follows a click.
    const std::string path = dir.file("game.nds");
    w.open(path);
    QVERIFY(!single->isEnabled());
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Down);
    QVERIFY(list->currentItem() && list->currentItem()->isSelected());
    QVERIFY(single->isEnabled());
    w.open(path);
    QVERIFY(!single->isEnabled());
    const QPoint row2 = list->visualItemRect(list->topLevelItem(2)).center();
    QTest::mousePress(list->viewport(), Qt::RightButton, Qt::NoModifier, row2);
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, row2,
                                list->viewport()->mapToGlobal(row2));
    QCoreApplication::sendEvent(list->viewport(), &menuEvent);
    QVERIFY(single->isEnabled());
    QVERIFY(action->isEnabled());
    w.child<QMenu>("FilesPopupMenu")->close();
    // The keyboard takes the selection away again.
    QTest::keyClick(list, Qt::Key_Space, Qt::ControlModifier);
    QCOMPARE(single->isEnabled(), !list->selectedItems().isEmpty());
}

void ExtractionTest::singleFile()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    Window w;
    w.form->show();
    w.child<QTabWidget>("PageControl")->setCurrentIndex(1);
    w.open(writeImage(dir, "game.nds", sampleImage()));
    auto* list = w.child<QTreeWidget>("FSListView");
    const int deep =
        static_cast<int>(column(list, 0).indexOf(QStringLiteral("/data/sound/bgm.sdat")));
    clickRow(list, deep);
    w.dialogs->folderAnswers = {q(out.path()), q(out.path() + "/")};
    w.child<QPushButton>("ExtractFileButton")->click();
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    const DialogCall* folder = w.dialogs->last("folder");
    QCOMPARE(folder->title, QStringLiteral("Please Select A Directory To Extract The Rom Into:"));
    QCOMPARE(folder->text, QStringLiteral("A New SubDir 'MYGAME' Will Be Created Here"));
    QVERIFY(folder->start.isEmpty()); // the first time, the default place
    QCOMPARE(filesBelow(out.path()), QStringList{"MYGAME/data/sound/bgm.sdat"});
    const Bytes music = fixture::readFile(out.file("MYGAME/data/sound/bgm.sdat"));
    QCOMPARE(std::string(music.begin(), music.end()), std::string("music data"));
    QCOMPARE(w.dialogs->informations, QStringList{QStringLiteral("File Extracted")});

    // The popup entry does the same; the picker starts at the folder chosen last, an existing
    // file is replaced, and an empty row gives an empty file.
    fixture::writeFile(out.file("MYGAME/data/sound/bgm.sdat"), Bytes(5000, 0xEE));
    clickRow(list, static_cast<int>(column(list, 0).indexOf(QStringLiteral("/empty.bin"))));
    Q_EMIT w.child<QMenu>("FilesPopupMenu")->aboutToShow();
    w.child<QMenu>("FilesPopupMenu")->actions().front()->trigger();
    QCOMPARE(w.dialogs->last("folder")->start, q(out.path()));
    QVERIFY(std::filesystem::exists(out.file("MYGAME/empty.bin")));
    QCOMPARE(std::filesystem::file_size(out.file("MYGAME/empty.bin")), std::uintmax_t{0});
    QCOMPARE(w.dialogs->informations.size(), 2);

    // Cancelling the picker does nothing.
    w.child<QPushButton>("ExtractFileButton")->click();
    QCOMPARE(w.dialogs->informations.size(), 2);
    QCOMPARE(w.dialogs->count("folder"), 3);
}

void ExtractionTest::singleFileNeedsAFocusedRow()
{
    fixture::TempDir dir;
    Window w;
    w.form->show();
    w.child<QTabWidget>("PageControl")->setCurrentIndex(1);
    const std::string path = writeImage(dir, "game.nds", sampleImage());
    w.open(path);
    // Rows replaced: no row holds the focus, the command does nothing at all.
    w.open(path);
    QVERIFY(!w.child<QTreeWidget>("FSListView")->currentItem());
    w.child<QMenu>("FilesPopupMenu")->actions().front()->setEnabled(true);
    w.child<QMenu>("FilesPopupMenu")->actions().front()->trigger();
    QCOMPARE(w.dialogs->count("folder"), 0);
    QVERIFY(w.dialogs->informations.isEmpty());
}

void ExtractionTest::wholeTreeWithCancelAfterThirdFile()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    Window w;
    w.form->show();
    w.open(writeImage(dir, "ten.nds", tenFiles()));
    cartscope::app::TForm2* progress = w.form->progressDialog();
    QStringList shown;
    // The Cancel click arrives while the window handles its input after the third file.
    const auto hook = QObject::connect(
        w.form.get(), &cartscope::app::TForm1::fileExtracted, [&](int done, int total) {
            QCOMPARE(total, 10);
            QVERIFY(progress->isVisible());
            QCOMPARE(progress->ExtProgBar->value(), done);
            shown << progress->ExtFileStaticText->text();
            if (done == 3)
                QMetaObject::invokeMethod(progress->Button1, "click", Qt::QueuedConnection);
        });
    w.dialogs->folderAnswers = {q(out.path()), q(out.path())};
    w.child<QPushButton>("ExtractAllButton")->click();
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    QCOMPARE(filesBelow(out.path()),
             (QStringList{"TEN/one/f0.bin", "TEN/one/f1.bin", "TEN/one/f2.bin"}));
    QCOMPARE(shown, (QStringList{"TEN/one/f0.bin", "TEN/one/f1.bin", "TEN/one/f2.bin"}));
    QCOMPARE(progress->ToFileStaticText->text(), q(out.path() + "/TEN/one/f2.bin"));
    QCOMPARE(progress->ExtProgBar->maximum(), 10);
    QVERIFY(progress->isHidden());
    QCOMPARE(w.dialogs->informations, QStringList{QStringLiteral("Rom Extracted")});
    QVERIFY(w.child<QPushButton>("ExtractAllButton")->isEnabled());
    QVERIFY(!w.form->jobRunning());

    // A second run extracts all ten again.
    QObject::disconnect(hook);
    w.child<QPushButton>("ExtractAllButton")->click();
    QCOMPARE(filesBelow(out.path()).size(), 10);
    QCOMPARE(w.dialogs->informations.size(), 2);
    const Bytes f2 = fixture::readFile(out.file("TEN/one/f2.bin"));
    QVERIFY(f2 == Bytes(10, 'c'));
}

void ExtractionTest::wholeTreeLocksTheWindow()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    Window w;
    w.form->show();
    w.open(writeImage(dir, "ten.nds", tenFiles()));
    const std::string other = writeImage(dir, "other.nds", sampleImage("OTHER"));
    auto* list = w.child<QTreeWidget>("FSListView");
    const QStringList before = column(list, 0);
    bool checked = false;
    QObject::connect(w.form.get(), &cartscope::app::TForm1::fileExtracted, [&](int done, int) {
        if (done != 2)
            return;
        checked = true;
        QVERIFY(w.form->jobRunning());
        for (const char* name : {"OpenRomSpeedButton", "ExtractAllButton", "ExtractFileButton",
                                 "SaveInfoButton", "SaveIconButton"})
            QVERIFY2(!w.child<QWidget>(name)->isEnabled(), name);
        QVERIFY(!w.child<QMenu>("FilesPopupMenu")->actions().front()->isEnabled());
        QVERIFY(!w.form->close());    // closing is refused
        QVERIFY(!w.drop({q(other)})); // drops are refused
        clickHeader(list, 0);         // header clicks do nothing
        QCOMPARE(column(list, 0), before);
    });
    w.dialogs->folderAnswers = {q(out.path())};
    w.child<QPushButton>("ExtractAllButton")->click();
    QVERIFY(checked);
    QCOMPARE(filesBelow(out.path()).size(), 10);
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("TEN"));
    QVERIFY(w.form->isVisible());
    // Everything is back as it was.
    for (const char* name :
         {"OpenRomSpeedButton", "ExtractAllButton", "SaveInfoButton", "SaveIconButton"})
        QVERIFY2(w.child<QWidget>(name)->isEnabled(), name);
    QVERIFY(w.form->close());
}

void ExtractionTest::wholeTreeStopsOnError()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    Window w;
    ImageBuilder image = tenFiles();
    image.build();
    // The second file's allocation entry ends far past the image.
    image.poke32(image.layout().fatOffset + 8 + 4, 0x7FFFFFF0);
    w.open(writeImage(dir, "bad.nds", image));
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    w.dialogs->folderAnswers = {q(out.path())};
    w.child<QPushButton>("ExtractAllButton")->click();
    QCOMPARE(w.dialogs->errors, QStringList{QStringLiteral("Stream read error.")});
    QVERIFY(w.dialogs->informations.isEmpty());
    QVERIFY(w.form->progressDialog()->isHidden());
    QCOMPARE(filesBelow(out.path()), QStringList{"TEN/one/f0.bin"});
    QVERIFY(!w.form->jobRunning());
    QVERIFY(w.child<QToolButton>("OpenRomSpeedButton")->isEnabled());
}

void ExtractionTest::anImageWithoutFilesStillOffersTheWholeTree()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    Window w;
    w.open(writeImage(dir, "game.nds", sampleImage()));
    ImageBuilder empty;
    empty.title("EMPTY");
    w.open(writeImage(dir, "empty.nds", empty));
    QCOMPARE(w.child<QTreeWidget>("FSListView")->topLevelItemCount(), 0);
    auto* all = w.child<QPushButton>("ExtractAllButton");
    QVERIFY(all->isEnabled());
    // The empty run confirms, its dialog gone again, and makes nothing.
    cartscope::app::TForm2* progress = w.form->progressDialog();
    w.dialogs->folderAnswers = {q(out.path())};
    all->click();
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    QCOMPARE(w.dialogs->informations, QStringList{QStringLiteral("Rom Extracted")});
    QVERIFY(progress->isHidden());
    QVERIFY(filesBelow(out.path()).isEmpty());
    // A failed load empties the list and holds no image: nothing can be extracted then.
    w.open(dir.file("missing.nds"));
    QVERIFY(!all->isEnabled());
}

// Thousands of small files a second: Cancel is still looked at after each of them, but the
// dialog is painted at most every 50 ms.
void ExtractionTest::theDialogIsPaintedAtItsOwnPace()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    Window w;
    w.form->show();
    w.open(writeImage(dir, "many.nds", fixture::manyRowsOnOneRange(3000, 16).title("MANY")));
    cartscope::app::TForm2* progress = w.form->progressDialog();
    // One repaint of the dialog may deliver more than one paint event to the bar: paint events
    // less than 10 ms apart count as one repaint.
    struct PaintCounter : QObject {
        int paints = 0;
        std::chrono::steady_clock::time_point last{};
        bool eventFilter(QObject*, QEvent* e) override
        {
            const auto now = std::chrono::steady_clock::now();
            if (e->type() == QEvent::Paint && now - last > std::chrono::milliseconds(10)) {
                ++paints;
                last = now;
            }
            return false;
        }
    } counter;
    progress->ExtProgBar->installEventFilter(&counter);
    int cancelledAt = 0;
    QObject::connect(w.form.get(), &cartscope::app::TForm1::fileExtracted, [&](int done, int) {
        if (done == 2500)
            QMetaObject::invokeMethod(progress->Button1, "click", Qt::QueuedConnection);
        cancelledAt = done;
    });
    w.dialogs->folderAnswers = {q(out.path())};
    const auto start = std::chrono::steady_clock::now();
    w.child<QPushButton>("ExtractAllButton")->click();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    // The Cancel made after file 2500 took effect before the next file.
    QCOMPARE(cancelledAt, 2500);
    QCOMPARE(filesBelow(out.path() + "/MANY").size(), 2500);
    QCOMPARE(progress->ExtProgBar->value(), 2500);
    QVERIFY(counter.paints >= 1);
    // About 20 repaints a second; a loaded machine stretches the intervals unevenly, so the
    // bound allows 25 (painting every file would be 2,500).
    QVERIFY2(counter.paints <= ms / 40 + 3,
             qPrintable(QStringLiteral("%1 paints in %2 ms").arg(counter.paints).arg(ms)));
}

// "Decompress When Extracting": off, every command writes the image's bytes; on, the compressed
// files (and the overlay) are written decompressed, the layout keeps their image bytes, and the
// tree builds back to the image.
void ExtractionTest::decompressWhenExtracting()
{
    fixture::TempDir dir;
    const ImageBuilder builder = packedFiles();
    const Bytes image = builder.build();
    Window w;
    w.form->show();
    w.child<QCheckBox>("ShowSystemFilesCheckBox")->setChecked(true);
    w.open(writeImage(dir, "p.nds", builder));
    auto* option = w.child<QAction>("DecompressWhenExtracting1");

    const std::map<std::string, Bytes> plain = {
        {"lz10.bin", fixture::prose(0x3000, 1)},
        {"d/lz11.bin", fixture::prose(0x2000, 2)},
        {"[system]/overlay/overlay_0000.bin", fixture::prose(0x2000, 6)},
    };
    const std::string cut = "cut.bin";
    for (const bool on : {false, true}) {
        option->setChecked(on);
        fixture::TempDir out;
        w.dialogs->informations.clear();
        w.dialogs->folderAnswers = {q(out.path())};
        w.child<QPushButton>("ExtractAllButton")->click();
        QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
        const std::string tree = out.file("PACKED/");
        for (const auto& [path, want] : plain) {
            const Bytes got = fixture::readFile(tree + path);
            QVERIFY2(on ? got == want : got != want && got.size() < want.size(), path.c_str());
            // The image's own bytes are kept beside the tree for a file written decompressed.
            QCOMPARE(std::filesystem::exists(out.file("PACKED.layout/original/" + path)), on);
        }
        QCOMPARE(fixture::readFile(tree + "plain.txt"), Bytes({'p', 'l', 'a', 'i', 'n'}));
        QVERIFY(fixture::readFile(tree + cut).size() < 0x3000);
        QCOMPARE(w.dialogs->informations.front(), QStringLiteral("Rom Extracted"));
        // A file that looks compressed but does not decode is written as stored and named.
        QCOMPARE(w.dialogs->informations.size(), on ? 2 : 1);
        if (on)
            QVERIFY2(w.dialogs->informations.back().contains("/cut.bin: "),
                     qPrintable(w.dialogs->informations.back()));
        cartscope::core::rebuild::buildImage(out.file("PACKED"), out.file("built.nds"), {});
        QVERIFY(fixture::readFile(out.file("built.nds")) == image);
    }

    // One file, through the popup item and through the button, honours it too.
    auto* list = w.child<QTreeWidget>("FSListView");
    clickRow(list, static_cast<int>(column(list, 0).indexOf(QStringLiteral("/d/lz11.bin"))));
    for (const bool on : {false, true}) {
        option->setChecked(on);
        fixture::TempDir out;
        w.dialogs->folderAnswers = {q(out.path())};
        w.child<QPushButton>("ExtractFileButton")->click();
        const Bytes got = fixture::readFile(out.file("PACKED/d/lz11.bin"));
        QVERIFY(on ? got == fixture::prose(0x2000, 2) : got.size() < 0x2000);
        QCOMPARE(w.dialogs->informations.back(), QStringLiteral("File Extracted"));
    }

    // A NARC's members, from its dialog.
    clickRow(list, static_cast<int>(column(list, 0).indexOf(QStringLiteral("/m.narc"))));
    Q_EMIT w.child<QMenu>("FilesPopupMenu")->aboutToShow();
    w.child<QAction>("ShowNarcContents1")->trigger();
    auto* narc = w.form->findChild<cartscope::app::NarcDialog*>();
    QVERIFY(narc);
    fixture::TempDir out;
    w.dialogs->folderAnswers = {q(out.path())};
    narc->findChild<QPushButton*>("NarcExtractButton")->click();
    QVERIFY(fixture::readFile(out.file("m/in.bin")) == fixture::prose(0x800, 3));
}

// A Cancel handled after the last file is copied stops the decompression before its first file:
// the files stay as the image holds them and no layout is written.
void ExtractionTest::cancelStopsTheDecompression()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    Window w;
    w.form->show();
    w.child<QCheckBox>("ShowSystemFilesCheckBox")->setChecked(true);
    w.open(writeImage(dir, "p.nds", packedFiles()));
    w.child<QAction>("DecompressWhenExtracting1")->setChecked(true);
    cartscope::app::TForm2* progress = w.form->progressDialog();
    QObject::connect(
        w.form.get(), &cartscope::app::TForm1::fileExtracted, [&](int done, int total) {
            if (done == total)
                QMetaObject::invokeMethod(progress->Button1, "click", Qt::QueuedConnection);
        });
    w.dialogs->folderAnswers = {q(out.path())};
    w.child<QPushButton>("ExtractAllButton")->click();
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    QCOMPARE(w.dialogs->informations, QStringList{QStringLiteral("Rom Extracted")});
    QVERIFY(fixture::readFile(out.file("PACKED/lz10.bin")).size() < 0x3000);
    QVERIFY(!std::filesystem::exists(out.file("PACKED.layout")));
    QVERIFY(progress->isHidden());
    QVERIFY(!w.form->jobRunning());
}

QTEST_MAIN(ExtractionTest)
#include "extraction_test.moc"
