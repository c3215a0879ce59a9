#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QList>
#include <QPointer>
#include <QUrl>
#include <QWidget>

#include "app/background_job.h"
#include "app/changes_page.h"
#include "app/dialogs.h"
#include "archive/reader.h"
#include "archive/temp_area.h"
#include "core/banner/banner.h"
#include "core/banner/banner_info.h"
#include "core/checksum/crc32_sink.h"
#include "core/extract/extract.h"
#include "core/extract/space.h"
#include "core/formats/sound/sdat.h"
#include "core/fs/filelist.h"
#include "core/fs/fnt.h"
#include "core/fs/narc.h"
#include "core/image/dsi.h"
#include "core/image/header.h"
#include "core/image/header_record.h"
#include "core/interpret.h"
#include "core/io/read_pass.h"
#include "core/io/stream.h"
#include "core/load.h"
#include "core/rebuild/decompress.h"

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QTabWidget;
class QToolButton;

namespace cartscope::app {

class BackgroundPass;
class VerificationPage;
class DsiPage;
class FilesPage;
class NarcDialog;
class PreviewWindow;
struct PreviewSource;
class SdatDialog;
class RomInfoPage;
class TForm2;

inline constexpr const char* kWindowCaption = "Cartscope v1.7";

// The main window. It owns all program-wide state: the open image, the temporary copy taken out
// of an archive, the records of the last load and the last extraction folder; it runs the load
// sequence and the long jobs, and wires the pages together. Each page is a widget class of its
// own that builds its controls and shows what it is given: "Rom Info" (RomInfoPage), "File
// System Info" (FilesPage, which keeps the rows and their sort state), "Verification"
// (VerificationPage) and "DSi" (DsiPage). The window's own sides live in separate files: load
// sequence (load_sequence.cpp), report and icon export (export.cpp), extraction
// (extraction.cpp).
//
// Long jobs (taking an image out of an archive, extracting the whole tree) let pending input
// run so that their Cancel buttons work. While one runs, every action that would disturb it is
// disabled or ignored: the "..." button, drops, both extraction commands, header clicks of the
// list, the save controls; closing the window is refused until the job has ended.
class TForm1 final : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(std::unique_ptr<Dialogs> dialogs = std::make_unique<QtDialogs>(),
                    QWidget* parent = nullptr);
    ~TForm1() override;

    // ---- Load sequence (load_sequence.cpp)
    // Loads the file and shows what the analysis yields. Raises the first failure; the state is
    // then what the completed steps left. An archive gives its first image, or `member` when
    // one is named (a row of a collection window); a plain image file ignores `member`.
    void OpenRom(const std::string& fileName,
                 const std::optional<archive::Member>& member = std::nullopt);
    // OpenRom with the window's error display around it (the command line, the dialog, drops,
    // a collection window).
    void openFile(const std::string& fileName,
                  const std::optional<archive::Member>& member = std::nullopt);
    // The drop rule: the first URL only; a local regular file with extension ".nds", ".ids",
    // ".dsi", ".srl" or ".zip" in any letter case is opened, anything else is ignored without
    // a message.
    void HandleDroppedFile(const QList<QUrl>& urls);
    // Resets what the "Rom Info" page displays.
    void ClearInfo();

    // ---- State, for the program and its tests
    bool imageLoaded() const { return ImageLoaded; }
    bool imageHeld() const { return ImageStream != nullptr; }
    const std::string& tempImagePath() const { return TempImagePath; }
    const std::vector<core::FileRow>& rows() const;
    const core::SortState& sortState() const;
    bool jobRunning() const { return m_job != Job::None; }
    const std::vector<PendingReplacement>& pendingChanges() const { return m_pending; }
    TForm2* progressDialog() const { return m_form2; }
    // The preview window, once a preview has been asked for (null before).
    PreviewWindow* previewWindow() const { return m_preview; }
    Dialogs& dialogs() { return *m_dialogs; }

    // The room at a destination folder, asked before an extraction; std::nullopt when unknown
    // (no question is asked then). core::roomAt unless a test replaces it.
    using FreeSpaceProbe = std::function<std::optional<core::Room>(const std::string& folder)>;
    void setFreeSpaceProbe(FreeSpaceProbe probe) { m_freeSpace = std::move(probe); }

    // ---- The whole-file read of each load (load_sequence.cpp)
    // Each load reads the image once, after the file list is filled, on a background thread
    // (or, for an image taken out of an archive, while the copy is written). The CRC-32 is one
    // consumer; more plug in here: every provider is asked once per load, at its start (before
    // the header is read), for the sinks that should see every byte of the image. Their results
    // are complete when readPassFinished() is emitted; a pass that is cancelled (a new load,
    // closing the window) or fails never emits it.
    using PassSinkProvider = std::function<std::vector<std::shared_ptr<core::ReadSink>>()>;
    void addPassSinkProvider(PassSinkProvider provider)
    {
        m_passSinkProviders.push_back(std::move(provider));
    }
    // True from the end of a load's sequence until its read has ended.
    bool readPassRunning() const;

