// The collection window: "Verify Folder…" on the "Verification" page, the table its scan fills,
// the filter, Cancel, opening a dump in the main window, "Organise…" and "Report…", all through
// the dialog seam.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>

#include "app/collection_window.h"
#include "app/verification_page.h"
#include "tests/app/window_fixture.h"
#include "tests/archive/zip_builder.h"
#include "tests/fixture/dat_fixture.h"

using namespace cartscope::apptest;
namespace testdat = cartscope::testdat;
namespace testzip = cartscope::testzip;
using cartscope::app::CollectionWindow;
using cartscope::app::VerificationPage;

class CollectionWindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void verifyFolderSitsAboveAddDat();
    void theScanFillsTheTableWithEachVerdict();
    void theFilterShowsOneVerdict();
    void aDoubleClickOpensTheDumpOrItsMember();
    void cancelStopsTheScan();
    void closingTheMainWindowClosesTheCollection();
    void organiseCarriesOutThePlan();
    void aMoveLeavesTheRowsOnTheNewPlaces();
    void reportWritesTheFixdatAndTheMissingList();

private:
    std::unique_ptr<fixture::TempDir> m_data;
    std::string datFolder() const { return m_data->path() + "/cartscope/dats"; }
    void writeDat(const std::vector<testdat::Rom>& roms)
    {
        std::filesystem::create_directories(datFolder());
        const std::string xml = testdat::datXml("Nintendo DS", "2026", roms);
        fixture::writeFile(datFolder() + "/ds.dat", Bytes(xml.begin(), xml.end()));
    }
};

namespace {

// An image of 0x9000 used bytes on a 256 KiB chip, told apart by its last byte.
Bytes image(std::uint8_t seed, const std::string& title = "MYGAME")
{
    Bytes b = sampleImage(title).deviceCapacity(1).minSize(0x9000).build();
    b.resize(std::max<std::size_t>(b.size(), 0x9000), 0xFF);
    b[0x8FFF] = seed;
    return b;
}

Bytes fullImage(std::uint8_t seed)
{
    return testdat::padded(image(seed), 256 * 1024, 0xFF);
}

// A folder holding one dump of each kind, and the DAT entries that judge them.
struct Collection {
    fixture::TempDir dir;
    std::string root = dir.path() + "/roms";
    std::vector<testdat::Rom> roms;

