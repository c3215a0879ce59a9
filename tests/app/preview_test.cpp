// The preview window: the routes that open it, following the selection, what it shows of each
// kind of file, reading only what it shows, cancelling, and its export.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>

#include "app/hex_view.h"
#include "app/narc_dialog.h"
#include "app/preview_window.h"
#include "app/sdat_dialog.h"
#include "app/sound_feed.h"
#include "core/base/le.h"
#include "core/compress/encode.h"
#include "core/formats/sound/wave.h"
#include "tests/app/window_fixture.h"
#include "tests/fixture/formats_builder.h"
#include "tests/fixture/sound_builder.h"

using namespace cartscope::apptest;
namespace app = cartscope::app;
namespace core = cartscope::core;

namespace {

const std::vector<std::uint16_t> kPaletteA = {0x0000, 0x001F, 0x03E0, 0x7C00, 0x7FFF, 0x1234,
                                              0x2345, 0x3456, 0x4567, 0x5678, 0x6789, 0x0ABC,
                                              0x1BCD, 0x2CDE, 0x3DEF, 0x4E01};
const std::vector<std::uint16_t> kPaletteB = {0x0000, 0x7FFF, 0x7C00, 0x03E0, 0x001F, 0x4321,
                                              0x5432, 0x6543, 0x7654, 0x0765, 0x1876, 0x2987,
                                              0x3A98, 0x4BA9, 0x5CBA, 0x6DCB};

Bytes tilePixels(std::size_t tiles)
{
    Bytes pixels(tiles * 32);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return pixels;
}

Bytes utf16(const std::string& ascii)
{
    Bytes out;
    for (const char c : ascii) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

Bytes lz11(const Bytes& data)
{
    return core::compress(core::Codec::Lz11, data);
}

// The image every test opens: graphics with their own palette (compressed), graphics with two
// palettes that could go with them, a message file, a text file, bytes, and an archive.
Bytes messages()
{
    fixture::BmgFields fields;
    fields.messages = {utf16("Hi"), utf16("There")};
    return fixture::bmgFile(fields);
}

// Stereo IMA-ADPCM that loops from frame 10: one block of 16 bytes (24 samples) per channel.
Bytes adpcmStream()
{
    fixture::StrmFields f;
    f.encoding = 2;
    f.channels = 2;
    f.loops = true;
    f.loopStart = 10;
    f.samples = f.blockSamples = f.lastSamples = 24;
    f.blocks = 1;
    f.blockLength = f.lastLength = 16;
    f.data = fixture::pattern(32, 5);
    return fixture::strmFile(f);
}

fixture::SoundEntryFields soundEntry(const std::string& name, Bytes file)
{
    fixture::SoundEntryFields e;
    e.name = name;
    e.file = std::move(file);
    return e;
}

// A sound archive: a sequence, a bank over the wave archive's two waves, a stream.
Bytes soundArchive()
{
    fixture::SdatFields f;
    f.sequences = {soundEntry("BGM", fixture::sseqFile({0x3C, 0x64, 0x30, 0xFF}))};
    f.banks = {soundEntry("BANK", fixture::sbnkFile({{1, fixture::noteDefinition(1, 0, 60)}}))};
    f.banks[0].waveArchives = {0, 0xFFFF, 0xFFFF, 0xFFFF};
    f.waveArchives = {soundEntry(
        "WA", fixture::swarFile({fixture::waveBytes(1, false, 8000, 0, 2, Bytes(8, 1)),
                                 fixture::waveBytes(0, true, 8000, 1, 1, Bytes(8, 2))}))};
    f.streams = {soundEntry("MUSIC", adpcmStream())};
    return fixture::sdatArchive(f);
}

ImageBuilder previewImage()
{
    Bytes damaged = fixture::ncgrFile(4, 2, 1, false, 0, tilePixels(2));
    damaged.resize(damaged.size() - 40);
    ImageBuilder b;
    b.title("PREVIEW").banner(fixture::sampleBanner());
    b.root({Node::dir("gfx", {Node::file("hero.NCGR",
                                         lz11(fixture::ncgrFile(4, 2, 1, false, 0, tilePixels(2)))),
                              Node::file("hero.NCLR", fixture::nclrFile(4, kPaletteA)),
                              Node::file("hero.NSCR", fixture::nscrFile(16, 8, {1, 0x0400})),
                              Node::file("hero.NCER", fixture::ncerFile({{{0, 0, 0}}, {}})),
                              Node::file("other.NCLR", fixture::nclrFile(4, kPaletteB))}),
            Node::dir("pals",
                      {Node::file("pic.NCGR", fixture::ncgrFile(4, 1, 1, false, 0, tilePixels(1))),
                       Node::file("a.NCLR", fixture::nclrFile(4, kPaletteA)),
                       Node::file("b.NCLR", fixture::nclrFile(4, kPaletteB))}),
            Node::file("broken.NCGR", damaged), Node::file("msg.bmg", messages()),
            Node::file("readme.txt", std::string("line one\nline two\n")),
            Node::file("blob.bin", fixture::pattern(3000, 9)),
            Node::file("data.narc", fixture::narcArchive({{"note.txt", {'i', 'n', '\n'}},
                                                          {"x.bin", fixture::pattern(50, 2)}},
                                                         true)),
            Node::file("empty.bin", Bytes{}),
            Node::dir("snd",
                      {Node::file("m.strm", adpcmStream()),
                       Node::file("w.swav", fixture::swavFile(fixture::waveBytes(
                                                0, false, 8000, 0, 3, fixture::pattern(12, 3)))),
                       Node::file("s.sseq", fixture::sseqFile({0x3C, 0x64, 0x30, 0x94, 0, 0, 0})),
                       Node::file("s.sdat", soundArchive()),
                       Node::file("in.narc",
                                  fixture::narcArchive({{"in.sdat", soundArchive()}}, true))})});
    return b;
}

// The list on its page, shown, so that clicks reach its rows.
QTreeWidget* fileList(Window& w)
{
    w.child<QTabWidget>("PageControl")->setCurrentIndex(1);
    return w.child<QTreeWidget>("FSListView");
}

// A double-click as the user makes it: press and release, then the second press.
void doubleClick(QTreeWidget* list, int row)
{
    QTreeWidgetItem* item = list->topLevelItem(row);
    list->scrollToItem(item);
    const QPoint at = list->visualItemRect(item).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

int rowOf(Window& w, const std::string& path)
{
    const auto& rows = w.form->rows();
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].path == path)
            return static_cast<int>(i);
    qFatal("no row %s", path.c_str());
}

void select(Window& w, const std::string& path)
{
    fileList(w)->setCurrentItem(fileList(w)->topLevelItem(rowOf(w, path)));
}

void waitFor(app::PreviewWindow* preview);

// The window over the preview image, shown.
struct Opened {
    Opened()
    {
        w.form->show();
        w.open(writeImage(dir, "p.nds", previewImage()));
    }
    // Selects the file and presses Space on it; returns the preview once it is made.
    app::PreviewWindow* preview(const std::string& path)
    {
        select(w, path);
        QTest::keyClick(fileList(w), Qt::Key_Space);
        waitFor(w.form->previewWindow());
        return w.form->previewWindow();
    }
    fixture::TempDir dir;
    Window w;
};

void waitFor(app::PreviewWindow* preview)
{
    QElapsedTimer timer;
    timer.start();
    while (preview && preview->busy() && timer.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

QString shownTitle(Window& w)
{
    app::PreviewWindow* preview = w.form->previewWindow();
    return preview ? preview->windowTitle() : QString();
}

std::string formatLine(Window& w)
{
    app::PreviewWindow* preview = w.form->previewWindow();
    waitFor(preview);
    return preview && preview->content() ? preview->content()->formatLine : std::string();
}

// The colour a 5-bit-per-channel palette entry stands for, written here apart from the product.
QRgb colourOf(std::uint16_t bgr)
{
    const auto c = [](unsigned v) { return static_cast<int>((v << 3) | (v >> 2)); };
    return qRgba(c(bgr & 31u), c((bgr >> 5) & 31u), c((bgr >> 10) & 31u), 255);
}

// The palette index of pixel (x, y) of 4-bit tiled graphics `widthTiles` tiles wide: tiles of 32
// bytes left to right, rows of 4 bytes, the low nibble first.
unsigned indexAt(const Bytes& pixels, unsigned widthTiles, unsigned x, unsigned y)
{
    const unsigned tile = (y / 8) * widthTiles + x / 8;
    const std::uint8_t b = pixels[tile * 32 + (y % 8) * 4 + (x % 8) / 2];
    return x % 2 == 0 ? b & 0x0Fu : b >> 4;
}

// Every pixel of `shown` against the graphics at `zoom`, in `palette`; index 0 clear.
void checkPicture(const QImage& shown, const Bytes& pixels, unsigned widthTiles,
                  unsigned heightTiles, const std::vector<std::uint16_t>& palette, int zoom)
{
    QCOMPARE(shown.width(), static_cast<int>(widthTiles * 8) * zoom);
    QCOMPARE(shown.height(), static_cast<int>(heightTiles * 8) * zoom);
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            const unsigned index = indexAt(pixels, widthTiles, static_cast<unsigned>(x / zoom),
                                           static_cast<unsigned>(y / zoom));
            const QRgb got = shown.pixel(x, y);
            if (index == 0)
                QCOMPARE(qAlpha(got), 0);
            else
                QCOMPARE(got, colourOf(palette[index]));
        }
    }
}

// A stream of `size` bytes made up from their positions (no memory), counting what is read; with
// a delay per read, and with the first bytes of a graphics file so that it is read whole.
class CountingStream final : public core::Stream {
public:
    explicit CountingStream(std::uint64_t size, bool graphics = false,
                            std::chrono::milliseconds delay = {})
        : m_size(size), m_graphics(graphics), m_delay(delay)
    {}
    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override
    {
        if (m_delay.count() > 0)
            std::this_thread::sleep_for(m_delay);
        ++reads;
        const std::size_t n =
            position >= m_size
                ? 0
                : static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), m_size - position));
        static const std::uint8_t kHead[6] = {'R', 'G', 'C', 'N', 0xFF, 0xFE};
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t at = position + i;
            out[i] = m_graphics && at < 6 ? kHead[at] : byteAt(at);
        }
        bytesRead += n;
        return n;
    }
    std::uint64_t size() const override { return m_size; }
    static std::uint8_t byteAt(std::uint64_t at) { return static_cast<std::uint8_t>(at * 31 + 7); }

    mutable std::atomic<std::uint64_t> bytesRead{0};
    mutable std::atomic<std::uint64_t> reads{0};

