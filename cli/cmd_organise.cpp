#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "archive/one_game.h"
#include "archive/organise_plan.h"
#include "cli/commands.h"
#include "cli/common.h"
#include "cli/dump_items.h"
#include "cli/verify_report.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/base/text.h"
#include "core/verify/verify.h"

namespace cartscope::cli {

namespace {

using archive::Dump;
using archive::OrganiseFormat;
using archive::OrganiseMode;

bool interrupted()
{
    return g_interrupted.load();
}

// What the verification of one item gave: the dumps that verified, and a row for everything
// else (listed with its verdict, left where it is).
struct Checked {
    std::vector<Dump> dumps;
    std::vector<VerifyRow> others;
};

// Verifies one item: the dumps that verified are kept with the way to open them again,
// everything else is listed with its verdict or error.
Checked check(const Item& item, const core::DatSet& dats)
{
    Checked checked;
    archive::ScanHooks hooks;
    hooks.cancelled = interrupted;
    archive::scanItem(item, dats, hooks, [&](archive::ScannedDump dump) {
        const bool verified =
            dump.result && (dump.result->verdict == core::Verdict::Verified ||
                            dump.result->verdict == core::Verdict::VerifiedTrimmed);
        if (verified)
            checked.dumps.push_back({item.path, std::move(dump.member), dump.memberIndex,
                                     std::move(*dump.result),
                                     [item] { return archive::openDumpItem(item); }});
        else
            checked.others.push_back(
                {item.path, std::move(dump.member), std::move(dump.result), std::move(dump.error)});
    });
    return checked;
}

// Runs `work(i)` for i below `count` on `jobs` threads, in no particular order.
template <typename Work> void runJobs(std::size_t count, unsigned jobs, const Work& work)
{
    std::atomic<std::size_t> next{0};
    const auto worker = [&] {
        // Bounded by the count; Ctrl-C stops handing out more.
        for (std::size_t i = next++; i < count && !interrupted(); i = next++)
            work(i);
    };
    std::vector<std::thread> threads;
    const std::size_t n = std::min<std::size_t>(jobs, std::max<std::size_t>(count, 1));
    for (std::size_t t = 1; t < n; ++t)
        threads.emplace_back(worker);
    worker();
    for (auto& t : threads)
        t.join();
}

std::string shown(const Dump& d)
{
    return safe(d.path) + (d.member ? " :: " + safe(*d.member) : "");
}

const char* verb(OrganiseMode mode, bool dryRun)
{
    switch (mode) {
    case OrganiseMode::Move:
        return dryRun ? "would move" : "moved";
    case OrganiseMode::Link:
        return dryRun ? "would link" : "linked";
    case OrganiseMode::Copy:
        break;
    }
    return dryRun ? "would copy" : "copied";
}

archive::OrganiseOptions optionsOf(const Invocation& inv)
{
    archive::OrganiseOptions o;
    const auto to = inv.value("--to");
    if (!to || to->empty())
        throw UsageError("organise needs --to DIR");
    o.to = *to;
    const int modes = inv.has("--copy") + inv.has("--move") + inv.has("--link");
    if (modes > 1)
        throw UsageError("--copy, --move and --link cannot be used together");
    o.mode = inv.has("--move")   ? OrganiseMode::Move
             : inv.has("--link") ? OrganiseMode::Link
                                 : OrganiseMode::Copy;
    const std::string format = inv.value("--format").value_or("raw");
    if (format == "raw")
        o.format = OrganiseFormat::Raw;
    else if (format == "zip")
        o.format = OrganiseFormat::Zip;
    else if (format == "torrentzip")
        o.format = OrganiseFormat::TorrentZip;
    else
        throw UsageError("--format needs raw, zip or torrentzip");
    o.pad = inv.has("--pad");
    if (o.mode == OrganiseMode::Link && (o.format != OrganiseFormat::Raw || o.pad))
        throw UsageError("--link writes raw dumps as they are: not with --format zip, "
                         "torrentzip or --pad");
    return o;
}

std::vector<std::string> commaList(const std::optional<std::string>& text)
{
    std::vector<std::string> out;
    if (!text)
        return out;
    std::size_t start = 0;
    // Bounded by the text's length.
    for (std::size_t end; (end = text->find(',', start)) != std::string::npos; start = end + 1)
        out.push_back(text->substr(start, end - start));
    out.push_back(text->substr(start));
    return out;
}

// Keeps one dump per parent/clone group; returns how many were set aside.
std::size_t keepOneGame(const Invocation& inv, Context& ctx, const core::DatSet& dats,
                        std::vector<Dump>& dumps)
{
    const archive::Preferences preferences{commaList(inv.value("--prefer-region")),
                                           commaList(inv.value("--prefer-language"))};
    std::vector<std::uint32_t> roms;
    for (const Dump& d : dumps)
        roms.push_back(d.result.matches.front().rom);
    const archive::OneGameChoice choice = archive::chooseOneGame(roms, dats, preferences);
    for (const std::string& w : choice.warnings)
        ctx.err << "Warning: " << safe(w) << '\n';
    for (std::size_t i = 0; i < choice.skipped.size(); ++i) {
        const Dump& winner = dumps[choice.keptInstead[i]];
        ctx.out << "skipped  " << shown(dumps[choice.skipped[i]]) << "  (one game per group: "
                << safe(std::string(dats.roms()[winner.result.matches.front().rom].game))
                << " is kept)\n";
    }
    std::vector<Dump> kept;
    for (const std::size_t i : choice.kept)
        kept.push_back(std::move(dumps[i]));
    dumps = std::move(kept);
    return choice.skipped.size();
}

int cmdOrganise(const Invocation& inv, Context& ctx)
{
    const archive::OrganiseOptions options = optionsOf(inv);
    const bool dryRun = inv.has("--dry-run");
    const unsigned jobs = jobCount(inv);
    const core::DatSet dats = loadDats(inv, ctx);
    const std::vector<Item> items = archive::collectDumps(inv.positional);
    checkInterrupted();

    std::vector<Checked> checked(items.size());
    runJobs(items.size(), jobs, [&](std::size_t i) {
        try {
            checked[i] = check(items[i], dats);
        } catch (const std::exception& e) {
            checked[i].others.push_back({items[i].path, std::nullopt, std::nullopt, e.what()});
        }
    });
    checkInterrupted();
    std::vector<Dump> dumps;
    const auto text = rowWriter(VerifyFormat::Text, dats);
    std::size_t unverified = 0, errors = 0;
    for (Checked& c : checked) {
        std::move(c.dumps.begin(), c.dumps.end(), std::back_inserter(dumps));
        for (const VerifyRow& row : c.others) {
            ++(row.result ? unverified : errors);
            text->write(ctx.out, row);
        }
    }

    std::size_t skipped = 0;
    if (inv.has("--1g1r"))
        skipped = keepOneGame(inv, ctx, dats, dumps);
    else if (inv.has("--prefer-region") || inv.has("--prefer-language"))
        throw UsageError("--prefer-region and --prefer-language need --1g1r");

    const archive::Plan plan = archive::planOrganise(dumps, dats, options.format);
    for (const archive::Duplicate& d : plan.duplicates)
        ctx.out << "duplicate  " << shown(dumps[d.dump]) << "  (the same rom as "
                << shown(dumps[d.first]) << ")\n";

    std::mutex mutex;
    std::size_t placed = 0, inPlace = 0;
    const auto sources = [&](const archive::Target& t) {
        std::string s;
        for (const archive::RomPlacement& p : t.roms)
            s += (s.empty() ? "" : ", ") + shown(dumps[p.dump]);
        return s;
    };
    if (dryRun) {
        for (const archive::Target& t : plan.targets)
            ctx.out << verb(options.mode, true) << "  " << sources(t) << " -> "
                    << safe(archive::targetPath(options, t)) << '\n';
        ctx.out << "Dry run: " << plan.targets.size() << " destinations planned, "
                << plan.duplicates.size() << " duplicates, " << unverified << " not verified, "
                << errors << " errors; nothing was changed\n";
        return errors == 0 ? 0 : 1;
    }
    const core::Checkpoint checkpoint = [] {
        if (interrupted())
            throw core::Error("Interrupted");
    };
    runJobs(plan.targets.size(), jobs, [&](std::size_t i) {
        const archive::Target& t = plan.targets[i];
        const std::string dest = safe(archive::targetPath(options, t));
        try {
            const archive::TargetOutcome o = archive::carryOut(t, dumps, dats, options, checkpoint);
            const std::lock_guard lock(mutex);
            if (o.outcome == archive::Outcome::InPlace) {
                ++inPlace;
                ctx.out << "in place  " << dest << '\n';
                for (const std::string& r : o.removed)
                    ctx.out << "removed  " << safe(r) << "  (already at " << dest << ")\n";
            } else {
                ++placed;
                ctx.out << verb(options.mode, false) << "  " << sources(t) << " -> " << dest
                        << '\n';
            }
            for (const std::string& a : o.keptArchives)
                ctx.out << "kept archive  " << safe(a) << "  (its member is at " << dest << ")\n";
        } catch (const std::exception& e) {
            const std::lock_guard lock(mutex);
            ++errors;
            ctx.out << "error  " << sources(t) << "  (" << safe(core::withFullStop(e.what()))
                    << ")\n";
        }
        ctx.out.flush();
    });
    ctx.out << (interrupted() ? "Interrupted after " : "") << dumps.size()
            << (dumps.size() == 1 ? " dump verified: " : " dumps verified: ") << placed
            << " placed, " << inPlace << " already in place, " << plan.duplicates.size()
            << " duplicates, " << skipped << " skipped; " << unverified << " not verified, "
            << errors << (errors == 1 ? " error\n" : " errors\n");
    checkInterrupted();
    return errors == 0 ? 0 : 1;
}

} // namespace

const Command& organiseCommand()
{
    static const Command command{
        "organise",
        1,
        SIZE_MAX,
        {"--to", "--dat", "--copy", "--move", "--link", "--format", "--pad", "--dry-run", "--jobs"},
        cmdOrganise};
    return command;
}

} // namespace cartscope::cli
