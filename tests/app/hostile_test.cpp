// Hostile images, archives and paths through the window: whatever the bytes or the file system
// say, no crash, no hang, no write outside the chosen folder, no archive copy left in the cache,
// and either the values that can be shown or the message the user should read. Grouped by
// attack, as the command line's suite is.

#include <filesystem>
#include <iterator>
#include <sys/stat.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include "app/progress_dialog.h"
#include "archive/temp_area.h"
#include "tests/app/window_fixture.h"
#include "tests/archive/zip_builder.h"

using namespace cartscope::apptest;
namespace fs = std::filesystem;
namespace testzip = cartscope::testzip;

namespace {

using cartscope::fixture::le16;
using cartscope::fixture::le32;
using cartscope::fixture::withTables;

// A root sub-table holding one file "f.bin" whose allocation entry is [start, end).
ImageBuilder oneFileAt(std::uint32_t start, std::uint32_t end)
{
    Bytes fnt;
    le32(fnt, 8), le16(fnt, 0), le16(fnt, 1);
    fnt.push_back(5), fnt.insert(fnt.end(), {'f', '.', 'b', 'i', 'n'}), fnt.push_back(0);
    Bytes fat;
    le32(fat, start), le32(fat, end);
    return withTables(fnt, fat);
}

// Every entry below root (links not followed), as paths relative to it.
QStringList treeOf(const std::string& root)
{
    QStringList out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != decltype(it)();
         it.increment(ec))
        out << q(fs::relative(it->path(), root).string());
    out.sort();
    return out;
}

// Everything in the private cache folder of archive copies, folders included.
QStringList cacheEntries()
{
    return treeOf(cartscope::archive::extractionBase());
}

// The window over a test folder holding the inputs and the destination "out".
struct Scene {
    fixture::TempDir dir;
    Window w;

    Scene()
    {
        fs::create_directory(out());
        w.form->show();
    }
    std::string out() const { return dir.file("out"); }
    std::string image(const ImageBuilder& b, const std::string& name = "x.nds")
    {
        return writeImage(dir, name, b);
    }
    // "Extract Rom Contents" into out; the folder picker answers out.
    void extractAll()
    {
        w.dialogs->folderAnswers = {q(out())};
        w.child<QPushButton>("ExtractAllButton")->click();
    }
    // Nothing exists in the test folder but the inputs and what lies below out.
    void expectNothingOutsideOut(const QStringList& inputs)
    {
        for (const QString& name : treeOf(dir.path())) {
            if (name == "out" || name.startsWith("out/") || inputs.contains(name))
                continue;
            QFAIL(qPrintable("unexpected entry " + name));
        }
    }
    QString errors() const { return w.dialogs->errors.join('|'); }
};

// What a modal box showed in one of its labels.
struct Shown {
    bool up = false;
    QString text;
    int height = 0;
    QString caption;
    bool defaultIsNo = false;
};

// Once the modal box or dialog is up, notes what its label `labelName` shows, then closes it
// (a message box by its No or OK button). Nothing here can fail and
// leave the box open; the test checks the notes after the box is gone.
void whenBoxIsUp(Shown& shown, const QString& labelName, int attempts = 500)
{
    QTimer::singleShot(attempts == 500 ? 0 : 10, [&shown, labelName, attempts] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            if (attempts > 0)
                whenBoxIsUp(shown, labelName, attempts - 1);
            return;
        }
        shown.up = true;
        shown.caption = modal->windowTitle();
        if (const auto* label = modal->findChild<QLabel*>(labelName)) {
            shown.text = label->text();
            shown.height = label->sizeHint().height();
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            QAbstractButton* no = box->button(QMessageBox::No);
            shown.defaultIsNo = no && box->defaultButton() == no;
            (no ? no : box->button(QMessageBox::Ok))->click();
        } else {
            QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
        }
    });
}

} // namespace

class HostileTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    // Names and titles that try to escape the chosen folder or to be taken for markup.
    void namesAndTitlesStayInsideTheDestination_data();
    void namesAndTitlesStayInsideTheDestination();
    void linkPlantedAtTheDestinationIsNotFollowed();
    void markupInNamesIsShownAsText();
    void collidingNamesShowTheirSuffixedPath();

    // File-name tables that loop, claim huge counts or run to the end.
    void directoryCyclesAndHugeCountsGiveBoundedLists();
    void subTablesRunningToTheEndOrIntoThemselves();

    // Allocation entries past the end, reversed or huge.
    void allocationEntriesPastTheEndLeaveNoHalfFile_data();
    void allocationEntriesPastTheEndLeaveNoHalfFile();

    // Banners anywhere, files of boundary sizes.
    void bannersAtZeroPastTheEndAndAtTheTop();
    void tinyAndBoundaryFileSizes();

    // Paths that are not regular files, through the open dialog and as drops.
    void thingsThatAreNotFiles();

    // Archives.
    void hostileArchivesLeaveNothingInTheCache();

    // Many rows over one large range.
    void thousandsOfRowsOnOneRangeAskBeforeFillingTheDisk();
};

void HostileTest::init()
{
    std::filesystem::remove_all(cartscope::archive::extractionBase());
}

void HostileTest::cleanup()
{
    // No archive copy outlives the window that made it.
    QVERIFY2(cacheEntries().isEmpty(), qPrintable(cacheEntries().join('|')));
}

// ---------------------------------------------------------------------------------------------
// Names and titles

void HostileTest::namesAndTitlesStayInsideTheDestination_data()
{
    QTest::addColumn<QString>("title");
    for (const char* title : {"../../evil", "/abs", "", "..", ".", "a\\b", "CON"})
        QTest::newRow(title[0] ? title : "(empty)") << QString::fromLatin1(title);
}

void HostileTest::namesAndTitlesStayInsideTheDestination()
{
    QFETCH(QString, title);
    Scene s;
    ImageBuilder b;
    b.title(title.toStdString()).root(cartscope::fixture::escapingTree());
    s.w.open(s.image(b));
    QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
    QCOMPARE(s.w.child<QTreeWidget>("FSListView")->topLevelItemCount(), 10);
    s.extractAll();
    QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
    QCOMPARE(s.w.dialogs->informations, QStringList{QStringLiteral("Rom Extracted")});
    s.expectNothingOutsideOut({"x.nds"});
    // Everything sits in exactly one folder below out: ten files, none of them outside it.
    const QStringList top = treeOf(s.out()).filter(QRegularExpression("^[^/]*$"));
    QCOMPARE(top.size(), 1);
    QCOMPARE(filesBelow(s.out() + "/" + top.front().toStdString()).size(), 10);
    QCOMPARE(filesBelow(s.out()).size(), 10);
}

void HostileTest::linkPlantedAtTheDestinationIsNotFollowed()
{
    Scene s;
    ImageBuilder b;
    b.title("GAME").root({Node::dir("d", {Node::file("f.bin", std::string("new"))})});
    s.w.open(s.image(b));
    const std::string victim = s.dir.file("victim");
    fixture::writeFile(victim, Bytes{'o', 'l', 'd'});
    fs::create_directories(s.out() + "/GAME");
    fs::create_directory_symlink(s.dir.path(), s.out() + "/GAME/d");
    s.extractAll();
    // Either the file is refused or written elsewhere; the folder the link points at never
    // receives it and nothing there changes.
    QVERIFY(!fs::exists(s.dir.file("f.bin")));
    QVERIFY(fixture::readFile(victim) == (Bytes{'o', 'l', 'd'}));
    QVERIFY(s.w.form->progressDialog()->isHidden());
    QCOMPARE(s.w.dialogs->errors.size() + s.w.dialogs->informations.size(), qsizetype{1});
}

