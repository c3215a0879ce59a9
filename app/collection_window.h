#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QWidget>

#include "app/background_job.h"
#include "archive/collection_scan.h"
#include "archive/organise_plan.h"
#include "archive/reader.h"
#include "core/verify/dat.h"

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTreeWidget;
class QTreeWidgetItem;

namespace cartscope::app {

class Dialogs;

// "Collection": every dump below one folder, verified against the DATs the "Verification" page
// holds. The folder is walked and each dump read on a thread of its own; rows arrive on the
// window's thread as they are verified, so the window (and the main window) stay live. From
// the table the user organises the verified dumps under their DAT names, writes the report of
// what is missing, or opens a dump in the main window.
class CollectionWindow final : public QWidget {
    Q_OBJECT
public:
    // Verifies one item of the walk (archive::scanItem unless a test replaces it).
    using ItemScanner =
        std::function<void(const archive::DumpItem&, const core::DatSet&, const archive::ScanHooks&,
                           const std::function<void(archive::ScannedDump)>&)>;

    // Starts the scan of `folder` at once. The window deletes itself when closed.
    CollectionWindow(Dialogs& dialogs, std::shared_ptr<const core::DatSet> dats, std::string folder,
                     ItemScanner scanner, QWidget* parent = nullptr);
    ~CollectionWindow() override; // stops the scan and any organise run, and waits for them

    bool scanRunning() const { return m_scanRunning; }
    bool organiseRunning() const { return m_organiseRunning; }

Q_SIGNALS:
    // A row was double-clicked: the file to open and, for a member, which one of its archive.
    void openRequested(const std::string& path, const std::optional<archive::Member>& member);
    // The scan has ended, complete or cancelled.
    void scanEnded();
    // An organise run has ended and its outcome was told.
    void organiseEnded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // One dump of the table and the walk's item it came from.
    struct Row {
        archive::ScannedDump dump;
        std::size_t item = 0;
    };
    struct OrganiseTally;

    static bool verified(core::Verdict verdict);
    // Names from a folder, an archive or a DAT: plain text, invisible and reordering characters
    // marked.
    static QString shown(std::string_view text);
    // Messages: every line shown, control characters escaped.
    static QString visible(const std::string& text);
    // Where a dump is: its file below the scanned folder, an archive's member after " :: ".
    std::string placeOf(const std::string& path, const std::optional<std::string>& member) const;

    // Construction in three steps.
    void createControls();
    void connectControls();
    void populateControls();

    class ScanProgress;
    void startScan();
    // On the scan's thread: each item of the walk verified and its rows delivered.
    void scanItems(const BackgroundJob::Run& run, const std::vector<archive::DumpItem>& items,
                   const core::DatSet& dats, const ItemScanner& scanner);
    void scanBegun(std::vector<archive::DumpItem> items);
    void addRow(std::size_t item, const archive::ScannedDump& dump);
    // Every cell of a row from its dump.
    void showRow(QTreeWidgetItem* row, const archive::ScannedDump& dump) const;
    void scanProgress(int permille, std::size_t itemsDone);
    void scanFinished(bool cancelled, const QString& failure);

    void applyFilter();
    bool passesFilter(const Row& row) const;
    void updateButtons();
    void CollectionCancelButtonClick();
    void CollectionTableDblClick(QTreeWidgetItem* item);
    // The table row (among the sorted, filtered rows) that shows m_rows[index].
    QTreeWidgetItem* tableRowOf(std::size_t index) const;
    // The row's place: the file (or archive and member) and whether that archive is torrentzipped.
    void showPlace(QTreeWidgetItem* row, const archive::ScannedDump& dump) const;

    struct Organising;
    struct MovedDump;
    void OrganiseButtonClick();
    Organising verifiedDumps() const;
    std::optional<archive::OrganiseOptions> askOrganiseOptions();
    QString planText(const archive::Plan& plan, const std::vector<archive::Dump>& dumps,
                     const archive::OrganiseOptions& options) const;
    void startOrganise(archive::Plan plan, Organising organising,
                       const archive::OrganiseOptions& options);
    static std::vector<MovedDump> movedDumps(const archive::Target& target,
                                             const Organising& organising,
                                             const archive::OrganiseOptions& options,
                                             const core::DatSet& dats, const ItemScanner& scanner,
                                             const std::function<bool()>& stopped);
    // The table follows the dumps a move took elsewhere: their rows show and open the new place.
    void dumpsMoved(const std::vector<MovedDump>& moved);
    void organiseFinished(const OrganiseTally& tally, const archive::OrganiseOptions& options);
    void ReportButtonClick();

    Dialogs& m_dialogs;
    std::shared_ptr<const core::DatSet> m_dats;
    std::string m_folder;
    ItemScanner m_scanner;
    std::vector<archive::DumpItem> m_items;
    std::vector<Row> m_rows;
    bool m_scanRunning = false;
    bool m_scanComplete = false;
    bool m_organiseRunning = false;
    // Raised by Cancel: the running work stops at its next check and tells how far it came.
    std::atomic<bool> m_stop{false};
    // Declared after what their work reads, so they are stopped first.
    BackgroundJob m_scan{this};
    BackgroundJob m_organise{this};

    QLabel* CollectionFolderLabel = nullptr;
    QLabel* VerdictFilterLabel = nullptr;
    QComboBox* VerdictFilterCombo = nullptr;
    QSplitter* CollectionSplitter = nullptr;
    QTreeWidget* CollectionTable = nullptr;
    QPlainTextEdit* ReportMemo = nullptr;
    QProgressBar* CollectionProgressBar = nullptr;
    QLabel* CollectionStatusLabel = nullptr;
    QPushButton* CollectionCancelButton = nullptr;
    QPushButton* OrganiseButton = nullptr;
    QPushButton* ReportButton = nullptr;
    QPushButton* CollectionCloseButton = nullptr;
};

} // namespace cartscope::app
