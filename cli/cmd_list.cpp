#include <utility>

#include "cli/common.h"
#include "core/narc.h"
#include "core/stream.h"
#include "core/system_files.h"

namespace cartscope::cli {

namespace {

void printRows(std::ostream& out, const std::vector<core::FileRow>& rows)
{
    // Gathered and written in large pieces: a list can have tens of thousands of rows.
    constexpr std::size_t kPiece = std::size_t{1} << 16;
    std::string text;
    text.reserve(kPiece + 8192);
    for (const auto& row : rows) {
        text += safe(row.path);
        text += '\t';
        text += row.offsetText();
        text += '\t';
        text += row.sizeText();
        text += '\n';
        if (text.size() >= kPiece) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            text.clear();
        }
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void printProblems(std::ostream& err, const std::vector<core::FileRow>& rows)
{
    for (const auto& row : rows)
        if (!row.problem.empty())
            err << "note: " << safe(row.path) << ": " << safe(row.problem) << '\n';
}

int listNarc(const Invocation& inv, Context& ctx, const core::Stream& image,
             const core::LoadedImage& img)
{
    const core::Narc narc = core::openNarc(image, img.rows, *inv.value("--narc"));
    for (const auto& note : narc.notes)
        ctx.err << "note: " << safe(narc.path) << ": " << safe(note) << '\n';
    const std::vector<core::FileRow> rows = core::narcRows(narc);
    if (inv.has("--json")) {
        ctx.out << narcJson(narc, 0) << '\n';
        return 0;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const core::NarcMember& m = narc.members[i];
        ctx.out << safe(rows[i].path) << '\t' << rows[i].offsetText() << '\t' << rows[i].size;
        if (m.narc)
            ctx.out << "\tNARC";
        if (m.compressed)
            ctx.out << "\tcompressed";
        ctx.out << '\n';
    }
    printProblems(ctx.err, rows);
    return 0;
}

int cmdList(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const bool json = inv.has("--json");
    const bool systemOnly = inv.has("--system-only");
    const bool system = systemOnly || inv.has("--system");
    if (inv.has("--narc") && system)
        throw UsageError("--narc lists an archive's members; it does not combine with --system");
    std::ostream& out = ctx.out;
    const Input in = openInput(path);
    // One open of the image for the load and, with --system, the system files.
    InputImage image(in, system || inv.has("--narc"));
    core::LoadedImage img = load(in, image);
    if (inv.has("--narc"))
        return listNarc(inv, ctx, image, img);
    // Moved, not copied: with tens of thousands of rows a copy doubles the command's memory.
    std::vector<core::FileRow> rows =
        systemOnly ? std::vector<core::FileRow>{} : std::move(img.rows);
    if (system) {
        const std::vector<core::FileRow> sys = core::systemRows(core::systemFiles(image));
        rows.insert(rows.end(), sys.begin(), sys.end());
    }
    if (json) {
        out << filesJson(rows, 0) << '\n';
        return 0;
    }
    printRows(out, rows);
    printProblems(ctx.err, rows);
    return 0;
}

} // namespace

const Command& listCommand()
{
    static const Command command{
        "list", 1, 1, {"--json", "--force", "--system", "--system-only", "--narc"}, cmdList};
    return command;
}

} // namespace cartscope::cli
