// The window's finish: the Open key and first focus, elided fields that keep their values,
// coloured verdicts, the file list's alignment, elision and sort arrow, message boxes as wide
// as their captions, the progress dialog's paths, the question on closing during a job, the
// icon, and no toolkit settings file.

#include <algorithm>
#include <cmath>
#include <filesystem>

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QToolButton>
#include <QToolTip>
#include <QTreeWidget>

#include "app/eliding.h"
#include "app/polish.h"
#include "app/progress_dialog.h"
#include "tests/app/window_fixture.h"
#include "tests/archive/zip_builder.h"

using namespace cartscope::apptest;
using cartscope::app::ElidingLabel;
using cartscope::app::ElidingLineEdit;

namespace {

const QString kEllipsis = QString(QChar(0x2026));

void clickHeader(QTreeWidget* list, int section)
{
    QHeaderView* header = list->header();
    const QPoint at(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                    header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

QColor base(QWidget* w)
{
    return w->palette().color(QPalette::Base);
}

ImageBuilder manyFiles(int count)
{
    std::vector<Node> files;
    for (int i = 0; i < count; ++i)
        files.push_back(Node::file("f" + std::to_string(i) + ".bin", Bytes(64, 0x33)));
    ImageBuilder b;
    b.title("MANY").gameCode("AMNE").banner(fixture::sampleBanner());
    b.root({Node::dir("d", files)});
    return b;
}

} // namespace

class PolishTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void openButtonIsAButtonWithTheOpenKey();
    void firstFocusLetsCtrlTabTurnThePages();
    void clippedFieldsAreElidedButKeepTheirValues();
    void verdictsAreColoured();
    void verdictsReadUnderLightAndDarkPalettes_data();
    void verdictsReadUnderLightAndDarkPalettes();
    void fileListAlignsElidesAndShowsTheSortColumn();
    void messageBoxesAreAsWideAsTheirCaptions();
    void progressDialogElidesLongPaths();
    void closingDuringAJobAsksFirst();
    void closingDuringAnArchiveExtractionCancelsIt();
    void windowHasTheApplicationIcon();
    void fileDialogsWriteNoSettings();

private:
    fixture::TempDir m_config;
};

void PolishTest::initTestCase()
{
    // Qt's settings would go below XDG_CONFIG_HOME: a private one shows whether any appear.
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(m_config.path()));
    cartscope::app::keepNoToolkitSettings();
}

void PolishTest::openButtonIsAButtonWithTheOpenKey()
{
    Window w;
    w.form->show();
    QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
    auto* button = w.child<QToolButton>("OpenRomSpeedButton");
    QVERIFY(!button->autoRaise());
    QCOMPARE(button->focusPolicy(), Qt::NoFocus);
    QCOMPARE(button->shortcut(), QKeySequence(QKeySequence::Open));
    QVERIFY2(button->toolTip().contains(QStringLiteral("Ctrl+O")), qPrintable(button->toolTip()));
    QTest::keyClick(w.form.get(), Qt::Key_O, Qt::ControlModifier);
    QTRY_COMPARE(w.dialogs->count("open"), 1);
    // Disabled (as during a job), the key does nothing.
    button->setEnabled(false);
    QTest::keyClick(w.form.get(), Qt::Key_O, Qt::ControlModifier);
    QTest::qWait(50);
    QCOMPARE(w.dialogs->count("open"), 1);
}