    // ---- Size on the screen
    // The window keeps the design's layout at its own size. When that (with the window frame)
    // does not fit `available` (a screen's available area), the content scrolls inside a
    // window as large as `available` allows; it never grows past what the content needs. Run
    // at construction and whenever the window is shown, for the screen it is on.
    void fitInto(const QRect& available);
    // The content, laid out at its design size, inside the scroll area.
    QWidget* content() const { return m_content; }

Q_SIGNALS:
    // Raised in each progress notification of an archive extraction, after the cancel request
    // has been taken and before pending input is handled.
    void zipProgress(int byArchive);
    // Raised after each file of a whole-tree extraction, before pending input is handled.
    void fileExtracted(int done, int total);
    // The load's whole-file read has ended: the CRC-32 is shown, the report can be saved and
    // every sink of the providers is finished.
    void readPassFinished();
    // A write of the "Changes" page has ended: the new file is in place, or nothing was written.
    void writeEnded(bool written);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    enum class Job { None, Archive, Tree, Write };
    class JobGuard;

    // Construction in three steps.
    void createControls();
    void connectControls();
    void populateControls();
    void layoutControls();
    // The finish applied after the three steps (polish.cpp): keys, focus, colours, elision.
    void polishControls();

    // Runs a handler's body; a failure goes to the error display.
    void guarded(const std::function<void()>& body);
    void showError(const std::exception& error);

    // Load sequence side: OpenRom's steps.
    void releaseImage();
    void resetForLoad();
    // The image to open: the file itself, or the copy of an archive's image (with the CRC-32
    // computed as it was written); none when the archive holds none or its copy was cancelled.
    std::optional<std::string> imagePathFor(const std::string& fileName,
                                            const std::optional<archive::Member>& member,
                                            std::optional<std::uint32_t>& copiedCrc);
    // Analyses the held image and shows what each step yields; the image is loaded after it.
    void showImage();
    void OpenRomSpeedButtonClick();
    std::string ExtractFromZip(const std::string& archivePath,
                               const std::optional<archive::Member>& member,
                               std::optional<std::uint32_t>& copiedCrc);
    void RomUnZipBegin();
    bool RomUnZipProgress(int byFile, int byArchive);
    void RomUnZipDeactivate();
    void ExtCancelButtonClick();
    void PopulateEdits(const core::TNDSHeader& header, const core::TNDSBanner& banner);
    void showDisplayValues(const core::HeaderValues& values);
    void showLoaded(const core::LoadedImage& loaded);
    void startReadPass();
    void readPassProgress(int percent);
    void readPassDone(std::uint32_t crc);
    void readPassFailed(const QString& message);
    // "Save Info To:" is offered once a load and its read have ended, outside any job.
    void updateSaveInfoEnabled();
    void setFileName(const std::string& fileName);
    void FormDestroy();

    // The banner as its version describes it and the load's DSi header: fill the Chinese and
    // Korean tabs, the animation and the "DSi" page.
    void PopulateDsiInfo(const core::BannerInfo& banner);

    // Report and icon export side.
    void SaveInfoButtonClick();
    void SaveIconButtonClick();

    // File list and extraction side (extraction.cpp).
    void ParseArraysToList();
    void emptyFileList();
    void ExtractThisFile1Click();
    void ExtractAllButtonClick();
    std::vector<core::ExtractFailure> runTreeExtraction(const std::vector<core::PlannedFile>& plan);
    core::rebuild::DecompressionRun decompressTree(const std::vector<core::PlannedFile>& plan,
                                                   core::rebuild::DecompressOptions options);
    std::optional<std::string> chooseExtractionBase();
    bool roomForExtraction(const std::vector<core::PlannedFile>& plan);

    // The "Changes" page (changes.cpp): pending replacements and the writes of changed copies.
    // Each write runs on a thread of its own as a job, with the progress panel over the pages.
    struct WriteWork;
    void ReplaceFile1Click();
    void SaveRomAsButtonClick();
    void FixChecksumsButtonClick();
    void SaveTrimmedButtonClick();
    void SaveFullSizeButtonClick();
    void DiscardChangesButtonClick();
    void ApplyPatchButtonClick();
    // Asks "Save changes to NAME?" when replacements are pending. True when the caller may go
    // on at once (nothing pending, or "Discard"); for "Save…" the image is written and `then`
    // runs once it is in place; false for "Cancel" (or a save that did not start).
    bool settlePendingChanges(const std::function<void()>& then);
    // Chooses where a changed copy goes (the save dialog, starting at `initial`); empty when the
    // user cancels. Refuses the open image and its archive.
    std::optional<std::string> chooseOutput(const std::string& initial);
    bool saveRomAs(const std::function<void()>& then);
    void startWrite(const std::string& out, std::uint64_t expectedSize,
                    std::function<std::vector<std::string>(const WriteWork&)> work,
                    std::function<void(const std::string&)> then);
    void writeFinished(const std::string& out, const QString& failure,
                       const std::vector<std::string>& notes);
    void endWriteJob();
    void updateChangesPage();

