// The "Verification" page: hashes, trim, secure-area form and the DAT verdict from the load's
// one read, DATs from the DAT folder, "Add DAT…" through the dialog seam.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>

#include "app/verification_page.h"
#include "tests/app/window_fixture.h"
#include "tests/fixture/dat_fixture.h"

using namespace cartscope::apptest;
namespace testdat = cartscope::testdat;

class VerificationPageTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void verifiedImageShowsEveryValueInGreen();
    void trimmedAndMismatchedImages();
    void addDatCopiesIntoTheFolderAndMatchesAgain();
    void aNewLoadAndClosingStopTheWork();
    void theDatFolderLoadsBesideTheReadAndStopsAtOnce();

private:
    std::unique_ptr<fixture::TempDir> m_data;
    std::string datFolder() const { return m_data->path() + "/cartscope/dats"; }
    void writeDat(const std::string& name, const std::vector<testdat::Rom>& roms)
    {
        std::filesystem::create_directories(datFolder());
        const std::string xml = testdat::datXml("Nintendo DS", "2026", roms);
        fixture::writeFile(datFolder() + "/" + name, Bytes(xml.begin(), xml.end()));
    }
};

namespace {

// The image of these tests: 0x9000 used bytes of a 256 KiB chip.
Bytes image(std::uint8_t seed = 1)
{
    Bytes b = sampleImage().deviceCapacity(1).minSize(0x9000).build();
    b.resize(std::max<std::size_t>(b.size(), 0x9000), 0xFF);
    b[0x8FFF] = seed;
    return b;
}

QString memo(const Window& w, const char* name)
{
    return w.child<QPlainTextEdit>(name)->toPlainText();
}

QColor base(const Window& w, const char* name)
{
    return w.child<QPlainTextEdit>(name)->palette().color(QPalette::Base);
}

// Opens the image and waits for its verdict.
void openAndWait(Window& w, const std::string& path)
{
    auto* page = w.form->findChild<cartscope::app::VerificationPage*>("VerificationTabSheet");
    QSignalSpy shown(page, &cartscope::app::VerificationPage::verdictShown);
    w.open(path);
    QVERIFY(shown.count() > 0 || shown.wait(30000));
}

} // namespace

void VerificationPageTest::init()
{
    // Every test reads only its own DAT folder.
    m_data = std::make_unique<fixture::TempDir>();
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(m_data->path()));
}

void VerificationPageTest::cleanup()
{
    m_data.reset();
}

void VerificationPageTest::verifiedImageShowsEveryValueInGreen()
{
    const Bytes full = testdat::padded(image(), 256 * 1024, 0xFF);
    auto rom = testdat::rom("Sample Game (USA)", full);
    rom.withSha256 = true;
    rom.serial = "NTR-ASME-USA";
    writeDat("ds.dat", {rom});
    fixture::TempDir dir;
    const std::string path = dir.file("game.nds");
    fixture::writeFile(path, full);
    // Under a dark theme's light text.
    const QPalette before = QApplication::palette();
    struct Restore {
        QPalette p;
        ~Restore() { QApplication::setPalette(p); }
    } restore{before};
    QPalette dark = before;
    dark.setColor(QPalette::Text, QColor(252, 252, 252));
    QApplication::setPalette(dark);
    Window w;
    QCOMPARE(w.child<QTabWidget>("PageControl")->tabText(2), QStringLiteral("Verification"));
    openAndWait(w, path);

    const QString hashes = memo(w, "HashesMemo");
    for (const std::string& h :
         {testdat::refCrc(full), testdat::refDigest("MD5", full), testdat::refDigest("SHA1", full),
          testdat::refDigest("SHA256", full)})
        QVERIFY2(hashes.contains(q(h)), qPrintable(hashes));
    QCOMPARE(memo(w, "DatVerdictMemo"),
             QStringLiteral("Verified: Sample Game (USA) [Nintendo DS (2026)] by SHA-256"));
    QCOMPARE(base(w, "DatVerdictMemo"), QColor(192, 255, 192));
    // Black on the light green, whatever the palette's text colour.
    QCOMPARE(w.child<QPlainTextEdit>("DatVerdictMemo")->palette().color(QPalette::Text),
             QColor(Qt::black));
    QVERIFY(memo(w, "TrimMemo").startsWith(QStringLiteral("Full chip size")));
    QVERIFY(memo(w, "SecureAreaMemo").startsWith(QStringLiteral("Homebrew")));
    QCOMPARE(w.child<QProgressBar>("VerifyProgressBar")->value(), 100);
    QVERIFY(memo(w, "DatStatusMemo").startsWith(QStringLiteral("1 DAT(s), 1 entries")));
    // The CRC-32 of "Rom Info" came from the same read.
    QCOMPARE(w.text("CRC32Edit").toLower(), q(testdat::refCrc(full)));

    auto* copy = w.child<QPushButton>("CopyHashesButton");
    QVERIFY(copy->isEnabled());
    copy->click();
    QCOMPARE(QGuiApplication::clipboard()->text(), hashes);

    if (qEnvironmentVariableIsSet("CARTSCOPE_TEST_GRAB")) {
        w.child<QTabWidget>("PageControl")->setCurrentIndex(2);
        w.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.form.get()));
        w.form->grab().save(qEnvironmentVariable("CARTSCOPE_TEST_GRAB") +
                            QStringLiteral("-verification.png"));
    }
}

