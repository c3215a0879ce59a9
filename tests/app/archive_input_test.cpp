// Opening images out of .zip and .7z archives: which member, the progress panel and its Cancel, and
// the life of the temporary copy.

#include <filesystem>
#include <vector>

#include <QFrame>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>

#include "archive/temp_area.h"
#include "tests/app/window_fixture.h"
#include "tests/archive/zip_builder.h"

using namespace cartscope::apptest;
namespace testzip = cartscope::testzip;

namespace {

Bytes image(const std::string& title, std::size_t minSize = 0x8000)
{
    return sampleImage(title).minSize(minSize).build();
}

// Everything below the private extraction folder (the cache of this test run).
QStringList cacheContents()
{
    return filesBelow(cartscope::archive::extractionBase());
}

} // namespace

class ArchiveInputTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void firstImageMemberIsOpened();
    void memberInAFolder();
    void dsiOrSrlMemberWithoutADsImage();
    void archiveWithoutImageLeavesTheWindowEmpty();
    void cancelDuringExtraction();
    void cancelAtTheLastNotification();
    void temporaryCopyGoesAtNextOpen();
    void temporaryCopyGoesWithTheWindow();
    void hostileMemberNamesStayInside();
    void droppedArchiveIsReadOnceTheDropIsDone();
};

void ArchiveInputTest::init()
{
    // Every case starts with an empty extraction folder, so leftovers are seen.
    std::filesystem::remove_all(cartscope::archive::extractionBase());
}

void ArchiveInputTest::firstImageMemberIsOpened()
{
    fixture::TempDir dir;
    const std::string gameFirst = dir.file("a.zip");
    testzip::writeZip(gameFirst, {testzip::Entry::file("readme.txt", "hello"),
                                  testzip::Entry::file("game.nds", image("GAME")),
                                  testzip::Entry::file("demo.ids", image("DEMO"))});
    const std::string demoFirst = dir.file("B.ZIP");
    testzip::writeZip(demoFirst, {testzip::Entry::file("readme.txt", "hello"),
                                  testzip::Entry::file("demo.ids", image("DEMO")),
                                  testzip::Entry::file("game.nds", image("GAME"))});
    Window w;
    int begun = 0;
    QObject::connect(w.form.get(), &cartscope::app::TForm1::zipProgress, [&](int) {
        ++begun;
        QVERIFY(w.child<QFrame>("ExtProgressPanel")->isVisible() ||
                !w.form->isVisible()); // shown over the pages (visible once the window is)
    });
    w.open(gameFirst);
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    QVERIFY(begun > 0);
    QVERIFY(w.form->imageLoaded());
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("GAME"));
    QCOMPARE(w.text("FNameEdit"), q(gameFirst)); // the archive's path, not the copy's
    const std::string copy = w.form->tempImagePath();
    QVERIFY(copy.rfind(cartscope::archive::extractionBase() + "/", 0) == 0);
    QCOMPARE(q(std::filesystem::path(copy).filename().string()), QStringLiteral("game.nds"));
    QVERIFY(std::filesystem::exists(copy));
    QVERIFY(w.child<QFrame>("ExtProgressPanel")->isHidden());
    QCOMPARE(w.child<QProgressBar>("ExtProgressBar")->value(), 0);
    QVERIFY(w.child<QToolButton>("OpenRomSpeedButton")->isEnabled());

    w.open(demoFirst);
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("DEMO"));
    QVERIFY(!std::filesystem::exists(copy));
    QCOMPARE(cacheContents().size(), 1);
}

void ArchiveInputTest::memberInAFolder()
{
    fixture::TempDir dir;
    const std::string zip = dir.file("deep.zip");
    testzip::writeZip(zip, {testzip::Entry::dir("roms/"), testzip::Entry::dir("roms/ds/"),
                            testzip::Entry::file("roms/ds/Deep.NDS", image("DEEP"))});
    Window w;
    w.open(zip);
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("DEEP"));
    QCOMPARE(q(std::filesystem::path(w.form->tempImagePath()).filename().string()),
             QStringLiteral("Deep.NDS"));
}

