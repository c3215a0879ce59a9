#pragma once

#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include <QWidget>

#include "core/fs/filelist.h"
#include "core/fs/fnt.h"
#include "core/image/header_record.h"
#include "core/io/stream.h"

class QAction;
class QCheckBox;
class QMenu;
class QPushButton;
class QTreeWidget;

namespace cartscope::app {

class DesignLayout;

// The "File System Info" page: the file list with its sorting and its system rows, the menu of
// a row, and the enabling of the two extraction commands. The commands themselves are the
// window's (they choose a folder, ask for room and run as a job); the page says when one is
// asked for and which row it concerns.
class FilesPage final : public QWidget {
    Q_OBJECT
public:
    // Where a failure of one of the page's own handlers goes (the window's error display).
    using ErrorDisplay = std::function<void(const std::exception&)>;
    explicit FilesPage(ErrorDisplay showError, QWidget* parent = nullptr);
    ~FilesPage() override;

    // The grid rectangles of the page's controls, in the window's design units.
    void place(DesignLayout& grid);
    // Once the grid is applied: the list's column widths.
    void setColumnWidths(const DesignLayout& grid);

    // The image the rows belong to (system rows and NARC members are read from it) and the
    // header its load decoded (where the system files are); null when none is held. Both stay
    // the caller's. Emptying the list notifies a change, which does nothing without an image.
    void setImage(const core::Stream* image, const core::HeaderRecord* header)
    {
        m_image = image;
        m_header = header;
    }
    // The rows of the tree, plus the system rows when "Show System Files" is checked.
    void showFiles(const std::vector<core::TFileEntry>& files,
                   const std::vector<core::TDirEntry>& dirs);
    // No rows; both extraction commands disabled.
    void clear();

    // While a long job runs: both commands and the menu command disabled, header clicks
    // ignored, and every handler that would change the rows does nothing. Afterwards each
    // command is as it was before.
    void beginJob();
    void endJob();

    const std::vector<core::FileRow>& rows() const { return m_rows; }
    std::vector<core::FileRow> treeRows() const;
    const core::SortState& sortState() const { return m_sort; }
    // The focused row, if any.
    std::optional<core::FileRow> currentRow() const;
    // "Decompress When Extracting" is checked: the window's extractions write compressed files
    // (and, among the system files, the ARM9 binary and overlays) decompressed.
    bool decompressWhenExtracting() const;

Q_SIGNALS:
    // "Extract This File" or "Extract Selected File".
    void extractFileRequested();
    void extractAllRequested();
    void showNarcRequested();
    // "Preview", Space on a row, or a double-click on a row that is not a NARC.
    void previewRequested();
    // The focused row changed (the preview follows it).
    void currentFileChanged();
    // "Replace File…" for the focused row.
    void replaceFileRequested();
    void showSdatRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createControls();
    void connectControls();
    void populateControls();
    void polishControls();

    void fillList(const core::FileRow* keepCurrent, bool keepSelected);
    std::pair<std::optional<core::FileRow>, bool> focusedRow() const;
    void FSListViewColumnClick(int column);
    void FSListViewClick();
    void FSListViewChange();
    void FilesPopupMenuPopup();
    void showFilesPopupMenu(const QPoint& position);
    void ShowSystemFilesCheckBoxClick();
    bool rowIsNarc(const core::FileRow& row) const;
    void FSListViewDblClick();
    bool rowIsSdat(const core::FileRow& row) const;

    ErrorDisplay m_showError;
    const core::Stream* m_image = nullptr;
    const core::HeaderRecord* m_header = nullptr; // set whenever m_image is
    bool m_jobRunning = false;
    std::vector<core::FileRow> m_rows; // the list's rows in their current order
    // The system rows of the open image, read when "Show System Files" first needs them.
    std::optional<std::vector<core::FileRow>> m_systemRows;
    core::SortState m_sort;
    // The commands' states before the running job.
    bool m_fileButtonWasEnabled = false;
    bool m_allButtonWasEnabled = false;
    bool m_actionWasEnabled = false;

    QTreeWidget* FSListView = nullptr;
    QMenu* FilesPopupMenu = nullptr;
    QAction* ExtractThisFile1 = nullptr;
    QAction* ShowNarcContents1 = nullptr;
    QAction* PreviewFile1 = nullptr;
    QAction* ReplaceFile1 = nullptr;
    QAction* ShowSoundArchive1 = nullptr;
    QAction* DecompressWhenExtracting1 = nullptr;
    QCheckBox* ShowSystemFilesCheckBox = nullptr;
    QPushButton* ExtractFileButton = nullptr;
    QPushButton* ExtractAllButton = nullptr;
};

} // namespace cartscope::app