void VerificationPageTest::trimmedAndMismatchedImages()
{
    const Bytes trimmed = image(2);
    // Same size and CRC-32 as image(4), another SHA-1: a mismatch.
    auto collider = testdat::rom("Collider", image(4));
    collider.sha1Override = std::string(40, 'a');
    writeDat("ds.dat",
             {testdat::rom("Trimmed Game", testdat::padded(trimmed, 256 * 1024, 0x00)), collider});
    fixture::TempDir dir;
    fixture::writeFile(dir.file("t.nds"), trimmed);
    Window w;
    openAndWait(w, dir.file("t.nds"));
    QCOMPARE(memo(w, "DatVerdictMemo"),
             QStringLiteral("Verified as trimmed dump of Trimmed Game [Nintendo DS (2026)] by "
                            "SHA-1, padded with 0x00 to 262144 bytes"));
    QCOMPARE(base(w, "DatVerdictMemo"), QColor(192, 255, 192));
    QVERIFY(memo(w, "TrimMemo").startsWith(QStringLiteral("Trimmed")));

    fixture::writeFile(dir.file("m.nds"), image(4));
    openAndWait(w, dir.file("m.nds"));
    QVERIFY(memo(w, "DatVerdictMemo").startsWith(QStringLiteral("Mismatch: size and CRC-32")));
    QCOMPARE(base(w, "DatVerdictMemo"), QColor(255, 192, 192));

    // Over-trimmed: red even when no DAT knows it.
    Bytes cut = image(5);
    cut.resize(0x8000);
    fixture::writeFile(dir.file("cut.nds"), cut);
    openAndWait(w, dir.file("cut.nds"));
    QVERIFY(memo(w, "DatVerdictMemo").startsWith(QStringLiteral("Not in DAT")));
    QCOMPARE(base(w, "DatVerdictMemo"), QColor(255, 192, 192));

    // Bytes of something else (wrong header CRC-16, no Nintendo logo CRC): the page says it is
    // not a DS image, in place of a trim state or a secure area read from those bytes, and does
    // not call it over-trimmed.
    Bytes junk = fixture::pattern(0x10000, 9);
    junk[0x80] = junk[0x81] = junk[0x82] = junk[0x83] = 0x7F; // "used" far past the file
    fixture::writeFile(dir.file("junk.nds"), junk);
    openAndWait(w, dir.file("junk.nds"));
    const QString notImage =
        QStringLiteral("Not a DS image: neither its header CRC-16 nor its logo CRC-16 is right");
    QCOMPARE(memo(w, "DatVerdictMemo"), notImage);
    QCOMPARE(memo(w, "TrimMemo"), notImage);
    QCOMPARE(memo(w, "SecureAreaMemo"), notImage);
    QVERIFY(base(w, "DatVerdictMemo") != QColor(255, 192, 192));
    // An archive under an image's name loads by its name, and the page says what it is.
    const Bytes inner = image(6);
    Bytes gz(4 + inner.size());
    gz[0] = 0x1F;
    gz[1] = 0x8B;
    gz[2] = 0x08;
    std::copy(inner.begin(), inner.end(), gz.begin() + 4);
    fixture::writeFile(dir.file("gz.nds"), gz);
    openAndWait(w, dir.file("gz.nds"));
    QVERIFY2(
        memo(w, "DatVerdictMemo")
            .startsWith(QStringLiteral("The file is a gzip archive, not an image\nNot a DS image")),
        qPrintable(memo(w, "DatVerdictMemo")));

    // A failed load empties the page.
    fixture::writeFile(dir.file("short.nds"), Bytes(100, 1));
    w.form->openFile(dir.file("short.nds"));
    QVERIFY(memo(w, "HashesMemo").isEmpty());
    QVERIFY(memo(w, "DatVerdictMemo").isEmpty());
}

