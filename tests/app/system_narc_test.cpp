// "Show System Files" on the file list, and the NARC contents dialog.

#include <filesystem>

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTreeWidget>

#include "app/narc_dialog.h"
#include "core/rebuild/build.h"
#include "tests/app/window_fixture.h"

using namespace cartscope::apptest;

namespace {

void clickRow(QTreeWidget* list, int row)
{
    const QRect r = list->visualItemRect(list->topLevelItem(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
}

void clickHeader(QTreeWidget* list, int section)
{
    QHeaderView* header = list->header();
    const QPoint at(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                    header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

QAction* popupAction(Window& w, const char* name)
{
    Q_EMIT w.child<QMenu>("FilesPopupMenu")->aboutToShow();
    return w.child<QAction>(name);
}

ImageBuilder narcImage()
{
    const Bytes inner = fixture::narcArchive({{"deep.bin", fixture::pattern(12, 5)}}, true);
    ImageBuilder b;
    b.title("NARCS").banner(fixture::sampleBanner());
    b.root({Node::dir("a", {Node::file("data.narc",
                                       fixture::narcArchive({{"one.bin", fixture::pattern(40, 1)},
                                                             {"inner.narc", inner}},
                                                            true))}),
            Node::file("x.bin", Bytes{'N', 'O', 'P', 'E'})});
    return b;
}

QList<cartscope::app::NarcDialog*> narcDialogs(Window& w)
{
    return w.form->findChildren<cartscope::app::NarcDialog*>();
}

} // namespace

class SystemNarcTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void showSystemFilesAddsRowsAfterTheTree();
    void extractionIncludesSystemRowsAndRefusesThoseThatDoNotFit();
    void narcContentsDialogListsExtractsAndOpensNested();
};

void SystemNarcTest::showSystemFilesAddsRowsAfterTheTree()
{
    fixture::TempDir dir;
    Window w;
    w.form->show();
    w.child<QTabWidget>("PageControl")->setCurrentIndex(1);
    auto* box = w.child<QCheckBox>("ShowSystemFilesCheckBox");
    QCOMPARE(box->text(), QStringLiteral("Show System Files"));
    QVERIFY(!box->isChecked());
    w.open(writeImage(dir, "g.nds", fixture::systemImage({})));
    auto* list = w.child<QTreeWidget>("FSListView");
    const QStringList tree = column(list, 0);
    QCOMPARE(tree, (QStringList{"/b.txt", "/data/a.bin"}));

    box->setChecked(true);
    const QStringList all = column(list, 0);
    QCOMPARE(all.size(), 11);
    QCOMPARE(all.mid(0, 2), tree);
    QCOMPARE(all[2], QStringLiteral("/[system]/header.bin"));
    QCOMPARE(list->topLevelItem(3)->text(2), QStringLiteral("4108")); // ARM9 with its footer
    QVERIFY(list->topLevelItem(2)->foreground(0) != list->topLevelItem(0)->foreground(0));

    // Sorted by size (descending, the first click on that column): system rows stay last.
    clickHeader(list, 2);
    const QStringList sorted = column(list, 0);
    QCOMPARE(sorted.mid(0, 2), (QStringList{"/data/a.bin", "/b.txt"}));
    QVERIFY(sorted.mid(2).contains(QStringLiteral("/[system]/arm9.bin")));
    QCOMPARE(column(list, 2)[2], QStringLiteral("4108"));

    box->setChecked(false);
    QCOMPARE(column(list, 0), (QStringList{"/data/a.bin", "/b.txt"}));

    // Ticked before a load: the new image's rows come with their system rows.
    box->setChecked(true);
    w.open(writeImage(dir, "h.nds", sampleImage()));
    QVERIFY(column(list, 0).contains(QStringLiteral("/[system]/banner.bin")));
    QCOMPARE(column(list, 0).front(), QStringLiteral("/icon.bin"));
}

void SystemNarcTest::extractionIncludesSystemRowsAndRefusesThoseThatDoNotFit()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    Window w;
    w.form->show();
    w.child<QTabWidget>("PageControl")->setCurrentIndex(1);
    w.child<QCheckBox>("ShowSystemFilesCheckBox")->setChecked(true);
    const ImageBuilder good = fixture::systemImage({});
    const Bytes image = good.build();
    w.open(writeImage(dir, "g.nds", good));
    w.dialogs->folderAnswers = {q(out.path())};
    w.child<QPushButton>("ExtractAllButton")->click();
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    const QStringList files =
        filesBelow(out.path()).filter(QRegularExpression(QStringLiteral("^CARTSCOPE/")));
    QCOMPARE(files.size(), 11);
    // The whole tree with its system files: the layout beside it builds the image back.
    cartscope::core::rebuild::buildImage(out.file("CARTSCOPE"), out.file("built.nds"), {});
    QVERIFY(fixture::readFile(out.file("built.nds")) == image);
    QVERIFY(files.contains(QStringLiteral("CARTSCOPE/[system]/overlay/overlay_0001.bin")));
    QCOMPARE(fixture::readFile(out.file("CARTSCOPE/[system]/header.bin")),
             Bytes(image.begin(), image.begin() + 0x200));

    // ARM7 past the end: the single-file command refuses it before asking for a folder; the
    // whole run stops there with the reason, after the files before it.
    ImageBuilder bad = fixture::systemImage({});
    bad.poke32(0x3C, 0x10000000);
    w.open(writeImage(dir, "bad.nds", bad));
    auto* list = w.child<QTreeWidget>("FSListView");
    clickRow(list, static_cast<int>(column(list, 0).indexOf("/[system]/arm7.bin")));
    const int folders = w.dialogs->count("folder");
    w.child<QPushButton>("ExtractFileButton")->click();
    QCOMPARE(w.dialogs->count("folder"), folders);
    QCOMPARE(w.dialogs->errors.size(), 1);
    QVERIFY2(w.dialogs->errors.front().contains(
                 "Cannot extract \"/[system]/arm7.bin\": its range runs past the end"),
             qPrintable(w.dialogs->errors.front()));
    fixture::TempDir out2;
    w.dialogs->folderAnswers = {q(out2.path())};
    w.child<QPushButton>("ExtractAllButton")->click();
    QCOMPARE(w.dialogs->errors.size(), 2);
    QVERIFY(std::filesystem::exists(out2.file("CARTSCOPE/[system]/arm9.bin")));
    QVERIFY(!std::filesystem::exists(out2.file("CARTSCOPE/[system]/arm7.bin")));
    QVERIFY(!std::filesystem::exists(out2.file("CARTSCOPE.layout")));
}

void SystemNarcTest::narcContentsDialogListsExtractsAndOpensNested()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    Window w;
    w.form->show();
    w.child<QTabWidget>("PageControl")->setCurrentIndex(1);
    w.open(writeImage(dir, "n.nds", narcImage()));
    auto* list = w.child<QTreeWidget>("FSListView");
    clickRow(list, static_cast<int>(column(list, 0).indexOf("/x.bin")));
    QVERIFY(!popupAction(w, "ShowNarcContents1")->isEnabled());
    clickRow(list, static_cast<int>(column(list, 0).indexOf("/a/data.narc")));
    QAction* show = popupAction(w, "ShowNarcContents1");
    QCOMPARE(show->text(), QStringLiteral("Show NARC Contents"));
    QVERIFY(show->isEnabled());
    show->trigger();
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    QCOMPARE(narcDialogs(w).size(), 1);
    auto* dialog = narcDialogs(w).front();
    auto* members = dialog->findChild<QTreeWidget*>("NarcListView");
    QCOMPARE(column(members, 0), (QStringList{"/one.bin", "/inner.narc"}));
    QCOMPARE(column(members, 3), (QStringList{"", "NARC"}));

    w.dialogs->folderAnswers = {q(out.path())};
    dialog->findChild<QPushButton*>("NarcExtractButton")->click();
    QCOMPARE(w.dialogs->last("folder")->text,
             QStringLiteral("A New SubDir 'data' Will Be Created Here"));
    QCOMPARE(filesBelow(out.path()), (QStringList{"data/inner.narc", "data/one.bin"}));
    QCOMPARE(fixture::readFile(out.file("data/one.bin")), fixture::pattern(40, 1));
    QCOMPARE(w.dialogs->informations.back(), QStringLiteral("NARC Extracted"));

    // One level further: the nested archive in a dialog of its own.
    auto* open = dialog->findChild<QPushButton*>("NarcOpenButton");
    QVERIFY(!open->isEnabled());
    members->setCurrentItem(members->topLevelItem(1));
    QVERIFY(open->isEnabled());
    open->click();
    QCOMPARE(narcDialogs(w).size(), 2);
    auto* nested = narcDialogs(w).back();
    QCOMPARE(nested->narc().path, std::string("/a/data.narc/inner.narc"));
    QCOMPARE(column(nested->findChild<QTreeWidget*>("NarcListView"), 0), QStringList{"/deep.bin"});

    // Another image: no dialog is left over it.
    w.open(writeImage(dir, "o.nds", sampleImage()));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(narcDialogs(w).size(), 0);
}

QTEST_MAIN(SystemNarcTest)
#include "system_narc_test.moc"