void HostileTest::markupInNamesIsShownAsText()
{
    // A picture 400 pixels high: a label that took the names below for markup would load it
    // and grow to its height. (Named after a FIFO or a device, the same markup would block the
    // window or read without end.)
    Scene s;
    const std::string probe = s.dir.file("probe.png");
    QVERIFY(QImage(400, 400, QImage::Format_RGB32).save(q(probe)));
    // Folders '<img src="', then each component of the probe's absolute path, the last one
    // closing the tag: the relative path reads GAME/<img src="/tmp/.../probe.png">.
    std::vector<std::string> parts;
    for (const auto& c : fs::path(probe).relative_path())
        parts.push_back(c.string());
    Node leaf = Node::file(parts.back() + "\">", std::string("x"));
    for (auto it = std::next(parts.rbegin()); it != parts.rend(); ++it)
        leaf = Node::dir(*it, {leaf});
    ImageBuilder b;
    b.title("GAME").root({Node::dir("<img src=\"", {leaf})});
    s.w.open(s.image(b));
    QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));

    cartscope::app::TForm2* progress = s.w.form->progressDialog();
    bool seen = false;
    QObject::connect(s.w.form.get(), &cartscope::app::TForm1::fileExtracted, [&](int, int) {
        seen = true;
        for (QLabel* label : {progress->ExtFileStaticText, progress->ToFileStaticText}) {
            QVERIFY(label->text().contains(QStringLiteral("<img src=\"/")));
            QVERIFY2(label->sizeHint().height() < 100, qPrintable(label->text()));
        }
    });
    s.extractAll();
    QVERIFY(seen);
    QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
    QCOMPARE(filesBelow(s.out()).size(), 1);

    // The real boxes and the folder picker's status line show such names as text as well. The
    // boxes are measured and closed from a timer; the checks follow once they are gone.
    const QString markup = QStringLiteral("Cannot create file \"<img src=\"%1\">\".").arg(q(probe));
    cartscope::app::QtDialogs real;
    for (const bool asQuestion : {false, true}) {
        Shown shown;
        whenBoxIsUp(shown, QStringLiteral("qt_msgbox_label"));
        if (asQuestion)
            QVERIFY(!real.question(nullptr, markup));
        else
            real.error(nullptr, markup);
        QVERIFY(shown.up);
        QCOMPARE(shown.text, markup);
        QVERIFY2(shown.height < 100, qPrintable(QString::number(shown.height)));
        QCOMPARE(shown.caption, QStringLiteral("Cartscope"));
        QCOMPARE(shown.defaultIsNo, asQuestion);
    }
    Shown status;
    whenBoxIsUp(status, QStringLiteral("StatusLabel"));
    QVERIFY(!real.getExistingDirectory(nullptr, QStringLiteral("title"), markup, q(s.out())));
    QVERIFY(status.up);
    QCOMPARE(status.text, markup);
    QVERIFY2(status.height < 100, qPrintable(QString::number(status.height)));
}

void HostileTest::collidingNamesShowTheirSuffixedPath()
{
    // "a\b" and "a_b" both clean to "a_b"; a file "d" and a folder "d" meet as well. The
    // second of each is written under a suffixed name, which the progress dialog shows while
    // it is copied; the confirmation keeps its exact text.
    Scene s;
    ImageBuilder b;
    b.title("GAME").root({Node::file("a\\b", std::string("first")),
                          Node::file("a_b", std::string("second")),
                          Node::file("d", std::string("file")),
                          Node::dir("d", {Node::file("in.bin", std::string("inside"))})});
    s.w.open(s.image(b));
    QStringList to;
    QStringList from;
    cartscope::app::TForm2* progress = s.w.form->progressDialog();
    QObject::connect(s.w.form.get(), &cartscope::app::TForm1::fileExtracted, [&](int, int) {
        from << progress->ExtFileStaticText->text();
        to << progress->ToFileStaticText->text();
    });
    s.extractAll();
    QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
    QCOMPARE(s.w.dialogs->informations, QStringList{QStringLiteral("Rom Extracted")});
    const QString base = q(s.out() + "/");
    QCOMPARE(from, (QStringList{"GAME/a_b", "GAME/a_b (2)", "GAME/d", "GAME/d (2)/in.bin"}));
    QCOMPARE(to, (QStringList{base + "GAME/a_b", base + "GAME/a_b (2)", base + "GAME/d",
                              base + "GAME/d (2)/in.bin"}));
    QCOMPARE(filesBelow(s.out()),
             (QStringList{"GAME/a_b", "GAME/a_b (2)", "GAME/d", "GAME/d (2)/in.bin"}));
    const Bytes second = fixture::readFile(s.out() + "/GAME/a_b (2)");
    QCOMPARE(std::string(second.begin(), second.end()), std::string("second"));
}

// ---------------------------------------------------------------------------------------------
// File-name tables