    Collection()
    {
        std::filesystem::create_directories(root + "/sub");
        fixture::writeFile(root + "/a.nds", fullImage(1));
        fixture::writeFile(root + "/sub/b.nds", image(2)); // trimmed
        fixture::writeFile(root + "/m.nds", image(3));
        Bytes junk = fixture::pattern(0x10000, 9);
        fixture::writeFile(root + "/junk.nds", junk);
        testzip::writeZip(root + "/c.zip", {testzip::Entry::file("c.nds", fullImage(4))});
        testzip::writeZip(root + "/empty.zip", {testzip::Entry::file("readme.txt", "none")});
        fixture::writeFile(root + "/notes.txt", Bytes(10, 'x')); // not a dump: not listed
        auto collider = testdat::rom("Collider", image(3), "collider.nds");
        collider.sha1Override = std::string(40, 'a');
        roms = {testdat::rom("Game A", fullImage(1), "Game A.nds"),
                testdat::rom("Game B", testdat::padded(image(2), 256 * 1024, 0x00), "Game B.nds"),
                collider, testdat::rom("Game C", fullImage(4), "Game C.nds"),
                testdat::rom("Game D", fullImage(5), "Game D.nds")};
    }
};

VerificationPage* page(const Window& w)
{
    return w.form->findChild<VerificationPage*>("VerificationTabSheet");
}

template <class T> T* control(CollectionWindow* window, const char* name)
{
    T* widget = window->findChild<T*>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no control named %s", name);
    return widget;
}

// Clicks "Verify Folder…", answers the folder picker and waits for the window's scan to end.
CollectionWindow* verifyFolder(Window& w, const std::string& folder, bool waitForEnd = true)
{
    QSignalSpy opened(page(w), &VerificationPage::collectionOpened);
    w.dialogs->folderAnswers.push_back(q(folder));
    w.child<QPushButton>("VerifyFolderButton")->click();
    if (opened.isEmpty() && !opened.wait(30000))
        return nullptr;
    auto* window = opened.front().front().value<CollectionWindow*>();
    if (waitForEnd) {
        QSignalSpy ended(window, &CollectionWindow::scanEnded);
        if (window->scanRunning() && !ended.wait(30000))
            return nullptr;
    }
    return window;
}

// The visible rows, each as its cells joined by "|", top to bottom.
QStringList visibleRows(CollectionWindow* window)
{
    auto* table = control<QTreeWidget>(window, "CollectionTable");
    QStringList rows;
    for (int i = 0; i < table->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = table->topLevelItem(i);
        if (item->isHidden())
            continue;
        QStringList cells;
        for (int c = 0; c < table->columnCount(); ++c)
            cells << item->text(c);
        rows << cells.join(QLatin1Char('|'));
    }
    return rows;
}

QTreeWidgetItem* rowOf(CollectionWindow* window, const QString& file)
{
    auto* table = control<QTreeWidget>(window, "CollectionTable");
    const QList<QTreeWidgetItem*> found = table->findItems(file, Qt::MatchExactly, 0);
    return found.isEmpty() ? nullptr : found.front();
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

void CollectionWindowTest::init()
{
    m_data = std::make_unique<fixture::TempDir>();
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(m_data->path()));
}

void CollectionWindowTest::cleanup()
{
    m_data.reset();
}

// At (8, 362, 97 × 25) of the design grid: Add DAT's column and size, 30 grid units above it,
// clear of every other control of the page.
void CollectionWindowTest::verifyFolderSitsAboveAddDat()
{
    Window w;
    auto* button = w.child<QPushButton>("VerifyFolderButton");
    auto* addDat = w.child<QPushButton>("AddDatButton");
    QCOMPARE(button->text(), QStringLiteral("Verify Folder\u2026"));
    QCOMPARE(button->parentWidget(), addDat->parentWidget());
    const QRect b = button->geometry(), a = addDat->geometry();
    QCOMPARE(b.x(), a.x());
    QCOMPARE(b.width(), a.width());
    // 30 grid units above, scaled as the 25-unit height is (each edge rounded on its own).
    QVERIFY(std::abs(b.height() - a.height()) <= 1);
    QVERIFY2(std::abs((a.y() - b.y()) * 25 - 30 * a.height()) <= 50,
             qPrintable(QString::number(b.y())));
    for (QWidget* other :
         button->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (other != button && other->isWindow() == false && !other->isHidden())
            QVERIFY2(!other->geometry().intersects(b), qPrintable(other->objectName()));
    }
    QVERIFY(button->sizeHint().width() <= b.width());
}

void CollectionWindowTest::theScanFillsTheTableWithEachVerdict()
{
    Collection c;
    writeDat(c.roms);
    Window w; // no image loaded: the DATs are read for the window
    CollectionWindow* window = verifyFolder(w, c.root);
    QVERIFY(window);
    QVERIFY(window->isWindow() && window->isVisible());
    QCOMPARE(w.dialogs->last("folder")->title, QStringLiteral("Verify Folder"));
    auto* table = control<QTreeWidget>(window, "CollectionTable");
    table->sortByColumn(0, Qt::AscendingOrder);
    const QString dat = QStringLiteral("Nintendo DS (2026)");
    const QString noImage = QStringLiteral("No .nds, .ids, .dsi or .srl image in the archive.");
    // file | verdict | game | DAT | trim | secure area | torrentzipped
    const QStringList expected = {
        "a.nds|Verified|Game A|" + dat + "|full|homebrew|",
        "c.zip :: c.nds|Verified|Game C|" + dat + "|full|homebrew|no",
        "empty.zip|Error|" + noImage + "||||",
        "junk.nds|Not an image|||||",
        "m.nds|Mismatch|Collider|" + dat + "|trimmed|homebrew|",
        "sub/b.nds|Verified (trimmed)|Game B|" + dat + "|trimmed|homebrew|",
    };
    QCOMPARE(visibleRows(window), expected);
    // Good in green, bad in red, the rest uncoloured; black text on either.
    const auto background = [&](const char* file) {
        return rowOf(window, QString::fromLatin1(file))->background(1).color();
    };
    for (const char* good : {"a.nds", "sub/b.nds"})
        QCOMPARE(background(good), QColor(192, 255, 192));
    for (const char* bad : {"m.nds", "empty.zip"})
        QCOMPARE(background(bad), QColor(255, 192, 192));
    QCOMPARE(rowOf(window, "junk.nds")->background(1).style(), Qt::NoBrush);
    QCOMPARE(rowOf(window, "a.nds")->foreground(1).color(), QColor(Qt::black));

    // Sortable: by verdict.
    table->sortByColumn(1, Qt::AscendingOrder);
    QCOMPARE(column(table, 1), (QStringList{"Error", "Mismatch", "Not an image", "Verified",
                                            "Verified", "Verified (trimmed)"}));
    QCOMPARE(control<QProgressBar>(window, "CollectionProgressBar")->value(), 1000);
    QCOMPARE(control<QLabel>(window, "CollectionStatusLabel")->text(),
             QStringLiteral("6 dumps: 3 verified, 2 bad or unreadable, 1 other"));
    QVERIFY(!control<QPushButton>(window, "CollectionCancelButton")->isEnabled());
    QVERIFY(control<QPushButton>(window, "ReportButton")->isEnabled());
    QVERIFY(control<QPushButton>(window, "OrganiseButton")->isEnabled());
    // The main window was never blocked: it is idle and loads nothing by itself.
    QVERIFY(!w.form->imageLoaded());
}

void CollectionWindowTest::theFilterShowsOneVerdict()
{
    Collection c;
    writeDat(c.roms);
    Window w;
    CollectionWindow* window = verifyFolder(w, c.root);
    QVERIFY(window);
    auto* filter = control<QComboBox>(window, "VerdictFilterCombo");
    const auto filesShown = [&](const QString& verdict) {
        filter->setCurrentIndex(filter->findText(verdict));
        QStringList files;
        for (const QString& row : visibleRows(window))
            files << row.section(QLatin1Char('|'), 0, 0);
        files.sort();
        return files;
    };
    const struct {
        const char* verdict;
        QStringList files;
    } cases[] = {
        {"Verified", {"a.nds", "c.zip :: c.nds"}},
        {"Verified (trimmed)", {"sub/b.nds"}},
        {"Mismatch", {"m.nds"}},
        {"Not an image", {"junk.nds"}},
        {"Error", {"empty.zip"}},
        {"Not in DAT", {}},
        {"All verdicts",
         {"a.nds", "c.zip :: c.nds", "empty.zip", "junk.nds", "m.nds", "sub/b.nds"}},
    };
    for (const auto& row : cases)
        QCOMPARE(filesShown(QString::fromLatin1(row.verdict)), row.files);
}

// A row opens its own dump: a file as it is, a member of a zip or 7z by its name, not the
// archive's first image.
void CollectionWindowTest::aDoubleClickOpensTheDumpOrItsMember()
{
    Collection c;
    writeDat(c.roms);
    const std::vector<testzip::Entry> two = {
        testzip::Entry::file("first.nds", image(6, "FIRST")),
        testzip::Entry::file("second.nds", image(7, "SECOND"))};
    testzip::writeZip(c.root + "/two.zip", two);
    fixture::writeFile(c.root + "/two.7z", testzip::buildSevenZip(two, "lzma2"));
    Window w;
    CollectionWindow* window = verifyFolder(w, c.root);
    QVERIFY(window);
    auto* table = control<QTreeWidget>(window, "CollectionTable");
    const struct {
        const char* row;
        std::string opened;
        const char* title;
    } cases[] = {
        {"sub/b.nds", c.root + "/sub/b.nds", "MYGAME"},
        {"c.zip :: c.nds", c.root + "/c.zip", "MYGAME"},
        {"two.zip :: second.nds", c.root + "/two.zip", "SECOND"},
        {"two.zip :: first.nds", c.root + "/two.zip", "FIRST"},
        {"two.7z :: second.nds", c.root + "/two.7z", "SECOND"},
    };
    for (const auto& row : cases) {
        QTreeWidgetItem* item = rowOf(window, QString::fromLatin1(row.row));
        QVERIFY2(item, row.row);
        Q_EMIT table->itemDoubleClicked(item, 0);
        w.waitForReadPass();
        QVERIFY2(w.form->imageLoaded(), row.row);
        QCOMPARE(w.text("FNameEdit"), q(row.opened));
        QCOMPARE(w.text("IntNameEdit"), QString::fromLatin1(row.title));
    }
    // The main window's own road still takes an archive's first image.
    w.form->openFile(c.root + "/two.7z");
    w.waitForReadPass();
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("FIRST"));
}

