#include "app/collection_window.h"

#include <algorithm>
#include <array>
#include <utility>

#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/dialogs.h"
#include "app/qt_text.h"
#include "core/base/error.h"
#include "core/base/text.h"
#include "core/interpret.h"
#include "core/verify/trim.h"
#include "core/verify/verdict_text.h"

namespace cartscope::app {

namespace {

enum Column {
    kFileColumn,
    kVerdictColumn,
    kGameColumn,
    kDatColumn,
    kTrimColumn,
    kFormColumn,
    kTorrentZipColumn,
    kColumnCount
};

// The verdicts as the table and its filter name them, in the filter's order.
struct VerdictLabel {
    core::Verdict verdict;
    const char* label;
};
constexpr std::array<VerdictLabel, 7> kVerdictLabels = {{
    {core::Verdict::Verified, "Verified"},
    {core::Verdict::VerifiedTrimmed, "Verified (trimmed)"},
    {core::Verdict::Mismatch, "Mismatch"},
    {core::Verdict::NotInDat, "Not in DAT"},
    {core::Verdict::NoDat, "No DAT"},
    {core::Verdict::NotAnImage, "Not an image"},
    {core::Verdict::Error, "Error"},
}};

QString verdictLabel(core::Verdict verdict)
{
    for (const VerdictLabel& v : kVerdictLabels) {
        if (v.verdict == verdict)
            return QString::fromLatin1(v.label);
    }
    return QString::fromLatin1(core::verdictName(verdict));
}

// A dump without a result (it could not be read) counts as an error.
core::Verdict verdictOf(const archive::ScannedDump& d)
{
    return d.result ? d.result->verdict : core::Verdict::Error;
}

QColor colourOf(core::Rgb c)
{
    return QColor(c.r, c.g, c.b);
}

} // namespace

CollectionWindow::CollectionWindow(Dialogs& dialogs, std::shared_ptr<const core::DatSet> dats,
                                   std::string folder, ItemScanner scanner, QWidget* parent)
    : QWidget(parent, Qt::Window), m_dialogs(dialogs), m_dats(std::move(dats)),
      m_folder(std::move(folder)), m_scanner(std::move(scanner))
{
    createControls();
    connectControls();
    populateControls();
    startScan();
}

CollectionWindow::~CollectionWindow()
{
    m_organise.cancel();
    m_scan.cancel();
}

void CollectionWindow::createControls()
{
    setObjectName(QStringLiteral("CollectionWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    CollectionFolderLabel = new QLabel(this);
    CollectionFolderLabel->setObjectName(QStringLiteral("CollectionFolderLabel"));
    VerdictFilterLabel = new QLabel(QStringLiteral("Show:"), this);
    VerdictFilterCombo = new QComboBox(this);
    VerdictFilterCombo->setObjectName(QStringLiteral("VerdictFilterCombo"));
    VerdictFilterLabel->setBuddy(VerdictFilterCombo);
    CollectionSplitter = new QSplitter(Qt::Vertical, this);
    CollectionSplitter->setObjectName(QStringLiteral("CollectionSplitter"));
    CollectionTable = new QTreeWidget(CollectionSplitter);
    CollectionTable->setObjectName(QStringLiteral("CollectionTable"));
    ReportMemo = new QPlainTextEdit(CollectionSplitter);
    ReportMemo->setObjectName(QStringLiteral("ReportMemo"));
    CollectionProgressBar = new QProgressBar(this);
    CollectionProgressBar->setObjectName(QStringLiteral("CollectionProgressBar"));
    CollectionStatusLabel = new QLabel(this);
    CollectionStatusLabel->setObjectName(QStringLiteral("CollectionStatusLabel"));
    CollectionCancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    CollectionCancelButton->setObjectName(QStringLiteral("CollectionCancelButton"));
    OrganiseButton = new QPushButton(QStringLiteral("Organise\u2026"), this);
    OrganiseButton->setObjectName(QStringLiteral("OrganiseButton"));
    ReportButton = new QPushButton(QStringLiteral("Report\u2026"), this);
    ReportButton->setObjectName(QStringLiteral("ReportButton"));
    CollectionCloseButton = new QPushButton(QStringLiteral("Close"), this);
    CollectionCloseButton->setObjectName(QStringLiteral("CollectionCloseButton"));

    auto* top = new QHBoxLayout;
    top->addWidget(CollectionFolderLabel, 1);
    top->addWidget(VerdictFilterLabel);
    top->addWidget(VerdictFilterCombo);
    auto* progress = new QHBoxLayout;
    progress->addWidget(CollectionProgressBar, 1);
    progress->addWidget(CollectionCancelButton);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(OrganiseButton);
    buttons->addWidget(ReportButton);
    buttons->addStretch();
    buttons->addWidget(CollectionCloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(CollectionSplitter, 1);
    layout->addLayout(progress);
    layout->addWidget(CollectionStatusLabel);
    layout->addLayout(buttons);
}

void CollectionWindow::connectControls()
{
    connect(VerdictFilterCombo, &QComboBox::currentIndexChanged, this,
            &CollectionWindow::applyFilter);
    connect(CollectionTable, &QTreeWidget::itemDoubleClicked, this,
            &CollectionWindow::CollectionTableDblClick);
    connect(CollectionCancelButton, &QPushButton::clicked, this,
            &CollectionWindow::CollectionCancelButtonClick);
    connect(OrganiseButton, &QPushButton::clicked, this, &CollectionWindow::OrganiseButtonClick);
    connect(ReportButton, &QPushButton::clicked, this, &CollectionWindow::ReportButtonClick);
    connect(CollectionCloseButton, &QPushButton::clicked, this, &QWidget::close);
}

void CollectionWindow::populateControls()
{
    setWindowTitle(QStringLiteral("Collection - ") + shown(m_folder));
    CollectionFolderLabel->setTextFormat(Qt::PlainText);
    CollectionFolderLabel->setText(shown(m_folder));
    CollectionStatusLabel->setTextFormat(Qt::PlainText);
    VerdictFilterCombo->addItem(QStringLiteral("All verdicts"), -1);
    for (const VerdictLabel& v : kVerdictLabels)
        VerdictFilterCombo->addItem(QString::fromLatin1(v.label), static_cast<int>(v.verdict));

    CollectionTable->setColumnCount(kColumnCount);
    CollectionTable->setHeaderLabels({QStringLiteral("File"), QStringLiteral("Verdict"),
                                      QStringLiteral("Game"), QStringLiteral("DAT"),
                                      QStringLiteral("Trim"), QStringLiteral("Secure Area"),
                                      QStringLiteral("TorrentZip")});
    CollectionTable->setRootIsDecorated(false);
    CollectionTable->setUniformRowHeights(true);
    CollectionTable->setSelectionMode(QAbstractItemView::SingleSelection);
    CollectionTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    CollectionTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    CollectionTable->setSortingEnabled(true);
    CollectionTable->sortByColumn(kFileColumn, Qt::AscendingOrder);
    // Room for a typical name in each column; the user widens the rest.
    constexpr std::array<std::pair<Column, int>, 4> kWidths = {
        {{kFileColumn, 220}, {kVerdictColumn, 130}, {kGameColumn, 200}, {kDatColumn, 150}}};
    for (const auto& [c, width] : kWidths)
        CollectionTable->header()->resizeSection(c, width);

    ReportMemo->setReadOnly(true);
    ReportMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    ReportMemo->setVisible(false); // until a report is written

    CollectionProgressBar->setRange(0, 1000);
    CollectionProgressBar->setTextVisible(false);
    resize(900, 520);
}

// ---------------------------------------------------------------------------------------------
// The scan

void CollectionWindow::startScan()
{
    m_stop = false;
    m_scanRunning = true;
    m_scanComplete = false;
    CollectionStatusLabel->setText(QStringLiteral("Looking for dumps\u2026"));
    updateButtons();
    m_scan.start([this, folder = m_folder, dats = m_dats,
                  scanner = m_scanner](const BackgroundJob::Run& run) {
        std::vector<archive::DumpItem> items;
        try {
            items = archive::collectDumps({folder});
        } catch (const std::exception& e) {
            run.deliver([this, message = visible(core::withFullStop(e.what()))] {
                scanFinished(false, message);
            });
            return;
        }
        run.deliver([this, items] { scanBegun(items); });
        scanItems(run, items, *dats, scanner);
    });
}

// Progress by bytes: the items done, plus what has been read of the one being read (an
// archive's members may unpack to more than its size: counted up to its size). Only a change
// of the permille shown is told.
class CollectionWindow::ScanProgress {
public:
    ScanProgress(std::uint64_t total, std::function<void(int, std::size_t)> tell)
        : m_total(total), m_tell(std::move(tell))
    {}
    void read(std::uint64_t itemSize, std::uint64_t n)
    {
        m_within = std::min(itemSize, m_within + std::min(n, itemSize));
        tell();
    }
    void itemDone(std::uint64_t itemSize)
    {
        m_before += itemSize;
        m_within = 0;
        ++m_itemsDone;
        tell();
    }

private:
    void tell()
    {
        const std::uint64_t done = m_before + m_within;
        // Sizes of files on one disk: far below 2^54, so done * 1000 fits.
        const int permille =
            m_total == 0
                ? 1000
                : static_cast<int>(std::min<std::uint64_t>(done, m_total) * 1000 / m_total);
        if (permille != m_shown) {
            m_shown = permille;
            m_tell(permille, m_itemsDone);
        }
    }

    std::uint64_t m_total;
    std::function<void(int, std::size_t)> m_tell;
    std::uint64_t m_before = 0, m_within = 0;
    std::size_t m_itemsDone = 0;
    int m_shown = -1;
};

void CollectionWindow::scanItems(const BackgroundJob::Run& run,
                                 const std::vector<archive::DumpItem>& items,
                                 const core::DatSet& dats, const ItemScanner& scanner)
{
    const auto stopped = [this, &run] { return run.cancelled() || m_stop.load(); };
    std::uint64_t total = 0;
    for (const archive::DumpItem& item : items)
        total += item.size;
    ScanProgress progress(total, [this, &run](int permille, std::size_t itemsDone) {
        run.deliver([this, permille, itemsDone] { scanProgress(permille, itemsDone); });
    });
    // One item at a time, its digests on helper threads: the window's scan competes with
    // nothing else, and rows arrive in the walk's order.
    archive::ScanHooks hooks;
    hooks.cancelled = stopped;
    hooks.threaded = true;
    // Bounded by the walk's items; Cancel stops handing out more.
    for (std::size_t i = 0; i < items.size() && !stopped(); ++i) {
        const archive::DumpItem& item = items[i];
        hooks.onBytes = [&](std::uint64_t n) { progress.read(item.size, n); };
        const auto report = [this, &run, i](archive::ScannedDump d) {
            run.deliver([this, i, d = std::move(d)] { addRow(i, d); });
        };
        archive::ScannedDump failed;
        failed.path = item.path;
        if (!item.error.empty()) {
            failed.error = item.error;
            report(failed);
        } else {
            try {
                scanner(item, dats, hooks, report);
            } catch (const std::exception& e) {
                failed.error = e.what();
                report(failed);
            }
        }
        progress.itemDone(item.size);
    }
    run.deliver([this, cancelled = stopped()] { scanFinished(cancelled, {}); });
}

void CollectionWindow::scanBegun(std::vector<archive::DumpItem> items)
{
    m_items = std::move(items);
    CollectionStatusLabel->setText(QStringLiteral("Verifying %1 files\u2026").arg(m_items.size()));
}

void CollectionWindow::scanProgress(int permille, std::size_t itemsDone)
{
    CollectionProgressBar->setValue(permille);
    CollectionStatusLabel->setText(
        QStringLiteral("Verifying: %1 of %2 files\u2026").arg(itemsDone).arg(m_items.size()));
}

void CollectionWindow::addRow(std::size_t item, const archive::ScannedDump& dump)
{
    const std::size_t index = m_rows.size();
    m_rows.push_back({dump, item});
    auto* row = new QTreeWidgetItem;
    row->setData(kFileColumn, Qt::UserRole, static_cast<qulonglong>(index));
    showRow(row, dump);
    CollectionTable->addTopLevelItem(row);
    row->setHidden(!passesFilter(m_rows.back()));
}

void CollectionWindow::showRow(QTreeWidgetItem* row, const archive::ScannedDump& dump) const
{
    // A row shown again (its dump moved) keeps nothing of what it showed before.
    for (int c = 0; c < kColumnCount; ++c) {
        row->setText(c, QString());
        row->setToolTip(c, QString());
        row->setBackground(c, QBrush());
        row->setForeground(c, QBrush());
    }
    const core::Verdict verdict = verdictOf(dump);
    showPlace(row, dump);
    row->setText(kVerdictColumn, verdictLabel(verdict));
    if (dump.result) {
        const core::VerifyResult& r = *dump.result;
        std::optional<std::uint32_t> rom;
        if (!r.matches.empty())
            rom = r.matches.front().rom;
        else if (r.mismatch)
            rom = r.mismatch->rom;
        if (rom && *rom < m_dats->roms().size()) {
            const core::DatRom entry = m_dats->roms()[*rom];
            row->setText(kGameColumn, shown(entry.game));
            row->setText(kDatColumn, shown(core::datTitle(m_dats->dats()[entry.dat])));
        }
        // A file that is not a DS image has no trim state or secure area.
        if (r.head.image) {
            row->setText(kTrimColumn, QString::fromLatin1(core::trimStateName(r.trim.state)));
            row->setText(kFormColumn,
                         QString::fromLatin1(core::secureAreaFormName(r.head.secureAreaForm)));
        }
        row->setToolTip(kVerdictColumn, visible(core::verdictText(r, *m_dats)));
    } else {
        row->setToolTip(kVerdictColumn, visible(core::withFullStop(dump.error)));
        row->setText(kGameColumn, visible(core::withFullStop(dump.error)));
    }
    // Green for a good dump, red for a bad one (as the page colours its verdict), black text on
    // either whatever the palette.
    const bool overTrimmed = dump.result && dump.result->head.image &&
                             dump.result->trim.state == core::TrimState::OverTrimmed;
    const bool bad =
        verdict == core::Verdict::Mismatch || verdict == core::Verdict::Error || overTrimmed;
    if (verified(verdict) || bad) {
        row->setBackground(kVerdictColumn, colourOf(bad ? core::kBadDumpFoundColour
                                                        : core::kBadDumpNotFoundColour));
        row->setForeground(kVerdictColumn, QColor(Qt::black));
    }
}

void CollectionWindow::scanFinished(bool cancelled, const QString& failure)
{
    m_scan.finish(); // its last delivery
    m_scanRunning = false;
    m_scanComplete = !cancelled && failure.isEmpty();
    std::size_t good = 0, bad = 0;
    for (const Row& r : m_rows) {
        const core::Verdict v = verdictOf(r.dump);
        good += verified(v) ? 1 : 0;
        bad += v == core::Verdict::Mismatch || v == core::Verdict::Error ? 1 : 0;
    }
    QString text = QStringLiteral("%1 dumps: %2 verified, %3 bad or unreadable, %4 other")
                       .arg(m_rows.size())
                       .arg(good)
                       .arg(bad)
                       .arg(m_rows.size() - good - bad);
    if (!failure.isEmpty())
        text = failure;
    else if (cancelled)
        text = QStringLiteral("Cancelled: ") + text;
    else
        CollectionProgressBar->setValue(1000);
    CollectionStatusLabel->setText(text);
    updateButtons();
    Q_EMIT scanEnded();
}

// ---------------------------------------------------------------------------------------------
// Table

bool CollectionWindow::passesFilter(const Row& row) const
{
    const int wanted = VerdictFilterCombo->currentData().toInt();
    return wanted < 0 || static_cast<int>(verdictOf(row.dump)) == wanted;
}

QTreeWidgetItem* CollectionWindow::tableRowOf(std::size_t index) const
{
    for (int i = 0; i < CollectionTable->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = CollectionTable->topLevelItem(i);
        if (item->data(kFileColumn, Qt::UserRole).toULongLong() == index)
            return item;
    }
    return nullptr;
}

void CollectionWindow::showPlace(QTreeWidgetItem* row, const archive::ScannedDump& dump) const
{
    row->setText(kFileColumn, shown(placeOf(dump.path, dump.member)));
    row->setText(kTorrentZipColumn, !dump.member      ? QString()
                                    : dump.torrentzip ? QStringLiteral("yes")
                                                      : QStringLiteral("no"));
}

void CollectionWindow::applyFilter()
{
    for (int i = 0; i < CollectionTable->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = CollectionTable->topLevelItem(i);
        const auto index = item->data(kFileColumn, Qt::UserRole).toULongLong();
        if (index < m_rows.size())
            item->setHidden(!passesFilter(m_rows[index]));
    }
}

void CollectionWindow::updateButtons()
{
    const bool busy = m_scanRunning || m_organiseRunning;
    CollectionCancelButton->setEnabled(busy);
    OrganiseButton->setEnabled(!busy);
    // What is missing can only be told once every dump has been seen.
    ReportButton->setEnabled(!busy && m_scanComplete && !m_dats->empty());
}

void CollectionWindow::CollectionCancelButtonClick()
{
    // The work stops at its next check and tells how far it came.
    m_stop = true;
}

void CollectionWindow::CollectionTableDblClick(QTreeWidgetItem* item)
{
    const auto index = item->data(kFileColumn, Qt::UserRole).toULongLong();
    if (index >= m_rows.size())
        return;
    const archive::ScannedDump& dump = m_rows[index].dump;
    std::optional<archive::Member> member;
    if (dump.member)
        member = archive::Member{dump.memberIndex, *dump.member, 0};
    Q_EMIT openRequested(dump.path, member);
}

void CollectionWindow::closeEvent(QCloseEvent* event)
{
    // Stopping is safe at any point: an organise run leaves every dump at least once, whole.
    m_organise.cancel();
    m_scan.cancel();
    m_organiseRunning = m_scanRunning = false;
    event->accept();
}

bool CollectionWindow::verified(core::Verdict v)
{
    return v == core::Verdict::Verified || v == core::Verdict::VerifiedTrimmed;
}

QString CollectionWindow::shown(std::string_view text)
{
    return fromCoreText(core::markInvisible(text));
}

QString CollectionWindow::visible(const std::string& text)
{
    return fromCoreText(core::escapeForTerminal(text, true));
}

std::string CollectionWindow::placeOf(const std::string& path,
                                      const std::optional<std::string>& member) const
{
    std::string place = path;
    const std::string& folder = m_folder;
    if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
        (path[folder.size()] == '/' || (!folder.empty() && folder.back() == '/'))) {
        place = path.substr(folder.size());
        place.erase(0, place.find_first_not_of('/'));
    }
    return member ? place + " :: " + *member : place;
}

} // namespace cartscope::app
