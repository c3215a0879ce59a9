// Page "File System Info": the file list, its sorting, the enabling of the two extraction
// commands, and extraction itself.

#include <QAction>
#include <QCoreApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>

#include "app/job_guard.h"
#include "app/main_window.h"
#include "app/progress_dialog.h"
#include "app/qt_text.h"
#include "core/extract.h"
#include "core/space.h"
#include "core/text.h"

namespace cartscope::app {

namespace {

bool sameRow(const core::FileRow& a, const core::FileRow& b)
{
    return a.path == b.path && a.offset == b.offset && a.size == b.size;
}

} // namespace

void TForm1::ParseArraysToList()
{
    m_rows = core::ParseArraysToList(FileEntries, DirEntries);
    fillList(nullptr, false);
    // Filling the list is its change notification even when there are no rows to insert: an
    // image without files keeps "Extract Rom Contents", whose run then only shows and hides the
    // progress dialog and confirms.
    if (m_job == Job::None)
        ExtractAllButton->setEnabled(true);
}

void TForm1::emptyFileList()
{
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
    for (const core::FileRow& row : m_rows) {
        // Invisible and reordering characters show as marks; the row itself keeps the real name.
        items.append(
            new QTreeWidgetItem(QStringList{fromCoreText(core::markInvisible(row.path)),
                                            fromCoreText(row.offset), fromCoreText(row.size)}));
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

void TForm1::FSListViewColumnClick(int column)
{
    guarded([&] {
        // A running extraction reads the rows in their current order.
        if (m_job != Job::None)
            return;
        std::optional<core::FileRow> current;
        bool selected = false;
        if (QTreeWidgetItem* item = FSListView->currentItem()) {
            const int index = FSListView->indexOfTopLevelItem(item);
            if (index >= 0 && static_cast<std::size_t>(index) < m_rows.size()) {
                current = m_rows[static_cast<std::size_t>(index)];
                selected = item->isSelected();
            }
        }
        m_sort.click(column);
        core::sortRows(m_rows, m_sort);
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
}

void TForm1::FilesPopupMenuPopup()
{
    ExtractThisFile1->setEnabled(m_job == Job::None && !FSListView->selectedItems().isEmpty());
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
                           fromLocalPath(core::markInvisible(core::cleanName(m_internalName))) +
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
        const std::optional<std::string> base = chooseExtractionBase();
        if (!base)
            return;
        const std::vector<core::PlannedFile> plan =
            core::planExtraction(*base, m_internalName, {row});
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
    const core::Needs needs = core::neededRoom(plan, ImageStream->size(), room->blockSize);
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
            core::planExtraction(*base, m_internalName, m_rows);
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
                m_form2->showFile(fromLocalPath(core::markInvisible(p.current->relative)),
                                  fromLocalPath(core::markInvisible(p.current->full)));
                return true;
            };
            core::runExtraction(*ImageStream, plan, options);
        }
        m_dialogs->information(this, QStringLiteral("Rom Extracted"));
    });
}

} // namespace cartscope::app
