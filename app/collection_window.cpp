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
#include "archive/collection_report.h"
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

bool verified(core::Verdict v)
{
    return v == core::Verdict::Verified || v == core::Verdict::VerifiedTrimmed;
}

// Names from a folder, an archive or a DAT: plain text with invisible and reordering
// characters marked.
QString shown(std::string_view text)
{
    return fromCoreText(core::markInvisible(text));
}

// Messages and multi-line texts: every line shown, control characters escaped.
QString visible(const std::string& text)
{
    return fromCoreText(core::escapeForTerminal(text, true));
}

// Where a dump is: the file below the scanned folder, and the member of an archive after " :: ".
std::string placeOf(const std::string& path, const std::optional<std::string>& member,
                    const std::string& folder)
{
    std::string place = path;
    if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0) {
        place = path.substr(folder.size());
        place.erase(0, place.find_first_not_of('/'));
    }
    return member ? place + " :: " + *member : place;
}

QColor colourOf(core::Rgb c)
{
    return QColor(c.r, c.g, c.b);
}

const char* pastVerb(archive::OrganiseMode mode)
{
    switch (mode) {
    case archive::OrganiseMode::Move:
        return "moved";
    case archive::OrganiseMode::Link:
        return "linked";
    case archive::OrganiseMode::Copy:
        break;
    }
    return "copied";
}

const char* presentVerb(archive::OrganiseMode mode)
{
    switch (mode) {
    case archive::OrganiseMode::Move:
        return "Move";
    case archive::OrganiseMode::Link:
        return "Link";
    case archive::OrganiseMode::Copy:
        break;
    }
    return "Copy";
}

// The plan's lines shown before it runs; the rest is counted.
constexpr std::size_t kPlanLinesShown = 20;

} // namespace

// What an organise run did, target by target.
struct CollectionWindow::OrganiseTally {
    std::size_t targets = 0;
    std::size_t done = 0; // targets carried out or failed
    std::size_t placed = 0;
    std::size_t inPlace = 0;
    std::size_t duplicates = 0;
    std::vector<std::string> failures; // "destination: reason"
    std::vector<std::string> keptArchives;
    bool cancelled = false;
};

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
        const auto stopped = [this, &run] { return run.cancelled() || m_stop.load(); };
        std::vector<archive::DumpItem> items;
        try {
            items = archive::collectDumps({folder});
        } catch (const std::exception& e) {
            run.deliver([this, message = visible(core::withFullStop(e.what()))] {
                scanFinished(false, message);
            });
            return;
        }
        std::uint64_t total = 0;
        for (const archive::DumpItem& item : items)
            total += item.size;
        run.deliver([this, items] { scanBegun(items); });

        // Progress by bytes: the items done, plus what has been read of the one being read (an
        // archive's members may unpack to more than its size: counted up to its size).
        std::uint64_t before = 0, within = 0;
        std::size_t itemsDone = 0;
        int shownPermille = -1;
        const auto tell = [&] {
            const std::uint64_t done = before + within;
            // Sizes of files on one disk: far below 2^54, so done * 1000 fits.
            const int permille =
                total == 0 ? 1000
                           : static_cast<int>(std::min<std::uint64_t>(done, total) * 1000 / total);
            if (permille != shownPermille) {
                shownPermille = permille;
                run.deliver([this, permille, itemsDone] { scanProgress(permille, itemsDone); });
            }
        };
        // One item at a time, its digests on helper threads: the window's scan competes with
        // nothing else, and rows arrive in the walk's order.
        archive::ScanHooks hooks;
        hooks.cancelled = stopped;
        hooks.threaded = true;
        // Bounded by the walk's items; Cancel stops handing out more.
        for (std::size_t i = 0; i < items.size() && !stopped(); ++i) {
            const archive::DumpItem& item = items[i];
            within = 0;
            hooks.onBytes = [&](std::uint64_t n) {
                within = std::min(item.size, within + std::min(n, item.size));
                tell();
            };
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
                    scanner(item, *dats, hooks, report);
                } catch (const std::exception& e) {
                    failed.error = e.what();
                    report(failed);
                }
            }
            before += item.size;
            within = 0;
            ++itemsDone;
            tell();
        }
        run.deliver([this, cancelled = stopped()] { scanFinished(cancelled, {}); });
    });
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
    const core::Verdict verdict = verdictOf(dump);
    auto* row = new QTreeWidgetItem;
    row->setData(kFileColumn, Qt::UserRole, static_cast<qulonglong>(index));
    row->setText(kFileColumn, shown(placeOf(dump.path, dump.member, m_folder)));
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
    if (dump.member)
        row->setText(kTorrentZipColumn,
                     dump.torrentzip ? QStringLiteral("yes") : QStringLiteral("no"));
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
    CollectionTable->addTopLevelItem(row);
    row->setHidden(!passesFilter(m_rows.back()));
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
    if (index < m_rows.size())
        Q_EMIT openRequested(m_rows[index].dump.path);
}