void HostileTest::directoryCyclesAndHugeCountsGiveBoundedLists()
{
    // Root and two directories whose parents point at each other, a third that is its own
    // parent and shares the root's sub-table; the count field claims up to 0xFFFF directories.
    for (const std::uint16_t count :
         {std::uint16_t{4}, std::uint16_t{0xFFFF}, std::uint16_t{0x1000}}) {
        Scene s;
        Bytes fnt;
        const std::uint32_t root = 4 * 8;      // a, b, sel, end: 4 + 4 + 6 + 1 bytes
        const std::uint32_t inner = root + 15; // f.bin, end
        le32(fnt, root), le16(fnt, 0), le16(fnt, count);
        le32(fnt, inner), le16(fnt, 1), le16(fnt, 0xF002);
        le32(fnt, inner), le16(fnt, 1), le16(fnt, 0xF001);
        le32(fnt, root), le16(fnt, 2), le16(fnt, 0xF003);
        for (auto [name, id] : {std::pair{'a', 0xF001}, std::pair{'b', 0xF002}}) {
            fnt.push_back(0x81), fnt.push_back(static_cast<std::uint8_t>(name));
            le16(fnt, static_cast<std::uint16_t>(id));
        }
        fnt.push_back(0x83), fnt.insert(fnt.end(), {'s', 'e', 'l'}), le16(fnt, 0xF003);
        fnt.push_back(0);
        fnt.push_back(0x05), fnt.insert(fnt.end(), {'f', '.', 'b', 'i', 'n'});
        fnt.push_back(0);
        Bytes fat;
        for (int i = 0; i < 4; ++i)
            le32(fat, 0x9000), le32(fat, 0x9010);
        s.w.open(s.image(withTables(fnt, fat)));
        QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
        QVERIFY(s.w.form->imageLoaded());
        const int rows = s.w.child<QTreeWidget>("FSListView")->topLevelItemCount();
        QVERIFY2(rows < 100, qPrintable(QString::number(rows)));
        if (count == 4)
            QVERIFY(rows > 0); // the file in the cycle is still listed
        s.extractAll();
        QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
        QCOMPARE(filesBelow(s.out()).size(), rows);
        s.expectNothingOutsideOut({"x.nds"});
    }
}

void HostileTest::subTablesRunningToTheEndOrIntoThemselves()
{
    Scene s;
    // A sub-table of file entries with no terminating zero, running to the end of the image.
    Bytes fnt;
    le32(fnt, 8), le16(fnt, 0), le16(fnt, 1);
    ImageBuilder toTheEnd;
    toTheEnd.totalSize(0x8000 + 8 + 2 * 200).poke32(0x40, 0x8000).poke32(0x48, 0);
    toTheEnd.pokeBytes(0x8000, fnt).pokeBytes(0x8008, Bytes(2 * 200, 0x01));
    s.w.open(s.image(toTheEnd));
    QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
    QVERIFY(s.w.form->imageLoaded());
    QVERIFY(s.w.child<QTreeWidget>("FSListView")->topLevelItemCount() <= 200);

    // The root's sub-table is the main table itself.
    Bytes self;
    le32(self, 0), le16(self, 0), le16(self, 1);
    s.w.open(s.image(withTables(self, Bytes(64, 0)), "self.nds"));
    QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
    QVERIFY(s.w.form->imageLoaded());

    // A directory ID cut by the end of the image is dropped: A keeps its name.
    s.w.open(s.image(fixture::cutDirectoryIdImage(), "cut.nds"));
    QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
    QCOMPARE(column(s.w.child<QTreeWidget>("FSListView"), 0), QStringList{"/A/good.txt"});
}

// ---------------------------------------------------------------------------------------------
// Allocation entries

void HostileTest::allocationEntriesPastTheEndLeaveNoHalfFile_data()
{
    QTest::addColumn<quint32>("start");
    QTest::addColumn<quint32>("end");
    QTest::newRow("past the end") << 0xF000u << 0x20000u;
    QTest::newRow("reversed") << 0x9000u << 0x8000u;
    QTest::newRow("0..0xFFFFFFFF") << 0u << 0xFFFFFFFFu;
    QTest::newRow("top of the space") << 0xFFFFFFF0u << 0xFFFFFFFFu;
}