private:
    std::uint64_t m_size;
    bool m_graphics;
    std::chrono::milliseconds m_delay;
};

} // namespace

class PreviewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void opensByEachRoute_data();
    void opensByEachRoute();
    void followsTheSelectionWhileOpen();
    void showsEachKindOfFile_data();
    void showsEachKindOfFile();
    void picturePixelsAtEachZoom();
    void paletteChooserWhenSeveralFit();
    void hexViewReadsOnlyVisiblePages();
    void newFileCancelsThePreviewBeingMade();
    void exportWritesPictureAndText();
    void soundFiles_data();
    void soundFiles();
    void soundArchiveDialogPreviewsItsEntries();
    void soundFeedHoldsLittleAndLoops();
    void textDetection_data();
    void textDetection();
};

void PreviewTest::opensByEachRoute_data()
{
    QTest::addColumn<QString>("route");
    QTest::addColumn<QString>("path"); // shown; empty: no preview, the NARC dialog instead
    QTest::newRow("popup menu") << "popup"
                                << "/readme.txt";
    QTest::newRow("space") << "space"
                           << "/readme.txt";
    QTest::newRow("double-click") << "double-click"
                                  << "/readme.txt";
    QTest::newRow("double-click on a NARC") << "double-click narc"
                                            << "";
    QTest::newRow("archive dialog button") << "narc button"
                                           << "/data.narc/note.txt";
    QTest::newRow("archive dialog double-click") << "narc double-click"
                                                 << "/data.narc/note.txt";
}

