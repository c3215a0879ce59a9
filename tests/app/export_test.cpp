// The report (file and clipboard) and the icon export, driven through their buttons.

#include <filesystem>

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QPushButton>
#include <QRadioButton>

#include "app/icon_view.h"
#include "core/load.h"
#include "tests/app/window_fixture.h"

using namespace cartscope::apptest;

namespace {

QString decodeUtf16Le(const Bytes& bytes, std::size_t from)
{
    std::u16string text;
    for (std::size_t i = from; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
    return QString::fromStdU16String(text);
}

bool hasChunk(const Bytes& png, const char* type)
{
    const std::string all(png.begin(), png.end());
    return all.find(type) != std::string::npos;
}

// An icon of palette index 1 only: no transparent pixels.
fixture::BannerSpec opaqueBanner()
{
    fixture::BannerSpec b = fixture::sampleBanner();
    b.icon.fill(0x11);
    return b;
}

} // namespace

class ExportTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void reportToFile();
    void reportFileCannotBeCreated();
    void reportToClipboard();
    void fieldsAndReportComeFromTheLoadedValues();
    void iconExport_data();
    void iconExport();
    void iconExportFailureRestoresTheCheckBox();
};

void ExportTest::reportToFile()
{
    fixture::TempDir dir;
    Window w;
    const std::string image = writeImage(dir, "game.nds", sampleImage());
    w.open(image);
    const std::string out = dir.file("report.txt");
    w.dialogs->saveAnswers = {q(out), q(out)};
    w.child<QPushButton>("SaveInfoButton")->click();
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));

    const DialogCall* save = w.dialogs->last("save");
    QVERIFY(save);
    QCOMPARE(save->text, q(dir.file("game.txt"))); // the image's name with ".txt"
    QCOMPARE(save->filters.front().description, QStringLiteral("Text Files (*.txt)"));
    QCOMPARE(w.dialogs->informations,
             QStringList{QStringLiteral("Header Info Saved To ") + q(out)});

    const Bytes bytes = fixture::readFile(out);
    QVERIFY(bytes.size() > 4);
    QCOMPARE(bytes[0], std::uint8_t{0xFF});
    QCOMPARE(bytes[1], std::uint8_t{0xFE});
    const Bytes tail(bytes.end() - 4, bytes.end());
    QVERIFY(tail == (Bytes{0x0D, 0x00, 0x0A, 0x00}));
    const QString text = decodeUtf16Le(bytes, 2);
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    const QString rule(25, QLatin1Char('-'));
    QCOMPARE(lines[0], rule);
    QCOMPARE(lines[1], QStringLiteral("Header Info for: game.nds"));
    QCOMPARE(lines[2], rule);
    QCOMPARE(lines[3], QStringLiteral("Internal Name   : MYGAME"));
    QCOMPARE(lines[4], QStringLiteral("Game Serial     : NTR-ASME-USA"));
    QCOMPARE(lines[6], QStringLiteral("Publisher       : Nintendo"));
    QCOMPARE(lines[7], QStringLiteral("Version         : 1.0 (00h)"));
    // The values are those the window shows.
    QCOMPARE(lines[10],
             QStringLiteral("Header Checksum : %1 (OK)").arg(w.text("ActHeaderCRC16Edit")));
    QCOMPARE(lines[13], QStringLiteral("File CRC32      : ") + w.text("CRC32Edit"));
    QCOMPARE(lines[14], rule);
    // The English title keeps its line feed inside one report line.
    QVERIFY(text.contains(QStringLiteral(
        "\r\nLanguage 2\r\n----------\r\n\r\nCartscope Sample\nHomebrew Test Image\r\n")));
    QCOMPARE(text.count(QStringLiteral("Language ")), 6);

    // A second press writes the same report again, not one report twice.
    w.child<QPushButton>("SaveInfoButton")->click();
    QVERIFY(fixture::readFile(out) == bytes);

    // Cancelling the dialog writes nothing and says nothing.
    std::filesystem::remove(out);
    w.child<QPushButton>("SaveInfoButton")->click();
    QVERIFY(!std::filesystem::exists(out));
    QCOMPARE(w.dialogs->informations.size(), 2);
}

void ExportTest::reportFileCannotBeCreated()
{
    fixture::TempDir dir;
    Window w;
    w.open(writeImage(dir, "game.nds", sampleImage()));
    const std::string out = dir.file("no/such/folder/report.txt");
    w.dialogs->saveAnswers = {q(out)};
    w.child<QPushButton>("SaveInfoButton")->click();
    QCOMPARE(w.dialogs->errors, QStringList{QStringLiteral("Cannot create file ") + q(out) + '.'});
    QVERIFY(w.dialogs->informations.isEmpty());
}

void ExportTest::reportToClipboard()
{
    fixture::TempDir dir;
    Window w;
    w.open(writeImage(dir, "game.nds", sampleImage()));
    const std::string out = dir.file("report.txt");
    w.dialogs->saveAnswers = {q(out)};
    w.child<QPushButton>("SaveInfoButton")->click();
    const QString fileText = decodeUtf16Le(fixture::readFile(out), 2);

    w.child<QRadioButton>("SaveToClipRadioButton")->click();
    w.child<QPushButton>("SaveInfoButton")->click();
    QCOMPARE(w.dialogs->count("save"), 1); // no dialog for the clipboard
    QCOMPARE(w.dialogs->informations.back(), QStringLiteral("Header Info Saved To Clipboard"));
    const QString clip = QGuiApplication::clipboard()->text();
    QCOMPARE(clip, fileText);
    // The Japanese title reaches the clipboard intact: the platform's text is Unicode.
    QVERIFY(clip.contains(QString::fromUtf16(u"\u30AB\u30FC\u30C8")));
}