void PolishTest::firstFocusLetsCtrlTabTurnThePages()
{
    Window w;
    w.form->show();
    QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
    QWidget* focus = QApplication::focusWidget();
    QVERIFY(focus);
    QVERIFY(focus != w.child<QLineEdit>("FNameEdit"));
    auto* pages = w.child<QTabWidget>("PageControl");
    QVERIFY(focus == pages || pages->isAncestorOf(focus));
    QCOMPARE(pages->currentIndex(), 0);
    QTest::keyClick(focus, Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(pages->currentIndex(), 1);
}

void PolishTest::clippedFieldsAreElidedButKeepTheirValues()
{
    fixture::TempDir dir;
    Window w;
    w.form->show();
    // The longest publisher name of the table.
    w.open(writeImage(dir, std::string(120, 'p') + ".nds", sampleImage().makerCode("3C")));
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    const QString publisher = QStringLiteral("Entertainment International/Empire Software");
    auto* maker = qobject_cast<ElidingLineEdit*>(w.child<QLineEdit>("MakerNameEdit"));
    QVERIFY(maker);
    QCOMPARE(maker->text(), publisher);
    QVERIFY(maker->isClipped());
    QVERIFY(maker->shownText().endsWith(kEllipsis));
    QVERIFY(publisher.startsWith(maker->shownText().chopped(1)));

    // The path is cut in the middle: its file name stays in view.
    auto* path = qobject_cast<ElidingLineEdit*>(w.child<QLineEdit>("FNameEdit"));
    QVERIFY(path->isClipped());
    QVERIFY(path->shownText().contains(kEllipsis));
    QVERIFY(path->shownText().endsWith(QStringLiteral("p.nds")));
    QVERIFY(path->shownText().startsWith(q(dir.path()).left(4)));

    // A value that fits is drawn whole, with no tool tip of its own.
    auto* serial = qobject_cast<ElidingLineEdit*>(w.child<QLineEdit>("SerialEdit"));
    QVERIFY(!serial->isClipped());
    QCOMPARE(serial->shownText(), serial->text());

    // The tool tip shows the whole value, as plain text.
    QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), maker->mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(maker, &help);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), cartscope::app::plainToolTip(publisher));
    QToolTip::hideText();
    QCOMPARE(cartscope::app::plainToolTip(QStringLiteral("<img src=\"/dev/zero\">&")),
             QStringLiteral("<p style='white-space:pre'>&lt;img src=&quot;/dev/zero&quot;&gt;"
                            "&amp;</p>"));

    // The report says the loaded value, not the shown one.
    w.child<QRadioButton>("SaveToClipRadioButton")->setChecked(true);
    w.child<QPushButton>("SaveInfoButton")->click();
    const QString report = QGuiApplication::clipboard()->text();
    QVERIFY2(report.contains(publisher), qPrintable(report));
    QVERIFY(!report.contains(kEllipsis));
}

void PolishTest::verdictsAreColoured()
{
    fixture::TempDir dir;
    Window w;
    const QColor face = w.child<QLineEdit>("SerialEdit")->palette().color(QPalette::Base);
    const QColor green(192, 255, 192);
    const QColor red(255, 192, 192);
    for (const char* name : {"SecAreaCheckEdit", "LogoCheckEdit", "HeaderCheckEdit"})
        QCOMPARE(base(w.child<QLineEdit>(name)), face);

    w.open(writeImage(dir, "good.nds", sampleImage()));
    for (const char* name : {"SecAreaCheckEdit", "LogoCheckEdit", "HeaderCheckEdit"}) {
        QCOMPARE(w.text(name), QStringLiteral("OK"));
        QCOMPARE(base(w.child<QLineEdit>(name)), green);
    }
    // A stored header CRC-16 that does not match: that verdict alone turns red.
    w.open(writeImage(dir, "bad.nds", sampleImage().stampCrcs(false)));
    QCOMPARE(w.text("HeaderCheckEdit"), QStringLiteral("BAD"));
    QCOMPARE(base(w.child<QLineEdit>("HeaderCheckEdit")), red);
    // Cleared with the display (a file too short to read).
    fixture::writeFile(dir.file("short.nds"), Bytes(100, 0));
    w.open(dir.file("short.nds"));
    for (const char* name : {"SecAreaCheckEdit", "LogoCheckEdit", "HeaderCheckEdit"}) {
        QVERIFY(w.text(name).isEmpty());
        QCOMPARE(base(w.child<QLineEdit>(name)), face);
    }
}

