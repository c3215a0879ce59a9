#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "archive/collection_report.h"
#include "archive/collection_scan.h"
#include "archive/reader.h"
#include "cli/commands.h"
#include "cli/common.h"
#include "cli/dump_items.h"
#include "core/base/error.h"
#include "core/base/text.h"

// `report`: what a collection holds against its DATs, what it misses and what it holds twice,
// from one read of every dump; the list of what is missing and the fixdats on request.
namespace cartscope::cli {

namespace {

bool interrupted()
{
    return g_interrupted.load();
}

// What the scan of one item gave: the dumps that count towards a report (verified, trimmed or
// not), and how many others there were.
struct Scanned {
    std::vector<archive::ReportedDump> held;
    std::size_t others = 0;
    std::vector<std::string> errors; // "path: message", shown at the end
};

std::string shown(const std::string& path, const std::optional<std::string>& member)
{
    return path + (member ? " :: " + *member : "");
}

Scanned scan(const archive::DumpItem& item, const core::DatSet& dats,
             const archive::ScanHooks& hooks)
{
    Scanned s;
    if (!item.error.empty()) {
        s.errors.push_back(shown(item.path, std::nullopt) + ": " + item.error);
        return s;
    }
    archive::scanItem(item, dats, hooks, [&](archive::ScannedDump d) {
        if (!d.result) {
            s.errors.push_back(shown(d.path, d.member) + ": " + d.error);
            return;
        }
        const core::Verdict v = d.result->verdict;
        if (v == core::Verdict::Error) {
            s.errors.push_back(shown(d.path, d.member) + ": " + core::verdictName(v));
            return;
        }
        if (v != core::Verdict::Verified && v != core::Verdict::VerifiedTrimmed) {
            ++s.others;
            return;
        }
        // Only what a report uses is kept: the hashes, head and trim of thousands of dumps
        // would cost memory for nothing.
        core::VerifyResult kept;
        kept.size = d.result->size;
        kept.verdict = v;
        kept.matches = std::move(d.result->matches);
        s.held.push_back({std::move(d.path), std::move(d.member), std::move(kept)});
    });
    return s;
}

// Every dump of the collection, in the order the paths were given and walked, whatever job
// read them.
struct Collected {
    std::vector<archive::ReportedDump> dumps;
    std::size_t others = 0;
    std::vector<std::string> errors;
};

Collected scanAll(const std::vector<archive::DumpItem>& items, const core::DatSet& dats,
                  unsigned jobs)
{
    archive::MemoryBudget memory(archive::availableMemory());
    archive::ScanHooks hooks;
    hooks.cancelled = interrupted;
    hooks.memory = &memory;
    // Several jobs keep the cores busy with dumps; one job gives them to the digests instead.
    hooks.threaded = jobs == 1 || items.size() == 1;

    std::vector<Scanned> scanned(items.size());
    runJobs(items.size(), jobs, interrupted, [&](std::size_t i) {
        try {
            scanned[i] = scan(items[i], dats, hooks);
        } catch (const std::exception& e) {
            scanned[i].errors.push_back(items[i].path + ": " + e.what());
        }
    });
    checkInterrupted();

    Collected c;
    for (Scanned& s : scanned) {
        std::move(s.held.begin(), s.held.end(), std::back_inserter(c.dumps));
        c.others += s.others;
        std::move(s.errors.begin(), s.errors.end(), std::back_inserter(c.errors));
    }
    return c;
}

int cmdReport(const Invocation& inv, Context& ctx)
{
    const unsigned jobs = jobCount(inv);
    const auto csv = inv.value("--missing-csv");
    const auto fixdat = inv.value("--fixdat");
    if ((csv && csv->empty()) || (fixdat && fixdat->empty()))
        throw UsageError("--missing-csv and --fixdat need a name");
    const core::DatSet dats = loadDats(inv, ctx);
    if (dats.empty())
        return 1; // loadDats has said why
    const std::vector<archive::DumpItem> items = archive::collectDumps(inv.positional);
    checkInterrupted();
    const Collected c = scanAll(items, dats, jobs);

    const archive::CollectionReport report = archive::makeReport(dats, c.dumps);
    const bool json = inv.has("--json");
    ctx.out << (json ? archive::reportJson(report, dats) : archive::reportText(report, dats));
    // The JSON document stays alone on the output; what else there is to say goes beside it.
    std::ostream& notes = json ? ctx.err : ctx.out;
    if (csv) {
        archive::writeMissingCsv(report, dats, *csv);
        notes << "Wrote " << safe(*csv) << '\n';
    }
    if (fixdat)
        for (const std::string& path : archive::writeFixdats(report, dats, *fixdat))
            notes << "Wrote " << safe(path) << '\n';
    for (const std::string& e : c.errors)
        ctx.err << "Error: " << safe(core::withFullStop(e)) << '\n';
    const std::size_t read = c.dumps.size() + c.others + c.errors.size();
    notes << read << (read == 1 ? " dump read: " : " dumps read: ") << c.dumps.size()
          << " verified, " << c.others << " not verified, " << c.errors.size()
          << (c.errors.size() == 1 ? " error\n" : " errors\n");
    ctx.out.flush();
    if (!ctx.out)
        throw core::Error(core::kStreamWriteError);
    return c.errors.empty() ? 0 : 1;
}

} // namespace

const Command& reportCommand()
{
    static const Command command{"report",
                                 1,
                                 SIZE_MAX,
                                 {"--dat", "--json", "--missing-csv", "--fixdat", "--jobs"},
                                 cmdReport};
    return command;
}

} // namespace cartscope::cli