void PreviewTest::opensByEachRoute()
{
    QFETCH(QString, route);
    QFETCH(QString, path);
    Opened o;
    Window& w = o.w;
    QVERIFY(w.form->previewWindow() == nullptr);
    QTreeWidget* list = fileList(w);
    if (route == "popup") {
        select(w, "/readme.txt");
        Q_EMIT w.child<QMenu>("FilesPopupMenu")->aboutToShow();
        QAction* action = w.child<QAction>("PreviewFile1");
        QCOMPARE(action->text(), QStringLiteral("Preview"));
        QVERIFY(action->isEnabled());
        action->trigger();
    } else if (route == "space") {
        select(w, "/readme.txt");
        QTest::keyClick(list, Qt::Key_Space);
    } else if (route.startsWith("double-click")) {
        doubleClick(list, rowOf(w, route.endsWith("narc") ? "/data.narc" : "/readme.txt"));
    } else {
        select(w, "/data.narc");
        w.child<QAction>("ShowNarcContents1")->trigger();
        auto* dialog = w.form->findChild<app::NarcDialog*>();
        QVERIFY(dialog);
        auto* members = dialog->findChild<QTreeWidget*>(QStringLiteral("NarcListView"));
        members->setCurrentItem(members->topLevelItem(0));
        if (route == "narc button")
            dialog->findChild<QPushButton*>(QStringLiteral("NarcPreviewButton"))->click();
        else
            Q_EMIT members->itemDoubleClicked(members->topLevelItem(0), 0);
    }
    app::PreviewWindow* preview = w.form->previewWindow();
    if (path.isEmpty()) {
        QVERIFY(w.form->findChild<app::NarcDialog*>());
        QVERIFY(preview == nullptr);
        return;
    }
    QVERIFY(preview);
    QVERIFY(preview->isVisible());
    QVERIFY(!preview->isModal());
    QCOMPARE(shownTitle(w), QStringLiteral("Preview - ") + path);
    waitFor(preview);
    QVERIFY(preview->content());
    QCOMPARE(preview->content()->kind, app::PreviewKind::Text);
}

