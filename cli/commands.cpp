#include "cli/commands.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "archive/zip_input.h"
#include "core/error.h"
#include "core/extract.h"
#include "core/hex.h"
#include "core/load.h"
#include "core/paths.h"
#include "core/png.h"
#include "core/report.h"
#include "core/space.h"
#include "core/text.h"

namespace cartscope::cli {

std::atomic<bool> g_interrupted{false};

namespace {

constexpr const char* kUsage =
    R"(Usage: cartscope-cli COMMAND [OPTIONS] [--] IMAGE [ARGS...]
Inspects Nintendo DS and iQue DS cartridge images (.nds, .ids, or a .zip holding one).

Commands:
  info [--json] IMAGE          the header information report (or every value as JSON)
  list [--json] IMAGE          the files inside the image: path, offset (hex), size
  extract [--force] IMAGE DIR [PATH...]
                               extract every file, or only the given paths, into
                               DIR/<internal name>/
  icon IMAGE OUT               save the banner icon as PNG: OUT-Trans.png and
                               OUT-NoTrans.png when it has transparent pixels, else OUT.png

Options:
  --json      machine-readable output
  --force     extract even when the files may not fit in the free space of DIR
  --help      show this text
  --version   show the version
  --          end of options (for paths that begin with "-")
)";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Interrupted {};

void checkInterrupted()
{
    if (g_interrupted)
        throw Interrupted{};
}

// The image the command reads: the file given, or a private copy of the first image member of
// a .zip, removed when this object goes (also on errors and Ctrl-C).
struct Input {
    std::string given;
    std::string imagePath;
    std::optional<archive::ExtractedImage> fromArchive;
};

Input openInput(const std::string& path)
{
    Input in;
    in.given = path;
    if (!core::equalsIgnoreCase(core::extensionOf(path), ".zip")) {
        in.imagePath = path;
        return in;
    }
    core::requireRegularFile(path);
    archive::ExtractEvents events;
    events.onProgress = [](int, int) { return g_interrupted.load(); };
    in.fromArchive = archive::extractFirstImage(path, events);
    checkInterrupted();
    if (!in.fromArchive)
        throw core::Error("No .nds or .ids image could be taken out of \"" + path + "\"");
    in.imagePath = in.fromArchive->path;
    return in;
}

core::LoadedImage load(const Input& in)
{
    core::LoadedImage loaded = core::loadImageFile(in.imagePath);
    checkInterrupted();
    return loaded;
}

// Text from an image never reaches the terminal raw.
std::string safe(const std::string& s)
{
    return core::escapeForTerminal(s);
}

std::string hexBytes(const std::uint8_t* p, std::size_t n)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(kDigits[p[i] >> 4]);
        s.push_back(kDigits[p[i] & 15]);
    }
    return s;
}

template <std::size_t N> std::string hexBytes(const std::array<std::uint8_t, N>& a)
{
    return hexBytes(a.data(), N);
}

// A small JSON object writer: keys in insertion order, values already encoded.
class JsonObject {
public:
    JsonObject& raw(const std::string& key, const std::string& encoded)
    {
        m_items.emplace_back(key, encoded);
        return *this;
    }
    JsonObject& str(const std::string& key, const std::string& value)
    {
        return raw(key, core::jsonString(value));
    }
    JsonObject& num(const std::string& key, std::int64_t value)
    {
        return raw(key, std::to_string(value));
    }
    JsonObject& boolean(const std::string& key, bool value)
    {
        return raw(key, value ? "true" : "false");
    }
    std::string text(int indent = 0) const
    {
        const std::string pad(static_cast<std::size_t>(indent + 2), ' ');
        std::string s = "{";
        for (std::size_t i = 0; i < m_items.size(); ++i) {
            s += i ? ",\n" : "\n";
            s += pad + core::jsonString(m_items[i].first) + ": " + m_items[i].second;
        }
        s +=
            m_items.empty() ? "}" : "\n" + std::string(static_cast<std::size_t>(indent), ' ') + "}";
        return s;
    }

private:
    std::vector<std::pair<std::string, std::string>> m_items;
};