void ArchiveInputTest::dsiOrSrlMemberWithoutADsImage()
{
    // The first .dsi/.srl member (any letter case) when the archive holds no .nds/.ids member;
    // a .nds/.ids member wins wherever it lies.
    struct Case {
        std::vector<testzip::Entry> entries;
        QString title;
        QString copy;
    };
    const std::vector<Case> cases = {
        {{testzip::Entry::file("readme.txt", "hi"), testzip::Entry::file("game.dsi", image("DSI"))},
         QStringLiteral("DSI"),
         QStringLiteral("game.dsi")},
        {{testzip::Entry::file("roms/GAME.SRL", image("SRL")),
          testzip::Entry::file("b.dsi", image("DSI"))},
         QStringLiteral("SRL"),
         QStringLiteral("GAME.SRL")},
        {{testzip::Entry::file("a.dsi", image("DSI")), testzip::Entry::file("b.nds", image("NDS"))},
         QStringLiteral("NDS"),
         QStringLiteral("b.nds")},
    };
    fixture::TempDir dir;
    Window w;
    for (const Case& c : cases) {
        const std::string zip = dir.file("a.zip");
        testzip::writeZip(zip, c.entries);
        w.open(zip);
        QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
        QCOMPARE(w.text("IntNameEdit"), c.title);
        QCOMPARE(q(std::filesystem::path(w.form->tempImagePath()).filename().string()), c.copy);
    }
}

void ArchiveInputTest::archiveWithoutImageLeavesTheWindowEmpty()
{
    fixture::TempDir dir;
    const std::string good = writeImage(dir, "game.nds", sampleImage());
    const std::string zip = dir.file("none.zip");
    testzip::writeZip(zip, {testzip::Entry::file("readme.txt", "no image here"),
                            testzip::Entry::file("game.nds.txt", "nor here")});
    Window w;
    w.open(good);
    w.open(zip);
    QVERIFY(w.dialogs->calls.empty()); // quiet
    QVERIFY(w.text("FNameEdit").isEmpty());
    // The empty name field says why.
    const QString reason = QStringLiteral("the archive holds no .nds or .ids file");
    QCOMPARE(w.child<QLineEdit>("FNameEdit")->placeholderText(), reason);
    QCOMPARE(w.child<QLineEdit>("FNameEdit")->toolTip(), reason);
    QVERIFY(w.text("IntNameEdit").isEmpty());
    QVERIFY(!w.form->imageLoaded());
    QVERIFY(!w.form->imageHeld());
    QVERIFY(w.form->tempImagePath().empty());
    QCOMPARE(w.child<QTreeWidget>("FSListView")->topLevelItemCount(), 0);
    QVERIFY(!w.child<QPushButton>("ExtractAllButton")->isEnabled());
    QVERIFY(cacheContents().isEmpty());
    // The next load takes the reason away.
    w.open(good);
    QVERIFY(w.child<QLineEdit>("FNameEdit")->placeholderText().isEmpty());
    QVERIFY(w.child<QLineEdit>("FNameEdit")->toolTip().isEmpty());
}