void PreviewTest::followsTheSelectionWhileOpen()
{
    Opened o;
    Window& w = o.w;
    select(w, "/readme.txt");
    QVERIFY(w.form->previewWindow() == nullptr); // selecting alone opens nothing
    app::PreviewWindow* preview = o.preview("/readme.txt");
    QCOMPARE(formatLine(w), std::string("text, 18 bytes"));
    select(w, "/blob.bin");
    QCOMPARE(shownTitle(w), QStringLiteral("Preview - /blob.bin"));
    QCOMPARE(formatLine(w), std::string("data, 3000 bytes"));
    // Closed, it no longer follows.
    preview->close();
    select(w, "/msg.bmg");
    QCOMPARE(shownTitle(w), QStringLiteral("Preview - /blob.bin"));
    // Another image: nothing of the old one is kept.
    w.open(writeImage(o.dir, "q.nds", sampleImage()));
    QVERIFY(preview->content() == nullptr);
    QCOMPARE(preview->windowTitle(), QStringLiteral("Preview"));
    QCOMPARE(preview->findChild<app::HexView*>(QStringLiteral("PreviewHexView"))->lineCount(),
             std::uint64_t{0});
}

void PreviewTest::showsEachKindOfFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("text");
    const auto picture = static_cast<int>(app::PreviewKind::Picture);
    const auto text = static_cast<int>(app::PreviewKind::Text);
    const auto hex = static_cast<int>(app::PreviewKind::Hex);
    QTest::newRow("compressed graphics")
        << "/gfx/hero.NCGR" << picture << "LZ11 → NCGR, 4 bpp, 2×1 tiles"
        << "";
    QTest::newRow("palette") << "/gfx/hero.NCLR" << picture << "NCLR, 4 bpp, 16 colours"
                             << "";
    QTest::newRow("screen") << "/gfx/hero.NSCR" << picture << "NSCR, 2×1 tiles"
                            << "";
    QTest::newRow("cells") << "/gfx/hero.NCER" << picture << "NCER, 2 cells"
                           << "";
    QTest::newRow("messages") << "/msg.bmg" << text << "BMG, UTF-16LE, 2 messages"
                              << "Hi\nThere\n";
    QTest::newRow("plain text") << "/readme.txt" << text << "text, 18 bytes"
                                << "line one\nline two\n";
    QTest::newRow("bytes") << "/blob.bin" << hex << "data, 3000 bytes"
                           << "";
    QTest::newRow("archive") << "/data.narc" << hex << "NARC, "
                             << "";
    QTest::newRow("empty") << "/empty.bin" << hex << "empty file"
                           << "";
    QTest::newRow("damaged graphics") << "/broken.NCGR" << hex << "NCGR — \"/broken.NCGR\" is "
                                      << "";
}

void PreviewTest::showsEachKindOfFile()
{
    QFETCH(QString, path);
    QFETCH(int, kind);
    QFETCH(QString, format);
    QFETCH(QString, text);
    Opened o;
    app::PreviewWindow* preview = o.preview(path.toStdString());
    QVERIFY(preview->content());
    QCOMPARE(static_cast<int>(preview->content()->kind), kind);
    QVERIFY2(q(preview->content()->formatLine).startsWith(format),
             preview->content()->formatLine.c_str());
    QCOMPARE(preview->findChild<QLabel*>(QStringLiteral("PreviewFormatLabel"))->text(),
             q(preview->content()->formatLine));
    if (!text.isEmpty())
        QCOMPARE(
            preview->findChild<QPlainTextEdit*>(QStringLiteral("PreviewTextEdit"))->toPlainText(),
            text);
    auto* hexView = preview->findChild<app::HexView*>(QStringLiteral("PreviewHexView"));
    if (path == "/blob.bin") {
        QCOMPARE(hexView->lineCount(), std::uint64_t{188});
        const Bytes blob = fixture::pattern(3000, 9);
        QString first = QStringLiteral("00000000  ");
        for (int i = 0; i < 16; ++i)
            first += QStringLiteral("%1 ")
                         .arg(blob[static_cast<std::size_t>(i)], 2, 16, QLatin1Char('0'))
                         .toUpper() +
                     (i == 7 ? QStringLiteral(" ") : QString());
        QVERIFY2(hexView->lineText(0).startsWith(first), qPrintable(hexView->lineText(0)));
    }
}