// A scan that reads the first dump and holds the second until it is cancelled.
struct HeldScan {
    std::atomic<int> scanned{0};
    std::atomic<bool> sawCancel{false};

    void install(VerificationPage* page)
    {
        page->setItemScanner(
            [this](const cartscope::archive::DumpItem& item, const cartscope::core::DatSet& dats,
                   const cartscope::archive::ScanHooks& hooks,
                   const std::function<void(cartscope::archive::ScannedDump)>& report) {
                if (scanned++ == 0) {
                    cartscope::archive::scanItem(item, dats, hooks, report);
                    return;
                }
                for (int i = 0; i < 30000 && !hooks.cancelled(); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                sawCancel = hooks.cancelled();
            });
    }
};

// Cancel stops the scan after the dump being read: the rows found so far stay, the status says
// it was cancelled, and no report is offered for a collection seen in part.
void CollectionWindowTest::cancelStopsTheScan()
{
    Collection c;
    writeDat(c.roms);
    Window w;
    HeldScan held;
    held.install(page(w));
    CollectionWindow* window = verifyFolder(w, c.root, false);
    QVERIFY(window);
    QTRY_COMPARE(control<QTreeWidget>(window, "CollectionTable")->topLevelItemCount(), 1);
    QVERIFY(window->scanRunning());
    QVERIFY(!control<QPushButton>(window, "OrganiseButton")->isEnabled());
    QVERIFY(!control<QPushButton>(window, "ReportButton")->isEnabled());
    QSignalSpy ended(window, &CollectionWindow::scanEnded);
    control<QPushButton>(window, "CollectionCancelButton")->click();
    QVERIFY(ended.wait(30000));
    QVERIFY(held.sawCancel.load());
    QCOMPARE(held.scanned.load(), 2); // nothing after the cancelled one
    QCOMPARE(control<QTreeWidget>(window, "CollectionTable")->topLevelItemCount(), 1);
    QVERIFY(
        control<QLabel>(window, "CollectionStatusLabel")->text().startsWith("Cancelled: 1 dumps"));
    QVERIFY(control<QPushButton>(window, "OrganiseButton")->isEnabled());
    QVERIFY(!control<QPushButton>(window, "ReportButton")->isEnabled());
}

// Closing the main window closes its collection windows (which would keep the program running)
// and stops their scans without waiting for them.
void CollectionWindowTest::closingTheMainWindowClosesTheCollection()
{
    Collection c;
    writeDat(c.roms);
    Window w;
    HeldScan held;
    held.install(page(w));
    const QPointer<CollectionWindow> window = verifyFolder(w, c.root, false);
    QVERIFY(window);
    QTRY_COMPARE(held.scanned.load(), 2);
    w.form->close();
    QVERIFY(held.sawCancel.load());
    QTRY_VERIFY(!window);
}

void CollectionWindowTest::organiseCarriesOutThePlan()
{
    Collection c;
    writeDat(c.roms);
    Window w;
    CollectionWindow* window = verifyFolder(w, c.root);
    QVERIFY(window);
    fixture::TempDir out;
    const auto organise = [&](cartscope::app::OrganiseChoice choice, bool yes) {
        QSignalSpy ended(window, &CollectionWindow::organiseEnded);
        w.dialogs->folderAnswers.push_back(q(out.path()));
        w.dialogs->organiseAnswers.push_back(choice);
        w.dialogs->questionAnswers.push_back(yes);
        control<QPushButton>(window, "OrganiseButton")->click();
        return !yes || ended.wait(30000);
    };
    using cartscope::archive::OrganiseFormat;
    using cartscope::archive::OrganiseMode;
    // Saying No to the plan writes nothing.
    QVERIFY(organise({OrganiseMode::Copy, OrganiseFormat::Raw}, false));
    QVERIFY(filesBelow(out.path()).isEmpty());
    const QString plan = w.dialogs->last("question")->text;
    QVERIFY2(plan.startsWith(q("Copy 3 verified dumps into 3 destinations below " + out.path())),
             qPrintable(plan));
    QVERIFY2(plan.contains(QStringLiteral("sub/b.nds \u2192 Nintendo DS/Game B.nds")),
             qPrintable(plan));

    QVERIFY(organise({OrganiseMode::Copy, OrganiseFormat::Raw}, true));
    QCOMPARE(filesBelow(out.path()),
             (QStringList{"Nintendo DS/Game A.nds", "Nintendo DS/Game B.nds",
                          "Nintendo DS/Game C.nds"}));
    const std::string placed = out.path() + "/Nintendo DS/";
    const Bytes c4 = fullImage(4);
    QVERIFY(readText(placed + "Game C.nds") == std::string(c4.begin(), c4.end()));
    QVERIFY(std::filesystem::exists(c.root + "/a.nds")); // copied, not moved
    QCOMPARE(w.dialogs->informations.last(),
             q("3 of 3 destinations below " + out.path() +
               ": 3 copied, 0 already in place, 0 failed; 0 second copies left where they are."));

    // A second run finds everything in place; a file in a destination's way fails alone.
    std::filesystem::remove(placed + "Game C.nds");
    std::filesystem::create_directory(placed + "Game C.nds");
    QVERIFY(organise({OrganiseMode::Copy, OrganiseFormat::Raw}, true));
    QCOMPARE(w.dialogs->errors.size(), 1);
    const QString told = w.dialogs->errors.last();
    QVERIFY2(told.startsWith(q("3 of 3 destinations below " + out.path() +
                               ": 0 copied, 2 already in place, 1 failed;")),
             qPrintable(told));
    QVERIFY2(told.contains(q("\nFailed: " + placed + "Game C.nds: ")), qPrintable(told));
}

// After a move the rows of the dumps that moved show, open and organise from their new place
// (a packed target's member by its name); a member of an archive was copied and keeps its row.
void CollectionWindowTest::aMoveLeavesTheRowsOnTheNewPlaces()
{
    using cartscope::archive::OrganiseFormat;
    using cartscope::archive::OrganiseMode;
    const struct {
        OrganiseFormat format;
        const char* a;
        const char* b;
        const char* torrentzip; // the TorrentZip cell of a moved row
        const char* bTrim;      // a packed target holds the trimmed dump padded
    } cases[] = {
        {OrganiseFormat::Raw, "Game A.nds", "Game B.nds", "", "trimmed"},
        {OrganiseFormat::TorrentZip, "Game A.zip :: Game A.nds", "Game B.zip :: Game B.nds", "yes",
         "full"},
    };
    for (const auto& row : cases) {
        Collection c;
        writeDat(c.roms);
        Window w;
        CollectionWindow* window = verifyFolder(w, c.root);
        QVERIFY(window);
        fixture::TempDir out, again;
        const auto organise = [&](const std::string& to, OrganiseMode mode, OrganiseFormat f) {
            QSignalSpy ended(window, &CollectionWindow::organiseEnded);
            w.dialogs->folderAnswers.push_back(q(to));
            w.dialogs->organiseAnswers.push_back({mode, f});
            w.dialogs->questionAnswers.push_back(true);
            control<QPushButton>(window, "OrganiseButton")->click();
            return ended.wait(30000);
        };
        QVERIFY(organise(out.path(), OrganiseMode::Move, row.format));
        QCOMPARE(w.dialogs->errors, QStringList{});
        QVERIFY(!std::filesystem::exists(c.root + "/a.nds"));
        const QString placed = q(out.path() + "/Nintendo DS/");
        QVERIFY2(!rowOf(window, "a.nds") && !rowOf(window, "sub/b.nds"),
                 qPrintable(visibleRows(window).join(QLatin1Char('\n'))));
        for (const char* moved : {row.a, row.b}) {
            QTreeWidgetItem* item = rowOf(window, placed + QString::fromLatin1(moved));
            QVERIFY2(item, moved);
            QCOMPARE(item->text(6), QString::fromLatin1(row.torrentzip));
        }
        QCOMPARE(rowOf(window, placed + QString::fromLatin1(row.b))->text(4),
                 QString::fromLatin1(row.bTrim));
        QVERIFY(rowOf(window, "c.zip :: c.nds")); // its archive was kept
        QVERIFY(rowOf(window, "m.nds"));          // not verified: not moved

        // A double-click opens the new place.
        auto* table = control<QTreeWidget>(window, "CollectionTable");
        Q_EMIT table->itemDoubleClicked(rowOf(window, placed + QString::fromLatin1(row.b)), 0);
        w.waitForReadPass();
        QVERIFY(w.form->imageLoaded());
        QCOMPARE(w.text("FNameEdit"),
                 placed + QString::fromLatin1(row.b).section(QStringLiteral(" :: "), 0, 0));

        // A second run reads each dump where it now lies.
        QVERIFY(organise(again.path(), OrganiseMode::Copy, OrganiseFormat::Raw));
        QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('\n')));
        QCOMPARE(filesBelow(again.path()),
                 (QStringList{"Nintendo DS/Game A.nds", "Nintendo DS/Game B.nds",
                              "Nintendo DS/Game C.nds"}));
        const Bytes a1 = fullImage(1);
        QVERIFY(readText(again.path() + "/Nintendo DS/Game A.nds") ==
                std::string(a1.begin(), a1.end()));
    }
}