void ArchiveInputTest::cancelDuringExtraction()
{
    fixture::TempDir dir;
    const std::string zip = dir.file("big.zip");
    // Several MiB, stored: several progress notifications.
    testzip::writeZip(zip, {testzip::Entry::file("big.nds", image("BIG", 5u << 20))},
                      testzip::Options{false, false, {}});
    const std::string other = writeImage(dir, "other.nds", sampleImage("OTHER"));
    Window w;
    w.form->show();
    int notifications = 0;
    QObject::connect(w.form.get(), &cartscope::app::TForm1::zipProgress, [&](int) {
        if (++notifications != 1)
            return;
        // The panel is up, the rest of the window may not start anything else.
        QVERIFY(w.child<QFrame>("ExtProgressPanel")->isVisible());
        QVERIFY(w.form->jobRunning());
        QVERIFY(!w.child<QToolButton>("OpenRomSpeedButton")->isEnabled());
        QVERIFY(!w.form->close());
        QVERIFY(!w.drop({q(other)}));
        if (qEnvironmentVariableIsSet("CARTSCOPE_TEST_GRAB"))
            w.form->grab().save(qEnvironmentVariable("CARTSCOPE_TEST_GRAB") + "-zip.png");
        QMetaObject::invokeMethod(w.child<QPushButton>("ExtCancelButton"), "click",
                                  Qt::QueuedConnection);
    });
    w.open(zip);
    // The one question is the close request's, answered No.
    QCOMPARE(w.dialogs->calls.size(), std::size_t{1});
    QCOMPARE(w.dialogs->count("question"), 1);
    QCOMPARE(notifications, 2); // the request is taken at the next notification
    QVERIFY(w.child<QFrame>("ExtProgressPanel")->isHidden());
    QVERIFY(w.text("FNameEdit").isEmpty());
    QVERIFY(w.child<QLineEdit>("FNameEdit")->placeholderText().isEmpty()); // it had an image
    QVERIFY(!w.form->imageLoaded());
    QVERIFY(w.form->tempImagePath().empty());
    QVERIFY(cacheContents().isEmpty());
    QVERIFY(w.child<QToolButton>("OpenRomSpeedButton")->isEnabled());
    QVERIFY(w.form->isVisible());

    // The next open starts with the flag cleared.
    w.open(zip);
    QVERIFY(w.form->imageLoaded());
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("BIG"));
}

void ArchiveInputTest::cancelAtTheLastNotification()
{
    fixture::TempDir dir;
    const std::string zip = dir.file("small.zip");
    testzip::writeZip(zip, {testzip::Entry::file("small.nds", image("SMALL"))});
    Window w;
    int notifications = 0;
    QObject::connect(w.form.get(), &cartscope::app::TForm1::zipProgress, [&](int byArchive) {
        ++notifications;
        if (byArchive == 100)
            QMetaObject::invokeMethod(w.child<QPushButton>("ExtCancelButton"), "click",
                                      Qt::QueuedConnection);
    });
    w.open(zip);
    QCOMPARE(notifications, 1);
    // The member was written completely, yet the Cancel discards it.
    QVERIFY(!w.form->imageLoaded());
    QVERIFY(w.text("FNameEdit").isEmpty());
    QVERIFY(cacheContents().isEmpty());
}

void ArchiveInputTest::temporaryCopyGoesAtNextOpen()
{
    fixture::TempDir dir;
    const std::string zip = dir.file("GAME.ZIP");
    testzip::writeZip(zip, {testzip::Entry::file("game.nds", image("GAME"))});
    const std::string plain = writeImage(dir, "plain.nds", sampleImage("PLAIN"));
    Window w;
    w.open(zip);
    const std::string first = w.form->tempImagePath();
    QVERIFY(std::filesystem::exists(first));
    // The same member name again: the first copy goes before the second is made.
    w.open(zip);
    const std::string second = w.form->tempImagePath();
    QVERIFY(!std::filesystem::exists(first));
    QVERIFY(std::filesystem::exists(second));
    QCOMPARE(cacheContents().size(), 1);
    w.open(plain);
    QVERIFY(!std::filesystem::exists(second));
    QVERIFY(w.form->tempImagePath().empty());
    QVERIFY(cacheContents().isEmpty());
    QVERIFY(std::filesystem::exists(plain));
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("PLAIN"));
    // A copy whose load failed goes as well.
    const std::string broken = dir.file("broken.zip");
    testzip::writeZip(broken, {testzip::Entry::file("short.nds", Bytes(1000, 0))});
    w.open(broken);
    QCOMPARE(w.dialogs->errors, QStringList{QStringLiteral("Stream read error.")});
    QCOMPARE(w.text("FNameEdit"), q(broken));
    QCOMPARE(cacheContents().size(), 1);
    w.open(plain);
    QVERIFY(cacheContents().isEmpty());
}