void PreviewTest::picturePixelsAtEachZoom()
{
    Opened o;
    app::PreviewWindow* preview = o.preview("/gfx/hero.NCGR");
    // The palette of the same base name, though another fits the folder too.
    QCOMPARE(preview->content()->palette, std::string("/gfx/hero.NCLR"));
    auto* zoom = preview->findChild<QSpinBox*>(QStringLiteral("PreviewZoomSpinBox"));
    for (const int factor : {1, 3}) {
        zoom->setValue(factor);
        checkPicture(preview->shownPicture(), tilePixels(2), 2, 1, kPaletteA, factor);
        if (QTest::currentTestFailed())
            return;
        const QPixmap pixmap =
            preview->findChild<QLabel*>(QStringLiteral("PreviewPictureLabel"))->pixmap();
        QCOMPARE(pixmap.size(), QSize(16 * factor, 8 * factor));
    }
}

void PreviewTest::paletteChooserWhenSeveralFit()
{
    Opened o;
    app::PreviewWindow* preview = o.preview("/pals/pic.NCGR");
    auto* chooser = preview->findChild<QComboBox*>(QStringLiteral("PreviewPaletteComboBox"));
    QVERIFY(chooser->isVisible());
    QCOMPARE(chooser->count(), 2);
    QCOMPARE(chooser->itemText(0), QStringLiteral("/pals/a.NCLR"));
    QCOMPARE(chooser->currentIndex(), 0);
    preview->findChild<QSpinBox*>(QStringLiteral("PreviewZoomSpinBox"))->setValue(1);
    checkPicture(preview->shownPicture(), tilePixels(1), 1, 1, kPaletteA, 1);
    chooser->setCurrentIndex(1);
    Q_EMIT chooser->activated(1);
    waitFor(preview);
    QCOMPARE(preview->content()->palette, std::string("/pals/b.NCLR"));
    QCOMPARE(chooser->currentIndex(), 1);
    checkPicture(preview->shownPicture(), tilePixels(1), 1, 1, kPaletteB, 1);
    // A file with one palette of its own shows no chooser.
    o.preview("/readme.txt");
    QVERIFY(!chooser->isVisible());
}

void PreviewTest::hexViewReadsOnlyVisiblePages()
{
    constexpr std::uint64_t kSize = std::uint64_t{500} << 20;
    CountingStream image(kSize);
    app::PreviewSource source{"/huge.bin", 0, kSize, {}, nullptr, 0};

    const app::PreviewContent content = app::makePreview(image, source, "", [] { return false; });
    QCOMPARE(content.kind, app::PreviewKind::Hex);
    QCOMPARE(content.formatLine, std::string("data, 524288000 bytes"));
    QVERIFY(image.bytesRead.load() <= app::kPreviewHead);

    FakeDialogs dialogs;
    app::PreviewWindow preview(dialogs);
    preview.resize(600, 400);
    preview.show();
    QVERIFY(QTest::qWaitForWindowExposed(&preview));
    image.bytesRead = 0;
    preview.showFile(image, source);
    waitFor(&preview);
    auto* hexView = preview.findChild<app::HexView*>(QStringLiteral("PreviewHexView"));
    QVERIFY(hexView->isVisible());
    QCOMPARE(hexView->lineCount(), kSize / 16);
    hexView->viewport()->repaint();
    // The first lines fit one page: the head read to tell the kind, and that page.
    constexpr std::uint64_t kPage = app::HexPages::kPageBytes;
    QVERIFY2(image.bytesRead.load() <= app::kPreviewHead + kPage,
             std::to_string(image.bytesRead.load()).c_str());

    hexView->verticalScrollBar()->setValue(hexView->verticalScrollBar()->maximum());
    hexView->viewport()->repaint();
    QVERIFY2(image.bytesRead.load() <= app::kPreviewHead + 3 * kPage,
             std::to_string(image.bytesRead.load()).c_str());
    const std::uint64_t last = kSize / 16 - 1;
    QCOMPARE(hexView->firstLine() + static_cast<std::uint64_t>(hexView->visibleLines()), last + 1);
    const QString lastLine = hexView->lineText(last);
    QVERIFY2(
        lastLine.startsWith(QStringLiteral("1F3FFFF0  %1 ")
                                .arg(CountingStream::byteAt(kSize - 16), 2, 16, QLatin1Char('0'))
                                .toUpper()),
        qPrintable(lastLine));
}

