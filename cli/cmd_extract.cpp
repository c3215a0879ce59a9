#include <cstdint>
#include <filesystem>
#include <map>
#include <set>

#include "cli/commands.h"
#include "cli/common.h"
#include "core/error.h"
#include "core/extract.h"
#include "core/narc.h"
#include "core/space.h"
#include "core/system_files.h"

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

void drawProgress(std::ostream& err, const core::ExtractProgress& p)
{
    constexpr int kWidth = 30;
    const int filled =
        p.total ? static_cast<int>(static_cast<std::uint64_t>(kWidth) * p.done / p.total) : kWidth;
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
    err << "\r[" << bar << "] " << p.done << "/" << p.total << "  " << name << "\x1b[K"
        << std::flush;
}

// The rows to extract and the folder below DIR they go into: the tree (or the given paths),
// with --system the system files after it, with --narc an archive's members.
struct Selection {
    std::vector<core::FileRow> rows;
    std::string folder;
};

Selection select(const Invocation& inv, const core::Stream& image, const core::LoadedImage& img)
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
    std::vector<core::FileRow> all = systemOnly ? std::vector<core::FileRow>{} : img.rows;
    if (system) {
        const std::vector<core::FileRow> sys = core::systemRows(core::systemFiles(image));
        all.insert(all.end(), sys.begin(), sys.end());
    }
    Selection s{{}, img.display.IntName};
    if (wanted.empty()) {
        s.rows = std::move(all);
        return s;
    }
    std::map<std::string, const core::FileRow*> byPath;
    for (const auto& row : all)
        byPath.emplace(row.path, &row);
    std::set<std::string> seen;
    for (const auto& w : wanted) {
        const auto it = byPath.find(w);
        if (it == byPath.end())
            throw core::Error("No file \"" + w + "\" in the image");
        if (seen.insert(w).second)
            s.rows.push_back(*it->second);
    }
    return s;
}

int cmdExtract(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const std::string& dir = inv.positional[1];
    const bool force = inv.has("--force");
    std::ostream& out = ctx.out;
    std::ostream& err = ctx.err;
    const bool errIsTerminal = ctx.errIsTerminal;
    const Input in = openInput(path);
    const core::LoadedImage img = load(in);
    // The image stays open from the selection to the end of the run, as the window keeps it.
    core::FileStream image(in.imagePath, true);
    Selection selection = select(inv, image, img);

    // Rows that cannot be written (a system file or member past the end) are reported and
    // skipped; the others are extracted, and the exit status says something failed.
    std::vector<core::FileRow> rows;
    std::vector<std::string> failures;
    for (auto& row : selection.rows) {
        if (row.problem.empty())
            rows.push_back(std::move(row));
        else
            failures.push_back("Cannot extract \"" + row.path + "\": " + row.problem);
    }

    prepareDestination(dir);
    const auto plan = core::planExtraction(dir, selection.folder, rows);

    if (!force) {
        const std::uint64_t total = core::plannedBytes(plan);
        const std::optional<std::uint64_t> free = core::freeBytes(dir);
        if (free && total > *free)
            throw core::Error(core::notEnoughSpaceText(total, *free, dir) +
                              "; use --force to extract anyway");
    }

    const core::ExtractSummary summary =
        core::extractAll(image, plan, [&](const core::ExtractProgress& p) {
            if (errIsTerminal)
                drawProgress(err, p);
            if (p.current && p.current->renamed)
                (errIsTerminal ? err << "\n" : err)
                    << "note: " << safe(p.current->row.path) << " is written as "
                    << safe(p.current->relative) << " (another file has that name)\n";
            return !g_interrupted.load();
        });
    if (errIsTerminal)
        err << "\n";
    for (const auto& f : failures)
        err << safe(core::withFullStop(f)) << '\n';
    const std::string where =
        dir + (dir.empty() || dir.back() == '/' ? "" : "/") + core::cleanName(selection.folder);
    out << (summary.cancelled ? "Cancelled after " : "Extracted ") << summary.files
        << (summary.files == 1 ? " file, " : " files, ") << summary.bytes << " bytes to "
        << safe(where);
    if (summary.renamed)
        out << " (" << summary.renamed << " renamed to keep same-named files apart)";
    if (!failures.empty())
        out << "; " << failures.size() << (failures.size() == 1 ? " file" : " files")
            << " could not be extracted";
    out << '\n';
    return summary.cancelled ? 130 : failures.empty() ? 0 : 1;
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
