// The DSi-era additions of the window: the Chinese and Korean tabs, the animated icon and its
// export, and the "DSi" page.

#include <QCheckBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>

#include "app/icon_view.h"
#include "tests/app/window_fixture.h"

using namespace cartscope::apptest;

namespace {

constexpr std::uint16_t token(int ticks, int bitmap, int palette, bool flipH)
{
    return static_cast<std::uint16_t>(ticks | (bitmap << 8) | (palette << 11) |
                                      (flipH ? 0x4000 : 0));
}

fixture::VersionedBanner animatedBanner()
{
    fixture::VersionedBanner v;
    v.version = 0x0103;
    v.base = fixture::sampleBanner();
    v.chinese = u"\u5361\u5E26";
    v.korean = u"\uCE74\n\uD2B8";
    for (std::size_t b = 0; b < 8; ++b) {
        // Bitmap b: index b + 1 everywhere but the top-left pixel (index 0).
        const auto fill = static_cast<std::uint8_t>((b + 1) | ((b + 1) << 4));
        v.animation.bitmaps[b].fill(fill);
        fixture::setIconIndex(v.animation.bitmaps[b], 0, 0, 0);
        for (std::size_t c = 0; c < 16; ++c)
            v.animation.palettes[b][c] = static_cast<std::uint16_t>(c | (b << 10));
    }
    v.animation.sequence = {token(3, 0, 0, false), token(0, 1, 2, true), token(9, 2, 4, false)};
    return v;
}

ImageBuilder dsiImage(fixture::VersionedBanner banner = animatedBanner())
{
    ImageBuilder b = sampleImage("DSIGAME");
    b.unitCode(0x03).rawBanner(fixture::bannerBlock(banner));
    b.poke32(0x1B0, 0x00000003).poke8(0x1BF, 0x01);
    b.poke32(0x230, 0x4542414B).poke32(0x234, 0x00030004);
    b.poke8(0x2F0, 0x8C);
    return b;
}

// The page's rows as "group/field" -> item.
QTreeWidgetItem* row(QTreeWidget* view, const QString& field)
{
    for (int g = 0; g < view->topLevelItemCount(); ++g) {
        QTreeWidgetItem* group = view->topLevelItem(g);
        for (int i = 0; i < group->childCount(); ++i)
            if (group->child(i)->text(0) == field)
                return group->child(i);
    }
    return nullptr;
}

} // namespace

class DsiWindowTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void chineseAndKoreanTabsFollowTheSix();
    void animatedIconPlaysAndStops();
    void saveIconAlsoWritesTheAnimatedPng();
    void dsiPageShowsFieldsAndColouredCrcs();
    void dsOnlyImageSaysSoAndShowsItsBannerCrcs();
    void nextOpenClearsEverything();
};

void DsiWindowTest::chineseAndKoreanTabsFollowTheSix()
{
    fixture::TempDir dir;
    Window w;
    w.open(writeImage(dir, "game.dsi", dsiImage()));
    QVERIFY(w.form->imageLoaded());
    auto* languages = w.child<QTabWidget>("LangPageControl");
    QCOMPARE(languages->tabText(6), QStringLiteral("Chinese"));
    QCOMPARE(languages->tabText(7), QStringLiteral("Korean"));
    auto* chinese = w.child<QTextEdit>("Lang7TntRichEdit");
    auto* korean = w.child<QTextEdit>("Lang8TntRichEdit");
    QCOMPARE(chinese->parentWidget(), languages->widget(6));
    QVERIFY(chinese->isReadOnly());
    QCOMPARE(chinese->toPlainText(), QString::fromStdU16String(u"\u5361\u5E26"));
    QCOMPARE(korean->toPlainText(), QString::fromStdU16String(u"\uCE74\n\uD2B8"));
    QCOMPARE(w.child<QTextEdit>("Lang2TntRichEdit")->toPlainText(),
             QStringLiteral("Cartscope Sample\nHomebrew Test Image"));

    // An invisible format character is shown as a mark, as in the six.
    fixture::VersionedBanner marked = animatedBanner();
    marked.korean = u"A\u202EB";
    Window m;
    m.open(writeImage(dir, "marked.dsi", dsiImage(marked)));
    QCOMPARE(m.child<QTextEdit>("Lang8TntRichEdit")->toPlainText(),
             QString::fromStdU16String(u"A\u27E8U+202E\u27E9B"));

    // A version 1 banner has no such slots: the tabs are there and empty.
    Window plain;
    plain.open(writeImage(dir, "old.nds", sampleImage()));
    QVERIFY(plain.form->imageLoaded());
    QVERIFY(plain.child<QTextEdit>("Lang7TntRichEdit")->toPlainText().isEmpty());
    QVERIFY(plain.child<QTextEdit>("Lang8TntRichEdit")->toPlainText().isEmpty());
}

