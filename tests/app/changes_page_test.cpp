// The "Changes" page: pending replacements from the file list's menu, "Save Rom As…", the
// question before pending changes are lost, and the changed copies (fixed, trimmed, full size,
// patched), each written whole while the open image stays as it was.

#include <algorithm>
#include <cmath>

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>

#include "core/checksum/crc16.h"
#include "core/io/stream.h"
#include "core/rebuild/bps.h"
#include "core/rebuild/output_file.h"
#include "tests/app/window_fixture.h"

using namespace cartscope::apptest;
using cartscope::app::SaveChoice;
namespace core = cartscope::core;

namespace {

// Waits until the running write (if any) has ended.
void waitForWrite(Window& w)
{
    QElapsedTimer timer;
    timer.start();
    while (w.form->jobRunning() && timer.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::processEvents();
}

void click(Window& w, const char* button)
{
    auto* b = w.child<QPushButton>(button);
    QVERIFY2(b->isEnabled(), button);
    b->click();
    waitForWrite(w);
}

// "Replace File…" on the row with that path, answering the file dialog with `source`.
void replace(Window& w, const std::string& path, const std::string& source)
{
    auto* list = w.child<QTreeWidget>("FSListView");
    const QList<QTreeWidgetItem*> found = list->findItems(q(path), Qt::MatchExactly, 0);
    QVERIFY2(found.size() == 1, path.c_str());
    list->setCurrentItem(found.front());
    auto* menu = w.child<QMenu>("FilesPopupMenu");
    Q_EMIT menu->aboutToShow();
    auto* action = menu->findChild<QAction*>(QStringLiteral("ReplaceFile1"));
    QVERIFY(action && action->isEnabled());
    QCOMPARE(action->text(), QStringLiteral("Replace File\u2026"));
    w.dialogs->openAnswers.push_back(q(source));
    action->trigger();
}

const core::FileRow& row(const Window& w, const std::string& path)
{
    for (const core::FileRow& r : w.form->rows())
        if (r.path == path)
            return r;
    qFatal("no row %s", path.c_str());
}

QString tabText(const Window& w)
{
    auto* tabs = w.child<QTabWidget>("PageControl");
    return tabs->tabText(tabs->indexOf(w.child<QWidget>("ChangesTabSheet")));
}

// An image with 0x1000 bytes of 0xFF after its used size, inside a 128 KiB chip.
Bytes paddedImage()
{
    Bytes b = sampleImage().deviceCapacity(0).build();
    b.resize(b.size() + 0x1000, 0xFF);
    return b;
}

} // namespace

class ChangesPageTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void pageFollowsDsiWithItsControlsInPlace();
    void replacementsArePendingUntilDiscarded();
    void saveRomAsWritesTheCopyAndOpensIt();
    void pendingChangesAreAskedAboutOnOpenAndClose_data();
    void pendingChangesAreAskedAboutOnOpenAndClose();
    void fixChecksumsFollowsTheCrcVerdicts();
    void trimmedAndFullSizeCopies();
    void patchesApply_data();
    void patchesApply();
};

