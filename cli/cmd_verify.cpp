#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <thread>

#include "archive/dat_load.h"
#include "archive/member_stream.h"
#include "archive/reader.h"
#include "archive/torrentzip.h"
#include "cli/commands.h"
#include "cli/common.h"
#include "cli/dump_items.h"
#include "cli/verify_report.h"
#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/base/paths.h"
#include "core/io/archive_kind.h"
#include "core/io/open_below.h"
#include "core/io/stream.h"
#include "core/verify/verify.h"

namespace cartscope::cli {

namespace {

// More jobs than this only add memory (each holds a few 1 MiB blocks) on any machine we know.
constexpr unsigned kMaxJobs = 64;
// Folders nested deeper than this are reported instead of walked.
constexpr int kMaxDepth = 64;

bool isImageFile(const std::string& name)
{
    return core::imageNameOf(name) != core::ImageName::None ||
           core::equalsIgnoreCase(core::extensionOf(name), ".zip") ||
           core::equalsIgnoreCase(core::extensionOf(name), ".7z");
}

Item itemFor(const std::string& path, std::uint64_t size)
{
    Item item;
    item.path = path;
    item.size = size;
    item.zip = core::equalsIgnoreCase(core::extensionOf(path), ".zip");
    return item;
}

// The memory the jobs reading 7z archives may take together: what the system reports available
// when the run starts. A 7z reader takes its dictionary (up to 1.5 GiB), not a few MiB, so a job
// whose archive needs more than is left waits until others are done: the jobs running at once
// are as many as fit. One always runs, so an archive needing more than the whole is read alone.
class MemoryBudget {
public:
    explicit MemoryBudget(std::uint64_t total) : m_total(total) {}

    // Holds `bytes` of the budget until it goes.
    class Share {
    public:
        Share(MemoryBudget& budget, std::uint64_t bytes) : m_budget(budget), m_bytes(bytes)
        {
            std::unique_lock lock(budget.m_mutex);
            budget.m_freed.wait(lock, [&] {
                return budget.m_used == 0 ||
                       (budget.m_used <= budget.m_total && bytes <= budget.m_total - budget.m_used);
            });
            budget.m_used += bytes;
        }
        ~Share()
        {
            {
                const std::lock_guard lock(m_budget.m_mutex);
                m_budget.m_used -= m_bytes;
            }
            m_budget.m_freed.notify_all();
        }
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

    private:
        MemoryBudget& m_budget;
        std::uint64_t m_bytes;
    };

private:
    std::mutex m_mutex;
    std::condition_variable m_freed;
    std::uint64_t m_total;
    std::uint64_t m_used = 0; // may pass m_total only while one share holds it all
};

// Every image, .zip and .7z below `dir`, names sorted; symbolic links are never followed, so a link
// loop cannot make the walk endless. `rootLength` is the length of the folder the user gave.
void walk(const std::string& dir, std::size_t rootLength, int depth, std::vector<Item>& items)
{
    struct CloseDir {
        void operator()(DIR* d) const { closedir(d); }
    };
    if (depth > kMaxDepth) {
        items.push_back({dir, false, 0, "Folder \"" + dir + "\" is nested too deeply"});
        return;
    }
    const std::unique_ptr<DIR, CloseDir> d(opendir(dir.c_str()));
    if (!d) {
        items.push_back({dir, false, 0, core::cannotOpenMessage(dir, errno)});
        return;
    }
    std::vector<std::string> names;
    // Bounded by the folder's entries.
    while (const dirent* e = readdir(d.get())) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = dir + (dir.back() == '/' ? "" : "/") + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            items.push_back({path, false, 0, core::cannotOpenMessage(path, errno)});
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            walk(path, rootLength, depth + 1, items);
        } else if (S_ISREG(st.st_mode) && isImageFile(name)) {
            items.push_back(itemFor(path, static_cast<std::uint64_t>(st.st_size)));
            items.back().belowAt = rootLength;
        }
    }
}

} // namespace

