#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QWidget>

#include "app/background_job.h"
#include "app/collection_window.h"
#include "archive/dat_load.h"
#include "archive/reader.h"
#include "core/io/archive_kind.h"
#include "core/io/read_pass.h"
#include "core/verify/dat.h"
#include "core/verify/verify.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace cartscope::app {

class DesignLayout;
class Dialogs;

// The "Verification" page: the four hashes, the trim state, the secure-area form and the DAT
// verdict of the loaded image. Its sinks ride on the window's one whole-file read; the DAT
// folder is read and the match (which may pad a trimmed image virtually, up to its chip size)
// runs on threads of their own, so the window stays live, and a new load or the end of the
// window stops them at once.
class VerificationPage final : public QWidget {
    Q_OBJECT
public:
    explicit VerificationPage(Dialogs& dialogs, QWidget* parent = nullptr);
    ~VerificationPage() override;

    // A load begins: the page is cleared and hands out the sinks for the load's read.
    std::vector<std::shared_ptr<core::ReadSink>> startLoad();
    // Whole percentages of the read.
    void passProgress(int percent);
    // The read has ended and every sink is finished: match and show.
    void passFinished();
    // Nothing loaded (a failed load or read): every value empties, any match in flight stops.
    void clear();

    // The grid rectangles of the page's controls, in the window's design units.
    void place(DesignLayout& grid);

    // The DATs the page matches against (loaded from the DAT folder at the first load).
    const core::DatSet& dats() const;

    // Reads the DAT folder; asked on a thread of its own at the first load (and after "Add
    // DAT…"), while the image is read. It should return soon after `cancelled` says true (a
    // new load, the end of the window). archive::loadDatFolder unless a test replaces it.
    using DatFolderLoader =
        std::function<archive::DatFolderLoad(const std::function<bool()>& cancelled)>;
    void setDatFolderLoader(DatFolderLoader loader) { m_datLoader = std::move(loader); }
    // Stops every piece of background work at once and closes the collection windows (the
    // window is closing).
    void stop();

    // How the collection windows verify each dump (archive::scanItem unless a test replaces it).
    void setItemScanner(CollectionWindow::ItemScanner scanner)
    {
        m_itemScanner = std::move(scanner);
    }

Q_SIGNALS:
    // The verdict of the current image is shown.
    void verdictShown();
    // A collection window was opened over a folder.
    void collectionOpened(CollectionWindow* window);
    // A collection window asks for this file (and, in an archive, this member) to be opened in
    // the main window.
    void openImageRequested(const std::string& path, const std::optional<archive::Member>& member);

private:
    class VerifierSink;

    void createControls();
    void connectControls();
    void populateControls();

    void AddDatButtonClick();
    void VerifyFolderButtonClick();
    void openCollection(const std::string& folder);
    void CopyHashesButtonClick();
    void startDatLoad();
    void stopDatLoad();
    void datsLoaded(archive::DatFolderLoad& loaded);
    void startMatch();
    void stopMatch();
    void showResult(const core::VerifyResult& result, const core::DatSet& dats,
                    core::ArchiveKind archive);
    void showDatStatus();

    Dialogs& m_dialogs;
    std::shared_ptr<const core::DatSet> m_dats; // replaced whole, never changed in place
    std::vector<std::string> m_skipped;         // DATs of the folder that did not load
    bool m_datsLoaded = false;
    bool m_datLoadRunning = false;
    // Folders chosen for "Verify Folder…" before the DATs were loaded: opened once they are.
    std::vector<std::string> m_pendingCollections;
    CollectionWindow::ItemScanner m_itemScanner;
    DatFolderLoader m_datLoader;
    BackgroundJob m_datLoad{this};
    std::shared_ptr<VerifierSink> m_sink; // this load's
    bool m_passDone = false;
    BackgroundJob m_match{this};

    QLabel* HashesLabel = nullptr;
    QPlainTextEdit* HashesMemo = nullptr;
    QPushButton* CopyHashesButton = nullptr;
    QProgressBar* VerifyProgressBar = nullptr;
    QLabel* TrimLabel = nullptr;
    QPlainTextEdit* TrimMemo = nullptr;
    QLabel* SecureAreaLabel = nullptr;
    QPlainTextEdit* SecureAreaMemo = nullptr;
    QLabel* DatVerdictLabel = nullptr;
    QPlainTextEdit* DatVerdictMemo = nullptr;
    QPushButton* VerifyFolderButton = nullptr;
    QPushButton* AddDatButton = nullptr;
    QPlainTextEdit* DatStatusMemo = nullptr;
};

} // namespace cartscope::app
