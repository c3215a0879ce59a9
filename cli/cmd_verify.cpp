#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "archive/dat_load.h"
#include "archive/reader.h"
#include "cli/commands.h"
#include "cli/common.h"
#include "cli/dump_items.h"
#include "cli/verify_report.h"
#include "core/base/error.h"
#include "core/verify/verify.h"

namespace cartscope::cli {

namespace {

// More jobs than this only add memory (each holds a few 1 MiB blocks) on any machine we know.
constexpr unsigned kMaxJobs = 64;

// Tells each row as it comes (from any job) in the chosen format, counts the verdicts and
// draws the progress bar.
class Reporter {
public:
    Reporter(Context& ctx, VerifyFormat format, const core::DatSet& dats, std::size_t items,
             std::uint64_t bytes)
        : m_ctx(ctx), m_summaryOut(format == VerifyFormat::Text ? ctx.out : ctx.err),
          m_writer(rowWriter(format, dats)), m_totalItems(items), m_totalBytes(bytes)
    {
        m_writer->begin(m_ctx.out);
    }

    void report(const VerifyRow& row)
    {
        const std::lock_guard lock(m_mutex);
        clearBar();
        m_tally.count(row.verdict());
        m_writer->write(m_ctx.out, row);
        m_ctx.out.flush();
        // A reader that went away ("| head -1"): nothing more can be told, so nothing more is
        // read.
        if (!m_ctx.out)
            m_writeFailed = true;
        drawBar();
    }

    bool writeFailed() const { return m_writeFailed.load(); }

    void itemDone()
    {
        ++m_doneItems;
        addBytes(0);
    }

    void addBytes(std::uint64_t n)
    {
        m_doneBytes += n;
        if (!m_ctx.errIsTerminal)
            return;
        const std::unique_lock lock(m_mutex, std::try_to_lock);
        if (!lock)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastDraw < std::chrono::milliseconds(100))
            return;
        drawBar();
    }

    void finish(bool interrupted)
    {
        const std::lock_guard lock(m_mutex);
        clearBar();
        if (m_writeFailed)
            return;
        m_summaryOut << m_tally.summary(interrupted) << '\n';
        m_summaryOut.flush();
    }

    bool allVerified() const { return m_tally.allVerified(); }

private:
    void clearBar()
    {
        if (m_ctx.errIsTerminal && m_barShown) {
            m_ctx.err << "\r\x1b[K" << std::flush;
            m_barShown = false;
        }
    }

    void drawBar()
    {
        if (!m_ctx.errIsTerminal)
            return;
        m_lastDraw = std::chrono::steady_clock::now();
        constexpr std::uint64_t kWidth = 30;
        const std::uint64_t done = std::min<std::uint64_t>(m_doneBytes, m_totalBytes);
        const std::uint64_t filled =
            m_totalBytes ? kWidth * (done >> 10) / std::max<std::uint64_t>(m_totalBytes >> 10, 1)
                         : kWidth;
        std::string bar(static_cast<std::size_t>(std::min(filled, kWidth)), '#');
        bar.resize(kWidth, '.');
        m_ctx.err << "\r[" << bar << "] " << m_doneItems << "/" << m_totalItems << " files"
                  << "\x1b[K" << std::flush;
        m_barShown = true;
    }

    Context& m_ctx;
    std::ostream& m_summaryOut; // the text output's end, or beside the JSON or CSV
    const std::unique_ptr<RowWriter> m_writer;
    VerdictTally m_tally;
    std::mutex m_mutex;
    std::size_t m_totalItems;
    std::uint64_t m_totalBytes;
    std::atomic<std::uint64_t> m_doneBytes{0};
    std::atomic<std::size_t> m_doneItems{0};
    std::atomic<bool> m_writeFailed{false};
    std::chrono::steady_clock::time_point m_lastDraw{};
    bool m_barShown = false;
};

bool interrupted()
{
    return g_interrupted.load();
}

// Ctrl-C, or an output that can no longer be written: either ends the run.
std::function<bool()> stopping(const Reporter& reporter)
{
    return [&reporter] { return interrupted() || reporter.writeFailed(); };
}

void verifyItem(const Item& item, const core::DatSet& dats, Reporter& reporter, bool threaded,
                archive::MemoryBudget& memory)
{
    archive::ScanHooks hooks;
    hooks.cancelled = stopping(reporter);
    hooks.onBytes = [&reporter](std::uint64_t bytes) { reporter.addBytes(bytes); };
    hooks.memory = &memory;
    hooks.threaded = threaded;
    archive::scanItem(item, dats, hooks, [&reporter](archive::ScannedDump dump) {
        reporter.report({std::move(dump.path), std::move(dump.member), std::move(dump.result),
                         std::move(dump.error), dump.torrentzip});
    });
}

} // namespace