void ChangesPageTest::pageFollowsDsiWithItsControlsInPlace()
{
    Window w;
    auto* tabs = w.child<QTabWidget>("PageControl");
    auto* page = w.child<QWidget>("ChangesTabSheet");
    QCOMPARE(tabs->indexOf(page), tabs->indexOf(w.child<QWidget>("DsiTabSheet")) + 1);
    QCOMPARE(tabText(w), QStringLiteral("Changes"));

    // The grid's scale, from the file list (8, 8, 417 x 377 on its page).
    const QRect files = w.child<QWidget>("FSListView")->geometry();
    const double sx = files.width() / 417.0;
    const double sy = files.height() / 377.0;
    struct Control {
        const char* name;
        const char* text;
        int x, y, width, height;
    };
    const Control controls[] = {
        {"PendingListView", nullptr, 8, 8, 417, 313},
        {"SaveRomAsButton", "Save Rom As\u2026", 8, 328, 201, 25},
        {"FixChecksumsButton", "Fix Checksums\u2026", 224, 328, 201, 25},
        {"SaveTrimmedButton", "Save Trimmed Copy\u2026", 8, 360, 201, 25},
        {"SaveFullSizeButton", "Save Full-Size Copy\u2026", 224, 360, 201, 25},
        {"DiscardChangesButton", "Discard Changes", 8, 392, 201, 25},
        {"ApplyPatchButton", "Apply Patch\u2026", 224, 392, 201, 25},
    };
    for (const Control& c : controls) {
        QWidget* widget = w.child<QWidget>(c.name);
        QCOMPARE(widget->parentWidget(), page);
        const QRect r = widget->geometry();
        const auto near = [](int actual, double expected) {
            return std::abs(actual - expected) <= 1.0;
        };
        QVERIFY2(near(r.left(), c.x * sx) && near(r.top(), c.y * sy) &&
                     near(r.right() + 1, (c.x + c.width) * sx) &&
                     near(r.bottom() + 1, (c.y + c.height) * sy),
                 c.name);
        if (c.text) {
            auto* button = qobject_cast<QPushButton*>(widget);
            QCOMPARE(button->text(), QString::fromUtf8(c.text));
            QVERIFY2(!button->isEnabled(), c.name); // nothing open
        }
    }
}

void ChangesPageTest::replacementsArePendingUntilDiscarded()
{
    fixture::TempDir dir;
    Window w;
    w.open(writeImage(dir, "game.nds", sampleImage()));
    const std::string bigger = dir.file("bigger.bin");
    fixture::writeFile(bigger, Bytes(3500, 0x33));
    const std::string small = dir.file("small.bin");
    fixture::writeFile(small, Bytes(10, 0x44));

    replace(w, "/data/big.bin", bigger);
    QCOMPARE(tabText(w), QStringLiteral("Changes (1)"));
    replace(w, "/icon.bin", small);
    replace(w, "/data/big.bin", small); // again: the newer choice, in its place
    QCOMPARE(tabText(w), QStringLiteral("Changes (2)"));
    auto* pending = w.child<QTreeWidget>("PendingListView");
    QCOMPARE(column(pending, 0), (QStringList{"/data/big.bin", "/icon.bin"}));
    QCOMPARE(column(pending, 1), (QStringList{"3000", "100"}));
    QCOMPARE(column(pending, 2), (QStringList{"10", "10"}));
    QVERIFY(w.child<QPushButton>("SaveRomAsButton")->isEnabled());

    // Every other page shows the image as loaded.
    QCOMPARE(row(w, "/data/big.bin").size, 3000);
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("MYGAME"));

    // A file dialog cancelled adds nothing.
    replace(w, "/empty.bin", {});
    w.dialogs->openAnswers.clear();
    QCOMPARE(w.form->pendingChanges().size(), std::size_t{2});

    click(w, "DiscardChangesButton");
    QCOMPARE(tabText(w), QStringLiteral("Changes"));
    QCOMPARE(pending->topLevelItemCount(), 0);
    QVERIFY(!w.child<QPushButton>("SaveRomAsButton")->isEnabled());
    QVERIFY(!w.child<QPushButton>("DiscardChangesButton")->isEnabled());
    QCOMPARE(w.dialogs->count("saveChanges"), 0);
}