void PreviewTest::newFileCancelsThePreviewBeingMade()
{
    // 64 MiB of "graphics", read whole in 1 MiB pieces of 30 ms each: about two seconds unless
    // the next file cancels it.
    CountingStream slow(std::uint64_t{64} << 20, true, std::chrono::milliseconds(30));
    const Bytes text = {'o', 'k', '\n'};
    core::MemoryStream fast(text);
    FakeDialogs dialogs;
    app::PreviewWindow preview(dialogs);
    preview.show();
    QSignalSpy shown(&preview, &app::PreviewWindow::previewShown);
    preview.showFile(slow, {"/slow.NCGR", 0, slow.size(), {}, nullptr, 0});
    QTRY_VERIFY_WITH_TIMEOUT(slow.reads.load() >= 2, 5000);
    preview.showFile(fast, {"/fast.txt", 0, text.size(), {}, nullptr, 0});
    const std::uint64_t readsAtCancel = slow.reads.load();
    waitFor(&preview);
    QCOMPARE(shown.count(), 1);
    QCOMPARE(preview.content()->formatLine, std::string("text, 3 bytes"));
    QVERIFY(readsAtCancel < 64);
    QCOMPARE(slow.reads.load(), readsAtCancel); // nothing read after the cancel
}

void PreviewTest::exportWritesPictureAndText()
{
    Opened o;
    Window& w = o.w;
    app::PreviewWindow* preview = o.preview("/gfx/hero.NCGR");
    auto* exportButton = preview->findChild<QPushButton*>(QStringLiteral("PreviewExportButton"));
    QCOMPARE(exportButton->text(), QStringLiteral("Export…"));
    const std::string png = o.dir.file("hero.png");
    w.dialogs->saveAnswers.push_back(q(png));
    exportButton->click();
    QCOMPARE(w.dialogs->last("save")->text, QStringLiteral("hero.png"));
    QCOMPARE(w.dialogs->last("save")->filters.front(), app::iconFilter());
    QImage written(q(png));
    QVERIFY(!written.isNull());
    checkPicture(written.convertToFormat(QImage::Format_ARGB32), tilePixels(2), 2, 1, kPaletteA, 1);

    o.preview("/msg.bmg");
    const std::string txt = o.dir.file("msg.txt");
    w.dialogs->saveAnswers.push_back(q(txt));
    exportButton->click();
    QCOMPARE(w.dialogs->last("save")->filters.front(), app::reportFilter());
    std::ifstream in(txt, std::ios::binary);
    const std::string saved((std::istreambuf_iterator<char>(in)), {});
    QCOMPARE(saved, std::string("Hi\nThere\n"));

    o.preview("/blob.bin");
    QVERIFY(!exportButton->isEnabled());
    QVERIFY(w.dialogs->errors.isEmpty());
}

void PreviewTest::soundFiles_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("plays");
    QTest::addColumn<QString>("exported"); // the file Export offers, and its first four bytes
    QTest::addColumn<QByteArray>("magic");
    QTest::newRow("stream") << "/snd/m.strm"
                            << "STRM, IMA-ADPCM, stereo, 32728 Hz, 0:00, loops at 0:00" << true
                            << "m.wav" << QByteArray("RIFF");
    QTest::newRow("wave") << "/snd/w.swav"
                          << "SWAV, PCM8, mono, 8000 Hz, 0.00 s" << true << "w.wav"
                          << QByteArray("RIFF");
    QTest::newRow("sequence") << "/snd/s.sseq"
                              << "SSEQ, 1 track, 1 note, loops" << false << "s.mid"
                              << QByteArray("MThd");
}

// Sound files show their format line; streams and waves get the player (Play disabled without
// an audio device, saying why); each exports its standard file through the dialog seam.
void PreviewTest::soundFiles()
{
    QFETCH(QString, path);
    QFETCH(QString, format);
    QFETCH(bool, plays);
    QFETCH(QString, exported);
    QFETCH(QByteArray, magic);
    Opened o;
    Window& w = o.w;
    app::PreviewWindow* preview = o.preview(path.toStdString());
    QVERIFY(preview->content());
    QCOMPARE(QString::fromStdString(preview->content()->formatLine), format);
    QCOMPARE(preview->content()->kind == app::PreviewKind::Sound, plays);
    auto* controls = preview->findChild<QWidget*>(QStringLiteral("PreviewSoundControls"));
    QCOMPARE(controls->isVisibleTo(preview), plays);
    auto* play = preview->findChild<QPushButton*>(QStringLiteral("PreviewPlayButton"));
    QVERIFY(!play->isEnabled());
    QCOMPARE(play->toolTip(), QStringLiteral("No audio output device: the sound cannot be played"));
    QVERIFY(preview->findChild<QPushButton*>(QStringLiteral("PreviewStopButton")));
    QVERIFY(preview->findChild<QSlider*>(QStringLiteral("PreviewPositionSlider")));
    if (plays) {
        QCOMPARE(preview->findChild<QLabel*>(QStringLiteral("PreviewPositionLabel"))->text(),
                 QStringLiteral("0:00 / 0:00"));
        QCOMPARE(preview->findChild<QCheckBox*>(QStringLiteral("PreviewLoopCheckBox"))->isEnabled(),
                 path.endsWith(".strm"));
    } else {
        const std::string& text = preview->content()->text;
        QVERIFY2(text.starts_with("track 0: 4 events\n"), text.c_str());
    }
    const std::string out = o.dir.file(exported.toStdString());
    w.dialogs->saveAnswers.push_back(q(out));
    preview->findChild<QPushButton*>(QStringLiteral("PreviewExportButton"))->click();
    QCOMPARE(w.dialogs->last("save")->text, exported);
    QVERIFY(w.dialogs->errors.isEmpty());
    const Bytes written = fixture::readFile(out);
    QVERIFY(written.size() > 4);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(written.data()), 4), magic);
    if (path.endsWith(".strm")) // the whole decode: 24 stereo frames after a 44-byte head
        QCOMPARE(written.size(), std::size_t{44 + 68 + 24 * 4});
}

