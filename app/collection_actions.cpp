#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTreeWidget>

#include "app/collection_window.h"
#include "app/dialogs.h"
#include "app/qt_text.h"
#include "archive/collection_report.h"
#include "core/base/error.h"

// The collection window's commands: "Organise…" (the plan, then each destination written on a
// thread of its own) and "Report…".
namespace cartscope::app {

namespace {

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

// ---------------------------------------------------------------------------------------------
// Organise

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

// The verified dumps of the table, in its order, and the row each came from.
struct CollectionWindow::Organising {
    std::shared_ptr<std::vector<archive::Dump>> dumps =
        std::make_shared<std::vector<archive::Dump>>();
    std::vector<std::size_t> rows;
};

// Where a dump of a target now lies, once the target has moved it: a file of its own, or a
// member of a packed target as verified there.
struct CollectionWindow::MovedDump {
    std::size_t row = 0;
    std::string path;
    std::optional<std::string> member;
    std::optional<archive::ScannedDump> verified;
};

CollectionWindow::Organising CollectionWindow::verifiedDumps() const
{
    Organising o;
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        const Row& r = m_rows[i];
        if (!r.dump.result || !verified(r.dump.result->verdict) || r.item >= m_items.size())
            continue;
        o.dumps->push_back({r.dump.path, r.dump.member, r.dump.memberIndex, *r.dump.result,
                            [item = m_items[r.item]] { return archive::openDumpItem(item); },
                            nullptr});
        o.rows.push_back(i);
    }
    return o;
}

std::optional<archive::OrganiseOptions> CollectionWindow::askOrganiseOptions()
{
    const std::optional<QString> to = m_dialogs.getExistingDirectory(
        this, QStringLiteral("Organise Into:"),
        QStringLiteral("Each verified dump goes into a folder named after its DAT"), QString());
    if (!to)
        return std::nullopt;
    const std::optional<OrganiseChoice> choice = m_dialogs.getOrganiseChoice(this);
    if (!choice)
        return std::nullopt;
    archive::OrganiseOptions options;
    options.to = toLocalPath(*to);
    options.mode = choice->mode;
    // A link is the dump's own file: never packed.
    options.format =
        choice->mode == archive::OrganiseMode::Link ? archive::OrganiseFormat::Raw : choice->format;
    return options;
}

QString CollectionWindow::planText(const archive::Plan& plan,
                                   const std::vector<archive::Dump>& dumps,
                                   const archive::OrganiseOptions& options) const
{
    QString text = QStringLiteral("%1 %2 verified dumps into %3 destinations below %4?\n")
                       .arg(QString::fromLatin1(presentVerb(options.mode)))
                       .arg(dumps.size() - plan.duplicates.size())
                       .arg(plan.targets.size())
                       .arg(shown(options.to));
    // Bounded by kPlanLinesShown; the rest is counted.
    for (std::size_t i = 0; i < plan.targets.size() && i < kPlanLinesShown; ++i) {
        const archive::Target& t = plan.targets[i];
        std::string sources;
        for (const archive::RomPlacement& p : t.roms)
            sources +=
                (sources.empty() ? "" : ", ") + placeOf(dumps[p.dump].path, dumps[p.dump].member);
        text += QStringLiteral("\n") + shown(sources) + QStringLiteral(" \u2192 ") +
                shown(t.folder + "/" + t.file);
    }
    if (plan.targets.size() > kPlanLinesShown)
        text += QStringLiteral("\n\u2026 and %1 more").arg(plan.targets.size() - kPlanLinesShown);
    if (!plan.duplicates.empty())
        text +=
            QStringLiteral("\n\n%1 second copies stay where they are.").arg(plan.duplicates.size());
    return text;
}

void CollectionWindow::OrganiseButtonClick()
{
    Organising organising = verifiedDumps();
    if (organising.dumps->empty()) {
        m_dialogs.information(this, QStringLiteral("No verified dump to organise"));
        return;
    }
    const std::optional<archive::OrganiseOptions> options = askOrganiseOptions();
    if (!options)
        return;
    archive::Plan plan;
    try {
        plan = archive::planOrganise(*organising.dumps, *m_dats, options->format);
    } catch (const std::exception& e) {
        m_dialogs.error(this, visible(core::withFullStop(e.what())));
        return;
    }
    if (!m_dialogs.question(this, planText(plan, *organising.dumps, *options)))
        return;
    startOrganise(std::move(plan), std::move(organising), *options);
}

// On the organise thread, after a target was carried out: where each of its dumps lies now.
// Moving, a dump that was a file of its own went to the target (renamed, or written there and
// then removed); a member of an archive was copied and its archive kept. Copying or linking
// leaves every dump where it was. A packed target holds the DAT's bytes (a trimmed dump padded),
// so its members are verified there: a later run reads and checks them as they now are.
std::vector<CollectionWindow::MovedDump>
CollectionWindow::movedDumps(const archive::Target& target, const Organising& organising,
                             const archive::OrganiseOptions& options, const core::DatSet& dats,
                             const ItemScanner& scanner, const std::function<bool()>& stopped)
{
    std::vector<MovedDump> moved;
    if (options.mode != archive::OrganiseMode::Move)
        return moved;
    const std::string dest = archive::targetPath(options, target);
    const bool raw = options.format == archive::OrganiseFormat::Raw;
    std::vector<archive::ScannedDump> members;
    if (!raw) {
        archive::DumpItem item;
        item.path = dest;
        item.zip = true;
        archive::ScanHooks hooks;
        hooks.cancelled = stopped;
        try {
            scanner(item, dats, hooks,
                    [&](archive::ScannedDump d) { members.push_back(std::move(d)); });
        } catch (const std::exception&) {
            members.clear(); // shown by name, with the result it had
        }
    }
    for (const archive::RomPlacement& p : target.roms) {
        if ((*organising.dumps)[p.dump].member)
            continue;
        MovedDump m{organising.rows[p.dump], dest, std::nullopt, std::nullopt};
        if (!raw) {
            m.member = p.name;
            for (archive::ScannedDump& d : members) {
                if (d.member == p.name)
                    m.verified = d;
            }
        }
        moved.push_back(std::move(m));
    }
    return moved;
}

void CollectionWindow::dumpsMoved(const std::vector<MovedDump>& moved)
{
    for (const MovedDump& m : moved) {
        if (m.row >= m_rows.size())
            continue;
        Row& row = m_rows[m.row];
        archive::DumpItem item;
        item.path = m.path;
        item.zip = m.member.has_value();
        std::error_code ec;
        item.size = std::filesystem::file_size(m.path, ec);
        if (ec)
            item.size = 0;
        row.item = m_items.size();
        m_items.push_back(std::move(item));
        if (m.verified) {
            row.dump = *m.verified;
        } else {
            row.dump.path = m.path;
            row.dump.member = m.member;
            row.dump.memberIndex = 0;
            row.dump.torrentzip = false;
        }
        if (QTreeWidgetItem* shownRow = tableRowOf(m.row)) {
            showRow(shownRow, row.dump);
            shownRow->setHidden(!passesFilter(row));
        }
    }
}

void CollectionWindow::startOrganise(archive::Plan plan, Organising organising,
                                     const archive::OrganiseOptions& options)
{
    m_stop = false;
    m_organiseRunning = true;
    CollectionProgressBar->setValue(0);
    CollectionStatusLabel->setText(
        QStringLiteral("Organising %1 destinations\u2026").arg(plan.targets.size()));
    updateButtons();
    m_organise.start([this, plan = std::move(plan), organising = std::move(organising),
                      dats = m_dats, scanner = m_scanner, options](const BackgroundJob::Run& run) {
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
                    archive::carryOut(target, *organising.dumps, *dats, options, checkpoint);
                ++(o.outcome == archive::Outcome::InPlace ? tally.inPlace : tally.placed);
                tally.keptArchives.insert(tally.keptArchives.end(), o.keptArchives.begin(),
                                          o.keptArchives.end());
                run.deliver([this, moved = movedDumps(target, organising, options, *dats, scanner,
                                                      stopped)] { dumpsMoved(moved); });
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
