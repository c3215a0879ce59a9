// The report (file and clipboard) and the icon export, driven through their buttons.

#include <filesystem>

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>

#include "app/icon_view.h"
#include "core/load.h"
#include "tests/app/window_fixture.h"
#include "tests/cli/run_cli.h"

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
fixture::BannerFields opaqueBanner()
{
    fixture::BannerFields b = fixture::sampleBanner();
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
    void windowReportAndJsonShowTheSameValues();
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
    for (const auto& field : cartscope::core::kHeaderFields)
        QCOMPARE(w.text(field.control),
                 q(cartscope::core::valueText(field.kind, field.get(loaded.display))));

    // What the fields happen to hold is not what the report says: it is made from the values.
    for (const char* name : {"SerialEdit", "IntNameEdit", "CRC32Edit", "ActLogoCRC16Edit"})
        w.child<QLineEdit>(name)->setText(QStringLiteral("EDITED"));
    w.child<QRadioButton>("SaveToClipRadioButton")->click();
    w.child<QPushButton>("SaveInfoButton")->click();
    const QString clip = QGuiApplication::clipboard()->text();
    QVERIFY(!clip.contains(QStringLiteral("EDITED")));
    QVERIFY(clip.contains(QStringLiteral("Game Serial     : NTR-ASME-USA\r\n")));
    QVERIFY(clip.contains(QStringLiteral("Internal Name   : MYGAME\r\n")));
    QVERIFY(clip.contains(QStringLiteral("File CRC32      : ") +
                          q(cartscope::core::valueText(loaded.display, "CRC32Edit"))));
}

// One image through the three renderers of the page's field list: the window's fields, the
// report (the window's and the command line's) and the command line's JSON agree on every value
// they share.
void ExportTest::windowReportAndJsonShowTheSameValues()
{
    fixture::TempDir dir;
    Window w;
    // Stored CRC-16s that differ from each other and from what is computed, so the checks say
    // BAD; a version with a low digit of its own.
    ImageBuilder b = sampleImage();
    b.romVersion(0x2B).deviceCapacity(0x0B).stampCrcs(false);
    b.poke16(0x6C, 0x1234).poke16(0x15C, 0x5678).poke16(0x15E, 0x9ABC);
    const std::string image = writeImage(dir, "same.nds", b);
    w.open(image);
    w.waitForReadPass();
    w.child<QRadioButton>("SaveToClipRadioButton")->click();
    w.child<QPushButton>("SaveInfoButton")->click();
    const QString clip = QGuiApplication::clipboard()->text();
    const QStringList report = clip.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    const auto text = cartscope::testcli::cli({"info", image});
    const auto json = cartscope::testcli::cli({"info", "--json", image});
    QCOMPARE(text.status, 0);
    QCOMPARE(json.status, 0);
    // The two reports are one.
    QCOMPARE(q(text.out), QString(clip).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).object();

    const auto line = [&report](const char* label) {
        for (const QString& l : report)
            if (l.startsWith(QLatin1String(label)))
                return l.mid(18);
        return QStringLiteral("<no line>");
    };
    // Fields with a JSON key of their own.
    for (const auto& field : cartscope::core::kHeaderFields)
        if (field.jsonKey)
            QCOMPARE(w.text(field.control), o.value(QLatin1String(field.jsonKey)).toString());
    QCOMPARE(line("Internal Name"), w.text("IntNameEdit"));
    QCOMPARE(line("Game Serial"), w.text("SerialEdit"));
    QCOMPARE(line("Maker Code"), w.text("MakerCodeEdit"));
    QCOMPARE(line("Publisher"), w.text("MakerNameEdit"));
    QCOMPARE(line("File Size"), w.text("FileSizeEdit"));
    QCOMPARE(line("Card Size"), w.text("CardSizeEdit"));
    QCOMPARE(line("File CRC32"), w.text("CRC32Edit"));
    QCOMPARE(line("Version"), QStringLiteral("1.B (%1h)").arg(w.text("VersionCodeEdit")));
    QCOMPARE(w.text("VersionCodeEdit"), QStringLiteral("2B"));
    QCOMPARE(o.value(QLatin1String("fileSize")).toInteger(),
             static_cast<qint64>(std::filesystem::file_size(image)));
    QCOMPARE(o.value(QLatin1String("badDump")).toBool(),
             w.text("BadDumpCodeEdit") == QLatin1String(cartscope::core::kBadDumpFoundText));
    // The three CRC-16 checks: stored, computed and verdict in each.
    struct Check {
        const char* key;
        const char* area;
        const char* label;
    };
    for (const Check c :
         {Check{"secureArea", "SecArea", "Secure Checksum"}, Check{"logo", "Logo", "Logo Checksum"},
          Check{"header", "Header", "Header Checksum"}}) {
        const QJsonObject check =
            o.value(QLatin1String("checks")).toObject().value(QLatin1String(c.key)).toObject();
        const QString area = QLatin1String(c.area);
        const QString stored = w.text(("Exp" + area + "CRC16Edit").toLatin1().constData());
        const QString computed = w.text(("Act" + area + "CRC16Edit").toLatin1().constData());
        const QString verdict = w.text((area + "CheckEdit").toLatin1().constData());
        QCOMPARE(check.value(QLatin1String("stored")).toString(), stored);
        QCOMPARE(check.value(QLatin1String("computed")).toString(), computed);
        QCOMPARE(check.value(QLatin1String("ok")).toBool(), verdict == QLatin1String("OK"));
        QCOMPARE(line(c.label), computed + QStringLiteral(" (") + verdict + QLatin1Char(')'));
    }
    QCOMPARE(w.text("ExpLogoCRC16Edit"), QStringLiteral("5678"));
    QCOMPARE(w.text("SecAreaCheckEdit"), QStringLiteral("BAD"));
    // The titles: the window's six tabs, the JSON's list and the report's sections.
    const QJsonArray titles = o.value(QLatin1String("titles")).toArray();
    for (int slot = 0; slot < 6; ++slot) {
        const QByteArray name = QStringLiteral("Lang%1TntRichEdit").arg(slot + 1).toLatin1();
        const QString shown = w.child<QTextEdit>(name.constData())->toPlainText();
        QCOMPARE(titles.at(slot).toString(), shown);
        QVERIFY(shown.isEmpty() || report.contains(shown));
    }
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