// "Show Sound Archive" opens the archive's dialog (also for one inside a NARC); its Preview shows
// the selected entry, a wave of a wave archive and a bank with its waves among them.
void PreviewTest::soundArchiveDialogPreviewsItsEntries()
{
    Opened o;
    Window& w = o.w;
    select(w, "/snd/s.sdat");
    Q_EMIT w.child<QMenu>("FilesPopupMenu")->aboutToShow();
    QAction* show = w.child<QAction>("ShowSoundArchive1");
    QVERIFY(show->isEnabled());
    show->trigger();
    auto* dialog = w.form->findChild<app::SdatDialog*>();
    QVERIFY(dialog);
    auto* list = dialog->findChild<QTreeWidget*>(QStringLiteral("SdatListView"));
    auto* previewButton = dialog->findChild<QPushButton*>(QStringLiteral("SdatPreviewButton"));
    QCOMPARE(previewButton->text(), QStringLiteral("Preview"));
    QVERIFY(!previewButton->isEnabled());
    const auto open = [&](const QString& entry) -> app::PreviewWindow* {
        const QList<QTreeWidgetItem*> found = list->findItems(entry, Qt::MatchExactly);
        if (found.size() != 1)
            return nullptr;
        list->setCurrentItem(found.front());
        previewButton->click();
        waitFor(w.form->previewWindow());
        return w.form->previewWindow();
    };
    app::PreviewWindow* preview = open(QStringLiteral("/waveArchives/WA.swar/0001.swav"));
    QVERIFY(preview && preview->content());
    QCOMPARE(shownTitle(w), QStringLiteral("Preview - /snd/s.sdat/waveArchives/WA.swar/0001.swav"));
    QCOMPARE(preview->content()->formatLine, std::string("SWAV, PCM8, mono, 8000 Hz, 0.00 s, "
                                                         "loops at 0.00 s"));
    // Selecting another entry while the preview is open follows it.
    list->setCurrentItem(
        list->findItems(QStringLiteral("/streams/MUSIC.strm"), Qt::MatchExactly).front());
    QCOMPARE(formatLine(w), std::string("STRM, IMA-ADPCM, stereo, 32728 Hz, 0:00, loops at 0:00"));
    QVERIFY(open(QStringLiteral("/banks/BANK.sbnk")));
    QCOMPARE(formatLine(w), std::string("SBNK, 1 instrument"));
    const std::string sf2 = o.dir.file("bank.sf2");
    w.dialogs->saveAnswers.push_back(q(sf2));
    preview->findChild<QPushButton*>(QStringLiteral("PreviewExportButton"))->click();
    QCOMPARE(w.dialogs->last("save")->text, QStringLiteral("BANK.sf2"));
    const Bytes font = fixture::readFile(sf2);
    QVERIFY(font.size() > 12);
    QCOMPARE(std::string(font.begin() + 8, font.begin() + 12), std::string("sfbk"));
    // The wave the bank plays is in the font: one sample of 2 words' PCM16.
    QVERIFY(std::search(font.begin(), font.end(), std::begin("A0 W1"), std::end("A0 W1") - 1) !=
            font.end());
    QVERIFY(w.dialogs->errors.isEmpty());

    // The archive inside a NARC opens from the NARC's dialog.
    select(w, "/snd/in.narc");
    Q_EMIT w.child<QMenu>("FilesPopupMenu")->aboutToShow();
    w.child<QAction>("ShowNarcContents1")->trigger();
    auto* narc = w.form->findChild<app::NarcDialog*>();
    QVERIFY(narc);
    auto* members = narc->findChild<QTreeWidget*>(QStringLiteral("NarcListView"));
    members->setCurrentItem(members->topLevelItem(0));
    auto* openButton = narc->findChild<QPushButton*>(QStringLiteral("NarcOpenButton"));
    QVERIFY(openButton->isEnabled());
    openButton->click();
    const auto dialogs = w.form->findChildren<app::SdatDialog*>();
    QCOMPARE(dialogs.size(), 2);
    QCOMPARE(dialogs.back()->sdat().path, std::string("/snd/in.narc/in.sdat"));
    QCOMPARE(dialogs.back()->sdat().entries.size(), dialog->sdat().entries.size());
    QVERIFY(w.dialogs->errors.isEmpty());
}