void DsiWindowTest::animatedIconPlaysAndStops()
{
    fixture::TempDir dir;
    Window w;
    auto* animate = w.child<QCheckBox>("IconAnimateCheckBox");
    auto* transparency = w.child<QCheckBox>("IconTransparencyCheckBox");
    QCOMPARE(animate->text(), QStringLiteral("Animate"));
    QVERIFY(!animate->isEnabled());
    QVERIFY(!animate->isChecked());

    w.open(writeImage(dir, "game.dsi", dsiImage()));
    auto* icon = w.child<cartscope::app::IconView>("IconImage");
    QVERIFY(animate->isEnabled());
    QVERIFY(animate->isChecked());
    QVERIFY(icon->isAnimating());
    QCOMPARE(icon->animation().size(), std::size_t{3});
    QVERIFY(transparency->isChecked()); // the still icon has index-0 pixels

    // Frame 0: bitmap 0 (index 1) in palette 0, top-left clear while transparent.
    const auto colour = [](int index, int palette) {
        return qRgb((index & 31) * 8, 0, palette * 8);
    };
    // Loading runs the event loop, so on a busy machine the timer may already have moved the
    // sequence on; step it round to frame 0 (no events run from here to the timer check).
    for (int i = 0; i < 3 && icon->currentFrame() != 0; ++i)
        icon->advanceFrame();
    QCOMPARE(icon->currentFrame(), std::size_t{0});
    QImage shown = icon->shownImage();
    QCOMPARE(shown.pixel(5, 5), colour(1, 0));
    QCOMPARE(qAlpha(shown.pixel(0, 0)), 0);
    // Frame 1: bitmap 1 (index 2), palette 2, mirrored: the clear pixel moves to the right.
    icon->advanceFrame();
    shown = icon->shownImage();
    QCOMPARE(shown.pixel(5, 5), colour(2, 2));
    QCOMPARE(qAlpha(shown.pixel(31, 0)), 0);
    QCOMPARE(qAlpha(shown.pixel(0, 0)), 255);
    // Opaque view: index 0 is drawn in its palette colour.
    transparency->setChecked(false);
    QCOMPARE(icon->shownImage().pixel(31, 0), colour(0, 2));
    transparency->setChecked(true);
    icon->advanceFrame();
    icon->advanceFrame();
    QCOMPARE(icon->currentFrame(), std::size_t{0}); // the sequence loops

    // The timer moves the frames on by itself.
    QTRY_COMPARE_WITH_TIMEOUT(icon->currentFrame(), std::size_t{1}, 15000);

    // Unchecked: the still icon again, exactly as the design's view shows it.
    animate->setChecked(false);
    QVERIFY(!icon->isAnimating());
    QCOMPARE(icon->shownImage().pixel(1, 1),
             qRgb(icon->picture()->at(1, 1).r, icon->picture()->at(1, 1).g,
                  icon->picture()->at(1, 1).b));
    animate->setChecked(true);
    QVERIFY(icon->isAnimating());

    // A still banner: nothing to animate, the box is off and disabled.
    w.open(writeImage(dir, "old.nds", sampleImage()));
    QVERIFY(!animate->isEnabled());
    QVERIFY(!animate->isChecked());
    QVERIFY(!icon->hasAnimation());
    QVERIFY(!icon->isAnimating());
}

void DsiWindowTest::saveIconAlsoWritesTheAnimatedPng()
{
    fixture::TempDir dir;
    Window w;
    w.open(writeImage(dir, "game.dsi", dsiImage()));
    w.dialogs->saveAnswers.push_back(q(dir.file("out/icon.png")));
    std::filesystem::create_directory(dir.file("out"));
    w.child<QPushButton>("SaveIconButton")->click();
    QCOMPARE(w.dialogs->informations, QStringList{QStringLiteral("Icon Saved")});
    QCOMPARE(filesBelow(dir.file("out")),
             (QStringList{"icon-Animated.png", "icon-NoTrans.png", "icon-Trans.png"}));
    const Bytes apng = fixture::readFile(dir.file("out/icon-Animated.png"));
    const std::string all(apng.begin(), apng.end());
    QCOMPARE(all.substr(37, 4), std::string("acTL"));
    QCOMPARE(int(apng[44]), 3);
    QVERIFY(all.find("fdAT") != std::string::npos);

    // A still icon writes no animated file.
    Window plain;
    plain.open(writeImage(dir, "old.nds", sampleImage()));
    std::filesystem::create_directory(dir.file("still"));
    plain.dialogs->saveAnswers.push_back(q(dir.file("still/icon.png")));
    plain.child<QPushButton>("SaveIconButton")->click();
    QCOMPARE(filesBelow(dir.file("still")), (QStringList{"icon-NoTrans.png", "icon-Trans.png"}));
}