namespace {

// WCAG 2 contrast ratio of two colours.
double contrast(const QColor& a, const QColor& b)
{
    const auto luminance = [](const QColor& c) {
        const auto linear = [](double v) {
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QPalette themePalette(const QColor& window, const QColor& base, const QColor& text,
                      const QColor& button)
{
    QPalette p(button, window);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::ButtonText, text);
    return p;
}

QTreeWidgetItem* dsiRow(QTreeWidget* view, const QString& field)
{
    for (int g = 0; g < view->topLevelItemCount(); ++g)
        for (int i = 0; i < view->topLevelItem(g)->childCount(); ++i)
            if (view->topLevelItem(g)->child(i)->text(0) == field)
                return view->topLevelItem(g)->child(i);
    return nullptr;
}

} // namespace

void PolishTest::verdictsReadUnderLightAndDarkPalettes_data()
{
    QTest::addColumn<QPalette>("palette");
    QTest::newRow("light") << themePalette(QColor(239, 240, 241), Qt::white, Qt::black,
                                           QColor(239, 240, 241));
    // Breeze Dark's colours.
    QTest::newRow("dark") << themePalette(QColor(32, 35, 38), QColor(20, 22, 24),
                                          QColor(252, 252, 252), QColor(41, 44, 48));
    // A mid-grey base that neither dark nor light green suits.
    QTest::newRow("grey") << themePalette(QColor(110, 110, 110), QColor(118, 118, 118), Qt::white,
                                          QColor(100, 100, 100));
}

// The verdicts keep their light green and red backgrounds with black text under any palette;
// the DSi page's OK and BAD are coloured for the base they stand on; a cleared field takes the
// palette's text again.
void PolishTest::verdictsReadUnderLightAndDarkPalettes()
{
    QFETCH(QPalette, palette);
    const QPalette before = QApplication::palette();
    QApplication::setPalette(palette);
    struct Restore {
        QPalette p;
        ~Restore() { QApplication::setPalette(p); }
    } restore{before};

    fixture::TempDir dir;
    Window w;
    fixture::VersionedBanner banner;
    banner.version = 2;
    banner.base = fixture::sampleBanner();
    Bytes block = fixture::bannerBlock(banner);
    block[0x04] ^= 0x01; // the CRC over 020-93F is wrong, the one over 020-83F right
    Bytes image = sampleImage().rawBanner(block).build();
    image[0x15E] ^= 0x01; // the stored header CRC-16: BAD, the logo's stays OK
    fixture::writeFile(dir.file("game.nds"), image);
    w.open(dir.file("game.nds"));
    QVERIFY(w.form->imageLoaded());

    const auto readable = [](QWidget* field) {
        const QPalette p = field->palette();
        return contrast(p.color(QPalette::Text), p.color(QPalette::Base)) >= 4.5;
    };
    QCOMPARE(w.text("LogoCheckEdit"), QStringLiteral("OK"));
    QCOMPARE(w.text("HeaderCheckEdit"), QStringLiteral("BAD"));
    QCOMPARE(base(w.child<QLineEdit>("LogoCheckEdit")), QColor(192, 255, 192));
    QCOMPARE(base(w.child<QLineEdit>("HeaderCheckEdit")), QColor(255, 192, 192));
    QVERIFY(!w.text("BadDumpCodeEdit").isEmpty());
    for (const char* name : {"LogoCheckEdit", "HeaderCheckEdit", "BadDumpCodeEdit"})
        QVERIFY2(readable(w.child<QLineEdit>(name)), name);

    auto* view = w.child<QTreeWidget>("DsiInfoView");
    const QColor viewBase = view->palette().color(QPalette::Base);
    for (const char* field : {"CRC-16 020-83F", "CRC-16 020-93F"}) {
        QTreeWidgetItem* item = dsiRow(view, QString::fromLatin1(field));
        QVERIFY2(item, field);
        QVERIFY2(contrast(item->foreground(1).color(), viewBase) >= 4.5, field);
    }
    QVERIFY(dsiRow(view, QStringLiteral("CRC-16 020-83F"))->text(1).endsWith(QStringLiteral("OK")));
    QVERIFY(
        dsiRow(view, QStringLiteral("CRC-16 020-93F"))->text(1).endsWith(QStringLiteral("BAD")));
    // OK and BAD stay apart.
    QVERIFY(dsiRow(view, QStringLiteral("CRC-16 020-83F"))->foreground(1).color() !=
            dsiRow(view, QStringLiteral("CRC-16 020-93F"))->foreground(1).color());

    // Cleared, the fields show the palette's text on the button face again.
    fixture::writeFile(dir.file("short.nds"), Bytes(100, 0));
    w.open(dir.file("short.nds"));
    for (const char* name : {"LogoCheckEdit", "HeaderCheckEdit", "BadDumpCodeEdit"}) {
        QLineEdit* field = w.child<QLineEdit>(name);
        QCOMPARE(field->palette().color(QPalette::Text), palette.color(QPalette::Text));
        QCOMPARE(base(field), palette.color(QPalette::Button));
    }
}

void PolishTest::fileListAlignsElidesAndShowsTheSortColumn()
{
    fixture::TempDir dir;
    Window w;
    w.form->show();
    ImageBuilder image = sampleImage();
    const std::string longName(120, 'n');
    image.root(
        {Node::file("short.bin", "x"), Node::dir("folder", {Node::file(longName + ".bin", "y")})});
    w.open(writeImage(dir, "list.nds", image));
    auto* list = w.child<QTreeWidget>("FSListView");
    QCOMPARE(list->topLevelItemCount(), 2);
    auto* delegate = qobject_cast<cartscope::app::FileListDelegate*>(list->itemDelegate());
    QVERIFY(delegate);

    QStyleOptionViewItem plain;
    plain.initFrom(list);
    for (int column : {1, 2}) {
        const QModelIndex index = list->model()->index(0, column);
        QCOMPARE(delegate->cellOption(plain, index).displayAlignment,
                 Qt::AlignRight | Qt::AlignVCenter);
        QCOMPARE(Qt::Alignment(list->headerItem()->textAlignment(column)),
                 Qt::AlignRight | Qt::AlignVCenter);
    }
    const QModelIndex name0 = list->model()->index(0, 0);
    const QModelIndex name1 = list->model()->index(1, 0);
    QCOMPARE(delegate->cellOption(plain, name0).textElideMode, Qt::ElideMiddle);
    const QModelIndex longRow =
        list->topLevelItem(0)->text(0).contains(QStringLiteral("nnn")) ? name0 : name1;
    const QModelIndex shortRow = longRow == name0 ? name1 : name0;
    QVERIFY(delegate->isClipped(list, longRow));
    QVERIFY(!delegate->isClipped(list, shortRow));
    // The row keeps the whole path; only the drawing is cut.
    QCOMPARE(longRow.data().toString(), q("/folder/" + longName + ".bin"));

    // No arrow while the rows are in the image's order; then on the sorted column.
    QHeaderView* header = list->header();
    QVERIFY(header->isSortIndicatorShown());
    QCOMPARE(header->sortIndicatorSection(), -1);
    clickHeader(list, 2);
    QCOMPARE(header->sortIndicatorSection(), 2);
    const Qt::SortOrder first = header->sortIndicatorOrder();
    QCOMPARE(first, w.form->sortState().SortAscending ? Qt::AscendingOrder : Qt::DescendingOrder);
    clickHeader(list, 2);
    QCOMPARE(header->sortIndicatorSection(), 2);
    QVERIFY(header->sortIndicatorOrder() != first);
    QCOMPARE(header->sortIndicatorOrder(),
             w.form->sortState().SortAscending ? Qt::AscendingOrder : Qt::DescendingOrder);
    clickHeader(list, 0);
    QCOMPARE(header->sortIndicatorSection(), 0);
    // A new load shows the rows in the image's order again.
    w.open(writeImage(dir, "again.nds", sampleImage()));
    QCOMPARE(header->sortIndicatorSection(), -1);
}

void PolishTest::messageBoxesAreAsWideAsTheirCaptions()
{
    for (const QString& caption : {QStringLiteral("Information"), QStringLiteral("Cartscope")}) {
        const auto box =
            cartscope::app::makeMessageBox(nullptr, QMessageBox::Information, caption,
                                           QStringLiteral("OK"), QMessageBox::Ok, QMessageBox::Ok);
        box->adjustSize();
        const QFontMetrics metrics(box->font());
        QVERIFY2(box->width() >= metrics.horizontalAdvance(caption) + metrics.height() * 8,
                 qPrintable(QStringLiteral("%1: %2").arg(caption).arg(box->width())));
        QCOMPARE(box->textFormat(), Qt::PlainText);
    }
}

void PolishTest::progressDialogElidesLongPaths()
{
    cartscope::app::TForm2 dialog;
    const QString relative =
        QStringLiteral("/") + QString(150, QLatin1Char('a')) + QStringLiteral("/file.bin");
    const QString full = QStringLiteral("/home/user/out/GAME") + relative;
    dialog.showFile(relative, full);
    auto* to = qobject_cast<ElidingLabel*>(dialog.ToFileStaticText);
    QVERIFY(to);
    QCOMPARE(to->text(), full);
    QVERIFY(to->isClipped());
    QVERIFY(to->shownText().contains(kEllipsis));
    QVERIFY(to->shownText().endsWith(QStringLiteral("file.bin")));
    dialog.showFile(QStringLiteral("/a.bin"), QStringLiteral("/o/a.bin"));
    QVERIFY(!to->isClipped());
    QCOMPARE(to->shownText(), QStringLiteral("/o/a.bin"));
}

void PolishTest::closingDuringAJobAsksFirst()
{
    fixture::TempDir dir;
    fixture::TempDir out;
    // Answered No: the job goes on to the end and the window stays.
    {
        Window w;
        w.form->show();
        w.open(writeImage(dir, "many.nds", manyFiles(10)));
        QObject::connect(w.form.get(), &cartscope::app::TForm1::fileExtracted, [&](int done, int) {
            if (done == 2)
                QVERIFY(!w.form->close());
        });
        w.dialogs->folderAnswers = {q(out.path())};
        w.dialogs->questionAnswers = {false};
        w.child<QPushButton>("ExtractAllButton")->click();
        QCOMPARE(w.dialogs->count("question"), 1);
        QCOMPARE(w.dialogs->last("question")->text,
                 QStringLiteral("Cancel the running extraction and close?"));
        QCOMPARE(filesBelow(out.path()).size(), 10);
        QCoreApplication::processEvents();
        QVERIFY(w.form->isVisible());
    }
    // Answered Yes: the run stops after the file being copied and the window closes.
    std::filesystem::remove_all(out.path() + "/MANY");
    Window w;
    w.form->show();
    w.open(writeImage(dir, "many.nds", manyFiles(10)));
    int asked = 0;
    QObject::connect(w.form.get(), &cartscope::app::TForm1::fileExtracted, [&](int done, int) {
        if (done == 2) {
            QVERIFY(!w.form->close()); // not yet: the job ends first
            ++asked;
            QVERIFY(!w.form->close()); // a second request does not ask again
        }
    });
    w.dialogs->folderAnswers = {q(out.path())};
    w.dialogs->questionAnswers = {true};
    w.child<QPushButton>("ExtractAllButton")->click();
    QCOMPARE(asked, 1);
    QCOMPARE(w.dialogs->count("question"), 1);
    QVERIFY(!w.form->jobRunning());
    const int extracted = static_cast<int>(filesBelow(out.path()).size());
    QVERIFY2(extracted >= 2 && extracted < 10, qPrintable(QString::number(extracted)));
    QTRY_VERIFY(!w.form->isVisible());
}

void PolishTest::closingDuringAnArchiveExtractionCancelsIt()
{
    fixture::TempDir dir;
    // A large stored member: several progress notifications.
    ImageBuilder big = sampleImage("BIG");
    big.minSize(6u << 20);
    const std::string zip = dir.file("big.zip");
    cartscope::testzip::writeZip(zip, {cartscope::testzip::Entry::file("big.nds", big.build())},
                                 cartscope::testzip::Options{false, false, {}});
    Window w;
    w.form->show();
    bool closed = false;
    QObject::connect(w.form.get(), &cartscope::app::TForm1::zipProgress, [&](int) {
        if (!closed) {
            closed = true;
            QVERIFY(!w.form->close());
        }
    });
    w.dialogs->questionAnswers = {true};
    w.open(zip);
    QVERIFY(closed);
    QCOMPARE(w.dialogs->count("question"), 1);
    QVERIFY(!w.form->imageLoaded()); // the extraction was cancelled
    QVERIFY(w.form->tempImagePath().empty());
    QTRY_VERIFY(!w.form->isVisible());
}

void PolishTest::windowHasTheApplicationIcon()
{
    Window w;
    const QIcon icon = w.form->windowIcon();
    QVERIFY(!icon.isNull());
    QVERIFY(!icon.pixmap(QSize(32, 32)).isNull());
    QVERIFY(!cartscope::app::applicationIcon().pixmap(QSize(256, 256)).isNull());
}

void PolishTest::fileDialogsWriteNoSettings()
{
    {
        QFileDialog dialog(nullptr, QStringLiteral("x"), QString::fromStdString(m_config.path()));
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.show();
        dialog.selectFile(QStringLiteral("somewhere.nds"));
        dialog.hide();
    }
    QCoreApplication::processEvents();
    QStringList found;
    for (const auto& e : std::filesystem::recursive_directory_iterator(m_config.path()))
        found << q(e.path().string());
    QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char(' '))));
}

QTEST_MAIN(PolishTest)
#include "polish_test.moc"