void CollectionWindow::closeEvent(QCloseEvent* event)
{
    // Stopping is safe at any point: an organise run leaves every dump at least once, whole.
    m_organise.cancel();
    m_scan.cancel();
    m_organiseRunning = m_scanRunning = false;
    event->accept();
}

// ---------------------------------------------------------------------------------------------
// Organise

void CollectionWindow::OrganiseButtonClick()
{
    auto dumps = std::make_shared<std::vector<archive::Dump>>();
    for (const Row& r : m_rows) {
        if (!r.dump.result || !verified(r.dump.result->verdict) || r.item >= m_items.size())
            continue;
        dumps->push_back({r.dump.path, r.dump.member, r.dump.memberIndex, *r.dump.result,
                          [item = m_items[r.item]] { return archive::openDumpItem(item); }});
    }
    if (dumps->empty()) {
        m_dialogs.information(this, QStringLiteral("No verified dump to organise"));
        return;
    }
    const std::optional<QString> to = m_dialogs.getExistingDirectory(
        this, QStringLiteral("Organise Into:"),
        QStringLiteral("Each verified dump goes into a folder named after its DAT"), QString());
    if (!to)
        return;
    const std::optional<OrganiseChoice> choice = m_dialogs.getOrganiseChoice(this);
    if (!choice)
        return;
    archive::OrganiseOptions options;
    options.to = toLocalPath(*to);
    options.mode = choice->mode;
    // A link is the dump's own file: never packed.
    options.format =
        choice->mode == archive::OrganiseMode::Link ? archive::OrganiseFormat::Raw : choice->format;
    archive::Plan plan;
    try {
        plan = archive::planOrganise(*dumps, *m_dats, options.format);
    } catch (const std::exception& e) {
        m_dialogs.error(this, visible(core::withFullStop(e.what())));
        return;
    }
    const auto place = [&](std::size_t dump) {
        return placeOf((*dumps)[dump].path, (*dumps)[dump].member, m_folder);
    };
    QString text = QStringLiteral("%1 %2 verified dumps into %3 destinations below %4?\n")
                       .arg(QString::fromLatin1(presentVerb(options.mode)))
                       .arg(dumps->size() - plan.duplicates.size())
                       .arg(plan.targets.size())
                       .arg(shown(options.to));
    // Bounded by kPlanLinesShown; the rest is counted.
    for (std::size_t i = 0; i < plan.targets.size() && i < kPlanLinesShown; ++i) {
        const archive::Target& t = plan.targets[i];
        std::string sources;
        for (const archive::RomPlacement& p : t.roms)
            sources += (sources.empty() ? "" : ", ") + place(p.dump);
        text += QStringLiteral("\n") + shown(sources) + QStringLiteral(" \u2192 ") +
                shown(t.folder + "/" + t.file);
    }
    if (plan.targets.size() > kPlanLinesShown)
        text += QStringLiteral("\n\u2026 and %1 more").arg(plan.targets.size() - kPlanLinesShown);
    if (!plan.duplicates.empty())
        text +=
            QStringLiteral("\n\n%1 second copies stay where they are.").arg(plan.duplicates.size());
    if (!m_dialogs.question(this, text))
        return;
    startOrganise(std::move(plan), std::move(dumps), options);
}