unsigned jobCount(const Invocation& inv)
{
    const auto text = inv.value("--jobs");
    if (!text) {
        const unsigned cores = std::thread::hardware_concurrency();
        return std::clamp(cores, 1u, kMaxJobs);
    }
    unsigned n = 0;
    for (const char c : *text) {
        if (c < '0' || c > '9' || n > kMaxJobs)
            throw UsageError("--jobs needs a number from 1 to " + std::to_string(kMaxJobs));
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n < 1 || n > kMaxJobs)
        throw UsageError("--jobs needs a number from 1 to " + std::to_string(kMaxJobs));
    return n;
}

core::DatSet loadDats(const Invocation& inv, Context& ctx)
{
    core::DatSet dats;
    const auto given = inv.values("--dat");
    if (!given.empty()) {
        // DATs named on the command line are what the user asked for: one that cannot be read
        // ends the run before any image.
        for (const std::string& path : given)
            archive::loadDat(path, dats);
        return dats;
    }
    const std::string folder = archive::datFolder();
    archive::DatFolderLoad loaded = archive::loadDatFolder(folder);
    for (const std::string& message : loaded.skipped)
        ctx.err << "Skipping DAT: " << safe(core::withFullStop(message)) << '\n';
    dats = std::move(loaded.dats);
    if (dats.empty())
        ctx.err << "No DAT loaded: put No-Intro DATs (.dat, .xml or .zip) in "
                << safe(folder.empty() ? "$XDG_DATA_HOME/cartscope/dats" : folder)
                << " or name them with --dat\n";
    return dats;
}

namespace {

int cmdVerify(const Invocation& inv, Context& ctx)
{
    if (inv.has("--json") && inv.has("--csv"))
        throw UsageError("--json and --csv cannot be used together");
    const VerifyFormat format = inv.has("--json")  ? VerifyFormat::Json
                                : inv.has("--csv") ? VerifyFormat::Csv
                                                   : VerifyFormat::Text;
    const unsigned jobs = jobCount(inv);
    const core::DatSet dats = loadDats(inv, ctx);
    const std::vector<Item> items = archive::collectDumps(inv.positional);
    checkInterrupted();
    std::uint64_t totalBytes = 0;
    for (const Item& item : items)
        totalBytes += item.size;
    Reporter reporter(ctx, format, dats, items.size(), totalBytes);
    archive::MemoryBudget memory(archive::availableMemory());

    // Several jobs keep the cores busy with images; one job gives them to the digests instead.
    const bool threaded = jobs == 1 || items.size() == 1;
    runJobs(
        items.size(), jobs, [&] { return interrupted() || reporter.writeFailed(); },
        [&](std::size_t i) {
            const Item& item = items[i];
            try {
                verifyItem(item, dats, reporter, threaded, memory);
            } catch (const std::exception& e) {
                reporter.report({item.path, std::nullopt, std::nullopt, e.what()});
            }
            reporter.itemDone();
        });
    reporter.finish(interrupted());
    checkInterrupted();
    if (reporter.writeFailed())
        throw core::Error(core::kStreamWriteError);
    return reporter.allVerified() ? 0 : 1;
}

} // namespace

const Command& verifyCommand()
{
    static const Command command{
        "verify", 1, SIZE_MAX, {"--dat", "--jobs", "--json", "--csv"}, cmdVerify};
    return command;
}

} // namespace cartscope::cli