void ExportTest::fieldsAndReportComeFromTheLoadedValues()
{
    fixture::TempDir dir;
    Window w;
    const std::string image = writeImage(dir, "game.nds", sampleImage());
    w.open(image);
    w.waitForReadPass();

    // Every field of the table shows the value the core gives it (the card size and the
    // internal name carry no locale digits or marks here).
    cartscope::core::LoadOptions options;
    options.fileCrc32 = true;
    const auto loaded = cartscope::core::loadImageFile(image, options);
    for (const auto& field : cartscope::core::kDisplayFields)
        QCOMPARE(w.text(field.control), q(loaded.display.*field.value));

    // What the fields happen to hold is not what the report says: it is made from the values.
    for (const char* name : {"SerialEdit", "IntNameEdit", "CRC32Edit", "ActLogoCRC16Edit"})
        w.child<QLineEdit>(name)->setText(QStringLiteral("EDITED"));
    w.child<QRadioButton>("SaveToClipRadioButton")->click();
    w.child<QPushButton>("SaveInfoButton")->click();
    const QString clip = QGuiApplication::clipboard()->text();
    QVERIFY(!clip.contains(QStringLiteral("EDITED")));
    QVERIFY(clip.contains(QStringLiteral("Game Serial     : NTR-ASME-USA\r\n")));
    QVERIFY(clip.contains(QStringLiteral("Internal Name   : MYGAME\r\n")));
    QVERIFY(clip.contains(QStringLiteral("File CRC32      : ") + q(loaded.display.CRC32)));
}

void ExportTest::iconExport_data()
{
    QTest::addColumn<bool>("transparentPixels");
    QTest::addColumn<bool>("checkedBefore");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QStringList>("written");
    QTest::newRow("index 0, box checked")
        << true << true << "game.png" << QStringList{"game-NoTrans.png", "game-Trans.png"};
    QTest::newRow("index 0, box unchecked")
        << true << false << "game" << QStringList{"game-NoTrans.png", "game-Trans.png"};
    QTest::newRow("no index 0") << false << false << "game.bmp" << QStringList{"game.png"};
}

void ExportTest::iconExport()
{
    QFETCH(bool, transparentPixels);
    QFETCH(bool, checkedBefore);
    QFETCH(QString, chosen);
    QFETCH(QStringList, written);
    fixture::TempDir dir;
    fixture::TempDir out;
    Window w;
    ImageBuilder image = sampleImage();
    if (!transparentPixels)
        image.banner(opaqueBanner());
    w.open(writeImage(dir, "x.nds", image));
    auto* box = w.child<QCheckBox>("IconTransparencyCheckBox");
    auto* view = w.child<cartscope::app::IconView>("IconImage");
    QCOMPARE(box->isEnabled(), transparentPixels);
    QCOMPARE(box->isChecked(), transparentPixels);
    if (transparentPixels && !checkedBefore)
        box->click();
    QCOMPARE(view->isTransparent(), checkedBefore);

    w.dialogs->saveAnswers = {q(out.file(chosen.toStdString()))};
    w.child<QPushButton>("SaveIconButton")->click();
    QVERIFY2(w.dialogs->errors.isEmpty(), qPrintable(w.dialogs->errors.join('|')));
    QCOMPARE(w.dialogs->last("save")->text, q(dir.file("x.png")));
    QCOMPARE(w.dialogs->last("save")->filters.front().description,
             QStringLiteral("Portable Network Graphics (*.png)"));
    QCOMPARE(filesBelow(out.path()), written);
    QCOMPARE(w.dialogs->informations, QStringList{QStringLiteral("Icon Saved")});

    // The box and the view end as they were.
    QCOMPARE(box->isChecked(), checkedBefore);
    QCOMPARE(view->isTransparent(), checkedBefore);

    for (const QString& name : written) {
        const Bytes png = fixture::readFile(out.file(name.toStdString()));
        QCOMPARE(hasChunk(png, "tRNS"), name.endsWith(QStringLiteral("-Trans.png")));
        // The sample's bottom-left pixel is palette colour 0, magenta 0x7C1F.
        if (hasChunk(png, "tRNS")) {
            const std::string all(png.begin(), png.end());
            const std::size_t at = all.find("tRNS");
            QVERIFY((Bytes(png.begin() + at + 4, png.begin() + at + 10) ==
                     Bytes{0, 248, 0, 0, 0, 248}));
        }
    }
}

void ExportTest::iconExportFailureRestoresTheCheckBox()
{
    fixture::TempDir dir;
    Window w;
    w.open(writeImage(dir, "x.nds", sampleImage()));
    auto* box = w.child<QCheckBox>("IconTransparencyCheckBox");
    box->click(); // unchecked
    w.dialogs->saveAnswers = {q(dir.file("missing/folder/game.png"))};
    w.child<QPushButton>("SaveIconButton")->click();
    QCOMPARE(w.dialogs->errors.size(), 1);
    QVERIFY(w.dialogs->errors.front().startsWith(
        QStringLiteral("Cannot create file \"%1\". ")
            .arg(q(dir.file("missing/folder/game-Trans.png")))));
    QVERIFY(w.dialogs->informations.isEmpty());
    QVERIFY(!box->isChecked());
    QVERIFY(!w.child<cartscope::app::IconView>("IconImage")->isTransparent());
}

QTEST_MAIN(ExportTest)
#include "export_test.moc"