void CollectionWindow::startOrganise(archive::Plan plan,
                                     std::shared_ptr<const std::vector<archive::Dump>> dumps,
                                     const archive::OrganiseOptions& options)
{
    m_stop = false;
    m_organiseRunning = true;
    CollectionProgressBar->setValue(0);
    CollectionStatusLabel->setText(
        QStringLiteral("Organising %1 destinations\u2026").arg(plan.targets.size()));
    updateButtons();
    m_organise.start([this, plan = std::move(plan), dumps, dats = m_dats,
                      options](const BackgroundJob::Run& run) {
        const auto stopped = [this, &run] { return run.cancelled() || m_stop.load(); };
        const core::Checkpoint checkpoint = [&stopped] {
            if (stopped())
                throw core::Error("Cancelled");
        };
        OrganiseTally tally;
        tally.targets = plan.targets.size();
        tally.duplicates = plan.duplicates.size();
        // One target after the other, past one that fails; bounded by the plan.
        for (const archive::Target& target : plan.targets) {
            if (stopped())
                break;
            try {
                const archive::TargetOutcome o =
                    archive::carryOut(target, *dumps, *dats, options, checkpoint);
                ++(o.outcome == archive::Outcome::InPlace ? tally.inPlace : tally.placed);
                tally.keptArchives.insert(tally.keptArchives.end(), o.keptArchives.begin(),
                                          o.keptArchives.end());
            } catch (const std::exception& e) {
                if (stopped())
                    break; // the checkpoint's stop: nothing failed
                tally.failures.push_back(archive::targetPath(options, target) + ": " +
                                         core::withFullStop(e.what()));
            }
            ++tally.done;
            const int permille = static_cast<int>(tally.done * 1000 / tally.targets);
            run.deliver([this, permille, done = tally.done, total = tally.targets] {
                CollectionProgressBar->setValue(permille);
                CollectionStatusLabel->setText(
                    QStringLiteral("Organising: %1 of %2 destinations\u2026").arg(done).arg(total));
            });
        }
        tally.cancelled = stopped();
        run.deliver([this, tally, options] { organiseFinished(tally, options); });
    });
}

void CollectionWindow::organiseFinished(const OrganiseTally& tally,
                                        const archive::OrganiseOptions& options)
{
    m_organise.finish(); // its last delivery
    m_organiseRunning = false;
    updateButtons();
    QString text = QStringLiteral("%1%2 of %3 destinations below %4: %5 %6, %7 already in place")
                       .arg(tally.cancelled ? QStringLiteral("Cancelled after ") : QString())
                       .arg(tally.done)
                       .arg(tally.targets)
                       .arg(shown(options.to))
                       .arg(tally.placed)
                       .arg(QString::fromLatin1(pastVerb(options.mode)))
                       .arg(tally.inPlace);
    text += QStringLiteral(", %1 failed; %2 second copies left where they are.")
                .arg(tally.failures.size())
                .arg(tally.duplicates);
    for (const std::string& a : tally.keptArchives)
        text += QStringLiteral("\nKept archive ") + shown(a) +
                QStringLiteral(" (its member was copied)");
    for (const std::string& f : tally.failures)
        text += QStringLiteral("\nFailed: ") + visible(f);
    CollectionStatusLabel->setText(text.section(QLatin1Char('\n'), 0, 0));
    if (tally.failures.empty())
        m_dialogs.information(this, text);
    else
        m_dialogs.error(this, text);
    Q_EMIT organiseEnded();
}

// ---------------------------------------------------------------------------------------------
// Report

void CollectionWindow::ReportButtonClick()
{
    const std::optional<QString> chosen = m_dialogs.getExistingDirectory(
        this, QStringLiteral("Write The Report Into:"),
        QStringLiteral("A fixdat per DAT and missing.csv are written here"), QString());
    if (!chosen)
        return;
    const std::string folder = toLocalPath(*chosen);
    std::vector<archive::ReportedDump> dumps;
    for (const Row& r : m_rows) {
        if (r.dump.result)
            dumps.push_back({r.dump.path, r.dump.member, *r.dump.result});
    }
    try {
        const archive::CollectionReport report = archive::makeReport(*m_dats, dumps);
        const std::vector<std::string> fixdats = archive::writeFixdats(report, *m_dats, folder);
        archive::writeMissingCsv(report, *m_dats, folder + "/missing.csv");
        // The command's text, its names already escaped for a terminal; shown as plain text.
        ReportMemo->setPlainText(fromCoreText(archive::reportText(report, *m_dats)));
        ReportMemo->setVisible(true);
        m_dialogs.information(this, QStringLiteral("Report written to %1: %2 fixdat(s) and "
                                                   "missing.csv")
                                        .arg(shown(folder))
                                        .arg(fixdats.size()));
    } catch (const std::exception& e) {
        m_dialogs.error(this, visible(core::withFullStop(e.what())));
    }
}

} // namespace cartscope::app
