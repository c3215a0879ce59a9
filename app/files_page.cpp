// Page "File System Info": the file list, its sorting and its system rows, the menu of a row,
// and the enabling of the two extraction commands.

#include "app/files_page.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <QAction>
#include <QCheckBox>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>

#include "app/design_layout.h"
#include "app/polish.h"
#include "app/qt_text.h"
#include "app/widgets.h"
#include "core/base/hex.h"
#include "core/base/paths.h"
#include "core/base/text.h"
#include "core/fs/narc.h"
#include "core/fs/system_files.h"

namespace cartscope::app {

namespace {

// Runs a handler's body; a failure goes to the error display.
void guarded(const FilesPage::ErrorDisplay& showError, const std::function<void()>& body)
{
    try {
        body();
    } catch (const std::exception& e) {
        showError(e);
    }
}

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

FilesPage::FilesPage(ErrorDisplay showError, QWidget* parent)
    : QWidget(parent), m_showError(std::move(showError))
{
    setObjectName(QStringLiteral("FSTabSheet"));
    createControls();
    connectControls();
    populateControls();
    polishControls();
}

FilesPage::~FilesPage()
{
    FSListView->viewport()->removeEventFilter(this);
    FSListView->removeEventFilter(this);
}

void FilesPage::createControls()
{
    FSListView = named(new QTreeWidget(this), "FSListView");
    FilesPopupMenu = named(new QMenu(FSListView), "FilesPopupMenu");
    ExtractThisFile1 = FilesPopupMenu->addAction(QStringLiteral("Extract This File"));
    ExtractThisFile1->setObjectName(QStringLiteral("ExtractThisFile1"));
    ExtractFileButton =
        named(new QPushButton(QStringLiteral("Extract Selected File"), this), "ExtractFileButton");
    ExtractAllButton =
        named(new QPushButton(QStringLiteral("Extract Rom Contents"), this), "ExtractAllButton");
    ShowNarcContents1 = FilesPopupMenu->addAction(QStringLiteral("Show NARC Contents"));
    ShowNarcContents1->setObjectName(QStringLiteral("ShowNarcContents1"));
    ShowSoundArchive1 = FilesPopupMenu->addAction(QStringLiteral("Show Sound Archive"));
    ShowSoundArchive1->setObjectName(QStringLiteral("ShowSoundArchive1"));
    PreviewFile1 = FilesPopupMenu->addAction(QStringLiteral("Preview"));
    PreviewFile1->setObjectName(QStringLiteral("PreviewFile1"));
    ReplaceFile1 = FilesPopupMenu->addAction(QStringLiteral("Replace File\u2026"));
    ReplaceFile1->setObjectName(QStringLiteral("ReplaceFile1"));
    FilesPopupMenu->addSeparator();
    // An option of every extraction of the window, kept for this run of the program (the program
    // writes no settings file); unchecked at start, so the extractions write the image's bytes.
    DecompressWhenExtracting1 =
        FilesPopupMenu->addAction(QStringLiteral("Decompress When Extracting"));
    DecompressWhenExtracting1->setObjectName(QStringLiteral("DecompressWhenExtracting1"));
    DecompressWhenExtracting1->setCheckable(true);
    ShowSystemFilesCheckBox =
        named(new QCheckBox(QStringLiteral("Show System Files"), this), "ShowSystemFilesCheckBox");
}

void FilesPage::connectControls()
{
    connect(FSListView->header(), &QHeaderView::sectionClicked, this,
            &FilesPage::FSListViewColumnClick);
    FSListView->viewport()->installEventFilter(this);
    connect(FSListView->model(), &QAbstractItemModel::rowsInserted, this,
            &FilesPage::FSListViewChange);
    connect(FSListView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &FilesPage::FSListViewChange);
    connect(FSListView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &FilesPage::FSListViewChange);
    connect(FSListView, &QWidget::customContextMenuRequested, this, &FilesPage::showFilesPopupMenu);
    connect(FilesPopupMenu, &QMenu::aboutToShow, this, &FilesPage::FilesPopupMenuPopup);
    connect(ExtractThisFile1, &QAction::triggered, this, &FilesPage::extractFileRequested);
    connect(ExtractFileButton, &QPushButton::clicked, this, &FilesPage::extractFileRequested);
    connect(ExtractAllButton, &QPushButton::clicked, this, &FilesPage::extractAllRequested);
    connect(ShowNarcContents1, &QAction::triggered, this, &FilesPage::showNarcRequested);
    connect(PreviewFile1, &QAction::triggered, this, &FilesPage::previewRequested);
    FSListView->installEventFilter(this);
    connect(FSListView, &QTreeWidget::itemDoubleClicked, this, &FilesPage::FSListViewDblClick);
    connect(FSListView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &FilesPage::currentFileChanged);
    connect(ReplaceFile1, &QAction::triggered, this, &FilesPage::replaceFileRequested);
    connect(ShowSoundArchive1, &QAction::triggered, this, &FilesPage::showSdatRequested);
    connect(ShowSystemFilesCheckBox, &QCheckBox::toggled, this,
            &FilesPage::ShowSystemFilesCheckBoxClick);
}

void FilesPage::populateControls()
{
    FSListView->setColumnCount(3);
    FSListView->setHeaderLabels(
        {QStringLiteral("Filename"), QStringLiteral("Offset"), QStringLiteral("Filesize")});
    FSListView->setRootIsDecorated(false);
    FSListView->setItemsExpandable(false);
    FSListView->setUniformRowHeights(true);
    FSListView->setSortingEnabled(false);
    FSListView->setSelectionMode(QAbstractItemView::SingleSelection);
    FSListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    FSListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FSListView->setContextMenuPolicy(Qt::CustomContextMenu);
    FSListView->header()->setSectionsClickable(true);
    FSListView->header()->setSectionsMovable(false);
    FSListView->header()->setStretchLastSection(false);
    ExtractFileButton->setEnabled(false);
    ExtractAllButton->setEnabled(false);
}

// Numbers right-aligned under right-aligned captions, long names cut in the middle, and an
// arrow on the column the rows are sorted by.
void FilesPage::polishControls()
{
    FSListView->setItemDelegate(new FileListDelegate(FSListView));
    FSListView->setTextElideMode(Qt::ElideMiddle);
    for (int column : {1, 2})
        FSListView->headerItem()->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
    QHeaderView* header = FSListView->header();
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    // A fill of the list (a load or a sort) shows the rows unsorted until the header click that
    // follows it says otherwise; this runs after the sort's own handler.
    // The header is the connections' context: the list resets its model while it is being
    // destroyed, after its header has gone.
    const auto unsorted = [header] { header->setSortIndicator(-1, Qt::AscendingOrder); };
    connect(FSListView->model(), &QAbstractItemModel::rowsInserted, header, unsorted);
    connect(FSListView->model(), &QAbstractItemModel::modelReset, header, unsorted);
    connect(header, &QHeaderView::sectionClicked, header, [this, header] {
        header->setSortIndicator(m_sort.SortColumn,
                                 m_sort.SortAscending ? Qt::AscendingOrder : Qt::DescendingOrder);
    });
}

void FilesPage::place(DesignLayout& grid)
{
    grid.place(FSListView, 8, 8, 417, 377);
    grid.place(ExtractFileButton, 8, 392, 201, 25);
    grid.requireHint(ExtractFileButton);
    grid.place(ExtractAllButton, 224, 392, 201, 25);
    grid.requireHint(ExtractAllButton);
    grid.place(ShowSystemFilesCheckBox, 8, 420, 201, 17);
    grid.requireHint(ShowSystemFilesCheckBox);
}

void FilesPage::setColumnWidths(const DesignLayout& grid)
{
    const std::array<int, 3> columns = {246, 75, 75};
    for (int c = 0; c < 3; ++c)
        FSListView->setColumnWidth(c, grid.x(columns[static_cast<std::size_t>(c)]));
}

void FilesPage::beginJob()
{
    m_jobRunning = true;
    m_fileButtonWasEnabled = ExtractFileButton->isEnabled();
    m_allButtonWasEnabled = ExtractAllButton->isEnabled();
    m_actionWasEnabled = ExtractThisFile1->isEnabled();
    ExtractFileButton->setEnabled(false);
    ExtractAllButton->setEnabled(false);
    ExtractThisFile1->setEnabled(false);
    FSListView->header()->setSectionsClickable(false);
}

void FilesPage::endJob()
{
    ExtractFileButton->setEnabled(m_fileButtonWasEnabled);
    ExtractAllButton->setEnabled(m_allButtonWasEnabled);
    ExtractThisFile1->setEnabled(m_actionWasEnabled);
    FSListView->header()->setSectionsClickable(true);
    m_jobRunning = false;
}

bool FilesPage::decompressWhenExtracting() const
{
    return DecompressWhenExtracting1->isChecked();
}

std::optional<core::FileRow> FilesPage::currentRow() const
{
    QTreeWidgetItem* item = FSListView->currentItem();
    const int index = item ? FSListView->indexOfTopLevelItem(item) : -1;
    if (index < 0 || static_cast<std::size_t>(index) >= m_rows.size())
        return std::nullopt;
    return m_rows[static_cast<std::size_t>(index)];
}

bool FilesPage::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == FSListView->viewport() && event->type() == QEvent::MouseButtonRelease)
        FSListViewClick();
    // Space previews the focused row (instead of toggling its selection).
    if (watched == FSListView && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space &&
        static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
        if (currentRow())
            Q_EMIT previewRequested();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void FilesPage::showFiles(const std::vector<core::TFileEntry>& files,
                          const std::vector<core::TDirEntry>& dirs)
{
    m_rows = core::ParseArraysToList(files, dirs);
    m_systemRows.reset();
    if (ShowSystemFilesCheckBox->isChecked() && m_image) {
        m_systemRows = core::systemRows(core::systemFiles(*m_image, *m_header));
        m_rows.insert(m_rows.end(), m_systemRows->begin(), m_systemRows->end());
    }
    fillList(nullptr, false);
    // Filling the list is its change notification even when there are no rows to insert: an
    // image without files keeps "Extract Rom Contents", whose run then only shows and hides the
    // progress dialog and confirms.
    if (!m_jobRunning)
        ExtractAllButton->setEnabled(true);
}

void FilesPage::clear()
{
    m_systemRows.reset();
    m_rows.clear();
    FSListView->clear();
    // Emptying the list notifies a change; the commands are disabled after it.
    ExtractFileButton->setEnabled(false);
    ExtractAllButton->setEnabled(false);
    ExtractThisFile1->setEnabled(false);
}

void FilesPage::fillList(const core::FileRow* keepCurrent, bool keepSelected)
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
std::pair<std::optional<core::FileRow>, bool> FilesPage::focusedRow() const
{
    if (QTreeWidgetItem* item = FSListView->currentItem()) {
        const int index = FSListView->indexOfTopLevelItem(item);
        if (index >= 0 && static_cast<std::size_t>(index) < m_rows.size())
            return {m_rows[static_cast<std::size_t>(index)], item->isSelected()};
    }
    return {std::nullopt, false};
}

void FilesPage::FSListViewColumnClick(int column)
{
    guarded(m_showError, [&] {
        // A running extraction reads the rows in their current order.
        if (m_jobRunning)
            return;
        const auto [current, selected] = focusedRow();
        m_sort.click(column);
        core::sortRows(m_rows, m_sort);
        keepSystemRowsLast(m_rows);
        fillList(current ? &*current : nullptr, selected);
    });
}

void FilesPage::FSListViewClick()
{
    if (m_jobRunning)
        return;
    ExtractFileButton->setEnabled(!FSListView->selectedItems().isEmpty());
}

void FilesPage::FSListViewChange()
{
    // Emptying the list at a load notifies too; no image is held then.
    if (m_jobRunning || !m_image)
        return;
    ExtractAllButton->setEnabled(true);
    // "Extract Selected File" follows the selected row however it was chosen: a click, the
    // keyboard, or the right click that opens the menu (whose release the menu takes).
    FSListViewClick();
}

void FilesPage::FilesPopupMenuPopup()
{
    ExtractThisFile1->setEnabled(!m_jobRunning && !FSListView->selectedItems().isEmpty());
    bool narc = false;
    bool sdat = false;
    const QList<QTreeWidgetItem*> selected = FSListView->selectedItems();
    if (!m_jobRunning && !selected.isEmpty()) {
        const int index = FSListView->indexOfTopLevelItem(selected.front());
        if (index >= 0 && static_cast<std::size_t>(index) < m_rows.size()) {
            narc = rowIsNarc(m_rows[static_cast<std::size_t>(index)]);
            sdat = rowIsSdat(m_rows[static_cast<std::size_t>(index)]);
        }
    }
    ShowNarcContents1->setEnabled(narc);
    PreviewFile1->setEnabled(!selected.isEmpty());
    ReplaceFile1->setEnabled(!m_jobRunning && !selected.isEmpty());
    ShowSoundArchive1->setEnabled(sdat);
}

// A NARC opens in its dialog, any other file in the preview.
void FilesPage::FSListViewDblClick()
{
    const std::optional<core::FileRow> row = currentRow();
    if (!row)
        return;
    if (rowIsNarc(*row))
        Q_EMIT showNarcRequested();
    else
        Q_EMIT previewRequested();
}

void FilesPage::showFilesPopupMenu(const QPoint& position)
{
    FilesPopupMenu->popup(FSListView->viewport()->mapToGlobal(position));
}

// "Show System Files": the system rows go after the tree's rows, or away again; the focused
// row stays focused when it is still listed. Read from the open image the first time they are
// shown after a load. Ignored while a whole-tree extraction reads the rows.
void FilesPage::ShowSystemFilesCheckBoxClick()
{
    guarded(m_showError, [&] {
        if (m_jobRunning) {
            const QSignalBlocker block(ShowSystemFilesCheckBox);
            ShowSystemFilesCheckBox->setChecked(!ShowSystemFilesCheckBox->isChecked());
            return;
        }
        if (!m_image && m_rows.empty())
            return;
        const auto [current, selected] = focusedRow();
        std::erase_if(m_rows, [](const core::FileRow& r) { return r.system; });
        if (ShowSystemFilesCheckBox->isChecked() && m_image) {
            if (!m_systemRows)
                m_systemRows = core::systemRows(core::systemFiles(*m_image, *m_header));
            m_rows.insert(m_rows.end(), m_systemRows->begin(), m_systemRows->end());
        }
        fillList(current ? &*current : nullptr, selected);
    });
}

std::vector<core::FileRow> FilesPage::treeRows() const
{
    std::vector<core::FileRow> rows;
    for (const core::FileRow& r : m_rows)
        if (!r.system)
            rows.push_back(r);
    return rows;
}

// A tree row that begins with "SDAT".
bool FilesPage::rowIsSdat(const core::FileRow& row) const
{
    if (row.system || !m_image || row.size < 4)
        return false;
    std::array<std::uint8_t, 4> head{};
    return m_image->pread(row.offset, head) == 4 && std::memcmp(head.data(), "SDAT", 4) == 0;
}

// A tree row that begins with "NARC", or an LZ-compressed .narc / .carc (opening it says why it
// is not opened).
bool FilesPage::rowIsNarc(const core::FileRow& row) const
{
    if (row.system || !m_image)
        return false;
    const std::uint32_t offset = row.offset;
    const std::int64_t size = row.size;
    if (size < 1)
        return false;
    std::array<std::uint8_t, 4> head{};
    const std::size_t got = m_image->pread(
        offset, std::span(head).first(static_cast<std::size_t>(std::min<std::int64_t>(size, 4))));
    if (got == 4 && std::memcmp(head.data(), "NARC", 4) == 0)
        return true;
    const std::string extension = core::extensionOf(row.path);
    return got >= 1 && core::isLzCompressed(head[0]) &&
           (core::equalsIgnoreCase(extension, ".narc") ||
            core::equalsIgnoreCase(extension, ".carc"));
}

} // namespace cartscope::app
