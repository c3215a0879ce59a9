// Page "File System Info": the file list, its sorting, the enabling of the two extraction
// commands, and extraction itself.

#include <algorithm>
#include <array>
#include <cstring>

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>

#include "app/job_guard.h"
#include "app/main_window.h"
#include "app/narc_dialog.h"
#include "app/progress_dialog.h"
#include "app/qt_text.h"
#include "core/extract.h"
#include "core/hex.h"
#include "core/narc.h"
#include "core/paths.h"
#include "core/space.h"
#include "core/system_files.h"
#include "core/text.h"

namespace cartscope::app {

namespace {

bool sameRow(const core::FileRow& a, const core::FileRow& b)
{
    return a.path == b.path && a.offset == b.offset && a.size == b.size && a.system == b.system;
}

// The system rows stay after the tree's rows whatever the order within each.
void keepSystemRowsLast(std::vector<core::FileRow>& rows)
{
    std::stable_partition(rows.begin(), rows.end(),
                          [](const core::FileRow& r) { return !r.system; });
}

} // namespace

void TForm1::ParseArraysToList()
{
    m_rows = core::ParseArraysToList(FileEntries, DirEntries);
    m_systemRows.reset();
    if (ShowSystemFilesCheckBox->isChecked() && ImageStream) {
        m_systemRows = core::systemRows(core::systemFiles(*ImageStream, m_header));
        m_rows.insert(m_rows.end(), m_systemRows->begin(), m_systemRows->end());
    }
    fillList(nullptr, false);
    // Filling the list is its change notification even when there are no rows to insert: an
    // image without files keeps "Extract Rom Contents", whose run then only shows and hides the
    // progress dialog and confirms.
    if (m_job == Job::None)
        ExtractAllButton->setEnabled(true);
}

void TForm1::emptyFileList()
{
    closeNarcDialogs();
    m_systemRows.reset();
    m_rows.clear();
    FSListView->clear();
    // Emptying the list notifies a change; the commands are disabled after it.
    ExtractFileButton->setEnabled(false);
    ExtractAllButton->setEnabled(false);
    ExtractThisFile1->setEnabled(false);
}

void TForm1::fillList(const core::FileRow* keepCurrent, bool keepSelected)
{
    FSListView->clear();
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(m_rows.size()));
    // System rows in the palette's link colour: distinct from the tree's, readable in any theme.
    const QBrush systemBrush(FSListView->palette().color(QPalette::Link));
    for (const core::FileRow& row : m_rows) {
        // Invisible and reordering characters show as marks; the row itself keeps the real name.
        auto* item = new QTreeWidgetItem(QStringList{fromCoreText(core::markInvisible(row.path)),
                                                     fromCoreText(row.offsetText()),
                                                     fromCoreText(row.sizeText())});
        if (row.system) {
            for (int c = 0; c < 3; ++c)
                item->setForeground(c, systemBrush);
        }
        items.append(item);
    }
    // Filling the rows is a change notification: it enables "Extract Rom Contents".
    FSListView->addTopLevelItems(items);
    if (!keepCurrent)
        return;
    // Sorting keeps the focused row (and its selection) on the same file.
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (!sameRow(m_rows[i], *keepCurrent))
            continue;
        const QModelIndex index = FSListView->model()->index(static_cast<int>(i), 0);
        FSListView->selectionModel()->setCurrentIndex(
            index, keepSelected ? QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows
                                : QItemSelectionModel::NoUpdate);
        FSListView->scrollTo(index);
        break;
    }
}

// The focused row and whether it is selected, so a refill can put the focus back on it.
std::pair<std::optional<core::FileRow>, bool> TForm1::focusedRow() const
{
    if (QTreeWidgetItem* item = FSListView->currentItem()) {
        const int index = FSListView->indexOfTopLevelItem(item);
        if (index >= 0 && static_cast<std::size_t>(index) < m_rows.size())
            return {m_rows[static_cast<std::size_t>(index)], item->isSelected()};
    }
    return {std::nullopt, false};
}

void TForm1::FSListViewColumnClick(int column)
{
    guarded([&] {
        // A running extraction reads the rows in their current order.
        if (m_job != Job::None)
            return;
        const auto [current, selected] = focusedRow();
        m_sort.click(column);
        core::sortRows(m_rows, m_sort);
        keepSystemRowsLast(m_rows);
        fillList(current ? &*current : nullptr, selected);
    });
}

void TForm1::FSListViewClick()
{
    if (m_job != Job::None)
        return;
    ExtractFileButton->setEnabled(!FSListView->selectedItems().isEmpty());
}

