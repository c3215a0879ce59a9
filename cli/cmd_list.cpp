#include <utility>

#include "cli/common.h"
#include "core/base/text.h"
#include "core/formats/identify.h"
#include "core/formats/sound/sdat.h"
#include "core/fs/narc.h"
#include "core/fs/system_files.h"
#include "core/io/stream.h"

namespace cartscope::cli {

namespace {

// A file's format as the text list shows it: "-" when nothing is known.
std::string formatColumn(const core::formats::FileFormat& f)
{
    const std::string text = core::formats::formatText(f);
    return text.empty() ? "-" : safe(text);
}

// What a row holds; nothing for a row that cannot be read (its range leaves the image).
core::formats::FileFormat rowFormat(const core::Stream& stream, const core::FileRow& row)
{
    if (!row.problem.empty())
        return {};
    return core::formats::identifyAt(stream, row.offset, row.size);
}

// Rows as `list` prints them, gathered and written in large pieces: a list can have tens of
// thousands of rows.
class RowPrinter {
public:
    explicit RowPrinter(std::ostream& out) : m_out(out) { m_text.reserve(kPiece + 8192); }
    RowPrinter(const RowPrinter&) = delete;
    RowPrinter& operator=(const RowPrinter&) = delete;
    ~RowPrinter() { flush(); }

    // The same texts as safe(path), offsetText() and sizeText(), made in place; with `format`,
    // its column after them.
    void add(const core::FileRow& row, const core::formats::FileFormat* format = nullptr)
    {
        core::appendForTerminal(m_text, row.path);
        m_text += '\t';
        row.appendOffsetText(m_text);
        m_text += '\t';
        row.appendSizeText(m_text);
        if (format) {
            m_text += '\t';
            m_text += formatColumn(*format);
        }
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
        ctx.out << narcJson(narc, image, 0) << '\n';
        return 0;
    }
    // Members of a compressed archive are not in the image as they are: no offset.
    const core::Stream& source = narc.memberStream(image);
    for (const core::FileRow& row : rows)
        ctx.out << safe(row.path) << '\t' << (narc.decompressed ? "-" : row.offsetText()) << '\t'
                << row.size << '\t' << formatColumn(rowFormat(source, row)) << '\n';
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
    // Entries of a compressed archive (or one inside a compressed NARC) are not in the image as
    // they are: no offset.
    if (inv.has("--json") && sdat.decompressed) {
        std::string s = rows.empty() ? "[]" : "[";
        for (std::size_t i = 0; i < rows.size(); ++i) {
            JsonObject o;
            o.str("path", rows[i].path)
                .raw("offset", "null")
                .str("offsetInArchive", rows[i].offsetText())
                .num("size", rows[i].size);
            s += (i ? ",\n  " : "\n  ") + o.text(2);
        }
        ctx.out << s << (rows.empty() ? "" : "\n]") << '\n';
        return 0;
    }
    if (inv.has("--json")) {
        ctx.out << filesJson(rows, 0) << '\n';
        return 0;
    }
    if (sdat.decompressed) {
        for (const core::FileRow& row : rows)
            ctx.out << safe(row.path) << "\t-\t" << row.size << '\n';
    } else {
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
    const bool formats = inv.has("--formats");
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
    InputImage image(path, inputOptions(system || formats || inv.has("--narc") || sdat));
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
        std::vector<core::formats::FileFormat> found;
        if (formats)
            for (const core::FileRow& row : rows)
                found.push_back(rowFormat(image, row));
        out << filesJson(rows, 0, formats ? &found : nullptr) << '\n';
        return 0;
    }
    {
        RowPrinter printer(out);
        // Without --formats no file is read: the list comes from the tables alone.
        const auto add = [&](const core::FileRow& row) {
            if (!formats) {
                printer.add(row);
                return;
            }
            const core::formats::FileFormat f = rowFormat(image, row);
            printer.add(row, &f);
        };
        if (!systemOnly)
            core::forEachRow(img.files, img.dirs, add);
        for (const auto& row : sys)
            add(row);
    }
    // Only rows that are not the tree's carry a problem.
    printProblems(ctx.err, sys);
    return 0;
}

} // namespace

const Command& listCommand()
{
    static const Command command{
        "list",
        1,
        1,
        {"--json", "--system", "--system-only", "--narc", "--formats", "--sdat"},
        cmdList};
    return command;
}

} // namespace cartscope::cli