    // NARC archives.
    void ShowNarcContents1Click();
    void showNarc(const std::string& path);
    void extractNarc(const core::Narc& narc);
    void closeNarcDialogs();
    void showSdat();
    void showSdatAt(const std::string& path);
    void extractSdat(const core::Sdat& sdat);
    void extractArchiveRows(const std::string& folder, std::vector<core::FileRow> rows,
                            std::shared_ptr<const core::DecompressedArchive> decompressed,
                            const QString& done);

    // The preview window (preview_side.cpp): opened by "Preview", Space or a double-click, and
    // then following the selection of the file list and of each NARC dialog.
    void PreviewFile1Click();
    void followSelection();
    void openPreview(const PreviewSource& source);
    void showInPreview(const PreviewSource& source);
    PreviewSource previewOfRow(const core::FileRow& row) const;
    // Before the image goes: the preview stops reading it.
    void closePreview();
    void connectNarcPreview(NarcDialog* dialog);
    void connectSdatPreview(SdatDialog* dialog);

    std::unique_ptr<Dialogs> m_dialogs;

    // ---- Loader state
    std::unique_ptr<core::FileStream> ImageStream;
    std::string TempImagePath;
    std::optional<archive::TempImage> m_tempImage; // owns the file at TempImagePath
    bool ImageLoaded = false;
    core::TNDSHeader CurrentHeader;
    // This load's whole header (both halves), kept even when the load stopped after decoding
    // it: the system files and the DSi page read it.
    core::HeaderRecord m_header;
    core::TNDSBanner CurrentBanner;
    core::BannerInfo m_bannerInfo; // the banner as its version describes it, for the report
    bool ZipCancelRequested = false;
    // The path exactly as given to OpenRom (FNameEdit shows it decoded); default names and the
    // report's name are made from these bytes, so a name that is not valid UTF-8 still works.
    std::string m_fileName;
    // The page's values as loaded. The fields show them (the internal name with invisible
    // characters marked, the card size in the locale's digits); the report and the extraction
    // folder's name are made from these, never read back from the fields.
    core::HeaderValues m_shown;

    // ---- The load's whole-file read. Declared after ImageStream so that it is destroyed first:
    // the pass reads the stream and feeds the sinks until it is cancelled.
    std::vector<PassSinkProvider> m_passSinkProviders;
    std::vector<std::shared_ptr<core::ReadSink>> m_passSinks; // this load's, from the providers
    std::unique_ptr<core::Crc32Sink> m_passCrc;
    std::unique_ptr<BackgroundPass> m_pass;
    bool m_passDone = false;        // the CRC-32 of this load is known
    std::uint64_t m_loadSerial = 0; // counts loads, so a deferred step knows its own

    // ---- File system
    std::vector<core::TFileEntry> FileEntries;
    std::vector<core::TDirEntry> DirEntries;
    std::vector<QPointer<NarcDialog>> m_narcDialogs;
    PreviewWindow* m_preview = nullptr; // a child window of this one, made when first asked for
    std::vector<QPointer<SdatDialog>> m_sdatDialogs;
    std::string LastExtractDir;
    FreeSpaceProbe m_freeSpace;

    // ---- Changes: the replacements waiting to be written, whether the loaded image's header or
    // banner CRC-16s are BAD, and the running write (declared after ImageStream, which it reads).
    std::vector<PendingReplacement> m_pending;
    bool m_bannerCrcBad = false;
    std::unique_ptr<JobGuard> m_writeGuard;
    std::function<void(const std::string&)> m_afterWrite;
    BackgroundJob m_write{this};

    Job m_job = Job::None;
    // The user asked to close during a job and agreed to cancel it: the window closes when the
    // job has ended.
    bool m_closeAfterJob = false;

    // ---- The window's one child: a scroll area over the content, which holds every control.
    QScrollArea* m_scroll = nullptr;
    QWidget* m_content = nullptr;
    // The window frame's size, once the window system has told it (else an estimate).
    QSize frameExtra() const;
    void fitToScreen();

    // ---- Controls (named as the window's design names them)
    QGroupBox* FilenameGroupBox = nullptr;
    QLineEdit* FNameEdit = nullptr;
    QToolButton* OpenRomSpeedButton = nullptr;
    QPlainTextEdit* OutputTntMemo = nullptr;
    QTabWidget* PageControl = nullptr;
    RomInfoPage* RomInfoTabSheet = nullptr;
    FilesPage* FSTabSheet = nullptr;
    VerificationPage* VerificationTabSheet = nullptr;

    DsiPage* DsiTabSheet = nullptr;
    ChangesPage* ChangesTabSheet = nullptr;

    QFrame* ExtProgressPanel = nullptr;
    QLabel* ExtProgressLabel = nullptr;
    QProgressBar* ExtProgressBar = nullptr;
    QPushButton* ExtCancelButton = nullptr;

    TForm2* m_form2 = nullptr;
};

} // namespace cartscope::app