void TForm1::FSListViewChange()
{
    // Emptying the list at a load notifies too; no image is held then.
    if (m_job != Job::None || !ImageStream)
        return;
    ExtractAllButton->setEnabled(true);
    // "Extract Selected File" follows the selected row however it was chosen: a click, the
    // keyboard, or the right click that opens the menu (whose release the menu takes).
    FSListViewClick();
}

void TForm1::FilesPopupMenuPopup()
{
    ExtractThisFile1->setEnabled(m_job == Job::None && !FSListView->selectedItems().isEmpty());
    bool narc = false;
    const QList<QTreeWidgetItem*> selected = FSListView->selectedItems();
    if (m_job == Job::None && !selected.isEmpty()) {
        const int index = FSListView->indexOfTopLevelItem(selected.front());
        if (index >= 0 && static_cast<std::size_t>(index) < m_rows.size())
            narc = rowIsNarc(m_rows[static_cast<std::size_t>(index)]);
    }
    ShowNarcContents1->setEnabled(narc);
}

void TForm1::showFilesPopupMenu(const QPoint& position)
{
    FilesPopupMenu->popup(FSListView->viewport()->mapToGlobal(position));
}

std::optional<std::string> TForm1::chooseExtractionBase()
{
    // The name of the folder that will be made: the internal name as cleaned for the file system
    // (with its invisible characters marked), not the raw text.
    const QString status = QStringLiteral("A New SubDir '") +
                           fromLocalPath(core::markInvisible(core::cleanName(m_shown.IntName))) +
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
        QTreeWidgetItem* item = FSListView->currentItem();
        const int index = item ? FSListView->indexOfTopLevelItem(item) : -1;
        if (index < 0 || static_cast<std::size_t>(index) >= m_rows.size())
            return;
        const core::FileRow row = m_rows[static_cast<std::size_t>(index)];
        // A system file past the end of the image is refused before anything is asked.
        core::requireExtractable(row);
        const std::optional<std::string> base = chooseExtractionBase();
        if (!base)
            return;
        const std::vector<core::PlannedFile> plan =
            core::planExtraction(*base, m_shown.IntName, {row});
        // One row may name a range of up to 2 GiB: the same question as for the whole tree.
        if (!roomForExtraction(plan))
            return;
        core::extractPlanned(*ImageStream, plan.front());
        m_dialogs->information(this, QStringLiteral("File Extracted"));
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
    // A row that will be refused (a system file past the end of the image) writes nothing.
    std::vector<core::PlannedFile> written;
    for (const core::PlannedFile& f : plan)
        if (f.row.problem.empty())
            written.push_back(f);
    const core::Needs needs = core::neededRoom(written, ImageStream->size(), room->blockSize);
    const std::optional<std::string> shortfall = core::shortOfRoom(needs, *room, LastExtractDir);
    if (!shortfall)
        return true;
    return m_dialogs->question(this,
                               fromLocalPath(*shortfall) + QStringLiteral(". Extract anyway?"));
}

// The run goes through core::extractAll (which keeps the folder of the previous file open) and
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
            core::planExtraction(*base, m_shown.IntName, m_rows);
        if (!roomForExtraction(plan))
            return;
        const int total = static_cast<int>(plan.size());
        {
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
            // A destination that folds letter case sent the file under a " (2)" name: the
            // dialog shows the name written, as it does for names the plan had to change.
            options.onRenamed = [&](const core::PlannedFile& f, const std::string& written) {
                const std::string base = f.full.substr(0, f.full.size() - f.relative.size());
                m_form2->showFile(fromLocalPath(core::markInvisible(written)),
                                  fromLocalPath(core::markInvisible(base + written)));
            };
            options.onProgress = [&](const core::ExtractProgress& p) {
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
                // A system file that does not fit stops the run with its reason, before
                // anything of it is created, as a read error would.
                core::requireExtractable(p.current->row);
                m_form2->showFile(fromLocalPath(core::markInvisible(p.current->relative)),
                                  fromLocalPath(core::markInvisible(p.current->full)));
                return true;
            };
            core::runExtraction(*ImageStream, plan, options);
        }
        m_dialogs->information(this, QStringLiteral("Rom Extracted"));
    });
}

