#include <memory>
#include <utility>

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>

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

// ---------------------------------------------------------------------------------------------
// Organise

void CollectionWindow::OrganiseButtonClick()
{
    auto dumps = std::make_shared<std::vector<archive::Dump>>();
    for (const Row& r : m_rows) {
        if (!r.dump.result || !verified(r.dump.result->verdict) || r.item >= m_items.size())
            continue;
        dumps->push_back({r.dump.path, r.dump.member, r.dump.memberIndex, *r.dump.result,
                          [item = m_items[r.item]] { return archive::openDumpItem(item); },
                          nullptr});
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
        return placeOf((*dumps)[dump].path, (*dumps)[dump].member);
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
