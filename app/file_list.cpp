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
        items.append(new QTreeWidgetItem(
            QStringList{fromCoreText(row.path), fromCoreText(row.offset), fromCoreText(row.size)}));
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
    if (m_job != Job::None || m_rows.empty())
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
    const QString status = QStringLiteral("A New SubDir '") + IntNameEdit->text() +
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
            core::planExtraction(*base, toCoreText(IntNameEdit->text()), {row});
        core::extractPlanned(*ImageStream, plan.front());
        m_dialogs->information(this, QStringLiteral("File Extracted"));
    });
}

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
            core::planExtraction(*base, toCoreText(IntNameEdit->text()), m_rows);
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
            for (int i = 0; i < total; ++i) {
                // A Cancel takes effect between files: every later row is skipped.
                if (m_form2->ExtractCancelled)
                    continue;
                const core::PlannedFile& file = plan[static_cast<std::size_t>(i)];
                m_form2->showFile(fromLocalPath(file.relative), fromLocalPath(file.full));
                core::extractPlanned(*ImageStream, file);
                m_form2->advance();
                Q_EMIT fileExtracted(i + 1, total);
                QCoreApplication::processEvents(QEventLoop::AllEvents);
            }
        }
        m_dialogs->information(this, QStringLiteral("Rom Extracted"));
    });
}

} // namespace cartscope::app
