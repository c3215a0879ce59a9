#include "archive/collection_report.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <string_view>
#include <sys/stat.h>
#include <utility>

#include "archive/organise_plan.h"
#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/base/paths.h"
#include "core/base/text.h"
#include "core/extract/path_pieces.h"
#include "core/io/whole_file.h"

namespace cartscope::archive {

namespace {

bool holds(const ReportedDump& dump)
{
    return dump.result.verdict == core::Verdict::Verified ||
           dump.result.verdict == core::Verdict::VerifiedTrimmed;
}

std::string placeOf(const ReportedDump& dump)
{
    return dump.member ? dump.path + "/" + *dump.member : dump.path;
}

// One game of the set: its entries [first, end). A game's roms are stored one after another and
// share one stored name, so a new name (or a new DAT) starts a new game even when two games of
// one DAT carry the same text.
struct GameSpan {
    std::size_t first = 0, end = 0;
};

std::vector<GameSpan> gamesOf(const core::DatSet& dats)
{
    std::vector<GameSpan> games;
    const core::DatRoms roms = dats.roms();
    // Bounded by the set's entries.
    for (std::size_t i = 0; i < roms.size(); ++i) {
        const core::DatRom r = roms[i];
        if (!games.empty()) {
            const core::DatRom last = roms[games.back().first];
            if (last.dat == r.dat && last.game.data() == r.game.data() &&
                last.game.size() == r.game.size()) {
                games.back().end = i + 1;
                continue;
            }
        }
        games.push_back({i, i + 1});
    }
    return games;
}

std::string datTitle(const core::DatInfo& info)
{
    std::string name = info.name.empty() ? info.file : info.name;
    return info.version.empty() ? name : name + " (" + info.version + ")";
}

// Text from a DAT or a path never reaches a terminal raw.
std::string safe(std::string_view s)
{
    return core::escapeForTerminal(s);
}

// A JSON member: the text, plus "<key>Bytes" with its exact bytes when it is not UTF-8.
std::string jsonText(const std::string& key, std::string_view text)
{
    std::string out = core::jsonString(key) + ": " + core::jsonString(text);
    if (core::utf16ToUtf8(core::utf8ToUtf16(text)) != text)
        out += ", " + core::jsonString(key + "Bytes") + ": \"" +
               core::hexBytes(core::charBytes(text)) + "\"";
    return out;
}

// Text for an XML attribute or element: valid UTF-8 (a byte that is not becomes U+FFFD), the
// five markup characters as entities, line ends and tabs as character references (an attribute
// would otherwise turn them into spaces), and the controls XML 1.0 cannot hold as U+FFFD.
std::string xmlText(std::string_view s)
{
    const std::string utf8 = core::utf16ToUtf8(core::utf8ToUtf16(s));
    std::string out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        case '\t':
            out += "&#9;";
            break;
        case '\n':
            out += "&#10;";
            break;
        case '\r':
            out += "&#13;";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                out += "\xEF\xBF\xBD";
            else
                out += c;
        }
    }
    return out;
}

// Letters, digits, "_" and "-", not starting with a digit or "-".
bool plainXmlName(const std::string& name)
{
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return !name.empty() && (letter(name.front()) || name.front() == '_') &&
           std::all_of(name.begin(), name.end(),
                       [&](char c) { return letter(c) || digit(c) || c == '_' || c == '-'; });
}

std::string lowerHex(std::span<const std::uint8_t> bytes)
{
    return core::hexBytes(bytes, core::HexCase::Lower);
}

std::string crcHex(const core::DatRom& rom)
{
    return rom.crc32 ? core::hexText(*rom.crc32, 8, core::HexCase::Lower) : std::string();
}

// The entries of each missing game of one summary, in DAT order.
template <typename Visit>
void forMissingRoms(const DatSummary& summary, const std::vector<GameSpan>& games,
                    const core::DatSet& dats, Visit&& visit)
{
    std::size_t next = 0; // summary.missing is in DAT order, like `games`
    for (const GameSpan& g : games) {
        if (next == summary.missing.size())
            break;
        const core::DatRom first = dats.roms()[g.first];
        if (first.dat != summary.dat || first.game != summary.missing[next])
            continue;
        ++next;
        visit(g);
    }
}

