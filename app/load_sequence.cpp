// The load sequence: the two roads to OpenRom (the open dialog and drops), OpenRom itself,
// taking an image out of a .zip, and the release of the image when the window goes.

#include <QCheckBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>
#include <QTreeWidget>

#include "app/icon_view.h"
#include "app/job_guard.h"
#include "app/main_window.h"
#include "app/qt_text.h"
#include "archive/zip_input.h"
#include "core/paths.h"

namespace cartscope::app {

namespace {

bool isArchiveName(const std::string& path)
{
    return core::equalsIgnoreCase(core::extensionOf(path), ".zip");
}

QColor toQColor(core::Rgb c)
{
    return {c.r, c.g, c.b};
}

} // namespace

void TForm1::OpenRomSpeedButtonClick()
{
    guarded([&] {
        if (m_job != Job::None)
            return;
        // No extension test: whatever the user chose or typed is opened.
        const std::optional<QString> chosen = m_dialogs->getOpenFileName(this, openImageFilters());
        if (chosen)
            OpenRom(toLocalPath(*chosen));
    });
}

void TForm1::openFile(const std::string& fileName)
{
    guarded([&] { OpenRom(fileName); });
}

void TForm1::HandleDroppedFile(const QList<QUrl>& urls)
{
    if (m_job != Job::None || urls.isEmpty())
        return;
    // Only the first dropped file counts, even when a later one would be accepted.
    const QUrl& first = urls.front();
    if (!first.isLocalFile())
        return;
    const QString local = first.toLocalFile();
    // A folder (even one named x.nds), a missing file or anything else that is not a regular
    // file is ignored.
    if (!QFileInfo(local).isFile())
        return;
    const std::string path = toLocalPath(local);
    if (core::isDroppableName(path))
        openFile(path);
}

void TForm1::OpenRom(const std::string& fileName)
{
    // 1. Release the open image, then the temporary copy of an earlier archive. The copy is
    //    owned by one object that always deletes it with its private folder, also when the
    //    load that made it stopped before holding a stream: no copy is ever left behind.
    ImageStream.reset();
    m_tempImage.reset();

    // 2.
    ImageLoaded = false;
    ZipCancelRequested = false;

    // 3. Clear the display. The file list is emptied and both extraction commands disabled
    //    here as well, at every load, so no command can ever run against an image that is no
    //    longer held.
    ClearInfo();
    m_fileName.clear();
    emptyFileList();

    // 4.
    TempImagePath.clear();

    // 5.
    std::string imagePath = fileName;
    if (isArchiveName(fileName)) {
        // A folder, FIFO, device or broken link named *.zip is refused with its reason before
        // anything is read, as one named *.nds is by the open of step 6.
        core::requireRegularFile(fileName);
        TempImagePath = ExtractFromZip(fileName);
        imagePath = TempImagePath;
        if (imagePath.empty())
            return; // no image in the archive, or cancelled or failed: quietly nothing open
    }
    setFileName(fileName);

    // 6. Read-only, with no sharing.
    ImageStream = std::make_unique<core::FileStream>(imagePath, true);

    // 7.
    core::TNDSHeader header;
    core::PopulateNDSHeader(*ImageStream, header);
    CurrentHeader = header;

    // 8.
    core::TNDSBanner banner;
    PopulateNDSBanner(core::headerOffsetPosition(CurrentHeader.BannerOffset), banner);
    CurrentBanner = banner;
    PopulateDsiInfo(); // beside the banner: versions, CRCs, extra titles, animation, DSi page

    // 9.
    FileEntries.clear();
    DirEntries.clear();

    // 10.
    core::ParseFNT(*ImageStream, core::headerOffsetPosition(CurrentHeader.FntOffset),
                   core::headerOffsetPosition(CurrentHeader.FatOffset), FileEntries, DirEntries);

    // 11. Free the file for the display step, which reads it by name for the CRC-32.
    ImageStream.reset();

    // 12.
    PopulateEdits(CurrentHeader, CurrentBanner, imagePath);

    // 13. Held for extraction until the next load or the end of the program.
    ImageStream = std::make_unique<core::FileStream>(imagePath, true);

    // 14.
    ParseArraysToList();

    // 15.
    SaveInfoButton->setEnabled(true);
    SaveToFileRadioButton->setEnabled(true);
    SaveToClipRadioButton->setEnabled(true);
    SaveIconButton->setEnabled(true);

    // 16.
    ImageLoaded = true;
}

void TForm1::setFileName(const std::string& fileName)
{
    m_fileName = fileName;
    FNameEdit->setText(fromLocalPath(fileName));
}

std::string TForm1::ExtractFromZip(const std::string& archivePath)
{
    archive::ExtractEvents events;
    events.onBegin = [this](const std::string&, std::size_t) { RomUnZipBegin(); };
    events.onProgress = [this](int byFile, int byArchive) {
        return RomUnZipProgress(byFile, byArchive);
    };
    events.onEnd = [this] { RomUnZipDeactivate(); };
    // A Cancel handled during the last progress notification still discards the copy.
    events.cancelled = [this] { return ZipCancelRequested; };

    std::optional<archive::ExtractedImage> extracted;
    {
        // Pending input runs during the extraction; nothing may start another load, touch the
        // list or close the window meanwhile.
        JobGuard job(*this, Job::Archive);
        extracted = archive::extractFirstImage(archivePath, events);
    }
    if (!extracted || ZipCancelRequested)
        return {}; // whatever was written went with the temporary folder
    std::string path = extracted->path;
    m_tempImage.emplace(std::move(extracted->temp));
    return path;
}

void TForm1::RomUnZipBegin()
{
    ExtProgressBar->setValue(0);
    ExtProgressPanel->raise();
    ExtProgressPanel->show();
}

bool TForm1::RomUnZipProgress(int /*byFile*/, int byArchive)
{
    ExtProgressBar->setValue(byArchive);
    // The request is taken before pending input runs, so a Cancel handled below acts at the
    // next notification (or, after the last one, through events.cancelled).
    const bool cancel = ZipCancelRequested;
    Q_EMIT zipProgress(byArchive);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return cancel;
}

void TForm1::RomUnZipDeactivate()
{
    ExtProgressPanel->hide();
    ExtProgressBar->setValue(0);
}

void TForm1::ExtCancelButtonClick()
{
    ZipCancelRequested = true;
}

void TForm1::PopulateNDSBanner(std::uint64_t bannerPosition, core::TNDSBanner& banner)
{
    core::IconPicture picture;
    bool hasTransparency = false;
    IconTransparencyCheckBox->setChecked(false);
    core::PopulateNDSBanner(*ImageStream, banner, bannerPosition, picture, hasTransparency);
    // The check box handler does nothing here (ImageLoaded is false), so the view is set
    // directly: transparent exactly when some pixel has palette index 0.
    IconImage->setTransparent(hasTransparency);
    IconTransparencyCheckBox->setChecked(hasTransparency);
    IconTransparencyCheckBox->setEnabled(hasTransparency);
    IconImage->setPicture(picture);
}

void TForm1::PopulateEdits(const core::TNDSHeader& header, const core::TNDSBanner& banner,
                           const std::string& imagePath)
{
    // The values come from the core in the page's order; when one fails, those before it are
    // shown all the same and the failure goes on to the error display.
    core::DisplayValues values;
    try {
        core::computeDisplayValues(header, banner, imagePath, values);
    } catch (...) {
        showDisplayValues(values);
        throw;
    }
    showDisplayValues(values);
}

void TForm1::showDisplayValues(const core::DisplayValues& v)
{
    IntNameEdit->setText(fromCoreText(v.IntName));
    FileSizeEdit->setText(fromCoreText(v.FileSize));
    SerialEdit->setText(fromCoreText(v.Serial));
    MakerCodeEdit->setText(fromCoreText(v.MakerCode));
    MakerNameEdit->setText(fromCoreText(v.MakerName));
    CardSizeEdit->setText(fromCoreText(v.CardSize));
    CRC32Edit->setText(fromCoreText(v.CRC32));
    BadDumpCodeEdit->setText(fromCoreText(v.BadDumpCode));
    if (!v.BadDumpCode.empty()) {
        QPalette palette = BadDumpCodeEdit->palette();
        palette.setColor(QPalette::Base, toQColor(v.badDumpFound ? core::kBadDumpFoundColour
                                                                 : core::kBadDumpNotFoundColour));
        BadDumpCodeEdit->setPalette(palette);
    }
    VersionCodeEdit->setText(fromCoreText(v.VersionCode));
    UnitCodeEdit->setText(fromCoreText(v.UnitCode));
    DeviceCodeEdit->setText(fromCoreText(v.DeviceCode));
    ExpSecAreaCRC16Edit->setText(fromCoreText(v.ExpSecAreaCRC16));
    ActSecAreaCRC16Edit->setText(fromCoreText(v.ActSecAreaCRC16));
    SecAreaCheckEdit->setText(fromCoreText(v.SecAreaCheck));
    ExpLogoCRC16Edit->setText(fromCoreText(v.ExpLogoCRC16));
    ActLogoCRC16Edit->setText(fromCoreText(v.ActLogoCRC16));
    LogoCheckEdit->setText(fromCoreText(v.LogoCheck));
    ExpHeaderCRC16Edit->setText(fromCoreText(v.ExpHeaderCRC16));
    ActHeaderCRC16Edit->setText(fromCoreText(v.ActHeaderCRC16));
    HeaderCheckEdit->setText(fromCoreText(v.HeaderCheck));
    for (std::size_t i = 0; i < LangTntRichEdits.size() && i < v.Titles.size(); ++i)
        LangTntRichEdits[i]->setPlainText(QString::fromStdU16String(v.Titles[i]));
    // Long values show from their start.
    for (QLineEdit* edit : findChildren<QLineEdit*>())
        edit->setCursorPosition(edit == FNameEdit ? edit->text().size() : 0);
}

void TForm1::FormDestroy()
{
    FSListView->viewport()->removeEventFilter(this);
    ImageStream.reset();
    m_tempImage.reset();
    TempImagePath.clear();
    setAcceptDrops(false);
}

} // namespace cartscope::app
