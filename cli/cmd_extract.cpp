#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "cli/commands.h"
#include "cli/common.h"
#include "core/base/error.h"
#include "core/extract/extract.h"
#include "core/extract/space.h"
#include "core/formats/sound/sdat.h"
#include "core/fs/narc.h"
#include "core/fs/system_files.h"
#include "core/rebuild/decompress.h"
#include "core/rebuild/layout_writer.h"

namespace cartscope::cli {

namespace {

// DIR is created when missing (like mkdir -p); anything else than a folder there is an error.
void prepareDestination(const std::string& dir)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    // The error_code form: the throwing one would show the library's "filesystem error: ..."
    // text for a name that is too long or a folder that cannot be searched.
    std::error_code statusError;
    if (!std::filesystem::is_directory(dir, statusError))
        throw core::Error("Cannot create folder \"" + dir + "\". " +
                          (ec ? ec.message() : std::string("Not a folder")));
}

// The progress bar on a terminal. Drawing and flushing it for every file would cost more than
// copying thousands of small files, so it is redrawn at most ten times a second, and once at the
// end with the final counts.
class ProgressBar {
public:
    explicit ProgressBar(std::ostream& err) : m_err(err) {}

    void update(const core::ExtractProgress& p)
    {
        const auto now = std::chrono::steady_clock::now();
        if (p.current && m_drawn && now - m_last < kInterval)
            return;
        m_last = now;
        m_drawn = true;
        draw(p);
    }
    // A line of its own for a message: the bar is drawn again by the next update.
    std::ostream& message()
    {
        if (m_drawn)
            m_err << "\n";
        m_drawn = false;
        return m_err;
    }

private:
    static constexpr auto kInterval = std::chrono::milliseconds(100);

