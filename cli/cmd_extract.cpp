#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>

#include "cli/commands.h"
#include "cli/common.h"
#include "core/base/error.h"
#include "core/extract/extract.h"
#include "core/extract/space.h"
#include "core/fs/narc.h"
#include "core/fs/system_files.h"

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

// The rows to extract and the folder below DIR they go into: the tree (or the given paths),
// with --system the system files after it, with --narc an archive's members.
struct Selection {
    std::vector<core::FileRow> rows;
    std::string folder;
};

Selection select(const Invocation& inv, const core::Stream& image, core::LoadedImage& img)
{
    const std::vector<std::string> wanted(inv.positional.begin() + 2, inv.positional.end());
    const bool systemOnly = inv.has("--system-only");
    const bool system = systemOnly || inv.has("--system");
    if (inv.has("--narc")) {
        if (system || !wanted.empty())
            throw UsageError("--narc extracts a whole archive; it takes no paths and no --system");
        const core::Narc narc = core::openNarc(image, img.rows, *inv.value("--narc"));
        return {core::narcRows(narc), core::narcFolderName(narc.path)};
    }
    // Moved, not copied: the load's rows are not needed again.
    std::vector<core::FileRow> all =
        systemOnly ? std::vector<core::FileRow>{} : std::move(img.rows);
    if (system) {
        const std::vector<core::FileRow> sys =
            core::systemRows(core::systemFiles(image, img.header));
        all.insert(all.end(), sys.begin(), sys.end());
    }
    return {wanted.empty() ? std::move(all) : selectRows(all, wanted), img.display.internalName};
}

int cmdExtract(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const std::string& dir = inv.positional[1];
    const bool force = inv.has("--force");
    std::ostream& out = ctx.out;
    std::ostream& err = ctx.err;
    const Input in = openInput(path);
    // One open of the image, held from the load to the end of the run, as the window keeps it.
    InputImage image(in, true);
    core::LoadedImage img = load(in, image);
    Selection selection = select(inv, image, img);

    // Rows that cannot be written (a system file or an archive member that does not fit) are
    // failures from the start: told, listed at the end, never created; the others are written.
    // Most selections have none: the rows are then taken as they are, not moved one by one.
    std::vector<core::FileRow> rows = std::move(selection.rows);
    std::vector<core::ExtractFailure> refused;
    for (const auto& row : rows)
        if (!row.problem.empty())
            refused.push_back({row.path, row.problem});
    if (!refused.empty())
        std::erase_if(rows, [](const core::FileRow& row) { return !row.problem.empty(); });
    if (rows.empty() && refused.empty()) {
        // Nothing is made, not even the internal-name folder.
        out << "No files to extract\n";
        return 0;
    }

    prepareDestination(dir);
    const auto plan = core::planExtraction(dir, selection.folder, std::move(rows));

    if (!force) {
        if (const std::optional<core::Room> room = core::roomAt(dir)) {
            const core::Needs needs = core::neededRoom(plan, image.size(), room->blockSize);
            if (const auto shortfall = core::shortOfRoom(needs, *room, dir))
                throw core::Error(*shortfall + "; use --force to extract anyway");
        }
    }

    ProgressBar bar(err);
    const auto messages = [&]() -> std::ostream& {
        return ctx.errIsTerminal ? bar.message() : err;
    };
    core::ExtractOptions options;
    // One file that cannot be written (a name the file system refuses, a range past the end of
    // the image, a read error) is reported and the run goes on with the next.
    options.keepGoing = true;
    options.onProgress = [&](const core::ExtractProgress& p) {
        if (ctx.errIsTerminal)
            bar.update(p);
        if (p.current && p.current->renamed)
            messages() << "note: " << safe(p.current->row.path) << " is written as "
                       << safe(p.current->relative) << " (another file has that name)\n";
        return !g_interrupted.load();
    };
    options.onRenamed = [&](const core::PlannedFile& f, const std::string& written) {
        messages() << "note: " << safe(f.row.path) << " is written as " << safe(written)
                   << " (the destination does not tell letter case apart)\n";
    };
    options.onFailure = [&](const core::ExtractFailure& f) {
        messages() << "error: " << safe(f.path) << ": " << safe(core::withFullStop(f.message))
                   << '\n';
    };
    for (const core::ExtractFailure& f : refused)
        options.onFailure(f);
    core::ExtractSummary summary = core::runExtraction(image, plan, options);
    summary.failures.insert(summary.failures.begin(), refused.begin(), refused.end());
    if (ctx.errIsTerminal)
        err << "\n";
    // Each failure is told as it happens; the list at the end says what is missing.
    if (!summary.failures.empty()) {
        err << summary.failures.size()
            << (summary.failures.size() == 1 ? " file was" : " files were") << " not extracted:\n";
        for (const core::ExtractFailure& f : summary.failures)
            err << "  " << safe(f.path) << ": " << safe(core::withFullStop(f.message)) << '\n';
    }
    const std::string where =
        dir + (dir.empty() || dir.back() == '/' ? "" : "/") + core::cleanName(selection.folder);
    out << (summary.cancelled ? "Cancelled after " : "Extracted ") << summary.files
        << (summary.files == 1 ? " file, " : " files, ") << summary.bytes << " bytes to "
        << safe(where);
    if (summary.renamed)
        out << " (" << summary.renamed << " renamed to keep same-named files apart)";
    if (!summary.failures.empty())
        out << ", " << summary.failures.size() << " failed";
    out << '\n';
    if (summary.cancelled)
        return 130;
    return summary.failures.empty() ? 0 : 1;
}

} // namespace

const Command& extractCommand()
{
    static const Command command{"extract",
                                 2,
                                 SIZE_MAX,
                                 {"--json", "--force", "--system", "--system-only", "--narc"},
                                 cmdExtract};
    return command;
}

} // namespace cartscope::cli