// "Show System Files": the system rows go after the tree's rows, or away again; the focused
// row stays focused when it is still listed. Read from the open image the first time they are
// shown after a load. Ignored while a whole-tree extraction reads the rows.
void TForm1::ShowSystemFilesCheckBoxClick()
{
    guarded([&] {
        if (m_job != Job::None) {
            const QSignalBlocker block(ShowSystemFilesCheckBox);
            ShowSystemFilesCheckBox->setChecked(!ShowSystemFilesCheckBox->isChecked());
            return;
        }
        if (!ImageStream && m_rows.empty())
            return;
        const auto [current, selected] = focusedRow();
        std::erase_if(m_rows, [](const core::FileRow& r) { return r.system; });
        if (ShowSystemFilesCheckBox->isChecked() && ImageStream) {
            if (!m_systemRows)
                m_systemRows = core::systemRows(core::systemFiles(*ImageStream, m_header));
            m_rows.insert(m_rows.end(), m_systemRows->begin(), m_systemRows->end());
        }
        fillList(current ? &*current : nullptr, selected);
    });
}

std::vector<core::FileRow> TForm1::treeRows() const
{
    std::vector<core::FileRow> rows;
    for (const core::FileRow& r : m_rows)
        if (!r.system)
            rows.push_back(r);
    return rows;
}

// A tree row that begins with "NARC", or an LZ-compressed .narc / .carc (opening it says why it
// is not opened).
bool TForm1::rowIsNarc(const core::FileRow& row) const
{
    if (row.system || !ImageStream)
        return false;
    const std::uint32_t offset = row.offset;
    const std::int64_t size = row.size;
    if (size < 1)
        return false;
    std::array<std::uint8_t, 4> head{};
    const std::size_t got = ImageStream->pread(
        offset, std::span(head).first(static_cast<std::size_t>(std::min<std::int64_t>(size, 4))));
    if (got == 4 && std::memcmp(head.data(), "NARC", 4) == 0)
        return true;
    const std::string extension = core::extensionOf(row.path);
    return got >= 1 && core::isLzCompressed(head[0]) &&
           (core::equalsIgnoreCase(extension, ".narc") ||
            core::equalsIgnoreCase(extension, ".carc"));
}

void TForm1::ShowNarcContents1Click()
{
    QTreeWidgetItem* item = FSListView->currentItem();
    const int index = item ? FSListView->indexOfTopLevelItem(item) : -1;
    if (m_job != Job::None || index < 0 || static_cast<std::size_t>(index) >= m_rows.size())
        return;
    showNarc(m_rows[static_cast<std::size_t>(index)].path);
}

void TForm1::showNarc(const std::string& path)
{
    guarded([&] {
        if (m_job != Job::None || !ImageStream)
            return;
        auto* dialog = new NarcDialog(core::openNarc(*ImageStream, treeRows(), path), this);
        connect(dialog, &NarcDialog::extractRequested, this, &TForm1::extractNarc);
        connect(dialog, &NarcDialog::openRequested, this, &TForm1::showNarc);
        std::erase_if(m_narcDialogs, [](const QPointer<NarcDialog>& d) { return d.isNull(); });
        m_narcDialogs.emplace_back(dialog);
        dialog->show();
    });
}

// The archive's members into <chosen folder>/<archive name without extension>/. Members that
// do not fit are left out and named afterwards; the others are written.
void TForm1::extractNarc(const core::Narc& narc)
{
    guarded([&] {
        if (m_job != Job::None || !ImageStream)
            return;
        const std::string folder = core::narcFolderName(narc.path);
        const std::optional<QString> chosen = m_dialogs->getExistingDirectory(
            this, QString::fromLatin1(kFolderPickerTitle),
            QStringLiteral("A New SubDir '") + fromLocalPath(core::cleanName(folder)) +
                QStringLiteral("' Will Be Created Here"),
            fromLocalPath(LastExtractDir));
        if (!chosen || chosen->isEmpty())
            return;
        LastExtractDir = toLocalPath(*chosen);
        std::vector<core::FileRow> rows;
        QStringList failures;
        for (const core::FileRow& row : core::narcRows(narc)) {
            if (row.problem.empty())
                rows.push_back(row);
            else
                failures << fromCoreText(row.path) + QStringLiteral(": ") +
                                fromCoreText(row.problem);
        }
        const std::vector<core::PlannedFile> plan =
            core::planExtraction(LastExtractDir, folder, rows);
        if (!roomForExtraction(plan))
            return;
        core::extractAll(*ImageStream, plan, {});
        if (failures.isEmpty())
            m_dialogs->information(this, QStringLiteral("NARC Extracted"));
        else
            m_dialogs->error(this, QStringLiteral("NARC Extracted, except:\n") +
                                       failures.join(QStringLiteral("\n")));
    });
}

void TForm1::closeNarcDialogs()
{
    // The dialogs show an archive of the image that is going; delete them now, so none is left
    // over a different image.
    for (const QPointer<NarcDialog>& d : m_narcDialogs)
        delete d.data();
    m_narcDialogs.clear();
}

} // namespace cartscope::app