// The fixdat's header: the source DAT's fields, renamed as a fixdat, with a comment saying what
// it was made from and how much of it is missing.
std::vector<std::pair<std::string, std::string>> fixdatHeader(const DatSummary& summary,
                                                              const core::DatInfo& info)
{
    const std::string name = info.name.empty() ? info.file : info.name;
    const std::string origin = "Fixdat made by Cartscope from \"" + name + "\"" +
                               (info.version.empty() ? "" : " version " + info.version) + ": " +
                               std::to_string(summary.missing.size()) + " of " +
                               std::to_string(summary.games) + " games missing";
    std::vector<std::pair<std::string, std::string>> header = info.header;
    const auto set = [&](const std::string& field, const std::string& value) {
        const auto it = std::find_if(header.begin(), header.end(),
                                     [&](const auto& f) { return f.first == field; });
        if (it == header.end())
            header.emplace_back(field, value);
        else
            it->second = value;
    };
    set("name", name + " (fixdat)");
    set("description", name + " (fixdat)");
    if (!info.version.empty())
        set("version", info.version);
    set("comment", origin);
    return header;
}

// A game's <release> elements, from its "region/language" lines.
void appendReleases(std::string& xml, const core::DatRom& first)
{
    std::string_view releases = first.releases;
    // Bounded by the text's length: each pass takes one line.
    for (std::size_t end; (end = releases.find('\n')) != std::string_view::npos;
         releases.remove_prefix(end + 1)) {
        const std::string_view line = releases.substr(0, end);
        const std::size_t slash = line.find('/');
        xml += "\t\t<release name=\"" + xmlText(first.game) + "\" region=\"" +
               xmlText(line.substr(0, slash)) + "\"";
        if (slash != std::string_view::npos && slash + 1 < line.size())
            xml += " language=\"" + xmlText(line.substr(slash + 1)) + "\"";
        xml += "/>\n";
    }
}

void appendRom(std::string& xml, const core::DatRom& r)
{
    xml += "\t\t<rom name=\"" + xmlText(r.rom) + "\"";
    if (r.size)
        xml += " size=\"" + std::to_string(*r.size) + "\"";
    if (r.crc32)
        xml += " crc=\"" + crcHex(r) + "\"";
    if (!r.md5.empty())
        xml += " md5=\"" + lowerHex(r.md5) + "\"";
    if (!r.sha1.empty())
        xml += " sha1=\"" + lowerHex(r.sha1) + "\"";
    if (!r.sha256.empty())
        xml += " sha256=\"" + lowerHex(r.sha256) + "\"";
    if (!r.status.empty())
        xml += " status=\"" + xmlText(r.status) + "\"";
    if (!r.serial.empty())
        xml += " serial=\"" + xmlText(r.serial) + "\"";
    xml += "/>\n";
}

// One <game> with its parent/clone attributes, releases and roms.
void appendGame(std::string& xml, const GameSpan& g, const core::DatSet& dats)
{
    const core::DatRom first = dats.roms()[g.first];
    xml += "\t<game name=\"" + xmlText(first.game) + "\"";
    if (!first.id.empty())
        xml += " id=\"" + xmlText(first.id) + "\"";
    if (!first.cloneOf.empty())
        xml += " cloneof=\"" + xmlText(first.cloneOf) + "\"";
    if (!first.cloneOfId.empty())
        xml += " cloneofid=\"" + xmlText(first.cloneOfId) + "\"";
    xml += ">\n\t\t<description>" + xmlText(first.game) + "</description>\n";
    appendReleases(xml, first);
    for (std::size_t i = g.first; i < g.end; ++i)
        appendRom(xml, dats.roms()[i]);
    xml += "\t</game>\n";
}