    void draw(const core::ExtractProgress& p)
    {
        constexpr int kWidth = 30;
        const int filled =
            p.total ? static_cast<int>(static_cast<std::uint64_t>(kWidth) * p.done / p.total)
                    : kWidth;
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.resize(kWidth, '.');
        std::string name = p.current ? safe(p.current->row.path) : std::string();
        if (name.size() > 40) {
            // Cut at a character boundary: the tail never starts inside a UTF-8 sequence.
            std::size_t cut = name.size() - 37;
            while (cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
                ++cut;
            name = "..." + name.substr(cut);
        }
        m_err << "\r[" << bar << "] " << p.done << "/" << p.total << "  " << name << "\x1b[K"
              << std::flush;
    }

    std::ostream& m_err;
    std::chrono::steady_clock::time_point m_last{};
    bool m_drawn = false;
};

// The rows named on the command line. A path is taken exactly as `list` prints it: its raw
// bytes first, then its escaped form (a name with a tab, a backslash or a byte that is not UTF-8
// is printed escaped, and can be given back so).
std::vector<core::FileRow> selectRows(const std::vector<core::FileRow>& all,
                                      const std::vector<std::string>& wanted)
{
    std::map<std::string, const core::FileRow*> byPath;
    std::map<std::string, const core::FileRow*> byPrinted;
    for (const auto& row : all) {
        byPath.emplace(row.path, &row);
        byPrinted.emplace(safe(row.path), &row);
    }
    std::vector<core::FileRow> rows;
    std::set<const core::FileRow*> seen;
    for (const auto& w : wanted) {
        auto it = byPath.find(w);
        if (it == byPath.end())
            it = byPrinted.find(w);
        if (it == byPrinted.end())
            throw core::Error("No file \"" + w + "\" in the image");
        if (seen.insert(it->second).second)
            rows.push_back(*it->second);
    }
    return rows;
}

// Whether the run takes the whole tree (with --system its system files after it): its rows are
// then planned one by one as they are made, never held twice.
bool wholeTree(const Invocation& inv)
{
    return !inv.has("--narc") && !inv.has("--sdat") && inv.positional.size() == 2;
}

// What to extract: the plan of its rows below DIR, the folder below DIR they go into, and with
// --narc or --sdat the archive's decompressed bytes, which its members are read from.
struct Selection {
    std::vector<core::PlannedFile> plan;
    std::string folder;
    std::shared_ptr<const core::DecompressedArchive> decompressed = nullptr;
};

// The tree (unless --system-only) and with --system the system files after it, each row planned
// as it is made.
std::vector<core::PlannedFile> planTree(const Invocation& inv, const core::Stream& image,
                                        const core::LoadedImage& img, const std::string& dir)
{
    const bool systemOnly = inv.has("--system-only");
    std::vector<core::FileRow> sys;
    if (systemOnly || inv.has("--system"))
        sys = core::systemRows(core::systemFiles(image, img.header));
    core::ExtractionPlanner planner(dir, img.display.internalName,
                                    (systemOnly ? 0 : img.files.size()) + sys.size());
    if (!systemOnly)
        core::forEachRow(img.files, img.dirs,
                         [&planner](const core::FileRow& row) { planner.add(row); });
    for (core::FileRow& row : sys)
        planner.add(std::move(row));
    return planner.take();
}

Selection select(const Invocation& inv, const core::Stream& image, core::LoadedImage& img,
                 const std::string& dir)
{
    const bool system = inv.has("--system-only") || inv.has("--system");
    if (wholeTree(inv))
        return {planTree(inv, image, img, dir), img.display.internalName};
    const std::vector<std::string> wanted(inv.positional.begin() + 2, inv.positional.end());
    // Rows that cannot be written (a system file or an archive member that does not fit) are
    // planned too: the run refuses them, tells them first and lists them at the end.
    if (inv.has("--narc")) {
        if (system || !wanted.empty())
            throw UsageError("--narc extracts a whole archive; it takes no paths and no --system");
        const core::Narc narc = core::openNarc(image, img.rows, *inv.value("--narc"));
        const std::string folder = core::narcFolderName(narc.path);
        return {core::planExtraction(dir, folder, core::narcRows(narc)), folder, narc.decompressed};
    }
    if (inv.has("--sdat")) {
        if (system || !wanted.empty())
            throw UsageError(
                "--sdat extracts a whole sound archive; it takes no paths and no --system");
        const core::Sdat sdat = core::openSdat(image, img.rows, *inv.value("--sdat"));
        const std::string folder = core::narcFolderName(sdat.path);
        return {core::planExtraction(dir, folder, core::sdatExtractRows(sdat)), folder,
                sdat.decompressed};
    }
    std::vector<core::FileRow> all =
        inv.has("--system-only") ? std::vector<core::FileRow>{} : std::move(img.rows);
    if (system) {
        const std::vector<core::FileRow> sys =
            core::systemRows(core::systemFiles(image, img.header));
        all.insert(all.end(), sys.begin(), sys.end());
    }
    return {core::planExtraction(dir, img.display.internalName, selectRows(all, wanted)),
            img.display.internalName};
}

// The command line refuses a run that needs more room than DIR has, unless forced.
void checkRoom(const std::string& dir, const std::vector<core::PlannedFile>& plan,
               std::uint64_t imageSize)
{
    if (const std::optional<core::Room> room = core::roomAt(dir)) {
        const core::Needs needs = core::neededRoom(plan, imageSize, room->blockSize);
        if (const auto shortfall = core::shortOfRoom(needs, *room, dir))
            throw core::Error(*shortfall + "; use --force to extract anyway");
    }
}

// What the run tells as it goes: the bar on a terminal, and a line for each renamed or failed
// file.
core::ExtractOptions runOptions(Context& ctx, ProgressBar& bar,
                                core::rebuild::WrittenNames& renamed)
{
    const auto messages = [&ctx, &bar]() -> std::ostream& {
        return ctx.errIsTerminal ? bar.message() : ctx.err;
    };
    core::ExtractOptions options;
    // One file that cannot be written (a name the file system refuses, a range past the end of
    // the image, a read error, a system file or an archive member that does not fit) is
    // reported and the run goes on with the next.
    options.keepGoing = true;
    options.onProgress = [&ctx, &bar, messages](const core::ExtractProgress& p) {
        if (ctx.errIsTerminal)
            bar.update(p);
        if (p.current && p.current->renamed)
            messages() << "note: " << safe(p.current->row.path) << " is written as "
                       << safe(p.current->relative) << " (another file has that name)\n";
        return !g_interrupted.load();
    };
    options.onRenamed = [messages, &renamed](const core::PlannedFile& f,
                                             const std::string& written) {
        renamed[&f] = written;
        messages() << "note: " << safe(f.row.path) << " is written as " << safe(written)
                   << " (the destination does not tell letter case apart)\n";
    };
    options.onFailure = [messages](const core::ExtractFailure& f) {
        messages() << "error: " << safe(f.path) << ": " << safe(core::withFullStop(f.message))
                   << '\n';
    };
    return options;
}

// --decompress: every file written that is compressed is written again decompressed; one that
// does not decode stays as written, with a warning.
core::rebuild::DecompressionRun
decompressRun(const Invocation& inv, const core::Stream& source, const core::LoadedImage& img,
              const std::vector<core::PlannedFile>& plan, const core::ExtractSummary& summary,
              const core::rebuild::WrittenNames& renamed, Context& ctx)
{
    core::rebuild::DecompressOptions options;
    options.writtenAt = core::rebuild::writtenPlaces(summary, renamed);
    // System rows are only in a run of the image itself (never of an archive's members).
    if (inv.has("--system") || inv.has("--system-only"))
        options.header = &img.header;
    options.interrupted = [] { return g_interrupted.load(); };
    options.onWarning = [&ctx](const core::ExtractFailure& w) {
        ctx.err << "warning: " << safe(w.path) << ": " << safe(w.message)
                << "; it is written as it is\n";
    };
    return core::rebuild::decompressWritten(source, plan, options);
}

// The end of a run: what is missing (each failure was told as it happened) and what was done.
int summarise(const core::ExtractSummary& summary, const std::string& where, Context& ctx,
              const core::rebuild::DecompressionRun* decompressed = nullptr)
{
    if (!summary.failures.empty()) {
        ctx.err << summary.failures.size()
                << (summary.failures.size() == 1 ? " file was" : " files were")
                << " not extracted:\n";
        for (const core::ExtractFailure& f : summary.failures)
            ctx.err << "  " << safe(f.path) << ": " << safe(core::withFullStop(f.message)) << '\n';
    }
    ctx.out << (summary.cancelled ? "Cancelled after " : "Extracted ") << summary.files
            << (summary.files == 1 ? " file, " : " files, ") << summary.bytes << " bytes to "
            << safe(where);
    if (summary.renamed)
        ctx.out << " (" << summary.renamed << " renamed to keep same-named files apart)";
    if (!summary.failures.empty())
        ctx.out << ", " << summary.failures.size() << " failed";
    if (decompressed)
        ctx.out << ", " << decompressed->files.size() << " decompressed";
    ctx.out << '\n';
    if (summary.cancelled || (decompressed && decompressed->cancelled))
        return 130;
    return summary.failures.empty() ? 0 : 1;
}

int cmdExtract(const Invocation& inv, Context& ctx)
{
    const std::string& dir = inv.positional[1];
    // One open of the image, held from the load to the end of the run, as the window keeps it.
    InputImage image(inv.positional[0], inputOptions(true));
    core::LoadedImage img = load(image, wholeTree(inv) ? core::Rows::Skip : core::Rows::Build);
    const Selection selection = select(inv, image, img, dir);
    const std::vector<core::PlannedFile>& plan = selection.plan;
    if (plan.empty()) {
        // Nothing is made, not even the internal-name folder.
        ctx.out << "No files to extract\n";
        return 0;
    }
    prepareDestination(dir);
    if (!inv.has("--force"))
        checkRoom(dir, plan, image.size());
    ProgressBar bar(ctx.err);
    core::rebuild::WrittenNames renamed;
    const core::Stream& source =
        selection.decompressed ? static_cast<const core::Stream&>(selection.decompressed->stream)
                               : image;
    // A whole tree with its system files: what the layout that rebuilds it needs of the image is
    // read while the run copies the files, and each file is looked up once finished.
    core::rebuild::LayoutInAdvance layout(
        {image, img.header, img.files, img.dirs, plan, renamed, dir, selection.folder});
    core::ExtractOptions options = runOptions(ctx, bar, renamed);
    options.onProgress = [&layout,
                          told = std::move(options.onProgress)](const core::ExtractProgress& p) {
        layout.progress(p);
        return told(p);
    };
    const core::ExtractSummary summary = core::runExtraction(source, plan, options);
    if (ctx.errIsTerminal)
        ctx.err << "\n";
    std::optional<core::rebuild::DecompressionRun> decompressed;
    if (inv.has("--decompress") && !summary.cancelled)
        decompressed = decompressRun(inv, source, img, plan, summary, renamed, ctx);
    // A whole tree with its system files, every one written: the layout that rebuilds it.
    if (summary.failures.empty() && !summary.cancelled &&
        !(decompressed && decompressed->cancelled))
        layout.write(decompressed ? decompressed->files
                                  : std::vector<core::rebuild::DecompressedFile>{});
    const std::string where =
        dir + (dir.empty() || dir.back() == '/' ? "" : "/") + core::cleanName(selection.folder);
    return summarise(summary, where, ctx, decompressed ? &*decompressed : nullptr);
}

} // namespace

const Command& extractCommand()
{
    static const Command command{
        "extract",
        2,
        SIZE_MAX,
        {"--force", "--system", "--system-only", "--narc", "--sdat", "--decompress"},
        cmdExtract};
    return command;
}

} // namespace cartscope::cli