void VerificationPageTest::addDatCopiesIntoTheFolderAndMatchesAgain()
{
    const Bytes img = image(6);
    fixture::TempDir dir;
    fixture::writeFile(dir.file("g.nds"), img);
    const std::string xml = testdat::datXml("Added", "1", {testdat::rom("Added Game", img)});
    fixture::writeFile(dir.file("added.dat"), Bytes(xml.begin(), xml.end()));
    fixture::writeFile(dir.file("broken.dat"), Bytes{'<', 'x'});
    Window w;
    openAndWait(w, dir.file("g.nds"));
    QCOMPARE(memo(w, "DatVerdictMemo"), QStringLiteral("No DAT loaded"));
    QVERIFY(memo(w, "DatStatusMemo").contains(q(datFolder())));

    // A broken DAT is refused with its reason and nothing is copied.
    w.dialogs->openAnswers.push_back(q(dir.file("broken.dat")));
    w.child<QPushButton>("AddDatButton")->click();
    QCOMPARE(w.dialogs->errors.size(), 1);
    QVERIFY(w.dialogs->errors[0].startsWith(q("DAT \"" + dir.file("broken.dat") + "\" line 1")));
    QVERIFY(!std::filesystem::exists(datFolder() + "/broken.dat"));

    auto* page = w.form->findChild<cartscope::app::VerificationPage*>("VerificationTabSheet");
    QSignalSpy shown(page, &cartscope::app::VerificationPage::verdictShown);
    w.dialogs->openAnswers.push_back(q(dir.file("added.dat")));
    w.child<QPushButton>("AddDatButton")->click();
    QVERIFY(shown.wait(30000));
    QVERIFY(std::filesystem::exists(datFolder() + "/added.dat"));
    QVERIFY(memo(w, "DatVerdictMemo").startsWith(QStringLiteral("Verified: Added Game")));
    QCOMPARE(w.dialogs->last("open")->filters.at(0).patterns,
             (QStringList{"*.dat", "*.xml", "*.zip"}));
}

void VerificationPageTest::aNewLoadAndClosingStopTheWork()
{
    // A trimmed image with DAT sizes to pad to: a new load and the window's end stop the read
    // and the padding without waiting for either.
    Bytes big = sampleImage().deviceCapacity(9).minSize(8 << 20).build();
    writeDat("ds.dat", {testdat::rom("Padded", testdat::padded(image(7), 64 << 20, 0xFF))});
    fixture::TempDir dir;
    fixture::writeFile(dir.file("big.nds"), big);
    fixture::writeFile(dir.file("small.nds"), image(8));
    {
        Window w;
        w.form->openFile(dir.file("big.nds"));
        openAndWait(w, dir.file("small.nds"));
        QVERIFY(memo(w, "DatVerdictMemo").startsWith(QStringLiteral("Not in DAT")));
        w.form->openFile(dir.file("big.nds"));
        w.form->close();
    }
    QVERIFY(true); // reaching here: nothing waited for the abandoned work
}

// The DAT folder is read on a thread of its own: the load and its read end without it, the
// verdict follows once it is there, and a new load or closing the window stops it at once (a
// held load that ignored its cancel request would hang this test).
void VerificationPageTest::theDatFolderLoadsBesideTheReadAndStopsAtOnce()
{
    const Bytes img = image(9);
    writeDat("ds.dat", {testdat::rom("Held Game", img)});
    fixture::TempDir dir;
    fixture::writeFile(dir.file("g.nds"), img);

    std::atomic<int> calls{0};
    std::atomic<int> cancels{0};
    std::atomic<bool> release{false};
    const auto heldLoader = [&](const std::function<bool()>& cancelled) {
        ++calls;
        while (!release.load()) {
            if (cancelled()) {
                ++cancels;
                return cartscope::archive::DatFolderLoad{};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return cartscope::archive::loadDatFolder(datFolder(), cancelled);
    };
    {
        Window w;
        auto* page = w.form->findChild<cartscope::app::VerificationPage*>("VerificationTabSheet");
        page->setDatFolderLoader(heldLoader);
        QSignalSpy shown(page, &cartscope::app::VerificationPage::verdictShown);
        w.open(dir.file("g.nds"));
        QVERIFY(w.form->imageLoaded());
        QVERIFY(!w.form->readPassRunning());
        QCOMPARE(w.text("CRC32Edit").toLower(), q(testdat::refCrc(img)));
        QVERIFY(memo(w, "DatStatusMemo").startsWith(QStringLiteral("Loading DATs from ")));
        QVERIFY(memo(w, "DatVerdictMemo").isEmpty());
        QCOMPARE(shown.count(), 0);

        // A new load stops the held one and starts the folder's load again.
        w.open(dir.file("g.nds"));
        QCOMPARE(cancels.load(), 1);
        QTRY_COMPARE(calls.load(), 2);

        release = true;
        QVERIFY(shown.wait(30000));
        QVERIFY(memo(w, "DatVerdictMemo").startsWith(QStringLiteral("Verified: Held Game")));
        QVERIFY(memo(w, "DatStatusMemo").startsWith(QStringLiteral("1 DAT(s), 1 entries")));
        // Loaded once: the next load does not read the folder again.
        w.open(dir.file("g.nds"));
        QCOMPARE(calls.load(), 2);
    }
    release = false;
    {
        Window w;
        auto* page = w.form->findChild<cartscope::app::VerificationPage*>("VerificationTabSheet");
        page->setDatFolderLoader(heldLoader);
        w.open(dir.file("g.nds"));
        QTRY_COMPARE(calls.load(), 3);
        w.form->close();
        QCOMPARE(cancels.load(), 2);
    }
    QCOMPARE(calls.load(), 3);
}

QTEST_MAIN(VerificationPageTest)
#include "verification_page_test.moc"