void HostileTest::allocationEntriesPastTheEndLeaveNoHalfFile()
{
    QFETCH(quint32, start);
    QFETCH(quint32, end);
    Scene s;
    s.w.open(s.image(oneFileAt(start, end)));
    QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
    s.extractAll();
    const std::string file = s.out() + "/CARTSCOPE/f.bin";
    // The size is the signed 32-bit difference: reversed and 0xFFFFFFFF-long entries are
    // negative and give empty files; a range past the end stops the run before the file.
    if (static_cast<std::int32_t>(end - start) > 0) {
        QCOMPARE(s.w.dialogs->errors, QStringList{QStringLiteral("Stream read error.")});
        QVERIFY(s.w.dialogs->informations.isEmpty());
        QVERIFY(!fs::exists(file));
        // The single-file command refuses it the same way.
        s.w.child<QTabWidget>("PageControl")->setCurrentIndex(1);
        auto* list = s.w.child<QTreeWidget>("FSListView");
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                          list->visualItemRect(list->topLevelItem(0)).center());
        s.w.dialogs->folderAnswers = {q(s.out())};
        s.w.child<QPushButton>("ExtractFileButton")->click();
        QCOMPARE(s.w.dialogs->errors.size(), 2);
        QCOMPARE(s.w.dialogs->errors.back(), QStringLiteral("Stream read error."));
        QVERIFY(!fs::exists(file));
    } else {
        QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
        QCOMPARE(fs::file_size(file), std::uintmax_t{0});
        QCOMPARE(s.w.dialogs->informations, QStringList{QStringLiteral("Rom Extracted")});
    }
    QVERIFY(s.w.form->progressDialog()->isHidden());
    QVERIFY(!s.w.form->jobRunning());
    s.expectNothingOutsideOut({"x.nds"});
}

// ---------------------------------------------------------------------------------------------
// Banners and sizes

void HostileTest::bannersAtZeroPastTheEndAndAtTheTop()
{
    Scene s;
    for (const std::uint32_t at : {0u, 0x7FFFu, 0x10000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        ImageBuilder b;
        b.title("BANNER").poke32(0x68, at);
        s.w.open(s.image(b, "banner.nds"));
        QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
        QVERIFY(s.w.form->imageLoaded());
        QCOMPARE(s.w.text("IntNameEdit"), QStringLiteral("BANNER"));
        // The icon (whatever the bytes give) can be saved.
        s.w.dialogs->saveAnswers = {q(s.dir.file("icon.png"))};
        s.w.child<QPushButton>("SaveIconButton")->click();
        QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
    }
}

void HostileTest::tinyAndBoundaryFileSizes()
{
    Scene s;
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{0x7FFF}}) {
        s.w.dialogs->errors.clear();
        const std::string path = s.dir.file("tiny.nds");
        fixture::writeFile(path, Bytes(size, 0x55));
        s.w.open(path);
        QCOMPARE(s.w.dialogs->errors, QStringList{QStringLiteral("Stream read error.")});
        QVERIFY(!s.w.form->imageLoaded());
        QCOMPARE(s.w.text("FNameEdit"), q(path));
    }
    s.w.dialogs->errors.clear();
    const std::string path = s.dir.file("exact.nds");
    fixture::writeFile(path, Bytes(0x8000, 0x55));
    s.w.open(path);
    QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
    QVERIFY(s.w.form->imageLoaded());
}

// ---------------------------------------------------------------------------------------------
// Paths that are not regular files