std::string filesJson(const std::vector<core::FileRow>& rows, int indent)
{
    if (rows.empty())
        return "[]";
    const std::string pad(static_cast<std::size_t>(indent + 2), ' ');
    std::string s = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        s += i ? ",\n" : "\n";
        long long size = 0;
        std::istringstream(rows[i].size) >> size;
        s += pad + "{\"path\": " + core::jsonString(rows[i].path) +
             ", \"offset\": " + core::jsonString(rows[i].offset) +
             ", \"size\": " + std::to_string(size) + "}";
    }
    return s + "\n" + std::string(static_cast<std::size_t>(indent), ' ') + "]";
}

std::string headerJson(const core::TNDSHeader& h, int indent)
{
    JsonObject o;
    o.str("GameTitle", core::fieldText(h.GameTitle))
        .str("GameCode", core::fieldText(h.GameCode))
        .str("Serial", h.Serial)
        .str("MakerCode", core::fieldText(h.MakerCode))
        .str("UnitCode", h.UnitCode)
        .str("DeviceType", h.DeviceType)
        .str("DeviceCapacity", h.DeviceCapacity)
        .str("Reserved1", hexBytes(h.Reserved1))
        .str("RomVersion", h.RomVersion)
        .num("AutostartFlags", h.AutostartFlags)
        .str("Arm9RomOffset", h.Arm9RomOffset)
        .str("Arm9EntryAddress", h.Arm9EntryAddress)
        .str("Arm9RamAddress", h.Arm9RamAddress)
        .str("Arm9Size", h.Arm9Size)
        .str("Arm7RomOffset", h.Arm7RomOffset)
        .str("Arm7EntryAddress", h.Arm7EntryAddress)
        .str("Arm7RamAddress", h.Arm7RamAddress)
        .str("Arm7Size", h.Arm7Size)
        .str("FntOffset", h.FntOffset)
        .str("FntSize", h.FntSize)
        .str("FatOffset", h.FatOffset)
        .str("FatSize", h.FatSize)
        .str("Arm9OverlayOffset", h.Arm9OverlayOffset)
        .str("Arm9OverlaySize", h.Arm9OverlaySize)
        .str("Arm7OverlayOffset", h.Arm7OverlayOffset)
        .str("Arm7OverlaySize", h.Arm7OverlaySize)
        .str("RomControl", h.RomControl)
        .str("BannerOffset", h.BannerOffset)
        .str("SecureAreaCrc", h.SecureAreaCrc)
        .str("SecureAreaCrcCalc", h.SecureAreaCrcCalc)
        .str("SecureAreaDelay", h.SecureAreaDelay)
        .str("Arm9AutoloadHook", h.Arm9AutoloadHook)
        .str("Arm7AutoloadHook", h.Arm7AutoloadHook)
        .str("SecureAreaDisableLo", hexBytes(h.SecureAreaDisableLo))
        .str("SecureAreaDisableHi", hexBytes(h.SecureAreaDisableHi))
        .str("TotalUsedRomSize", h.TotalUsedRomSize)
        .str("HeaderSize", h.HeaderSize)
        .str("Reserved2", hexBytes(h.Reserved2))
        .str("Logo", hexBytes(h.Logo))
        .str("LogoCrc", h.LogoCrc)
        .str("LogoCrcCalc", h.LogoCrcCalc)
        .str("HeaderCrc", h.HeaderCrc)
        .str("HeaderCrcCalc", h.HeaderCrcCalc)
        .str("FileSize", h.FileSize);
    std::array<std::uint8_t, 512> bad{};
    for (std::size_t i = 0; i < bad.size(); ++i)
        bad[i] = static_cast<std::uint8_t>(h.BadDataBlock[i]);
    o.str("BadDataBlock", hexBytes(bad));
    return o.text(indent);
}

std::string checkJson(const std::string& stored, const std::string& computed,
                      const std::string& verdict)
{
    return "{\"stored\": " + core::jsonString(stored) +
           ", \"computed\": " + core::jsonString(computed) +
           ", \"ok\": " + (verdict == "OK" ? "true" : "false") + "}";
}