// The feed decodes ahead on its own thread: what it hands out is the sound, frame for frame;
// it holds at most its cap; with the loop on, the end goes on at the loop start.
void PreviewTest::soundFeedHoldsLittleAndLoops()
{
    core::PcmSound s;
    s.channels = 2;
    s.rate = 8000;
    s.frames = 100000;
    s.loop = core::PcmLoop{70000, s.frames};
    s.data.resize(s.frames * 4);
    for (std::size_t f = 0; f < s.frames; ++f) // left: the frame number; right: its negation
        for (int c = 0; c < 2; ++c)
            core::putLe16(s.data, f * 4 + c * 2,
                          static_cast<std::uint16_t>(c ? -static_cast<int>(f % 30000)
                                                       : static_cast<int>(f % 30000)));
    const auto sound = std::make_shared<const core::SoundPieces>(core::SoundPieces::fromSound(s));
    app::SoundFeed feed(sound);
    std::vector<std::int16_t> out(2 * 3000);
    std::uint64_t expect = 0;
    QElapsedTimer timer;
    timer.start();
    // Bounded: every turn either takes frames or waits a little, and the timer ends it.
    while (!feed.ended() && timer.elapsed() < 20000) {
        QVERIFY(feed.buffered() <= app::SoundFeed::kAheadFrames + app::SoundFeed::kPieceFrames);
        feed.waitFor(1);
        const std::size_t n = feed.pull(out);
        for (std::size_t i = 0; i < n; ++i, ++expect) {
            QCOMPARE(out[2 * i], static_cast<std::int16_t>(expect % 30000));
            QCOMPARE(out[2 * i + 1], static_cast<std::int16_t>(-static_cast<int>(expect % 30000)));
        }
    }
    QCOMPARE(expect, s.frames);
    QCOMPARE(feed.position(), s.frames);
    // Looping: past the end the frames come from the loop start again.
    feed.setLoop(true);
    feed.seek(99000);
    std::uint64_t taken = 0;
    std::vector<std::int16_t> frames;
    while (taken < 3000 && timer.elapsed() < 20000) {
        feed.waitFor(1);
        const std::size_t n = feed.pull(out);
        frames.insert(frames.end(), out.begin(), out.begin() + 2 * n);
        taken += n;
    }
    QVERIFY(taken >= 3000);
    QCOMPARE(frames[2 * 999], static_cast<std::int16_t>(99999 % 30000));
    QCOMPARE(frames[2 * 1000], static_cast<std::int16_t>(70000 % 30000));
    QVERIFY(feed.position() > 70000 && feed.position() < 99000);
    QVERIFY(!feed.ended());
}

void PreviewTest::textDetection_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("more");
    QTest::addColumn<bool>("text");
    QTest::newRow("ascii lines") << QByteArray("a\tb\r\nc\f") << false << true;
    QTest::newRow("utf-8") << QByteArray("caf\xC3\xA9 \xE2\x82\xAC") << false << true;
    QTest::newRow("cut character, file goes on") << QByteArray("ab\xE2\x82") << true << true;
    QTest::newRow("cut character at the end") << QByteArray("ab\xE2\x82") << false << false;
    QTest::newRow("nul") << QByteArray("ab\0c", 4) << false << false;
    QTest::newRow("escape") << QByteArray("ab\x1B[0m") << false << false;
    QTest::newRow("overlong") << QByteArray("\xC0\xAF") << false << false;
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80") << false << false;
    QTest::newRow("c1 control") << QByteArray("\xC2\x85") << false << false;
    QTest::newRow("empty") << QByteArray() << false << false;
}

void PreviewTest::textDetection()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, more);
    QFETCH(bool, text);
    const std::span<const std::uint8_t> span(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                             static_cast<std::size_t>(bytes.size()));
    QCOMPARE(app::looksLikeText(span, more), text);
}

QTEST_MAIN(PreviewTest)
#include "preview_test.moc"
