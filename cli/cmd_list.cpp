#include <utility>

#include "cli/common.h"
#include "core/base/text.h"
#include "core/formats/sound/sdat.h"
#include "core/fs/narc.h"
#include "core/fs/system_files.h"
#include "core/io/stream.h"

namespace cartscope::cli {

namespace {

// Rows as `list` prints them, gathered and written in large pieces: a list can have tens of
// thousands of rows.
class RowPrinter {
public:
    explicit RowPrinter(std::ostream& out) : m_out(out) { m_text.reserve(kPiece + 8192); }
    RowPrinter(const RowPrinter&) = delete;
    RowPrinter& operator=(const RowPrinter&) = delete;
    ~RowPrinter() { flush(); }

    // The same texts as safe(path), offsetText() and sizeText(), made in place.
    void add(const core::FileRow& row)
    {
        core::appendForTerminal(m_text, row.path);
        m_text += '\t';
        row.appendOffsetText(m_text);
        m_text += '\t';
        row.appendSizeText(m_text);
        m_text += '\n';
        if (m_text.size() >= kPiece)
            flush();
    }

    void flush()
    {
        m_out.write(m_text.data(), static_cast<std::streamsize>(m_text.size()));
        m_text.clear();
    }

private:
    static constexpr std::size_t kPiece = std::size_t{1} << 16;
    std::ostream& m_out;
    std::string m_text;
};

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

int listSdat(const Invocation& inv, Context& ctx, const core::Stream& image,
             const core::LoadedImage& img)
{
    const core::Sdat sdat = core::openSdat(image, img.rows, *inv.value("--sdat"));
    for (const auto& note : sdat.notes)
        ctx.err << "note: " << safe(sdat.path) << ": " << safe(note) << '\n';
    const std::vector<core::FileRow> rows = core::sdatRows(sdat);
    if (inv.has("--json")) {
        ctx.out << filesJson(rows, 0) << '\n';
        return 0;
    }
    {
        RowPrinter printer(ctx.out);
        for (const auto& row : rows)
            printer.add(row);
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
    const bool sdat = inv.has("--sdat");
    if (sdat && (system || inv.has("--narc")))
        throw UsageError(
            "--sdat lists a sound archive; it does not combine with --system or --narc");
    std::ostream& out = ctx.out;
    // One open of the image for the load and, with --system, the system files.
    InputImage image(path, inputOptions(system || inv.has("--narc") || sdat));
    // The text form writes the tree's rows as they are made: only JSON and --narc keep them.
    const bool keepRows = json || inv.has("--narc") || sdat;
    core::LoadedImage img = load(image, keepRows ? core::Rows::Build : core::Rows::Skip);
    if (inv.has("--narc"))
        return listNarc(inv, ctx, image, img);
    if (sdat)
        return listSdat(inv, ctx, image, img);
    const std::vector<core::FileRow> sys =
        system ? core::systemRows(core::systemFiles(image, img.header))
               : std::vector<core::FileRow>{};
    if (json) {
        // Moved, not copied: with tens of thousands of rows a copy doubles the command's memory.
        std::vector<core::FileRow> rows =
            systemOnly ? std::vector<core::FileRow>{} : std::move(img.rows);
        rows.insert(rows.end(), sys.begin(), sys.end());
        out << filesJson(rows, 0) << '\n';
        return 0;
    }
    {
        RowPrinter printer(out);
        if (!systemOnly)
            core::forEachRow(img.files, img.dirs,
                             [&printer](const core::FileRow& row) { printer.add(row); });
        for (const auto& row : sys)
            printer.add(row);
    }
    // Only rows that are not the tree's carry a problem.
    printProblems(ctx.err, sys);
    return 0;
}

} // namespace

const Command& listCommand()
{
    static const Command command{
        "list", 1, 1, {"--json", "--system", "--system-only", "--narc", "--sdat"}, cmdList};
    return command;
}

} // namespace cartscope::cli