int cmdInfo(const std::string& path, bool json, std::ostream& out)
{
    const Input in = openInput(path);
    const core::LoadedImage img = load(in);
    const core::DisplayValues& d = img.display;
    if (!json) {
        const auto lines = core::BuildHeaderInfoReport(core::namePart(in.given), d, img.banner);
        for (const auto& line : lines)
            out << core::escapeForTerminal(core::utf16ToUtf8(line), true) << '\n';
        return 0;
    }
    std::string titles = "[";
    for (std::size_t i = 0; i < d.Titles.size(); ++i)
        titles += (i ? ", " : "") + core::jsonString(core::utf16ToUtf8(d.Titles[i]));
    titles += "]";
    std::uint64_t fileSize = 0;
    std::istringstream(img.header.FileSize) >> fileSize;
    JsonObject o;
    o.str("file", in.given)
        .str("internalName", d.IntName)
        .num("fileSize", static_cast<std::int64_t>(fileSize))
        .str("fileSizeText", d.FileSize)
        .str("serial", d.Serial)
        .str("makerCode", d.MakerCode)
        .str("publisher", d.MakerName)
        .str("cardSizeText", d.CardSize)
        .str("crc32", d.CRC32)
        .boolean("badDump", d.badDumpFound)
        .str("badDumpText", d.BadDumpCode)
        .str("version", d.VersionCode)
        .str("unitCode", d.UnitCode)
        .str("deviceCode", d.DeviceCode)
        .raw("checks",
             "{\"secureArea\": " + checkJson(d.ExpSecAreaCRC16, d.ActSecAreaCRC16, d.SecAreaCheck) +
                 ", \"logo\": " + checkJson(d.ExpLogoCRC16, d.ActLogoCRC16, d.LogoCheck) +
                 ", \"header\": " + checkJson(d.ExpHeaderCRC16, d.ActHeaderCRC16, d.HeaderCheck) +
                 "}")
        .raw("titles", titles)
        .raw("header", headerJson(img.header, 2))
        .raw("files", filesJson(img.rows, 2));
    if (in.fromArchive)
        o.str("archiveMember", in.fromArchive->memberName);
    out << o.text() << '\n';
    return 0;
}

int cmdList(const std::string& path, bool json, std::ostream& out)
{
    const Input in = openInput(path);
    const core::LoadedImage img = load(in);
    if (json) {
        out << filesJson(img.rows, 0) << '\n';
        return 0;
    }
    for (const auto& row : img.rows)
        out << safe(row.path) << '\t' << row.offset << '\t' << row.size << '\n';
    return 0;
}

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

int cmdExtract(const std::string& path, const std::string& dir,
               const std::vector<std::string>& wanted, bool force, std::ostream& out,
               std::ostream& err, bool errIsTerminal)
{
    const Input in = openInput(path);
    const core::LoadedImage img = load(in);

    std::vector<core::FileRow> rows;
    if (wanted.empty()) {
        rows = img.rows;
    } else {
        std::map<std::string, const core::FileRow*> byPath;
        for (const auto& row : img.rows)
            byPath.emplace(row.path, &row);
        std::set<std::string> seen;
        for (const auto& w : wanted) {
            const auto it = byPath.find(w);
            if (it == byPath.end())
                throw core::Error("No file \"" + w + "\" in the image");
            if (seen.insert(w).second)
                rows.push_back(*it->second);
        }
    }

    prepareDestination(dir);
    const auto plan = core::planExtraction(dir, img.display.IntName, rows);

    if (!force) {
        const std::uint64_t total = core::plannedBytes(plan);
        const std::optional<std::uint64_t> free = core::freeBytes(dir);
        if (free && total > *free)
            throw core::Error(core::notEnoughSpaceText(total, *free, dir) +
                              "; use --force to extract anyway");
    }

    core::ExtractSummary summary;
    {
        // The image stays open for the whole run, as the window keeps it.
        core::FileStream image(in.imagePath, true);
        summary = core::extractAll(image, plan, [&](const core::ExtractProgress& p) {
            if (errIsTerminal)
                drawProgress(err, p);
            if (p.current && p.current->renamed)
                (errIsTerminal ? err << "\n" : err)
                    << "note: " << safe(p.current->row.path) << " is written as "
                    << safe(p.current->relative) << " (another file has that name)\n";
            return !g_interrupted.load();
        });
    }
    if (errIsTerminal)
        err << "\n";
    const std::string where =
        dir + (dir.empty() || dir.back() == '/' ? "" : "/") + core::cleanName(img.display.IntName);
    out << (summary.cancelled ? "Cancelled after " : "Extracted ") << summary.files
        << (summary.files == 1 ? " file, " : " files, ") << summary.bytes << " bytes to "
        << safe(where);
    if (summary.renamed)
        out << " (" << summary.renamed << " renamed to keep same-named files apart)";
    out << '\n';
    return summary.cancelled ? 130 : 0;
}