std::string fixdatXml(const DatSummary& summary, const std::vector<GameSpan>& games,
                      const core::DatSet& dats)
{
    std::string xml = "<?xml version=\"1.0\"?>\n"
                      "<!DOCTYPE datafile PUBLIC \"-//Logiqx//DTD ROM Management Datafile//EN\" "
                      "\"http://www.logiqx.com/Dats/datafile.dtd\">\n"
                      "<datafile>\n\t<header>\n";
    for (const auto& [field, value] : fixdatHeader(summary, dats.dats()[summary.dat])) {
        // A field name from a DAT is written back only when it is a plain XML name.
        if (plainXmlName(field))
            xml += "\t\t<" + field + ">" + xmlText(value) + "</" + field + ">\n";
    }
    xml += "\t</header>\n";
    forMissingRoms(summary, games, dats, [&](const GameSpan& g) { appendGame(xml, g, dats); });
    return xml + "</datafile>\n";
}

void writeText(const std::string& path, const std::string& text, core::AtLink atLink)
{
    core::writeWholeFile(path, core::charBytes(text), nullptr, atLink);
}

} // namespace

CollectionReport makeReport(const core::DatSet& dats, std::span<const ReportedDump> dumps)
{
    // (entry, dump) for every entry a dump that verified matched, each pair once.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> held;
    for (std::size_t d = 0; d < dumps.size(); ++d)
        if (holds(dumps[d]))
            for (const core::DatMatch& m : dumps[d].result.matches)
                if (m.rom < dats.roms().size())
                    held.emplace_back(m.rom, static_cast<std::uint32_t>(d));
    std::sort(held.begin(), held.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());

    CollectionReport report;
    report.dats.resize(dats.dats().size());
    for (std::size_t i = 0; i < report.dats.size(); ++i)
        report.dats[i].dat = i;
    auto cursor = held.begin();
    std::vector<std::uint32_t> holders;
    for (const GameSpan& g : gamesOf(dats)) {
        const core::DatRom first = dats.roms()[g.first];
        DatSummary& summary = report.dats[first.dat];
        ++summary.games;
        bool all = true, twice = false;
        holders.clear();
        for (std::size_t e = g.first; e < g.end; ++e) {
            std::size_t count = 0;
            // `held` is sorted by entry and entries are walked in order: one pass in all.
            for (; cursor != held.end() && cursor->first <= e; ++cursor)
                if (cursor->first == e) {
                    ++count;
                    holders.push_back(cursor->second);
                }
            all = all && count > 0;
            twice = twice || count > 1;
        }
        const std::string name(first.game);
        (all ? summary.held : summary.missing).push_back(name);
        if (twice) {
            std::sort(holders.begin(), holders.end());
            holders.erase(std::unique(holders.begin(), holders.end()), holders.end());
            HeldTwice t{name, {}};
            for (const std::uint32_t d : holders)
                t.places.push_back(placeOf(dumps[d]));
            summary.twice.push_back(std::move(t));
        }
    }
    return report;
}

std::string reportText(const CollectionReport& report, const core::DatSet& dats)
{
    std::string out;
    for (const DatSummary& s : report.dats) {
        if (!out.empty())
            out += '\n';
        out += safe(datTitle(dats.dats()[s.dat])) + ": " + std::to_string(s.games) +
               (s.games == 1 ? " game\n" : " games\n");
        out += "  Held: " + std::to_string(s.held.size()) + "\n";
        out += "  Missing: " + std::to_string(s.missing.size()) + "\n";
        out += "  Held twice: " + std::to_string(s.twice.size()) + "\n";
        if (!s.missing.empty())
            out += "  Missing games:\n";
        for (const std::string& game : s.missing)
            out += "    " + safe(game) + "\n";
        if (!s.twice.empty())
            out += "  Games held twice:\n";
        for (const HeldTwice& t : s.twice) {
            out += "    " + safe(t.game) + "\n";
            for (const std::string& place : t.places)
                out += "      " + safe(place) + "\n";
        }
    }
    return out;
}