void ArchiveInputTest::temporaryCopyGoesWithTheWindow()
{
    fixture::TempDir dir;
    const std::string zip = dir.file("game.zip");
    testzip::writeZip(zip, {testzip::Entry::file("game.nds", image("GAME"))});
    // A 7z is dropped (the drop rule takes ".7z" in any case) and copied out like a zip.
    const std::string sevenZip = dir.file("SOLID.7Z");
    fixture::writeFile(sevenZip,
                       testzip::buildSevenZip({testzip::Entry::file("notes.txt", "n"),
                                               testzip::Entry::file("solid.nds", image("SOLID"))},
                                              "lzma2"));
    for (const std::string& archive : {zip, sevenZip}) {
        std::string copy;
        {
            Window w;
            if (archive == sevenZip)
                QVERIFY(w.drop({q(archive)}));
            else
                w.open(archive);
            QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
            QVERIFY(w.form->imageLoaded());
            QCOMPARE(w.text("IntNameEdit"),
                     archive == sevenZip ? QStringLiteral("SOLID") : QStringLiteral("GAME"));
            copy = w.form->tempImagePath();
            QVERIFY(std::filesystem::exists(copy));
        }
        QVERIFY(!std::filesystem::exists(copy));
        QVERIFY(cacheContents().isEmpty());
    }
    // After a plain image nothing is deleted.
    const std::string plain = writeImage(dir, "plain.nds", sampleImage());
    {
        Window w;
        w.open(plain);
    }
    QVERIFY(std::filesystem::exists(plain));
}

void ArchiveInputTest::hostileMemberNamesStayInside()
{
    fixture::TempDir dir;
    const std::string base = cartscope::archive::extractionBase();
    for (const std::string name : {"../../evil.nds", "..\\..\\evil.nds", "/abs/evil.nds"}) {
        const std::string zip = dir.file("evil.zip");
        testzip::writeZip(zip, {testzip::Entry::file(name, image("EVIL"))});
        Window w;
        w.open(zip);
        QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
        QCOMPARE(w.text("IntNameEdit"), QStringLiteral("EVIL"));
        const std::string copy = w.form->tempImagePath();
        QVERIFY2(copy.rfind(base + "/", 0) == 0, copy.c_str());
        QVERIFY(copy.find("/../") == std::string::npos);
        QCOMPARE(cacheContents().size(), 1);
        // Nothing landed beside or above the extraction folder.
        const auto parent = std::filesystem::path(base).parent_path();
        QVERIFY(!std::filesystem::exists(parent / "evil.nds"));
        QVERIFY(!std::filesystem::exists(parent.parent_path() / "evil.nds"));
    }
}

void ArchiveInputTest::droppedArchiveIsReadOnceTheDropIsDone()
{
    // The drag source waits until the drop event has been handled; an archive's extraction
    // (which lets input run) starts only after that, never inside the drop.
    fixture::TempDir dir;
    const std::string zip = dir.file("game.zip");
    testzip::writeZip(zip, {testzip::Entry::file("game.nds", image("GAME"))});
    Window w;
    w.form->show();
    bool dropDone = false;
    QList<bool> doneAtProgress;
    QObject::connect(w.form.get(), &cartscope::app::TForm1::zipProgress,
                     [&](int) { doneAtProgress << dropDone; });
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(q(zip))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.form.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.form.get(), &drop);
    dropDone = true;
    QTRY_VERIFY(w.form->imageLoaded());
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("GAME"));
    QVERIFY(!doneAtProgress.isEmpty());
    QVERIFY(!doneAtProgress.contains(false));
    QVERIFY(w.dialogs->calls.empty());
}

QTEST_MAIN(ArchiveInputTest)
#include "archive_input_test.moc"
