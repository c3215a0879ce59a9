#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

#include "archive/collection_scan.h"
#include "archive/one_game.h"
#include "archive/organise_plan.h"
#include "archive/staged_copy.h"
#include "archive/staged_zip.h"
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

// Each dump's one read (a file's, or an archive member's) also stages what its destination needs in
// the destination's file system, in an unnamed file: its bytes as they are for raw output (named
// later, padded first with --pad), deflated for a zip (copied between the zip's headers later).
// Neither is read again. A raw move stages only what a rename cannot place: a file on another file
// system, and with --pad a file whose size is not a power of two (a trimmed dump; a wrong guess
// costs a copy or a read, never a wrong byte). Each staged file waits open until the plan is
// carried out, so their count stays well below the process's descriptor limit; past it, and where
// the destination has no unnamed files, a dump is read again as before. A deflating member holds
// its compressor only during its read.
class Staging {
public:
    Staging(const archive::OrganiseOptions& options, bool dryRun)
        : m_zip(options.format != OrganiseFormat::Raw), m_move(options.mode == OrganiseMode::Move),
          m_pad(options.pad)
    {
        if (dryRun || options.mode == OrganiseMode::Link)
            return;
        std::error_code ignored;
        if (std::filesystem::create_directories(options.to, ignored))
            m_created = options.to;
        m_folder = core::UniqueFd(::open(options.to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st {};
        if (m_folder.valid() && ::fstat(m_folder.get(), &st) == 0)
            m_device = st.st_dev;
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            m_limit = std::min<std::size_t>(m_limit, limit.rlim_cur / 2);
    }

    // DIR made only for the staged files goes again when nothing was placed in it.
    ~Staging()
    {
        if (!m_created.empty())
            ::rmdir(m_created.c_str());
    }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    bool active() const { return m_folder.valid(); }

    // What to stage for the file open as `fd`, or for a member of the archive open so, or
    // nullptr.
    std::shared_ptr<archive::StagedBytes> take(int fd, bool member)
    {
        if (!m_folder.valid() || (m_move && !m_zip && !member && renamed(fd)) ||
            m_open.fetch_add(1) >= m_limit)
            return nullptr;
        auto staged = std::make_shared<archive::StagedBytes>();
        if (m_zip)
            staged->deflated = archive::StagedDeflate::create(m_folder.get());
        else
            staged->copy = archive::StagedCopy::create(m_folder.get());
        return staged->copy || staged->deflated ? staged : nullptr;
    }

private:
    // Whether a raw move will most likely place the file by a rename.
    bool renamed(int fd) const
    {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || st.st_dev != m_device)
            return false;
        const auto size = static_cast<std::uint64_t>(st.st_size);
        return !m_pad || (size & (size - 1)) == 0;
    }

    bool m_zip;
    bool m_move;
    bool m_pad;
    std::string m_created;
    core::UniqueFd m_folder;
    dev_t m_device = 0;
    std::atomic<std::size_t> m_open{0};
    std::size_t m_limit = kMaxStaged;
    static constexpr std::size_t kMaxStaged = 4096;
};

core::ReadSink* sinkOf(const std::shared_ptr<archive::StagedBytes>& staged)
{
    if (!staged)
        return nullptr;
    if (staged->copy)
        return staged->copy.get();
    return staged->deflated.get();
}

// A member deflated in the read is ended as soon as its dump is verified (the zip holds the
// DAT's bytes: a trimmed dump padded as it matched), so its compressor goes with the read.
std::shared_ptr<archive::StagedBytes> completed(std::shared_ptr<archive::StagedBytes> staged,
                                                const core::VerifyResult& result)
{
    if (!staged || !staged->deflated)
        return staged;
    if (result.matches.empty())
        return nullptr;
    const core::DatMatch& match = result.matches.front();
    const std::uint64_t size = match.padding ? match.paddedSize : result.size;
    return staged->deflated->complete(size, match.padding) ? staged : nullptr;
}

// What the verification of one item gave: the dumps that verified, and a row for everything
// else (listed with its verdict, left where it is).
struct Checked {
    std::vector<Dump> dumps;
    std::vector<VerifyRow> others;
};

void keep(Checked& checked, const Item& item, archive::ScannedDump dump,
          std::shared_ptr<archive::StagedBytes> staged)
{
    const bool verified = dump.result && (dump.result->verdict == core::Verdict::Verified ||
                                          dump.result->verdict == core::Verdict::VerifiedTrimmed);
    if (verified) {
        // Completed before the result moves into the dump.
        std::shared_ptr<archive::StagedBytes> ready = completed(std::move(staged), *dump.result);
        checked.dumps.push_back({item.path, std::move(dump.member), dump.memberIndex,
                                 std::move(*dump.result),
                                 [item] { return archive::openDumpItem(item); }, std::move(ready)});
    } else {
        checked.others.push_back(
            {item.path, std::move(dump.member), std::move(dump.result), std::move(dump.error)});
    }
}

// Verifies one item: the dumps that verified are kept with the way to open them again,
// everything else is listed with its verdict or error. Each dump also stages what its
// destination needs in the same read when staging is on.
Checked check(const Item& item, const core::DatSet& dats, bool threaded, Staging& staging)
{
    Checked checked;
    std::shared_ptr<archive::StagedBytes> staged;
    archive::ScanHooks hooks;
    hooks.cancelled = interrupted;
    hooks.threaded = threaded;
    if (staging.active())
        hooks.dumpSink = [&](int fd, bool member) -> core::ReadSink* {
            staged = staging.take(fd, member);
            return sinkOf(staged);
        };
    // Each dump is reported before the next one's sink is asked for.
    archive::scanItem(item, dats, hooks, [&](archive::ScannedDump dump) {
        keep(checked, item, std::move(dump), std::move(staged));
    });
    return checked;
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

// The verified dumps, in the order given; every other row printed with its verdict or error.
struct Verified {
    std::vector<Dump> dumps;
    std::size_t unverified = 0, errors = 0;
};

Verified verifyAll(const std::vector<Item>& items, const core::DatSet& dats, unsigned jobs,
                   Staging& staging, Context& ctx)
{
    // Several jobs keep the cores busy with images; one job gives them to the digests instead.
    const bool threaded = jobs == 1 || items.size() == 1;
    std::vector<Checked> checked(items.size());
    runJobs(items.size(), jobs, interrupted, [&](std::size_t i) {
        try {
            checked[i] = check(items[i], dats, threaded, staging);
        } catch (const std::exception& e) {
            checked[i].others.push_back({items[i].path, std::nullopt, std::nullopt, e.what()});
        }
    });
    checkInterrupted();
    Verified verified;
    const auto text = rowWriter(VerifyFormat::Text, dats);
    for (Checked& c : checked) {
        std::move(c.dumps.begin(), c.dumps.end(), std::back_inserter(verified.dumps));
        for (const VerifyRow& row : c.others) {
            ++(row.result ? verified.unverified : verified.errors);
            text->write(ctx.out, row);
        }
    }
    return verified;
}

std::string sourcesOf(const archive::Target& t, const std::vector<Dump>& dumps)
{
    std::string s;
    for (const archive::RomPlacement& p : t.roms)
        s += (s.empty() ? "" : ", ") + shown(dumps[p.dump]);
    return s;
}

// What carrying out the plan gave.
struct Placed {
    std::size_t placed = 0, inPlace = 0, errors = 0;
};

Placed carryOutPlan(const archive::Plan& plan, const std::vector<Dump>& dumps,
                    const core::DatSet& dats, const archive::OrganiseOptions& options,
                    unsigned jobs, Context& ctx)
{
    std::mutex mutex;
    Placed placed;
    const core::Checkpoint checkpoint = [] {
        if (interrupted())
            throw core::Error("Interrupted");
    };
    runJobs(plan.targets.size(), jobs, interrupted, [&](std::size_t i) {
        const archive::Target& t = plan.targets[i];
        const std::string dest = safe(archive::targetPath(options, t));
        try {
            const archive::TargetOutcome o = archive::carryOut(t, dumps, dats, options, checkpoint);
            const std::lock_guard lock(mutex);
            if (o.outcome == archive::Outcome::InPlace) {
                ++placed.inPlace;
                ctx.out << "in place  " << dest << '\n';
                for (const std::string& r : o.removed)
                    ctx.out << "removed  " << safe(r) << "  (already at " << dest << ")\n";
            } else {
                ++placed.placed;
                ctx.out << verb(options.mode, false) << "  " << sourcesOf(t, dumps) << " -> "
                        << dest << '\n';
            }
            for (const std::string& a : o.keptArchives)
                ctx.out << "kept archive  " << safe(a) << "  (its member is at " << dest << ")\n";
        } catch (const std::exception& e) {
            const std::lock_guard lock(mutex);
            ++placed.errors;
            ctx.out << "error  " << sourcesOf(t, dumps) << "  ("
                    << safe(core::withFullStop(e.what())) << ")\n";
        }
        ctx.out.flush();
    });
    return placed;
}

int cmdOrganise(const Invocation& inv, Context& ctx)
{
    const archive::OrganiseOptions options = optionsOf(inv);
    const bool dryRun = inv.has("--dry-run");
    const unsigned jobs = jobCount(inv);
    const core::DatSet dats = loadDats(inv, ctx);
    const std::vector<Item> items = archive::collectDumps(inv.positional);
    checkInterrupted();

    Staging staging(options, dryRun);
    Verified v = verifyAll(items, dats, jobs, staging, ctx);
    std::vector<Dump>& dumps = v.dumps;
    std::size_t skipped = 0;
    if (inv.has("--1g1r"))
        skipped = keepOneGame(inv, ctx, dats, dumps);
    else if (inv.has("--prefer-region") || inv.has("--prefer-language"))
        throw UsageError("--prefer-region and --prefer-language need --1g1r");

    const archive::Plan plan = archive::planOrganise(dumps, dats, options.format);
    for (const archive::Duplicate& d : plan.duplicates) {
        ctx.out << "duplicate  " << shown(dumps[d.dump]) << "  (the same rom as "
                << shown(dumps[d.first]) << ")\n";
        dumps[d.dump].staged.reset(); // a second copy is never written
    }
    if (dryRun) {
        for (const archive::Target& t : plan.targets)
            ctx.out << verb(options.mode, true) << "  " << sourcesOf(t, dumps) << " -> "
                    << safe(archive::targetPath(options, t)) << '\n';
        ctx.out << "Dry run: " << plan.targets.size() << " destinations planned, "
                << plan.duplicates.size() << " duplicates, " << v.unverified << " not verified, "
                << v.errors << " errors; nothing was changed\n";
        return v.errors == 0 ? 0 : 1;
    }
    const Placed placed = carryOutPlan(plan, dumps, dats, options, jobs, ctx);
    const std::size_t errors = v.errors + placed.errors;
    ctx.out << (interrupted() ? "Interrupted after " : "") << dumps.size()
            << (dumps.size() == 1 ? " dump verified: " : " dumps verified: ") << placed.placed
            << " placed, " << placed.inPlace << " already in place, " << plan.duplicates.size()
            << " duplicates, " << skipped << " skipped; " << v.unverified << " not verified, "
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