void CollectionWindowTest::reportWritesTheFixdatAndTheMissingList()
{
    Collection c;
    writeDat(c.roms);
    Window w;
    CollectionWindow* window = verifyFolder(w, c.root);
    QVERIFY(window);
    fixture::TempDir out;
    w.dialogs->folderAnswers.push_back(q(out.path()));
    control<QPushButton>(window, "ReportButton")->click();
    QCOMPARE(w.dialogs->errors, QStringList{});
    QCOMPARE(filesBelow(out.path()), (QStringList{"Nintendo DS (fixdat).dat", "missing.csv"}));
    // Game D and the collider are missing; the games held are not.
    const std::string fixdat = readText(out.path() + "/Nintendo DS (fixdat).dat");
    const std::string csv = readText(out.path() + "/missing.csv");
    for (const std::string& text : {fixdat, csv}) {
        QVERIFY(text.find("Game D") != std::string::npos);
        QVERIFY(text.find("Collider") != std::string::npos);
        QVERIFY(text.find("Game A") == std::string::npos);
    }
    auto* memo = control<QPlainTextEdit>(window, "ReportMemo");
    QVERIFY(memo->isVisible());
    QVERIFY2(memo->toPlainText().contains(QStringLiteral("Game D")),
             qPrintable(memo->toPlainText()));
    QCOMPARE(w.dialogs->informations.last(),
             q("Report written to " + out.path() + ": 1 fixdat(s) and missing.csv"));
}

QTEST_MAIN(CollectionWindowTest)
#include "collection_window_test.moc"
