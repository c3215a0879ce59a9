// The load sequence: the two roads to OpenRom (the open dialog and drops), OpenRom itself,
// taking an image out of a .zip, and the release of the image when the window goes.

#include <algorithm>

#include <QCoreApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>

#include "app/background_pass.h"
#include "app/dsi_page.h"
#include "app/files_page.h"
#include "app/job_guard.h"
#include "app/main_window.h"
#include "app/polish.h"
#include "app/qt_text.h"
#include "app/rom_info_page.h"
#include "archive/zip_input.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/base/text.h"
#include "core/checksum/crc32_sink.h"
#include "core/load.h"

namespace cartscope::app {

namespace {

// Opened through a private copy of the image member, deleted with the image.
bool isArchiveName(const std::string& path)
{
    const std::string extension = core::extensionOf(path);
    return core::equalsIgnoreCase(extension, ".zip") || core::equalsIgnoreCase(extension, ".7z");
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
            openFile(toLocalPath(*chosen));
    });
}

void TForm1::openFile(const std::string& fileName, const std::optional<archive::Member>& member)
{
    // Pending replacements are saved (and then this file opened), dropped, or kept open.
    guarded([&] {
        if (settlePendingChanges([this, fileName, member] { openFile(fileName, member); }))
            OpenRom(fileName, member);
    });
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

void TForm1::OpenRom(const std::string& fileName, const std::optional<archive::Member>& member)
{
    releaseImage(); // 1.
    resetForLoad(); // 2. to 4.

    // 5.
    std::optional<std::uint32_t> copiedCrc; // computed while the archive's copy was written
    const std::optional<std::string> imagePath = imagePathFor(fileName, member, copiedCrc);
    if (!imagePath)
        return; // no image in the archive, or cancelled or failed: quietly nothing open
    setFileName(fileName);

    // 6. Read-only, with no sharing; held for every later step (the display, the whole-file
    //    read, extraction) until the next load or the end of the program, so every step sees
    //    the same file.
    ImageStream = std::make_unique<core::FileStream>(*imagePath, true);
    FSTabSheet->setImage(ImageStream.get(), &m_header);

    showImage(); // 7. to 16.
    updateChangesPage();

    // The one whole-file read: already done while an archive's copy was written, else on a
    // background thread while the window stays live.
    if (copiedCrc)
        readPassDone(*copiedCrc);
    else
        startReadPass();
}

// Stops the previous image's read, releases the image, then the temporary copy of an earlier
// archive. The copy is owned by one object that always deletes it with its private folder,
// also when the load that made it stopped before holding a stream: no copy is ever left behind.
void TForm1::releaseImage()
{
    m_pass->cancel();
    ++m_loadSerial;
    closePreview();
    FSTabSheet->setImage(nullptr, nullptr);
    ImageStream.reset();
    m_tempImage.reset();
}

void TForm1::resetForLoad()
{
    // 2.
    ImageLoaded = false;
    ZipCancelRequested = false;
    m_passDone = false;

    // 3. Clear the display. The file list is emptied and both extraction commands disabled
    //    here as well, at every load, so no command can ever run against an image that is no
    //    longer held.
    ClearInfo();
    m_fileName.clear();
    emptyFileList();
    m_pending.clear();
    updateChangesPage();

    // This load's consumers of the whole-file read, asked before anything is read: for an
    // archive they see the bytes while the copy is written.
    m_passSinks.clear();
    for (const PassSinkProvider& provider : m_passSinkProviders) {
        for (std::shared_ptr<core::ReadSink>& sink : provider())
            m_passSinks.push_back(std::move(sink));
    }

    // 4.
    TempImagePath.clear();
}

std::optional<std::string> TForm1::imagePathFor(const std::string& fileName,
                                                const std::optional<archive::Member>& member,
                                                std::optional<std::uint32_t>& copiedCrc)
{
    if (!isArchiveName(fileName))
        return fileName;
    // A folder, FIFO, device or broken link named *.zip or *.7z is refused with its reason before
    // anything is read, as one named *.nds is by the open of step 6.
    core::requireRegularFile(fileName);
    TempImagePath = ExtractFromZip(fileName, member, copiedCrc);
    if (TempImagePath.empty())
        return std::nullopt;
    return TempImagePath;
}

void TForm1::showImage()
{
    // 7. to 10. Header, banner and tables, by the steps every front end takes. What the steps
    //    before a failure yielded is shown all the same.
    core::LoadedImage loaded;
    try {
        core::analyse(*ImageStream, loaded);
    } catch (...) {
        showLoaded(loaded);
        throw;
    }
    showLoaded(loaded);
    FileEntries = std::move(loaded.files);
    DirEntries = std::move(loaded.dirs);

    // 11. and 12. The display values; the CRC-32 follows from the whole-file read.
    PopulateEdits(CurrentHeader, CurrentBanner);

    // 14.
    ParseArraysToList();

    // 15. "Save Info To:" waits for the CRC-32: a report never carries a partial value.
    RomInfoTabSheet->setSaveIconEnabled(true);

    // 16.
    ImageLoaded = true;
}

void TForm1::PopulateDsiInfo(const core::BannerInfo& banner)
{
    RomInfoTabSheet->showBannerExtras(banner);
    DsiTabSheet->show(banner, m_header.dsi);
    m_bannerCrcBad = std::any_of(banner.crcs.begin(), banner.crcs.end(),
                                 [](const core::BannerCrc& crc) { return !crc.ok(); });
}

void TForm1::showLoaded(const core::LoadedImage& loaded)
{
    using Stage = core::LoadedImage::Stage;
    m_header = loaded.header;
    if (loaded.stage >= Stage::Header) {
        CurrentHeader = loaded.header.ds;
        RomInfoTabSheet->bannerStepBegins();
    }
    if (loaded.stage >= Stage::Banner) {
        CurrentBanner = loaded.banner.original;
        m_bannerInfo = loaded.banner.info;
        // The check box handler does nothing here (ImageLoaded is false), so the view is set
        // directly: transparent exactly when some pixel has palette index 0.
        RomInfoTabSheet->showIcon(loaded.banner.icon, loaded.banner.hasTransparency);
        // Beside the banner: versions, CRCs, extra titles, animation, DSi page.
        PopulateDsiInfo(loaded.banner.info);
    }
}

bool TForm1::readPassRunning() const
{
    return m_pass->running();
}

void TForm1::startReadPass()
{
    m_passCrc = std::make_unique<core::Crc32Sink>();
    std::vector<core::ReadSink*> sinks{m_passCrc.get()};
    for (const auto& sink : m_passSinks)
        sinks.push_back(sink.get());
    readPassProgress(0);
    m_pass->start(*ImageStream, std::move(sinks));
}

void TForm1::readPassProgress(int percent)
{
    RomInfoTabSheet->showCrc32Progress(percent);
}

void TForm1::readPassDone(std::uint32_t crc)
{
    m_passDone = true;
    m_shown.crc32 = crc;
    RomInfoTabSheet->showCrc32(core::crc32Text(crc));
    updateSaveInfoEnabled();
    Q_EMIT readPassFinished();
}

void TForm1::readPassFailed(const QString& message)
{
    // Extraction reads the same image: while it runs, the failure waits for its end.
    if (m_job != Job::None) {
        QTimer::singleShot(50, this, [this, message, load = m_loadSerial] {
            if (load == m_loadSerial) // no other load has started meanwhile
                readPassFailed(message);
        });
        return;
    }
    // As a load that fails: the message, nothing loaded, the image released; the name stays.
    ImageLoaded = false;
    closePreview();
    FSTabSheet->setImage(nullptr, nullptr);
    ImageStream.reset();
    ClearInfo();
    emptyFileList();
    setFileName(m_fileName);
    m_dialogs->error(this, QString::fromStdString(core::withFullStop(message.toStdString())));
}

void TForm1::updateSaveInfoEnabled()
{
    const bool ready = ImageLoaded && m_passDone && m_job == Job::None;
    RomInfoTabSheet->setSaveInfoEnabled(ready);
}

void TForm1::setFileName(const std::string& fileName)
{
    m_fileName = fileName;
    FNameEdit->setText(fromLocalPath(fileName));
}

std::string TForm1::ExtractFromZip(const std::string& archivePath,
                                   const std::optional<archive::Member>& member,
                                   std::optional<std::uint32_t>& copiedCrc)
{
    archive::ExtractEvents events;
    bool began = false; // a member was found and its extraction began
    events.onBegin = [this, &began](const std::string&, std::size_t) {
        began = true;
        RomUnZipBegin();
    };
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
        std::vector<core::ReadSink*> sinks;
        for (const auto& sink : m_passSinks)
            sinks.push_back(sink.get());
        extracted = member ? archive::extractImageMember(archivePath, *member, events, sinks)
                           : archive::extractFirstImage(archivePath, events, sinks);
    }
    if (!extracted && !began && !ZipCancelRequested) {
        // The load stays silent, as for any archive without an image; the empty name field
        // says why, without a text of its own.
        const QString reason = member ? QStringLiteral("the archive no longer holds that image")
                                      : QStringLiteral("the archive holds no .nds or .ids file");
        FNameEdit->setPlaceholderText(reason);
        FNameEdit->setToolTip(reason);
    }
    if (!extracted || ZipCancelRequested)
        return {}; // whatever was written went with the temporary folder
    std::string path = extracted->path;
    copiedCrc = extracted->crc32;
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
    if (m_job == Job::Write) {
        m_write.cancel();
        endWriteJob();
        Q_EMIT writeEnded(false);
        return;
    }
    ZipCancelRequested = true;
}

void TForm1::PopulateEdits(const core::TNDSHeader& header, const core::TNDSBanner& banner)
{
    showDisplayValues(core::headerValues(header, banner, std::nullopt));
}

void TForm1::showDisplayValues(const core::HeaderValues& v)
{
    m_shown = v;
    RomInfoTabSheet->showValues(v);
    // The path shows its end, where the file's name is.
    FNameEdit->setCursorPosition(FNameEdit->text().size());
}

void TForm1::FormDestroy()
{
    // A write in flight reads the image: stopped first, its copy left unnamed and gone.
    m_write.cancel();
    m_writeGuard.reset();
    releaseImage();
    TempImagePath.clear();
    setAcceptDrops(false);
}

} // namespace cartscope::app