void ChangesPageTest::saveRomAsWritesTheCopyAndOpensIt()
{
    fixture::TempDir dir;
    Window w;
    // An image named .srl: the default name takes .nds instead.
    const std::string path = writeImage(dir, "game.srl", sampleImage());
    const Bytes original = fixture::readFile(path);
    w.open(path);
    const core::FileRow big = row(w, "/data/big.bin");
    Bytes edited(3000);
    for (std::size_t i = 0; i < edited.size(); ++i)
        edited[i] = static_cast<std::uint8_t>(i * 7);
    fixture::writeFile(dir.file("new.bin"), edited);
    replace(w, "/data/big.bin", dir.file("new.bin"));

    // The open image itself is refused as the destination.
    w.dialogs->saveAnswers.push_back(q(path));
    w.child<QPushButton>("SaveRomAsButton")->click();
    QCOMPARE(w.dialogs->errors.size(), 1);
    QVERIFY(w.dialogs->errors.back().contains(QStringLiteral("is the open image")));

    const std::string out = dir.file("saved.nds");
    w.dialogs->saveAnswers.push_back(q(out));
    click(w, "SaveRomAsButton");
    QCOMPARE(w.dialogs->last("save")->start, q(dir.file("game.nds")));
    QCOMPARE(w.dialogs->errors.size(), 1);

    Bytes expected = original;
    std::copy(edited.begin(), edited.end(), expected.begin() + big.offset);
    QVERIFY(fixture::readFile(out) == expected);
    QVERIFY(fixture::readFile(path) == original);
    // The saved image is the open one now, with nothing pending.
    QCOMPARE(w.text("FNameEdit"), q(out));
    QVERIFY(w.form->imageLoaded());
    QVERIFY(w.form->pendingChanges().empty());
    QCOMPARE(tabText(w), QStringLiteral("Changes"));
    QCOMPARE(filesBelow(dir.path()), (QStringList{"game.srl", "new.bin", "saved.nds"}));
}

void ChangesPageTest::pendingChangesAreAskedAboutOnOpenAndClose_data()
{
    QTest::addColumn<bool>("closing");
    QTest::addColumn<SaveChoice>("answer");
    for (const bool closing : {false, true}) {
        const char* how = closing ? "close" : "open";
        QTest::addRow("%s-cancel", how) << closing << SaveChoice::Cancel;
        QTest::addRow("%s-discard", how) << closing << SaveChoice::Discard;
        QTest::addRow("%s-save", how) << closing << SaveChoice::Save;
    }
}

void ChangesPageTest::pendingChangesAreAskedAboutOnOpenAndClose()
{
    QFETCH(bool, closing);
    QFETCH(SaveChoice, answer);
    fixture::TempDir dir;
    Window w;
    w.form->show();
    const std::string path = writeImage(dir, "game.nds", sampleImage());
    const std::string other = writeImage(dir, "other.nds", sampleImage("OTHER"));
    const Bytes original = fixture::readFile(path);
    w.open(path);
    fixture::writeFile(dir.file("new.bin"), Bytes(100, 0x5A));
    replace(w, "/icon.bin", dir.file("new.bin"));
    const std::string out = dir.file("saved.nds");
    w.dialogs->saveAnswers.push_back(q(out));
    w.dialogs->saveChangesAnswers.push_back(answer);

    if (closing)
        w.form->close();
    else
        w.form->openFile(other);
    waitForWrite(w);
    w.waitForReadPass();
    QCoreApplication::processEvents(); // a queued close

    QCOMPARE(w.dialogs->count("saveChanges"), 1);
    QCOMPARE(w.dialogs->last("saveChanges")->text, QStringLiteral("Save changes to game.nds?"));
    const bool saved = answer == SaveChoice::Save;
    QCOMPARE(std::filesystem::exists(out), saved);
    if (saved) {
        Bytes expected = original;
        std::fill_n(expected.begin() + row(w, "/icon.bin").offset, 100, 0x5A);
        QVERIFY(fixture::readFile(out) == expected);
    }
    QVERIFY(fixture::readFile(path) == original);
    const bool goneOn = answer != SaveChoice::Cancel;
    if (closing) {
        QCOMPARE(w.form->isVisible(), !goneOn);
    } else {
        QCOMPARE(w.text("FNameEdit"), q(goneOn ? other : path));
        QCOMPARE(w.text("IntNameEdit"),
                 goneOn ? QStringLiteral("OTHER") : QStringLiteral("MYGAME"));
    }
    QCOMPARE(w.form->pendingChanges().empty(), goneOn);
}