void DsiWindowTest::dsiPageShowsFieldsAndColouredCrcs()
{
    fixture::TempDir dir;
    Window w;
    fixture::VersionedBanner banner = animatedBanner();
    Bytes block = fixture::bannerBlock(banner);
    block[0x08] ^= 0x01; // the animated-icon CRC is wrong; the others are right
    ImageBuilder image = dsiImage();
    image.rawBanner(block);
    w.open(writeImage(dir, "game.dsi", image));
    QVERIFY(w.form->imageLoaded());

    auto* pages = w.child<QTabWidget>("PageControl");
    // After "Verification", before "Changes".
    const int dsiPage = pages->indexOf(w.child<QWidget>("DsiTabSheet"));
    QCOMPARE(dsiPage, pages->count() - 2);
    QCOMPARE(pages->tabText(dsiPage), QStringLiteral("DSi"));
    QCOMPARE(pages->tabText(dsiPage - 1), QStringLiteral("Verification"));
    auto* view = w.child<QTreeWidget>("DsiInfoView");
    QCOMPARE(view->parentWidget(), pages->widget(dsiPage));

    QTreeWidgetItem* title = row(view, QStringLiteral("Title ID"));
    QVERIFY(title);
    QCOMPARE(title->text(1), QStringLiteral("000300044542414B (DSiWare)"));
    QCOMPARE(row(view, QStringLiteral("Region"))->text(1), QStringLiteral("00000003: Japan, USA"));
    QCOMPARE(row(view, QStringLiteral("CERO (Japan)"))->text(1), QStringLiteral("age 12"));
    QVERIFY(row(view, QStringLiteral("TWL flags (1BF)"))
                ->text(1)
                .startsWith(QStringLiteral("01: Touchscreen")));
    QCOMPARE(row(view, QStringLiteral("Version"))->text(1), QStringLiteral("0103"));

    const QColor red(192, 0, 0);
    const QColor green(0, 128, 0);
    for (const char* ok : {"CRC-16 020-83F", "CRC-16 020-93F", "CRC-16 020-A3F"}) {
        QTreeWidgetItem* item = row(view, QString::fromLatin1(ok));
        QVERIFY2(item, ok);
        QVERIFY(item->text(1).endsWith(QStringLiteral(": OK")));
        QCOMPARE(item->foreground(1).color(), green);
    }
    QTreeWidgetItem* bad = row(view, QStringLiteral("CRC-16 1240-23BF"));
    QVERIFY(bad);
    QVERIFY(bad->text(1).endsWith(QStringLiteral(": BAD")));
    QCOMPARE(bad->foreground(1).color(), red);
    // A wrong CRC still shows the titles and the animation.
    QCOMPARE(w.child<QTextEdit>("Lang8TntRichEdit")->toPlainText(),
             QString::fromStdU16String(u"\uCE74\n\uD2B8"));
    QVERIFY(w.child<cartscope::app::IconView>("IconImage")->isAnimating());
}

void DsiWindowTest::dsOnlyImageSaysSoAndShowsItsBannerCrcs()
{
    fixture::TempDir dir;
    Window w;
    w.open(writeImage(dir, "old.nds", sampleImage()));
    auto* view = w.child<QTreeWidget>("DsiInfoView");
    QTreeWidgetItem* unit = row(view, QStringLiteral("Unit code"));
    QVERIFY(unit);
    QVERIFY(unit->text(1).contains(QStringLiteral("Not a DSi image")));
    QVERIFY(!row(view, QStringLiteral("Title ID")));
    // The fixture's version 1 banner carries no CRC: shown, and BAD.
    QTreeWidgetItem* crc = row(view, QStringLiteral("CRC-16 020-83F"));
    QVERIFY(crc);
    QVERIFY(crc->text(1).startsWith(QStringLiteral("stored 0000")));
    QCOMPARE(crc->foreground(1).color(), QColor(192, 0, 0));
}

void DsiWindowTest::nextOpenClearsEverything()
{
    fixture::TempDir dir;
    Window w;
    w.open(writeImage(dir, "game.dsi", dsiImage()));
    QVERIFY(w.child<QTreeWidget>("DsiInfoView")->topLevelItemCount() > 0);
    // An image that fails to load leaves nothing of the previous one behind.
    w.open(writeImage(dir, "short.nds", ImageBuilder().totalSize(0x7FFF)));
    QVERIFY(!w.form->imageLoaded());
    QCOMPARE(w.child<QTreeWidget>("DsiInfoView")->topLevelItemCount(), 0);
    QVERIFY(w.child<QTextEdit>("Lang8TntRichEdit")->toPlainText().isEmpty());
    QVERIFY(!w.child<QCheckBox>("IconAnimateCheckBox")->isEnabled());
    QVERIFY(!w.child<cartscope::app::IconView>("IconImage")->isAnimating());
}

QTEST_MAIN(DsiWindowTest)
#include "dsi_window_test.moc"