std::string reportJson(const CollectionReport& report, const core::DatSet& dats)
{
    const auto names = [](const std::vector<std::string>& list) {
        std::string out = "[";
        for (std::size_t i = 0; i < list.size(); ++i)
            out += std::string(i ? ", " : "") + "{" + jsonText("name", list[i]) + "}";
        return out + "]";
    };
    std::string out = "{\"dats\": [";
    for (std::size_t i = 0; i < report.dats.size(); ++i) {
        const DatSummary& s = report.dats[i];
        const core::DatInfo& info = dats.dats()[s.dat];
        out += std::string(i ? "," : "") + "\n  {" + jsonText("name", info.name) + ", " +
               jsonText("version", info.version) + ", " + jsonText("file", info.file) +
               ", \"games\": " + std::to_string(s.games) +
               ", \"held\": " + std::to_string(s.held.size()) +
               ", \"missing\": " + std::to_string(s.missing.size()) +
               ", \"heldTwice\": " + std::to_string(s.twice.size()) +
               ",\n   \"heldGames\": " + names(s.held) +
               ",\n   \"missingGames\": " + names(s.missing) + ",\n   \"heldTwiceGames\": [";
        for (std::size_t t = 0; t < s.twice.size(); ++t) {
            out += std::string(t ? ", " : "") + "{" + jsonText("name", s.twice[t].game) +
                   ", \"places\": " + "[";
            for (std::size_t p = 0; p < s.twice[t].places.size(); ++p)
                out += std::string(p ? ", " : "") + "{" + jsonText("place", s.twice[t].places[p]) +
                       "}";
            out += "]}";
        }
        out += "]}";
    }
    return out + (report.dats.empty() ? "]}\n" : "\n]}\n");
}

void writeMissingCsv(const CollectionReport& report, const core::DatSet& dats,
                     const std::string& file)
{
    const std::vector<GameSpan> games = gamesOf(dats);
    std::string csv = "dat,game,rom,size,crc32,md5,sha1\n";
    for (const DatSummary& s : report.dats) {
        const core::DatInfo& info = dats.dats()[s.dat];
        const std::string datName = info.name.empty() ? info.file : info.name;
        forMissingRoms(s, games, dats, [&](const GameSpan& g) {
            for (std::size_t i = g.first; i < g.end; ++i) {
                const core::DatRom r = dats.roms()[i];
                csv += core::csvCell(datName) + "," + core::csvCell(r.game) + "," +
                       core::csvCell(r.rom) + "," +
                       (r.size ? std::to_string(*r.size) : std::string()) + "," + crcHex(r) + "," +
                       lowerHex(r.md5) + "," + lowerHex(r.sha1) + "\n";
            }
        });
    }
    writeText(file, csv, core::AtLink::Follow);
}

std::vector<std::string> writeFixdats(const CollectionReport& report, const core::DatSet& dats,
                                      const std::string& dir)
{
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        throw core::Error(core::cannotCreateMessage(dir, errno));
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw core::Error(core::cannotCreateMessage(dir, ENOTDIR));
    const std::vector<GameSpan> games = gamesOf(dats);
    std::vector<std::string> written;
    std::map<std::string, bool> taken; // file names given, letter case folded
    const auto folded = [](std::string s) {
        for (char& c : s)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        return s;
    };
    for (const DatSummary& s : report.dats) {
        if (s.missing.empty())
            continue;
        const core::DatInfo& info = dats.dats()[s.dat];
        const std::string stem =
            info.name.empty() ? core::replaceExtension(core::namePart(info.file), "") : info.name;
        std::string name = componentName(stem + " (fixdat).dat");
        // Two DATs of one name (an old and a new version) each get their own file. Bounded:
        // each pass tries the next suffix, and there are as many names as DATs.
        for (std::uint64_t k = 2; taken.count(folded(name)) != 0; ++k)
            name = componentName(core::detail::withSuffix(stem + " (fixdat).dat", k));
        taken[folded(name)] = true;
        const std::string path = (dir.ends_with('/') ? dir : dir + "/") + name;
        // The name comes from a DAT: a link standing there never redirects the write.
        writeText(path, fixdatXml(s, games, dats), core::AtLink::Replace);
        written.push_back(path);
    }
    return written;
}

} // namespace cartscope::archive