// Opens an item for reading: a path the user gave as it is (followed when it is a link); below
// a folder the user gave, never through a link that replaced a file or folder after the walk.
core::UniqueFd openItem(const Item& item)
{
    if (item.belowAt != std::string::npos) {
        std::size_t start = item.belowAt;
        while (start < item.path.size() && item.path[start] == '/')
            ++start;
        return core::openBelow(item.path.substr(0, item.belowAt), item.path.substr(start));
    }
    core::UniqueFd fd(::open(item.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid())
        throw core::Error(core::cannotOpenMessage(item.path, errno));
    return fd;
}

std::vector<Item> collect(const std::vector<std::string>& paths)
{
    std::vector<Item> items;
    for (const std::string& path : paths) {
        struct stat st {};
        // A path given by the user is followed when it is a link; links inside folders are not.
        if (::stat(path.c_str(), &st) != 0)
            items.push_back({path, false, 0, core::cannotOpenMessage(path, errno)});
        else if (S_ISDIR(st.st_mode))
            walk(path, path.size(), 0, items);
        else if (S_ISREG(st.st_mode))
            items.push_back(itemFor(path, static_cast<std::uint64_t>(st.st_size)));
        else
            items.push_back({path, false, 0, core::notRegularMessage(path, st.st_mode)});
    }
    return items;
}

namespace {

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

void verifyZip(const Item& item, int fd, bool torrentzip, const core::DatSet& dats,
               Reporter& reporter, bool threaded, MemoryBudget& memory);

void verifyFile(const Item& item, const core::DatSet& dats, Reporter& reporter, bool threaded,
                MemoryBudget& memory)
{
    const core::UniqueFd file = openItem(item);
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        throw core::Error(core::cannotOpenMessage(item.path, errno));
    if (!S_ISREG(st.st_mode))
        throw core::Error(core::notRegularMessage(item.path, st.st_mode));
    const core::DescriptorStream image(file.get(), static_cast<std::uint64_t>(st.st_size));
    // The first bytes decide, as for the other commands: a zip archive under any name is
    // verified as one, another archive is refused by its kind. A file named .zip without the
    // signature (bytes in front of the archive) still goes to the archive reader.
    const core::ArchiveKind kind = core::archiveKindOf(image);
    if (kind == core::ArchiveKind::Zip || kind == core::ArchiveKind::SevenZip ||
        (kind == core::ArchiveKind::None && item.zip))
        return verifyZip(item, file.get(), archive::isTorrentZipped(image), dats, reporter,
                         threaded, memory);
    if (kind != core::ArchiveKind::None)
        throw core::Error(core::unsupportedArchiveMessage(item.path, kind));
    core::ImageVerifier verifier(dats, image.size(), false, threaded);
    std::uint64_t reported = 0;
    const auto stop = stopping(reporter);
    const bool complete =
        core::readPass(image, verifier.sinks(), [&](std::uint64_t done, std::uint64_t) {
            reporter.addBytes(done - reported);
            reported = done;
            return !stop();
        });
    if (!complete)
        return;
    auto result = verifier.result(stop);
    if (result)
        reporter.report({item.path, std::nullopt, std::move(result), {}});
}

void verifyZip(const Item& item, int fd, bool torrentzip, const core::DatSet& dats,
               Reporter& reporter, bool threaded, MemoryBudget& memory)
{
    std::unique_ptr<core::ImageVerifier> verifier;
    std::optional<MemoryBudget::Share> share; // held while a 7z archive is read
    archive::MemberEvents events;
    events.onMemory = [&](std::uint64_t bytes) { share.emplace(memory, bytes); };
    events.onBegin = [&](const archive::StreamedMember& m) {
        verifier = std::make_unique<core::ImageVerifier>(dats, m.declaredSize, false, threaded);
        return verifier->sinks();
    };
    events.onEnd = [&](const archive::StreamedMember& m, const std::string& error) {
        if (!error.empty()) {
            reporter.report({item.path, m.name, std::nullopt, error, torrentzip});
            return;
        }
        auto result = verifier->result(stopping(reporter));
        if (result)
            reporter.report({item.path, m.name, std::move(result), {}, torrentzip});
    };
    events.cancelled = stopping(reporter);
    const std::size_t members = archive::streamMembers(
        fd, item.path,
        [](const std::string& name) { return core::imageNameOf(name) != core::ImageName::None; },
        events);
    reporter.addBytes(item.size);
    if (members == 0 && !events.cancelled())
        reporter.report({item.path, std::nullopt, std::nullopt,
                         "No .nds, .ids, .dsi or .srl image in the archive"});
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
    const std::vector<Item> items = collect(inv.positional);
    checkInterrupted();
    std::uint64_t totalBytes = 0;
    for (const Item& item : items)
        totalBytes += item.size;
    Reporter reporter(ctx, format, dats, items.size(), totalBytes);
    MemoryBudget memory(archive::availableMemory());

    // Several jobs keep the cores busy with images; one job gives them to the digests instead.
    const bool threaded = jobs == 1 || items.size() == 1;
    std::atomic<std::size_t> next{0};
    const auto worker = [&] {
        // Bounded by the item count; Ctrl-C stops handing out more.
        for (std::size_t i = next++; i < items.size() && !interrupted() && !reporter.writeFailed();
             i = next++) {
            const Item& item = items[i];
            try {
                if (!item.error.empty())
                    reporter.report({item.path, std::nullopt, std::nullopt, item.error});
                else
                    verifyFile(item, dats, reporter, threaded, memory);
            } catch (const std::exception& e) {
                reporter.report({item.path, std::nullopt, std::nullopt, e.what()});
            }
            reporter.itemDone();
        }
    };
    std::vector<std::thread> threads;
    const std::size_t count = std::min<std::size_t>(jobs, std::max<std::size_t>(items.size(), 1));
    for (std::size_t t = 1; t < count; ++t)
        threads.emplace_back(worker);
    worker();
    for (auto& t : threads)
        t.join();
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