void HostileTest::thingsThatAreNotFiles()
{
    Scene s;
    const std::string good = s.image(sampleImage("GOOD"), "good.nds");
    QStringList paths;
    for (const char* ext : {".nds", ".zip"}) {
        const std::string folder = s.dir.file(std::string("folder") + ext);
        fs::create_directory(folder);
        const std::string fifo = s.dir.file(std::string("fifo") + ext);
        QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
        const std::string zero = s.dir.file(std::string("zero") + ext);
        fs::create_symlink("/dev/zero", zero);
        const std::string loop = s.dir.file(std::string("loop") + ext);
        fs::create_symlink(loop + ".other", loop);
        fs::create_symlink(loop, loop + ".other");
        const std::string dangling = s.dir.file(std::string("dangling") + ext);
        fs::create_symlink(s.dir.file("missing"), dangling);
        for (const std::string& p : {folder, fifo, zero, loop, dangling})
            paths << q(p);
    }
    paths << QStringLiteral("/dev/zero");

    for (const QString& path : paths) {
        // Through the open dialog (which opens whatever it is given): a clear message naming
        // the path, before anything is read, and nothing loaded.
        s.w.dialogs->errors.clear();
        s.w.dialogs->openAnswers = {path};
        s.w.child<QToolButton>("OpenRomSpeedButton")->click();
        QCOMPARE(s.w.dialogs->errors.size(), 1);
        const QString prefix = QStringLiteral("Cannot open file \"%1\". ").arg(path);
        QVERIFY2(s.w.dialogs->errors.front().startsWith(prefix),
                 qPrintable(s.w.dialogs->errors.front()));
        QVERIFY(!s.w.form->imageLoaded());
        QVERIFY(!s.w.form->imageHeld());
        QVERIFY(s.w.text("IntNameEdit").isEmpty());

        // As a drop over a loaded image: ignored without a word, the image stays.
        s.w.open(good);
        const auto callsBefore = s.w.dialogs->calls.size();
        QVERIFY(s.w.drop({path}));
        QCOMPARE(s.w.dialogs->calls.size(), callsBefore);
        QVERIFY(s.w.form->imageLoaded());
        QCOMPARE(s.w.text("IntNameEdit"), QStringLiteral("GOOD"));
    }
}

// ---------------------------------------------------------------------------------------------
// Archives

void HostileTest::hostileArchivesLeaveNothingInTheCache()
{
    using testzip::Entry;
    const Bytes img = ImageBuilder().title("ZIPPED").build();
    Bytes cut = testzip::buildZip({Entry::file("game.nds", img)});
    cut.resize(cut.size() / 2);
    Bytes bomb = testzip::buildZip({Entry::file("game.nds", Bytes(1 << 20, 0))});
    testzip::patchDeclaredSize(bomb, 0, 0x8000);
    struct Case {
        const char* what;
        Bytes zip;
        bool loads;
    };
    const std::vector<Case> cases = {
        {"traversal ../", testzip::buildZip({Entry::file("../../evil.nds", img)}), true},
        {"traversal \\", testzip::buildZip({Entry::file("..\\..\\evil.nds", img)}), true},
        {"absolute", testzip::buildZip({Entry::file("/abs/evil.nds", img)}), true},
        {"symbolic link", testzip::buildZip({Entry::symlink("link.nds", "/etc/passwd")}), false},
        {"encrypted",
         testzip::buildZip({Entry::file("game.nds", img)}, testzip::Options{true, false, "pw"}),
         false},
        {"truncated", cut, false},
        {"declared smaller than its data", bomb, false},
        {"not an archive", testzip::noise(5000), false},
        {"duplicates",
         testzip::buildZip({Entry::file("game.nds", img),
                            Entry::file("game.nds", ImageBuilder().title("SECOND").build())}),
         true},
    };
    for (const Case& c : cases) {
        {
            Scene s;
            const std::string zip = s.dir.file("a.zip");
            fixture::writeFile(zip, c.zip);
            s.w.open(zip);
            QVERIFY2(s.w.dialogs->calls.empty(), c.what); // quiet, either way
            QCOMPARE(s.w.form->imageLoaded(), c.loads);
            if (c.loads) {
                QCOMPARE(s.w.text("IntNameEdit"), QStringLiteral("ZIPPED"));
                QCOMPARE(cacheEntries().filter(QRegularExpression("\\.nds$")).size(), 1);
            } else {
                // The nothing-open state.
                QVERIFY2(s.w.text("FNameEdit").isEmpty(), c.what);
                QVERIFY(!s.w.form->imageHeld());
                QVERIFY2(cacheEntries().isEmpty(), c.what);
            }
            s.expectNothingOutsideOut({"a.zip"});
        }
        QVERIFY2(cacheEntries().isEmpty(), c.what);
    }
}

// ---------------------------------------------------------------------------------------------
// Many rows over one range

