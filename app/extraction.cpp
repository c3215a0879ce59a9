// Extraction from page "File System Info": one file, the whole tree, and the members of a NARC
// archive, each into a folder the user chooses.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include <QCoreApplication>
#include <QEventLoop>

#include "app/files_page.h"
#include "app/job_guard.h"
#include "app/main_window.h"
#include "app/narc_dialog.h"
#include "app/progress_dialog.h"
#include "app/qt_text.h"
#include "app/sdat_dialog.h"
#include "core/base/paths.h"
#include "core/base/text.h"
#include "core/extract/extract.h"
#include "core/extract/space.h"
#include "core/fs/narc.h"
#include "core/fs/system_files.h"
#include "core/rebuild/decompress.h"
#include "core/rebuild/layout_writer.h"

namespace cartscope::app {

namespace {

// The decompression of a finished run's files: where each row went, and the image's header when
// the plan holds system rows (the ARM9 binary and overlays are found through it).
core::rebuild::DecompressOptions decompressOptions(const std::vector<core::PlannedFile>& plan,
                                                   const core::ExtractSummary& summary,
                                                   const core::rebuild::WrittenNames& renamed,
                                                   const core::HeaderRecord* header)
{
    core::rebuild::DecompressOptions options;
    options.writtenAt = core::rebuild::writtenPlaces(summary, renamed);
    const bool system = std::any_of(plan.begin(), plan.end(),
                                    [](const core::PlannedFile& p) { return p.row.system; });
    options.header = system ? header : nullptr;
    return options;
}

// The files that looked compressed but did not decode, told after the confirmation.
void tellLeftAsStored(Dialogs& dialogs, QWidget* parent,
                      const std::vector<core::ExtractFailure>& warnings)
{
    if (warnings.empty())
        return;
    QStringList lines;
    for (const core::ExtractFailure& w : warnings)
        lines << fromCoreText(w.path) + QStringLiteral(": ") + fromCoreText(w.message);
    dialogs.information(parent, QStringLiteral("Written as stored (they did not decompress):\n") +
                                    lines.join(QStringLiteral("\n")));
}

} // namespace

void TForm1::ParseArraysToList()
{
    FSTabSheet->showFiles(FileEntries, DirEntries);
}

void TForm1::emptyFileList()
{
    closeNarcDialogs();
    FSTabSheet->clear();
}

std::optional<std::string> TForm1::chooseExtractionBase()
{
    // The name of the folder that will be made: the internal name as cleaned for the file system
    // (with its invisible characters marked), not the raw text.
    const QString status =
        QStringLiteral("A New SubDir '") +
        fromLocalPath(core::markInvisible(core::cleanName(m_shown.internalName))) +
        QStringLiteral("' Will Be Created Here");
    const std::optional<QString> chosen = m_dialogs->getExistingDirectory(
        this, QString::fromLatin1(kFolderPickerTitle), status, fromLocalPath(LastExtractDir));
    if (!chosen || chosen->isEmpty())
        return std::nullopt;
    LastExtractDir = toLocalPath(*chosen);
    std::string base = LastExtractDir;
    if (base.back() != '/')
        base += '/';
    return base;
}

void TForm1::ExtractThisFile1Click()
{
    guarded([&] {
        // Extraction needs the image the rows belong to; the list is emptied whenever it goes.
        if (m_job != Job::None || !ImageStream)
            return;
        // Without a focused row there is nothing to extract, so nothing happens.
        const std::optional<core::FileRow> focused = FSTabSheet->currentRow();
        if (!focused)
            return;
        const core::FileRow row = *focused;
        // A row the run would refuse (a system file past the end of the image) is refused
        // before anything is asked.
        core::requireExtractable(row);
        const std::optional<std::string> base = chooseExtractionBase();
        if (!base)
            return;
        const std::vector<core::PlannedFile> plan =
            core::planExtraction(*base, m_shown.internalName, {row});
        // One row may name a range of up to 2 GiB: the same question as for the whole tree.
        if (!roomForExtraction(plan))
            return;
        core::extractPlanned(*ImageStream, plan.front());
        // As the copy, on the window's thread: one file, decompressed in memory of at most the
        // decoders' caps.
        std::vector<core::ExtractFailure> warnings;
        if (FSTabSheet->decompressWhenExtracting()) {
            const core::ExtractSummary copied;
            const core::rebuild::WrittenNames renamed;
            warnings = core::rebuild::decompressWritten(
                           *ImageStream, plan, decompressOptions(plan, copied, renamed, &m_header))
                           .warnings;
        }
        m_dialogs->information(this, QStringLiteral("File Extracted"));
        tellLeftAsStored(*m_dialogs, this, warnings);
    });
}

// Before a run (one file or the whole tree): when the rows need more than the destination has free,
// the user decides. Thousands of rows may name one large range, so a small image can ask for far
// more than the disk holds; a run that fills the disk would end in "Stream write error" halfway.
//
// What is counted is what can be written: rows inside the image, each file in whole blocks of the
// destination, and one inode per file and folder where the file system counts them.
bool TForm1::roomForExtraction(const std::vector<core::PlannedFile>& plan)
{
    const std::optional<core::Room> room = m_freeSpace ? m_freeSpace(LastExtractDir) : std::nullopt;
    if (!room)
        return true;
    // A row the run will refuse (a system file past the end of the image) writes nothing.
    const core::Needs needs = core::neededRoom(plan, ImageStream->size(), room->blockSize);
    const std::optional<std::string> shortfall = core::shortOfRoom(needs, *room, LastExtractDir);
    if (!shortfall)
        return true;
    return m_dialogs->question(this,
                               fromLocalPath(*shortfall) + QStringLiteral(". Extract anyway?"));
}

// The run goes through core::runExtraction (which keeps the folder of the previous file open) and
// its progress call stands in for the loop's body: a call with `done` above the files counted
// so far means a file has been copied, so the bar advances and pending input runs, where a
// Cancel click arrives; a call with a file then tests ExtractCancelled and, when clear, shows
// that file. The final call (no file) counts the last one. So a Cancel takes effect between
// files, and "Rom Extracted" follows a cancelled run as well.
//
// Rows that would land on one path (a file and a folder of the same name, duplicate names
// after cleaning) are written under a suffixed name, "name (2).bin". The progress dialog shows
// the suffixed path in both of its fields as that file is copied; the confirmation keeps its
// exact text.
void TForm1::ExtractAllButtonClick()
{
    guarded([&] {
        if (m_job != Job::None || !ImageStream)
            return;
        const std::optional<std::string> base = chooseExtractionBase();
        if (!base)
            return;
        // Every destination is planned (and confirmed inside the chosen folder) before the
        // first file is written.
        const std::vector<core::PlannedFile> plan =
            core::planExtraction(*base, m_shown.internalName, FSTabSheet->rows());
        if (!roomForExtraction(plan))
            return;
        const std::vector<core::ExtractFailure> warnings = runTreeExtraction(plan);
        m_dialogs->information(this, QStringLiteral("Rom Extracted"));
        tellLeftAsStored(*m_dialogs, this, warnings);
    });
}

// The whole tree's run, as a job under the progress dialog; with "Decompress When Extracting"
// the files written are then decompressed under the same dialog. Returns the files that looked
// compressed but did not decode.
std::vector<core::ExtractFailure>
TForm1::runTreeExtraction(const std::vector<core::PlannedFile>& plan)
{
    const int total = static_cast<int>(plan.size());
    // Pending input runs after every file; the guard keeps it from replacing the image,
    // re-sorting the rows, starting another extraction or closing the window.
    JobGuard job(*this, Job::Tree);
    struct HideWhenDone {
        TForm2* dialog;
        ~HideWhenDone() { dialog->finish(); }
    } hide{m_form2};
    m_form2->start(total);
    std::size_t counted = 0;
    core::ExtractOptions options;
    core::rebuild::WrittenNames renamed;
    // A plan with the system rows writes the layout that rebuilds the image: what it needs of
    // the image is read while the run copies the files, and each file is looked up once
    // finished.
    std::optional<core::rebuild::LayoutInAdvance> layout;
    if (!plan.empty())
        layout.emplace(core::rebuild::ExtractedImage{
            *ImageStream, m_header, FileEntries, DirEntries, plan, renamed,
            std::string(plan.front().baseFolder()), m_shown.internalName});
    // A destination that folds letter case sent the file under a " (2)" name: the
    // dialog shows the name written, as it does for names the plan had to change.
    options.onRenamed = [&](const core::PlannedFile& f, const std::string& written) {
        renamed[&f] = written;
        m_form2->showFile(
            fromLocalPath(core::markInvisible(written)),
            fromLocalPath(core::markInvisible(std::string(f.baseFolder()) + written)));
    };
    options.onProgress = [&](const core::ExtractProgress& p) {
        if (layout)
            layout->progress(p);
        if (p.done > counted) {
            for (; counted < p.done; ++counted)
                m_form2->advance();
            Q_EMIT fileExtracted(static_cast<int>(counted), total);
            // Cancel is looked at after every file; the dialog is painted only at its
            // own pace (thousands of small files a second would otherwise be painted
            // one by one).
            m_form2->pacePainting();
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            m_form2->holdPainting();
        }
        if (!p.current)
            return true;
        if (m_form2->ExtractCancelled)
            return false; // this row and every later one are skipped
        m_form2->showFile(fromLocalPath(core::markInvisible(p.current->relative)),
                          fromLocalPath(core::markInvisible(p.current->full())));
        return true;
    };
    const core::ExtractSummary summary = core::runExtraction(*ImageStream, plan, options);
    core::rebuild::DecompressionRun decompressed;
    if (FSTabSheet->decompressWhenExtracting() && !summary.cancelled)
        decompressed = decompressTree(plan, decompressOptions(plan, summary, renamed, &m_header));
    // The whole tree with the system files shown, every row written: the layout that rebuilds
    // the image (a plan without the system rows writes none); it records the files written
    // decompressed and keeps their image bytes.
    if (!summary.cancelled && !decompressed.cancelled && summary.failures.empty() && layout)
        layout->write(decompressed.files);
    return decompressed.warnings;
}

// The run's files that are compressed, written again decompressed on a thread of their own (a
// file may take a while to decode), while the progress dialog shows each file over the rows
// again and pending input runs, as during the copy. Cancel stops the run before the next file:
// the files done stay decompressed, the rest as written. A file that cannot be written raises
// its error here, on the window's thread.
core::rebuild::DecompressionRun TForm1::decompressTree(const std::vector<core::PlannedFile>& plan,
                                                       core::rebuild::DecompressOptions options)
{
    // Shared with the deliveries (copies of the texts, never the plan's rows).
    struct Shown {
        std::mutex lock;
        // The latest file begun, guarded by `lock`.
        QString relative;
        QString full;
        int index = 0;
        std::atomic<bool> posted{false};
    };
    const auto shown = std::make_shared<Shown>();
    auto cancel = std::make_shared<std::atomic<bool>>(m_form2->ExtractCancelled);
    const QMetaObject::Connection onCancel =
        connect(m_form2, &TForm2::cancelRequested, this, [cancel] { *cancel = true; });
    m_form2->restartBar(static_cast<int>(plan.size()));
    options.interrupted = [cancel] { return cancel->load(); };
    // One delivery waits at a time; it shows the latest file begun.
    options.onFile = [this, shown, first = plan.data()](const core::PlannedFile& p) {
        {
            const std::lock_guard<std::mutex> hold(shown->lock);
            shown->relative = fromLocalPath(core::markInvisible(p.relative));
            shown->full = fromLocalPath(core::markInvisible(p.full()));
            shown->index = static_cast<int>(&p - first);
        }
        if (shown->posted.exchange(true))
            return;
        QMetaObject::invokeMethod(
            m_form2,
            [form2 = m_form2, shown] {
                shown->posted = false;
                const std::lock_guard<std::mutex> hold(shown->lock);
                form2->showFile(shown->relative, shown->full);
                form2->showProgress(shown->index);
            },
            Qt::QueuedConnection);
    };
    core::rebuild::DecompressionRun run;
    std::exception_ptr failure;
    QEventLoop loop;
    std::thread worker([&] {
        try {
            run = core::rebuild::decompressWritten(*ImageStream, plan, options);
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    disconnect(onCancel);
    if (failure)
        std::rethrow_exception(failure);
    m_form2->showProgress(static_cast<int>(plan.size()));
    return run;
}

void TForm1::ShowNarcContents1Click()
{
    const std::optional<core::FileRow> row = FSTabSheet->currentRow();
    if (m_job != Job::None || !row)
        return;
    showNarc(row->path);
}

void TForm1::showNarc(const std::string& path)
{
    guarded([&] {
        if (m_job != Job::None || !ImageStream)
            return;
        // A sound archive inside the archive opens in its own dialog.
        const core::PlacedFile file = core::placeFile(*ImageStream, FSTabSheet->treeRows(), path);
        std::array<std::uint8_t, 4> head{};
        if (file.path == path && file.size >= 4 &&
            file.stream(*ImageStream).pread(file.offset, head) == 4 &&
            std::memcmp(head.data(), "SDAT", 4) == 0) {
            showSdatAt(path);
            return;
        }
        auto* dialog =
            new NarcDialog(core::openNarc(*ImageStream, FSTabSheet->treeRows(), path), this);
        connect(dialog, &NarcDialog::extractRequested, this, &TForm1::extractNarc);
        connect(dialog, &NarcDialog::openRequested, this, &TForm1::showNarc);
        connectNarcPreview(dialog);
        std::erase_if(m_narcDialogs, [](const QPointer<NarcDialog>& d) { return d.isNull(); });
        m_narcDialogs.emplace_back(dialog);
        dialog->show();
    });
}

void TForm1::showSdat()
{
    if (const std::optional<core::FileRow> row = FSTabSheet->currentRow())
        showSdatAt(row->path);
}

// The sound archive at `path`: a file of the tree, or one inside a NARC archive (compressed or
// not).
void TForm1::showSdatAt(const std::string& path)
{
    guarded([&] {
        if (m_job != Job::None || !ImageStream)
            return;
        auto* dialog =
            new SdatDialog(core::openSdat(*ImageStream, FSTabSheet->treeRows(), path), this);
        connect(dialog, &SdatDialog::extractRequested, this, &TForm1::extractSdat);
        connectSdatPreview(dialog);
        std::erase_if(m_sdatDialogs, [](const QPointer<SdatDialog>& d) { return d.isNull(); });
        m_sdatDialogs.emplace_back(dialog);
        dialog->show();
    });
}

// The archive's files, in the layout `list --sdat` shows, like a NARC's members.
void TForm1::extractSdat(const core::Sdat& sdat)
{
    extractArchiveRows(core::narcFolderName(sdat.path), core::sdatExtractRows(sdat),
                       sdat.decompressed, QStringLiteral("Sound Archive Extracted"));
}

void TForm1::extractNarc(const core::Narc& narc)
{
    extractArchiveRows(core::narcFolderName(narc.path), core::narcRows(narc), narc.decompressed,
                       QStringLiteral("NARC Extracted"));
}

// An archive's members into <chosen folder>/<archive name without extension>/. Members that
// do not fit are left out and named afterwards; the others are written. The rows of an archive
// that is compressed (or lies in one) are read from its decompressed bytes, the others from the
// image.
void TForm1::extractArchiveRows(const std::string& folder, std::vector<core::FileRow> rows,
                                std::shared_ptr<const core::DecompressedArchive> decompressed,
                                const QString& done)
{
    guarded([&] {
        if (m_job != Job::None || !ImageStream)
            return;
        const std::optional<QString> chosen = m_dialogs->getExistingDirectory(
            this, QString::fromLatin1(kFolderPickerTitle),
            QStringLiteral("A New SubDir '") + fromLocalPath(core::cleanName(folder)) +
                QStringLiteral("' Will Be Created Here"),
            fromLocalPath(LastExtractDir));
        if (!chosen || chosen->isEmpty())
            return;
        LastExtractDir = toLocalPath(*chosen);
        const std::vector<core::PlannedFile> plan =
            core::planExtraction(LastExtractDir, folder, std::move(rows));
        if (!roomForExtraction(plan))
            return;
        core::ExtractOptions options;
        options.recordRefused = true;
        core::rebuild::WrittenNames renamed;
        options.onRenamed = [&renamed](const core::PlannedFile& f, const std::string& written) {
            renamed[&f] = written;
        };
        const core::Stream& source =
            decompressed ? static_cast<const core::Stream&>(decompressed->stream) : *ImageStream;
        const core::ExtractSummary summary = core::runExtraction(source, plan, options);
        // Members are few and in memory already when their archive is compressed: decompressed
        // here, as they were copied.
        std::vector<core::ExtractFailure> warnings;
        if (FSTabSheet->decompressWhenExtracting())
            warnings = core::rebuild::decompressWritten(
                           source, plan, decompressOptions(plan, summary, renamed, nullptr))
                           .warnings;
        QStringList failures;
        for (const core::ExtractFailure& f : summary.failures)
            failures << fromCoreText(f.path) + QStringLiteral(": ") + fromCoreText(f.message);
        if (failures.isEmpty())
            m_dialogs->information(this, done);
        else
            m_dialogs->error(this, done + QStringLiteral(", except:\n") +
                                       failures.join(QStringLiteral("\n")));
        tellLeftAsStored(*m_dialogs, this, warnings);
    });
}

void TForm1::closeNarcDialogs()
{
    // The dialogs show an archive of the image that is going; delete them now, so none is left
    // over a different image.
    for (const QPointer<NarcDialog>& d : m_narcDialogs)
        delete d.data();
    m_narcDialogs.clear();
    for (const QPointer<SdatDialog>& d : m_sdatDialogs)
        delete d.data();
    m_sdatDialogs.clear();
}

} // namespace cartscope::app