void ChangesPageTest::fixChecksumsFollowsTheCrcVerdicts()
{
    fixture::TempDir dir;
    struct Case {
        const char* name;
        ImageBuilder image;
        bool bad;
    };
    const Bytes stamped = sampleImage().build();
    // The sample banner's CRC-16 is left 0000 by the builder: stamped here for a good image.
    const std::uint32_t bannerAt = stamped[0x68] | stamped[0x69] << 8 | stamped[0x6A] << 16 |
                                   static_cast<std::uint32_t>(stamped[0x6B]) << 24;
    ImageBuilder good = sampleImage();
    good.poke16(bannerAt + 2,
                core::crc16::Crc16OfStream(std::span(stamped).subspan(bannerAt + 0x20, 0x820)));
    // A wrong header CRC-16 beside the right logo and secure-area ones.
    ImageBuilder badHeader = good;
    badHeader.stampCrcs(false)
        .poke16(0x15C, static_cast<std::uint16_t>(stamped[0x15C] | stamped[0x15D] << 8))
        .poke16(0x6C, static_cast<std::uint16_t>(stamped[0x6C] | stamped[0x6D] << 8))
        .poke16(0x15E, 0x1234);
    const ImageBuilder badBanner = sampleImage();
    const Case cases[] = {
        {"good", good, false}, {"header", badHeader, true}, {"banner", badBanner, true}};
    for (const Case& c : cases) {
        Window w;
        const std::string path = writeImage(dir, std::string(c.name) + ".nds", c.image);
        const Bytes original = fixture::readFile(path);
        w.open(path);
        QVERIFY2(w.form->imageLoaded(), c.name);
        QVERIFY2(w.child<QPushButton>("FixChecksumsButton")->isEnabled() == c.bad, c.name);
        if (!c.bad)
            continue;
        const std::string out = dir.file(std::string(c.name) + "-fixed.nds");
        w.dialogs->saveAnswers.push_back(q(out));
        click(w, "FixChecksumsButton");
        QCOMPARE(w.dialogs->last("save")->start, q(dir.file(std::string(c.name) + " (fixed).nds")));
        // The copy differs only in the stored CRC and checks out.
        const Bytes fixed = fixture::readFile(out);
        QCOMPARE(fixed.size(), original.size());
        std::size_t differing = 0;
        for (std::size_t i = 0; i < fixed.size(); ++i)
            differing += fixed[i] != original[i] ? 1 : 0;
        QVERIFY2(differing >= 1 && differing <= 2, c.name);
        QVERIFY(fixture::readFile(path) == original);
        Window again;
        again.open(out);
        QVERIFY2(!again.child<QPushButton>("FixChecksumsButton")->isEnabled(), c.name);
        QCOMPARE(w.dialogs->informations.size(), 1);
        QVERIFY(w.dialogs->informations.back().contains(QString::fromLatin1(
            std::string(c.name) == "header" ? "HeaderCRC16: 1234 -> "
                                            : "BannerCRC16[020-83F]: 0000 -> ")));
    }
}

