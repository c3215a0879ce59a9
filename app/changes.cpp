// The "Changes" page's side of the window: replacements collected from the file list and
// written by "Save Rom As…", and the changed copies (trimmed, full size, checksums fixed,
// patched). The open image is only ever read; every copy is written beside its destination and
// renamed into place, on a thread of its own.

#include <algorithm>
#include <sys/stat.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

#include "app/files_page.h"
#include "app/job_guard.h"
#include "app/main_window.h"
#include "app/qt_text.h"
#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/base/paths.h"
#include "core/base/text.h"
#include "core/rebuild/bps.h"
#include "core/rebuild/fix_checksums.h"
#include "core/rebuild/ips.h"
#include "core/rebuild/output_file.h"
#include "core/rebuild/replace.h"
#include "core/rebuild/signed_regions.h"
#include "core/rebuild/trim_pad.h"

namespace cartscope::app {

// What a write's work is handed on its thread.
struct TForm1::WriteWork {
    const core::Stream& image;
    core::OutputFile& out;
    // Between blocks: throws when the write was cancelled, and reports the progress.
    core::Checkpoint checkpoint;
};

namespace {

constexpr const char* kWritingText = "Please Wait, Writing File...";
constexpr const char* kExtractingText = "Please Wait, Extracting File...";

// The largest patch read: a BPS patch is held whole while the target is built, as the command
// line holds it.
constexpr std::uint64_t kMaxPatchSize = core::kMaxWrittenImageSize;

// A message the cancelled write throws to stop; never shown.
constexpr const char* kCancelled = "Cancelled";

bool sameFile(const std::string& a, const std::string& b)
{
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::vector<std::uint8_t> readPatch(const std::string& path)
{
    const core::FileStream patch(path);
    if (patch.size() > kMaxPatchSize)
        throw core::Error("\"" + path + "\" is too large for a patch");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(patch.size()));
    patch.readExact(0, bytes);
    return bytes;
}

bool startsWith(const std::vector<std::uint8_t>& bytes, std::span<const std::uint8_t> magic)
{
    return bytes.size() >= magic.size() && std::equal(magic.begin(), magic.end(), bytes.begin());
}

std::string offsetText(std::uint64_t offset)
{
    return "0x" + core::hexText(offset, 1);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Pending replacements

void TForm1::ReplaceFile1Click()
{
    guarded([&] {
        const std::optional<core::FileRow> row = FSTabSheet->currentRow();
        if (m_job != Job::None || !ImageStream || !row || row->pathTooLong)
            return;
        // Asked first, so a file that cannot be replaced is said before a file is chosen.
        const std::uint64_t oldSize = core::rebuild::replaceableSize(*ImageStream, row->path);
        const std::optional<QString> chosen =
            m_dialogs->getOpenFileName(this, {{QStringLiteral("All Files (*)"), {"*"}}});
        if (!chosen)
            return;
        const std::string source = toLocalPath(*chosen);
        core::requireRegularFile(source);
        const core::FileStream file(source);
        PendingReplacement change{row->path, source, oldSize, file.size()};
        // A file replaced again keeps its place in the list with the newest choice.
        const auto same =
            std::find_if(m_pending.begin(), m_pending.end(),
                         [&](const PendingReplacement& p) { return p.path == row->path; });
        if (same != m_pending.end())
            *same = std::move(change);
        else
            m_pending.push_back(std::move(change));
        updateChangesPage();
    });
}

void TForm1::DiscardChangesButtonClick()
{
    if (m_job != Job::None)
        return;
    m_pending.clear();
    updateChangesPage();
}

void TForm1::updateChangesPage()
{
    ChangesTabSheet->showPending(m_pending);
    const bool checksumsBad = ImageLoaded && (!m_shown.header.ok() || m_bannerCrcBad);
    ChangesTabSheet->setState(ImageStream != nullptr && ImageLoaded, checksumsBad,
                              m_job == Job::None);
    const int page = PageControl->indexOf(ChangesTabSheet);
    PageControl->setTabText(page, m_pending.empty()
                                      ? QStringLiteral("Changes")
                                      : QStringLiteral("Changes (%1)").arg(m_pending.size()));
}

bool TForm1::settlePendingChanges(const std::function<void()>& then)
{
    if (m_pending.empty())
        return true;
    const QString name = fromLocalPath(core::markInvisible(core::namePart(m_fileName)));
    switch (m_dialogs->askSaveChanges(this, QStringLiteral("Save changes to %1?").arg(name))) {
    case SaveChoice::Discard:
        m_pending.clear();
        updateChangesPage();
        return true;
    case SaveChoice::Save:
        // The caller waits: it goes on from `then` once the copy is in place.
        guarded([&] { saveRomAs(then); });
        return false;
    case SaveChoice::Cancel:
        break;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// The writes

std::optional<std::string> TForm1::chooseOutput(const std::string& initial)
{
    const std::optional<QString> chosen =
        m_dialogs->getSaveFileName(this, fromLocalPath(initial), imageSaveFilter());
    if (!chosen || chosen->isEmpty())
        return std::nullopt;
    const std::string out = toLocalPath(*chosen);
    // The image as opened (and the archive it came from) is never written over.
    if (sameFile(out, ImageStream->path()) || sameFile(out, m_fileName))
        throw core::Error("\"" + out + "\" is the open image; choose another name for the copy");
    return out;
}

void TForm1::SaveRomAsButtonClick()
{
    guarded([&] { saveRomAs(nullptr); });
}

bool TForm1::saveRomAs(const std::function<void()>& then)
{
    if (m_job != Job::None || !ImageStream || m_pending.empty())
        return false;
    const std::optional<std::string> out = chooseOutput(core::replaceExtension(m_fileName, ".nds"));
    if (!out)
        return false;
    std::vector<core::rebuild::Replacement> replacements;
    for (const PendingReplacement& p : m_pending)
        replacements.push_back({p.path, p.source});
    startWrite(
        *out, ImageStream->size(),
        [replacements](const WriteWork& w) {
            core::rebuild::ReplaceOptions options;
            options.interrupted = [&] {
                try {
                    w.checkpoint();
                } catch (const core::Error&) {
                    return true;
                }
                return false;
            };
            return core::rebuild::replaceFiles(w.image, replacements, w.out, options).warnings;
        },
        [this, then](const std::string& saved) {
            m_pending.clear();
            updateChangesPage();
            // Saved on the way to another image or to closing: go on there; else the saved
            // image is opened.
            if (then)
                then();
            else
                openFile(saved);
        });
    return true;
}

void TForm1::FixChecksumsButtonClick()
{
    guarded([&] {
        if (m_job != Job::None || !ImageStream)
            return;
        const core::ChecksumFix fix = core::planChecksumFix(*ImageStream);
        if (fix.changes.empty()) {
            m_dialogs->information(this, QStringLiteral("The checksums need no fixing"));
            return;
        }
        const std::optional<std::string> out =
            chooseOutput(core::replaceExtension(m_fileName, " (fixed).nds"));
        if (!out)
            return;
        startWrite(
            *out, ImageStream->size(),
            [fix](const WriteWork& w) {
                core::writeChecksumFix(w.image, fix, w.out, w.checkpoint);
                std::vector<std::string> notes;
                for (const core::ChecksumChange& c : fix.changes)
                    notes.push_back(c.field + ": " + core::hex4(c.stored) + " -> " +
                                    core::hex4(c.computed));
                if (fix.brokenSignature)
                    notes.push_back(std::string("Warning: ") + core::kSignedRegionWarning +
                                    " (the " + *fix.brokenSignature +
                                    " covers a changed checksum)");
                return notes;
            },
            nullptr);
    });
}

void TForm1::SaveTrimmedButtonClick()
{
    guarded([&] {
        if (m_job != Job::None || !ImageStream)
            return;
        const core::TrimPlan plan = core::planTrim(*ImageStream);
        if (plan.fileSize == plan.usedSize) {
            m_dialogs->information(this, QStringLiteral("The image is already trimmed"));
            return;
        }
        if (plan.firstData &&
            !m_dialogs->question(
                this, fromCoreText("The bytes after the used size (" + offsetText(plan.usedSize) +
                                   ") are not padding; data at " + offsetText(*plan.firstData) +
                                   ". Cut them anyway?")))
            return;
        const std::optional<std::string> out =
            chooseOutput(core::replaceExtension(m_fileName, " (trimmed).nds"));
        if (!out)
            return;
        startWrite(
            *out, plan.usedSize,
            [plan](const WriteWork& w) {
                core::writeTrimmed(w.image, plan, w.out, w.checkpoint);
                return std::vector<std::string>{};
            },
            nullptr);
    });
}

void TForm1::SaveFullSizeButtonClick()
{
    guarded([&] {
        if (m_job != Job::None || !ImageStream)
            return;
        const std::uint64_t size = core::padTargetSize(*ImageStream, core::PadSize::Chip);
        if (size == ImageStream->size()) {
            m_dialogs->information(this, QStringLiteral("The image is already full size"));
            return;
        }
        const std::optional<std::string> out =
            chooseOutput(core::replaceExtension(m_fileName, " (full size).nds"));
        if (!out)
            return;
        startWrite(
            *out, size,
            [size](const WriteWork& w) {
                core::writePadded(w.image, size, 0xFF, w.out, w.checkpoint);
                return std::vector<std::string>{};
            },
            nullptr);
    });
}

void TForm1::ApplyPatchButtonClick()
{
    guarded([&] {
        if (m_job != Job::None || !ImageStream)
            return;
        const std::optional<QString> chosen = m_dialogs->getOpenFileName(
            this, {patchFilter(), {QStringLiteral("All Files (*)"), {"*"}}});
        if (!chosen)
            return;
        const std::string patchPath = toLocalPath(*chosen);
        core::requireRegularFile(patchPath);
        auto patch = std::make_shared<const std::vector<std::uint8_t>>(readPatch(patchPath));
        const bool bps = startsWith(*patch, core::kBpsMagic);
        if (!bps && !startsWith(*patch, core::kIpsMagic))
            throw core::Error("\"" + patchPath + "\" is neither a BPS nor an IPS patch");
        const std::optional<std::string> out =
            chooseOutput(core::replaceExtension(m_fileName, " (patched).nds"));
        if (!out)
            return;
        startWrite(
            *out, ImageStream->size(),
            [patch, bps](const WriteWork& w) {
                if (bps)
                    w.out.write(core::applyBps(*patch, w.image, w.checkpoint));
                else
                    core::writeIps(*patch, w.image, w.out, w.checkpoint);
                return std::vector<std::string>{};
            },
            nullptr);
    });
}

void TForm1::startWrite(const std::string& out, std::uint64_t expectedSize,
                        std::function<std::vector<std::string>(const WriteWork&)> work,
                        std::function<void(const std::string&)> then)
{
    // A file standing at the destination is replaced (the user chose the name in the save
    // dialog); a folder or a device there is refused before anything is written.
    const core::Overwrite overwrite = core::checkDestination(ImageStream->path(), out, true, false);
    m_writeGuard = std::make_unique<JobGuard>(*this, Job::Write);
    m_afterWrite = std::move(then);
    updateChangesPage();
    ExtProgressLabel->setText(QString::fromLatin1(kWritingText));
    ExtProgressBar->setValue(0);
    ExtProgressPanel->setVisible(true);
    const core::Stream& image = *ImageStream;
    m_write.start([this, &image, out, overwrite, expectedSize,
                   work = std::move(work)](const BackgroundJob::Run& run) {
        QString failure;
        std::vector<std::string> notes;
        try {
            core::OutputFile file(out, overwrite);
            int shown = 0;
            const core::Checkpoint checkpoint = [&] {
                if (run.cancelled())
                    throw core::Error(kCancelled);
                const std::uint64_t size = std::min(file.size(), expectedSize);
                const int percent =
                    expectedSize == 0 ? 100 : static_cast<int>(size * 100 / expectedSize);
                if (percent != shown) {
                    shown = percent;
                    run.deliver([this, percent] { ExtProgressBar->setValue(percent); });
                }
            };
            notes = work({image, file, checkpoint});
            checkpoint();
            file.commit();
        } catch (const std::exception& e) {
            failure = fromCoreText(e.what());
        }
        run.deliver([this, out, failure, notes] { writeFinished(out, failure, notes); });
    });
}

void TForm1::writeFinished(const std::string& out, const QString& failure,
                           const std::vector<std::string>& notes)
{
    m_write.finish();
    std::function<void(const std::string&)> then = std::move(m_afterWrite);
    endWriteJob();
    if (!failure.isEmpty()) {
        m_dialogs->error(this, QString::fromStdString(core::withFullStop(toCoreText(failure))));
        Q_EMIT writeEnded(false);
        return;
    }
    if (!notes.empty()) {
        QStringList lines;
        for (const std::string& note : notes)
            lines << fromCoreText(core::markInvisible(note));
        m_dialogs->information(this, lines.join(QLatin1Char('\n')));
    }
    Q_EMIT writeEnded(true);
    if (then)
        then(out);
}

void TForm1::endWriteJob()
{
    m_afterWrite = nullptr;
    ExtProgressPanel->setVisible(false);
    ExtProgressLabel->setText(QString::fromLatin1(kExtractingText));
    m_writeGuard.reset();
    updateChangesPage();
}

} // namespace cartscope::app