void HostileTest::thousandsOfRowsOnOneRangeAskBeforeFillingTheDisk()
{
    // 3000 names all pointing at the same 256 KiB: 750 MiB to write from a 512 KiB image.
    constexpr std::uint32_t kRange = 0x40000;
    ImageBuilder b = cartscope::fixture::manyRowsOnOneRange(3000, kRange);
    b.title("MANY");
    Scene s;
    s.w.open(s.image(b));
    QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
    QCOMPARE(s.w.child<QTreeWidget>("FSListView")->topLevelItemCount(), 3000);

    std::vector<std::string> asked;
    std::uint64_t freeBytes = 100u << 20;
    s.w.form->setFreeSpaceProbe(
        [&](const std::string& folder) -> std::optional<cartscope::core::Room> {
            asked.push_back(folder);
            return cartscope::core::Room{freeBytes, 4096, std::nullopt};
        });
    // No: nothing is written, not even the internal-name folder, and no run starts.
    bool started = false;
    const auto hook = QObject::connect(s.w.form.get(), &cartscope::app::TForm1::fileExtracted,
                                       [&](int, int) { started = true; });
    s.extractAll();
    QCOMPARE(asked, std::vector<std::string>{s.out()});
    QCOMPARE(s.w.dialogs->count("question"), 1);
    QCOMPARE(s.w.dialogs->last("question")->text,
             QStringLiteral("The files to extract need 750.0 MiB but only 100.0 MiB is free in "
                            "\"%1\". Extract anyway?")
                 .arg(q(s.out())));
    QVERIFY(!started);
    QVERIFY(treeOf(s.out()).isEmpty());
    QVERIFY(s.w.dialogs->informations.isEmpty());
    QVERIFY(s.w.form->progressDialog()->isHidden());
    QVERIFY(s.w.child<QPushButton>("ExtractAllButton")->isEnabled());
    QObject::disconnect(hook);

    // Yes: the run goes ahead, and its Cancel still works after the third file.
    cartscope::app::TForm2* progress = s.w.form->progressDialog();
    QObject::connect(s.w.form.get(), &cartscope::app::TForm1::fileExtracted, [&](int done, int) {
        if (done == 3)
            QMetaObject::invokeMethod(progress->Button1, "click", Qt::QueuedConnection);
    });
    s.w.dialogs->questionAnswers = {true};
    s.extractAll();
    QCOMPARE(s.w.dialogs->count("question"), 2);
    QVERIFY2(s.w.dialogs->errors.isEmpty(), qPrintable(s.errors()));
    QCOMPARE(s.w.dialogs->informations, QStringList{QStringLiteral("Rom Extracted")});
    const QStringList written = filesBelow(s.out());
    QCOMPARE(written, (QStringList{"MANY/f0", "MANY/f1", "MANY/f2"}));
    for (const QString& f : written)
        QCOMPARE(fs::file_size(s.out() + "/" + f.toStdString()), std::uintmax_t{kRange});
    QCOMPARE(progress->ExtProgBar->value(), 3);
    QVERIFY(progress->isHidden());

    // Enough room (exactly the total), or a destination whose room is unknown: no question.
    fs::remove_all(s.out() + "/MANY");
    freeBytes = 3000ull * kRange;
    s.extractAll();
    s.w.form->setFreeSpaceProbe([](const std::string&) { return std::nullopt; });
    s.extractAll();
    QCOMPARE(s.w.dialogs->count("question"), 2);
    QCOMPARE(s.w.dialogs->informations.size(), 3);

    // The single-file command asks too when its one range does not fit; No writes nothing.
    fs::remove_all(s.out() + "/MANY");
    freeBytes = kRange - 1;
    s.w.form->setFreeSpaceProbe([&](const std::string&) {
        return std::optional<cartscope::core::Room>{{freeBytes, 1, std::nullopt}};
    });
    s.w.child<QTabWidget>("PageControl")->setCurrentIndex(1);
    auto* list = s.w.child<QTreeWidget>("FSListView");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                      list->visualItemRect(list->topLevelItem(0)).center());
    s.w.dialogs->folderAnswers = {q(s.out())};
    s.w.child<QPushButton>("ExtractFileButton")->click();
    QCOMPARE(s.w.dialogs->count("question"), 3);
    QVERIFY(treeOf(s.out()).isEmpty());
    QCOMPARE(s.w.dialogs->informations.size(), 3);
}

QTEST_MAIN(HostileTest)
#include "hostile_test.moc"
