// The window as it comes up, its layout, ClearInfo and the enabling of the save controls.

#include <map>
#include <utility>

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyleOptionFrame>
#include <QTabBar>
#include <QTabWidget>
#include <QTextEdit>
#include <QToolButton>
#include <QTreeWidget>

#include "app/icon_view.h"
#include "app/progress_dialog.h"
#include "tests/app/window_fixture.h"

using namespace cartscope::apptest;

class WindowStateTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initialState();
    void layoutFitsEveryCaptionAndValue();
    void loadEnablesSaveControlsAndClearInfoKeepsChoices();
    void secondOpenClearsBeforeNewValues();
    void aScreenTooSmallScrollsTheContent();
};

void WindowStateTest::initialState()
{
    Window w;
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Cartscope v1.7"));
    QVERIFY(w.form->acceptDrops());
    QCOMPARE(w.form->minimumSize(), w.form->maximumSize()); // fixed size
    QVERIFY(!(w.form->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.form->windowFlags() & Qt::WindowMinimizeButtonHint);

    // Every named control is there.
    for (const char* name :
         {"FNameEdit",           "IntNameEdit",         "FileSizeEdit",       "SerialEdit",
          "CardSizeEdit",        "CRC32Edit",           "MakerCodeEdit",      "MakerNameEdit",
          "BadDumpCodeEdit",     "DeviceCodeEdit",      "VersionCodeEdit",    "UnitCodeEdit",
          "ExpSecAreaCRC16Edit", "ActSecAreaCRC16Edit", "SecAreaCheckEdit",   "ExpLogoCRC16Edit",
          "ActLogoCRC16Edit",    "LogoCheckEdit",       "ExpHeaderCRC16Edit", "ActHeaderCRC16Edit",
          "HeaderCheckEdit"}) {
        QLineEdit* edit = w.child<QLineEdit>(name);
        QVERIFY2(edit->text().isEmpty(), name);
        // Read-only everywhere except the bad-dump field.
        QCOMPARE(edit->isReadOnly(), QByteArray(name) != "BadDumpCodeEdit");
        QCOMPARE(edit->palette().color(QPalette::Base), w.form->palette().color(QPalette::Button));
    }
    QVERIFY(w.child<QPlainTextEdit>("OutputTntMemo")->isHidden());

    auto* open = w.child<QToolButton>("OpenRomSpeedButton");
    QCOMPARE(open->text(), QStringLiteral("..."));
    QVERIFY(open->isEnabled());
    QCOMPARE(open->focusPolicy(), Qt::NoFocus);

    const auto* saveInfo = w.child<QPushButton>("SaveInfoButton");
    const auto* toFile = w.child<QRadioButton>("SaveToFileRadioButton");
    const auto* toClip = w.child<QRadioButton>("SaveToClipRadioButton");
    const auto* saveIcon = w.child<QPushButton>("SaveIconButton");
    const auto* transparency = w.child<QCheckBox>("IconTransparencyCheckBox");
    QCOMPARE(saveInfo->text(), QStringLiteral("Save Info To:"));
    QCOMPARE(toFile->text(), QStringLiteral("Text File"));
    QCOMPARE(toClip->text(), QStringLiteral("Clipboard"));
    QCOMPARE(saveIcon->text(), QStringLiteral("Save Icon As File"));
    QCOMPARE(transparency->text(), QStringLiteral("Show Icon Transparency"));
    for (const QWidget* c :
         std::initializer_list<const QWidget*>{saveInfo, toFile, toClip, saveIcon, transparency})
        QVERIFY2(!c->isEnabled(), qPrintable(c->objectName()));
    QVERIFY(toFile->isChecked());
    QVERIFY(!toClip->isChecked());
    QVERIFY(!transparency->isChecked());
    QVERIFY(!w.child<cartscope::app::IconView>("IconImage")->hasPicture());
    QCOMPARE(w.child<cartscope::app::IconView>("IconImage")->size(), QSize(32, 32));

    auto* pages = w.child<QTabWidget>("PageControl");
    QCOMPARE(pages->count(), 5);
    QCOMPARE(pages->tabText(0), QStringLiteral("Rom Info"));
    QCOMPARE(pages->tabText(1), QStringLiteral("File System Info"));
    QCOMPARE(pages->tabText(2), QStringLiteral("Verification"));
    QCOMPARE(pages->tabText(3), QStringLiteral("DSi"));
    QCOMPARE(pages->tabText(4), QStringLiteral("Changes"));
    QCOMPARE(pages->currentIndex(), 0);

    auto* languages = w.child<QTabWidget>("LangPageControl");
    const QStringList expected = {"Japanese", "English", "French",  "German",
                                  "Italian",  "Spanish", "Chinese", "Korean"};
    QCOMPARE(languages->count(), 8);
    for (int i = 0; i < 8; ++i) {
        QCOMPARE(languages->tabText(i), expected[i]);
        auto* view = w.child<QTextEdit>(qPrintable(QStringLiteral("Lang%1TntRichEdit").arg(i + 1)));
        QCOMPARE(view->parentWidget(), languages->widget(i));
        QVERIFY(view->isReadOnly());
        QCOMPARE(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    }
    QCOMPARE(languages->tabText(languages->currentIndex()), QStringLiteral("English"));

    auto* list = w.child<QTreeWidget>("FSListView");
    QCOMPARE(list->columnCount(), 3);
    QCOMPARE(list->headerItem()->text(0), QStringLiteral("Filename"));
    QCOMPARE(list->headerItem()->text(1), QStringLiteral("Offset"));
    QCOMPARE(list->headerItem()->text(2), QStringLiteral("Filesize"));
    QVERIFY(!list->isSortingEnabled());
    QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(list->topLevelItemCount(), 0);
    // Column widths keep their 246 : 75 : 75 proportion.
    QVERIFY(list->columnWidth(0) >= 246 && list->columnWidth(1) >= 75);
    QCOMPARE(list->columnWidth(1), list->columnWidth(2));
    auto* menu = w.child<QMenu>("FilesPopupMenu");
    // "Extract This File", "Show NARC Contents" for rows that are NARC archives, "Show Sound
    // Archive" for sound archives, "Preview", "Replace File…"; after a separator the option
    // "Decompress When Extracting", unticked.
    QCOMPARE(menu->actions().size(), 7);
    QCOMPARE(menu->actions().front()->objectName(), QStringLiteral("ExtractThisFile1"));
    QCOMPARE(menu->actions().front()->text(), QStringLiteral("Extract This File"));
    QCOMPARE(menu->actions().at(1)->objectName(), QStringLiteral("ShowNarcContents1"));
    QCOMPARE(menu->actions().at(2)->objectName(), QStringLiteral("ShowSoundArchive1"));
    QCOMPARE(menu->actions().at(3)->objectName(), QStringLiteral("PreviewFile1"));
    QCOMPARE(menu->actions().at(4)->objectName(), QStringLiteral("ReplaceFile1"));
    QVERIFY(menu->actions().at(5)->isSeparator());
    QCOMPARE(menu->actions().back()->objectName(), QStringLiteral("DecompressWhenExtracting1"));
    QCOMPARE(menu->actions().back()->text(), QStringLiteral("Decompress When Extracting"));
    QVERIFY(menu->actions().back()->isCheckable() && !menu->actions().back()->isChecked());
    QCOMPARE(w.child<QPushButton>("ExtractFileButton")->text(),
             QStringLiteral("Extract Selected File"));
    QCOMPARE(w.child<QPushButton>("ExtractAllButton")->text(),
             QStringLiteral("Extract Rom Contents"));
    QVERIFY(!w.child<QPushButton>("ExtractFileButton")->isEnabled());
    QVERIFY(!w.child<QPushButton>("ExtractAllButton")->isEnabled());

    QVERIFY(w.child<QFrame>("ExtProgressPanel")->isHidden());
    QCOMPARE(w.child<QLabel>("ExtProgressLabel")->text(),
             QStringLiteral("Please Wait, Extracting File..."));
    QCOMPARE(w.child<QProgressBar>("ExtProgressBar")->maximum(), 100);
    QCOMPARE(w.child<QPushButton>("ExtCancelButton")->text(), QStringLiteral("&Cancel"));

    cartscope::app::TForm2* progress = w.form->progressDialog();
    QVERIFY(progress->isHidden());
    QVERIFY(!progress->isModal());
    QCOMPARE(progress->windowTitle(), QStringLiteral("Extracting..."));
    QCOMPARE(progress->Button1->text(), QStringLiteral("Cancel"));
    QCOMPARE(progress->objectName(), QStringLiteral("TForm2"));
    QVERIFY(progress->findChild<QLabel*>(QStringLiteral("ExtFileStaticText")));
    QVERIFY(progress->findChild<QLabel*>(QStringLiteral("ToFileStaticText")));
    QVERIFY(progress->findChild<QProgressBar*>(QStringLiteral("ExtProgBar")));
    QVERIFY(!w.form->imageLoaded());
}

// No caption is clipped and the typical values fit their fields, whatever the font (this test
// also runs with a 144-dpi font). A control lies inside its parent, and the groups and pages
// hold their controls.
void WindowStateTest::layoutFitsEveryCaptionAndValue()
{
    fixture::TempDir dir;
    Window w;
    w.open(writeImage(dir, "game.nds", sampleImage("ABCDEFGHIJKL").deviceCapacity(0x0C)));
    QVERIFY(w.form->imageLoaded());
    w.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.form.get()));

    QList<QWidget*> all = w.form->findChildren<QWidget*>();
    all += w.form->progressDialog()->findChildren<QWidget*>();
    for (QWidget* c : all) {
        const QString name = c->objectName() + QLatin1Char('/') + c->metaObject()->className();
        if (qobject_cast<QLabel*>(c) || qobject_cast<QAbstractButton*>(c)) {
            if (c->parentWidget() && c->parentWidget()->inherits("QTabBar"))
                continue; // the tab bar's scroll buttons
            if (auto* label = qobject_cast<QLabel*>(c); label && label->text().isEmpty())
                continue;
            QVERIFY2(c->width() >= c->sizeHint().width(), qPrintable(name));
            QVERIFY2(c->height() >= c->minimumSizeHint().height(), qPrintable(name));
        }
        if (auto* edit = qobject_cast<QLineEdit*>(c)) {
            if (edit->objectName() == QLatin1String("FNameEdit") ||
                edit->objectName() == QLatin1String("MakerNameEdit"))
                continue; // paths and publisher names have any length; the edit scrolls
            QStyleOptionFrame option;
            option.initFrom(edit);
            const QRect contents =
                edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
            const int needed = edit->fontMetrics().horizontalAdvance(edit->text()) + 2 * 2;
            QVERIFY2(needed <= contents.width(),
                     qPrintable(name + QLatin1Char(' ') + edit->text()));
        }
        if (auto* tabs = qobject_cast<QTabWidget*>(c)) {
            // Every tab shows without scroll buttons.
            QVERIFY2(tabs->tabBar()->width() >= tabs->tabBar()->sizeHint().width(),
                     qPrintable(name));
        }
        if (c->parentWidget() && !c->isWindow() && c->isVisibleTo(c->parentWidget()) &&
            !c->parentWidget()->inherits("QTabBar") &&
            !c->parentWidget()->inherits("QAbstractScrollArea") && !c->inherits("QScrollBar") &&
            !c->parentWidget()->inherits("QStackedWidget") && c != w.form->content()) {
            QVERIFY2(c->parentWidget()->rect().contains(c->geometry()), qPrintable(name));
        }
    }
    // The window fits its screen's available area (at 144 dpi the offscreen screen's 800 x 600
    // is too small for the design: the content scrolls).
    const QRect available = w.form->screen()->availableGeometry();
    QVERIFY(w.form->width() <= available.width() && w.form->height() <= available.height());
    // A group's title lies above its first row.
    for (QGroupBox* group : w.form->findChildren<QGroupBox*>()) {
        int top = INT_MAX;
        for (QWidget* c : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            top = std::min(top, c->y());
        QVERIFY2(top >= group->fontMetrics().height(), qPrintable(group->objectName()));
    }
    if (qEnvironmentVariableIsSet("CARTSCOPE_TEST_GRAB")) {
        const QString base = qEnvironmentVariable("CARTSCOPE_TEST_GRAB");
        w.form->grab().save(base + QStringLiteral("-rominfo.png"));
        w.child<QTabWidget>("PageControl")->setCurrentIndex(1);
        w.form->grab().save(base + QStringLiteral("-files.png"));
        w.form->progressDialog()->start(3);
        w.form->progressDialog()->showFile("MYGAME/data/sound/bgm.sdat",
                                           "/home/user/out/MYGAME/data/sound/bgm.sdat");
        w.form->progressDialog()->grab().save(base + QStringLiteral("-progress.png"));
        w.form->progressDialog()->finish();
    }
}

void WindowStateTest::loadEnablesSaveControlsAndClearInfoKeepsChoices()
{
    fixture::TempDir dir;
    Window w;
    w.open(writeImage(dir, "game.nds", sampleImage()));
    QVERIFY(w.dialogs->errors.isEmpty());
    QVERIFY(w.form->imageLoaded());
    auto* toClip = w.child<QRadioButton>("SaveToClipRadioButton");
    auto* transparency = w.child<QCheckBox>("IconTransparencyCheckBox");
    for (const char* name :
         {"SaveInfoButton", "SaveToFileRadioButton", "SaveToClipRadioButton", "SaveIconButton"})
        QVERIFY2(w.child<QWidget>(name)->isEnabled(), name);
    // The sample icon has index-0 pixels: the box is checked and enabled.
    QVERIFY(transparency->isChecked());
    QVERIFY(transparency->isEnabled());

    toClip->click();
    transparency->click(); // now unchecked
    QVERIFY(!transparency->isChecked());
    auto* badDump = w.child<QLineEdit>("BadDumpCodeEdit");
    QCOMPARE(badDump->palette().color(QPalette::Base), QColor(192, 255, 192));

    w.form->ClearInfo();
    QVERIFY(toClip->isChecked());
    QVERIFY(!w.child<QRadioButton>("SaveToFileRadioButton")->isChecked());
    QVERIFY(!transparency->isChecked());
    QVERIFY(!transparency->isEnabled());
    for (const char* name :
         {"SaveInfoButton", "SaveToFileRadioButton", "SaveToClipRadioButton", "SaveIconButton"})
        QVERIFY2(!w.child<QWidget>(name)->isEnabled(), name);
    QVERIFY(w.text("FNameEdit").isEmpty());
    QVERIFY(w.text("IntNameEdit").isEmpty());
    QVERIFY(w.text("HeaderCheckEdit").isEmpty());
    QCOMPARE(badDump->palette().color(QPalette::Base), w.form->palette().color(QPalette::Button));
    QVERIFY(!w.child<cartscope::app::IconView>("IconImage")->hasPicture());
    QVERIFY(w.child<QTextEdit>("Lang2TntRichEdit")->toPlainText().isEmpty());
    // ClearInfo leaves the list alone.
    QVERIFY(w.child<QTreeWidget>("FSListView")->topLevelItemCount() > 0);

    w.form->ClearInfo();
    transparency->setChecked(true);
    QVERIFY(transparency->isChecked()); // still only disabled, never unchecked by ClearInfo
}

void WindowStateTest::secondOpenClearsBeforeNewValues()
{
    fixture::TempDir dir;
    Window w;
    w.open(writeImage(dir, "one.nds", sampleImage("FIRST")));
    QCOMPARE(w.text("IntNameEdit"), QStringLiteral("FIRST"));
    // The second file is too short: the first file's values must not survive the failed load.
    const std::string shortFile = dir.file("short.nds");
    fixture::writeFile(shortFile, Bytes(0x7FFF, 0));
    w.open(shortFile);
    QCOMPARE(w.dialogs->errors, QStringList{QStringLiteral("Stream read error.")});
    QCOMPARE(w.text("FNameEdit"), q(shortFile));
    QVERIFY(w.text("IntNameEdit").isEmpty());
    QVERIFY(w.text("CRC32Edit").isEmpty());
    QVERIFY(!w.child<QWidget>("SaveInfoButton")->isEnabled());
    QCOMPARE(w.child<QTreeWidget>("FSListView")->topLevelItemCount(), 0);
    QVERIFY(!w.child<QWidget>("ExtractAllButton")->isEnabled());
}

// The layout stays as designed; a window that does not fit the screen's available area takes
// what it can have and its content scrolls.
void WindowStateTest::aScreenTooSmallScrollsTheContent()
{
    Window w;
    w.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.form.get()));
    QWidget* content = w.form->content();
    auto* scroll = w.child<QScrollArea>("ContentScrollArea");
    const QSize design = content->size();
    std::map<QWidget*, QRect> placed;
    for (QWidget* c : content->findChildren<QWidget*>())
        placed[c] = c->geometry();
    const auto layoutKept = [&] {
        if (content->size() != design)
            return false;
        for (const auto& [c, rect] : placed)
            if (c->geometry() != rect)
                return false;
        return true;
    };
    const auto bars = [scroll] {
        return std::pair(scroll->horizontalScrollBar()->isVisible(),
                         scroll->verticalScrollBar()->isVisible());
    };

    // Room to spare: the window is the design's size, nothing scrolls.
    w.form->fitInto(QRect(0, 0, 4000, 3000));
    QCOMPARE(w.form->size(), design);
    QCOMPARE(w.form->minimumSize(), w.form->maximumSize());
    QCOMPARE(bars(), std::pair(false, false));

    // Too low: as high as the area allows (less the frame), as wide as the content and its
    // vertical scroll bar; the bottom of the pages ("Show System Files") scrolls into view.
    w.form->fitInto(QRect(0, 0, 4000, 400));
    QVERIFY(w.form->height() < 400 && w.form->height() > 300);
    QVERIFY(w.form->width() > design.width());
    QCOMPARE(bars(), std::pair(false, true));
    QVERIFY(layoutKept());
    QScrollBar* vertical = scroll->verticalScrollBar();
    vertical->setValue(vertical->maximum());
    QCOMPARE(content->mapTo(scroll->viewport(), QPoint(0, design.height())).y(),
             scroll->viewport()->height());

    // Too small both ways: both scroll bars, the window within the area.
    w.form->fitInto(QRect(100, 50, 300, 250));
    QVERIFY(w.form->width() <= 300 && w.form->height() <= 250);
    QCOMPARE(bars(), std::pair(true, true));
    QVERIFY(layoutKept());
    QCOMPARE(w.form->minimumSize(), w.form->maximumSize());

    // And back.
    w.form->fitInto(QRect(0, 0, 4000, 3000));
    QCOMPARE(w.form->size(), design);
    QCOMPARE(bars(), std::pair(false, false));
    QVERIFY(layoutKept());
}

QTEST_MAIN(WindowStateTest)
#include "window_state_test.moc"