int cmdIcon(const std::string& path, const std::string& outName, std::ostream& out)
{
    const Input in = openInput(path);
    core::LoadedImage img;
    {
        core::FileStream image(in.imagePath);
        core::analyseImage(image, img);
    }
    checkInterrupted();
    for (const auto& written : core::exportIcon(outName, img.icon, img.hasTransparency))
        out << safe(written) << '\n';
    return 0;
}

struct Parsed {
    std::string command;
    std::vector<std::string> positional;
    bool json = false;
    bool force = false;
};

Parsed parse(const std::vector<std::string>& args)
{
    Parsed p;
    bool optionsEnded = false;
    for (const auto& a : args) {
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            if (a == "--json")
                p.json = true;
            else if (a == "--force")
                p.force = true;
            else if (a == "--help" || a == "-h")
                p.command = "--help";
            else if (a == "--version")
                p.command = p.command == "--help" ? p.command : "--version";
            else
                throw UsageError("unknown option " + a);
        } else if (p.command.empty()) {
            p.command = a;
        } else if (p.command == "--help" || p.command == "--version") {
            continue;
        } else {
            p.positional.push_back(a);
        }
    }
    return p;
}

void expectArgs(const Parsed& p, std::size_t min, std::size_t max)
{
    if (p.positional.size() < min || p.positional.size() > max)
        throw UsageError("wrong number of arguments for " + p.command);
}

} // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        bool errIsTerminal)
{
    try {
        const Parsed p = parse(args);
        if (p.command == "--help") {
            out << kUsage;
            return 0;
        }
        if (p.command == "--version") {
            out << "cartscope-cli " << CARTSCOPE_VERSION << '\n';
            return 0;
        }
        if (p.command == "info") {
            expectArgs(p, 1, 1);
            return cmdInfo(p.positional[0], p.json, out);
        }
        if (p.command == "list") {
            expectArgs(p, 1, 1);
            return cmdList(p.positional[0], p.json, out);
        }
        if (p.command == "extract") {
            expectArgs(p, 2, SIZE_MAX);
            return cmdExtract(p.positional[0], p.positional[1],
                              {p.positional.begin() + 2, p.positional.end()}, p.force, out, err,
                              errIsTerminal);
        }
        if (p.command == "icon") {
            expectArgs(p, 2, 2);
            return cmdIcon(p.positional[0], p.positional[1], out);
        }
        throw UsageError(p.command.empty() ? "no command given" : "unknown command " + p.command);
    } catch (const UsageError& e) {
        err << "cartscope-cli: " << safe(e.what()) << "\n\n" << kUsage;
        return 2;
    } catch (const Interrupted&) {
        err << "Interrupted\n";
        return 130;
    } catch (const std::exception& e) {
        // Messages carry paths built from image and archive names (a failed create names the
        // full path): escaped here, once, like every other text from an image.
        err << safe(core::withFullStop(e.what())) << '\n';
        return 1;
    }
}

} // namespace cartscope::cli