void ChangesPageTest::trimmedAndFullSizeCopies()
{
    fixture::TempDir dir;
    const Bytes padded = paddedImage();
    const std::string path = dir.file("game.nds");
    fixture::writeFile(path, padded);
    Window w;
    w.open(path);
    const std::uint32_t used =
        padded[0x80] | padded[0x81] << 8 | padded[0x82] << 16 | std::uint32_t{padded[0x83]} << 24;
    QVERIFY(used < padded.size());

    const std::string trimmed = dir.file("trimmed.nds");
    w.dialogs->saveAnswers.push_back(q(trimmed));
    click(w, "SaveTrimmedButton");
    QCOMPARE(w.dialogs->last("save")->start, q(dir.file("game (trimmed).nds")));
    QVERIFY(fixture::readFile(trimmed) == Bytes(padded.begin(), padded.begin() + used));

    // The trimmed copy restored to its chip: 128 KiB, padded with 0xFF.
    w.open(trimmed);
    const std::string full = dir.file("full.nds");
    w.dialogs->saveAnswers.push_back(q(full));
    click(w, "SaveFullSizeButton");
    Bytes expected(padded.begin(), padded.begin() + used);
    expected.resize(128 * 1024, 0xFF);
    QVERIFY(fixture::readFile(full) == expected);
    QVERIFY(fixture::readFile(path) == padded);

    // Data after the used size: cut only when the user agrees.
    Bytes withData = padded;
    withData[used + 5] = 0x01;
    fixture::writeFile(dir.file("data.nds"), withData);
    w.open(dir.file("data.nds"));
    w.dialogs->questionAnswers.push_back(false);
    w.child<QPushButton>("SaveTrimmedButton")->click();
    QVERIFY(w.dialogs->last("question")->text.contains(QStringLiteral("data at 0x")));
    QCOMPARE(w.dialogs->count("save"), 2);
    QVERIFY(w.dialogs->errors.isEmpty());
}

void ChangesPageTest::patchesApply_data()
{
    QTest::addColumn<bool>("bps");
    QTest::newRow("ips") << false;
    QTest::newRow("bps") << true;
}

void ChangesPageTest::patchesApply()
{
    QFETCH(bool, bps);
    fixture::TempDir dir;
    const std::string path = writeImage(dir, "game.nds", sampleImage());
    const Bytes original = fixture::readFile(path);
    Bytes edited = original;
    for (std::size_t i = 0x4000; i < 0x4010; ++i)
        edited[i] ^= 0xA5;
    edited.resize(edited.size() + 0x20, 0x77);

    const std::string patchPath = dir.file(bps ? "fix.bps" : "fix.ips");
    if (bps) {
        const core::MemoryStream source(original);
        const core::MemoryStream target(edited);
        core::OutputFile patch(patchPath, core::Overwrite::Refuse);
        core::writeBps(source, target, patch);
        patch.commit();
    } else {
        // "PATCH", then a record of 0x10 bytes at 0x4000.
        Bytes ips(10 + 0x10);
        const Bytes head{'P', 'A', 'T', 'C', 'H', 0x00, 0x40, 0x00, 0x00, 0x10};
        std::copy(head.begin(), head.end(), ips.begin());
        std::copy(edited.begin() + 0x4000, edited.begin() + 0x4010, ips.begin() + 10);
        // A run of one value past the old end: offset, zero length, count, value.
        const auto at = static_cast<std::uint32_t>(original.size());
        ips.insert(ips.end(),
                   {static_cast<std::uint8_t>(at >> 16), static_cast<std::uint8_t>(at >> 8),
                    static_cast<std::uint8_t>(at), 0x00, 0x00, 0x00, 0x20, 0x77});
        ips.insert(ips.end(), {'E', 'O', 'F'});
        fixture::writeFile(patchPath, ips);
    }

    Window w;
    w.open(path);
    const std::string out = dir.file("patched.nds");
    w.dialogs->openAnswers.push_back(q(patchPath));
    w.dialogs->saveAnswers.push_back(q(out));
    click(w, "ApplyPatchButton");
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join(QLatin1Char('\n'))));
    QVERIFY(fixture::readFile(out) == edited);
    QVERIFY(fixture::readFile(path) == original);

    // A patch for another image is refused and nothing is written.
    Window other;
    other.open(writeImage(dir, "other.nds", sampleImage("OTHER")));
    other.dialogs->openAnswers.push_back(q(patchPath));
    other.dialogs->saveAnswers.push_back(q(dir.file("other-patched.nds")));
    other.child<QPushButton>("ApplyPatchButton")->click();
    waitForWrite(other);
    if (bps) {
        QCOMPARE(other.dialogs->errors.size(), 1);
        QVERIFY(!std::filesystem::exists(dir.file("other-patched.nds")));
    }
}

QTEST_MAIN(ChangesPageTest)
#include "changes_page_test.moc"
