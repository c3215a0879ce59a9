#include "archive/organise_plan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>

#include "core/base/names.h"
#include "core/extract/path_pieces.h"

namespace cartscope::archive {

namespace {

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

std::string folded(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), lowerAscii);
    return out;
}

bool reservedDeviceName(std::string_view name)
{
    // Windows refuses these with any extension, in any letter case.
    const std::string base = folded(name.substr(0, name.find('.')));
    static constexpr std::array<std::string_view, 4> kPlain = {"con", "prn", "aux", "nul"};
    if (std::find(kPlain.begin(), kPlain.end(), base) != kPlain.end())
        return true;
    return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
           base[3] >= '1' && base[3] <= '9';
}

// The longest prefix of `s` of at most `limit` bytes that does not split a UTF-8 sequence.
std::string_view cutUtf8(std::string_view s, std::size_t limit)
{
    if (s.size() <= limit)
        return s;
    std::size_t end = limit;
    // Bounded: a UTF-8 sequence has at most 3 continuation bytes.
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80)
        --end;
    return s.substr(0, end);
}

// A clean, unique name for each original name within one scope (the destination folder, a DAT's
// folder, a zip): the first comer keeps the clean name, later ones take " (k)".
class NameScope {
public:
    std::string nameFor(const std::string& key, const std::string& original, std::size_t limit)
    {
        if (const auto it = m_given.find(key); it != m_given.end())
            return it->second;
        const std::string clean = componentName(original, limit);
        std::string candidate = clean;
        // Bounded: each pass tries the next suffix and there are at most as many names as dumps.
        for (std::uint64_t k = 2; m_taken.count(folded(candidate)) != 0; ++k)
            candidate = componentName(core::detail::withSuffix(clean, k), limit);
        m_taken.insert(folded(candidate));
        return m_given[key] = candidate;
    }

private:
    std::map<std::string, std::string> m_given; // original -> clean
    std::set<std::string> m_taken;              // folded clean names
};

// The plan as it grows, dump by dump.
class Planner {
public:
    Planner(const core::DatSet& dats, OrganiseFormat format, std::size_t nameLimit)
        : m_dats(dats), m_format(format), m_limit(nameLimit)
    {}

    // Places the verified dump `i` matching `romIndex`, or lists it as a second copy.
    void add(std::size_t i, std::uint32_t romIndex)
    {
        const auto [first, fresh] = m_placedRom.emplace(romIndex, i);
        if (!fresh) {
            m_plan.duplicates.push_back({i, first->second});
            return;
        }
        const core::DatRom rom = m_dats.roms()[romIndex];
        // Two DATs may share a name (a new version beside an old one): the DAT's index keeps
        // them apart.
        const std::string& datName = m_dats.dats()[rom.dat].name;
        const std::string folder =
            m_folders.nameFor(std::to_string(rom.dat) + "/" + datName, datName, m_limit);
        const std::string romName(rom.rom);
        std::string file;
        std::string member;
        if (m_format == OrganiseFormat::Raw) {
            file = m_files[folder].nameFor(romName, romName, m_limit);
            member = file;
        } else {
            const std::string zipName = std::string(rom.game) + ".zip";
            file = m_files[folder].nameFor(zipName, zipName, m_limit);
            member = m_members[folder + "/" + file].nameFor(romName, romName, m_limit);
        }
        const auto [at, added] = m_targetOf.emplace(folder + "/" + file, m_plan.targets.size());
        if (added)
            m_plan.targets.push_back({folder, file, {}});
        m_plan.targets[at->second].roms.push_back({i, romIndex, member});
    }

    Plan take() { return std::move(m_plan); }

private:
    const core::DatSet& m_dats;
    OrganiseFormat m_format;
    std::size_t m_limit;
    Plan m_plan;
    NameScope m_folders;
    std::map<std::string, NameScope> m_files;         // by folder
    std::map<std::string, NameScope> m_members;       // by target path
    std::map<std::uint32_t, std::size_t> m_placedRom; // rom -> dump
    std::map<std::string, std::size_t> m_targetOf;    // folder/file -> index in the targets
};

} // namespace

std::string componentName(std::string_view name, std::size_t limit)
{
    std::string out = core::cleanName(std::string(name));
    for (char& c : out)
        if (std::strchr(":*?\"<>|", c) != nullptr && c != '\0')
            c = '_';
    // Bounded by the name's length.
    while (!out.empty() && (out.back() == '.' || out.back() == ' '))
        out.pop_back();
    if (out.empty())
        out = "_";
    if (reservedDeviceName(out))
        out.insert(0, 1, '_');
    if (out.size() <= limit)
        return out;
    // Cut the stem, keeping an extension of a few bytes (".nds", ".zip").
    const std::size_t dot = out.rfind('.');
    const std::string ext =
        dot != std::string::npos && dot > 0 && out.size() - dot <= 8 && out.size() - dot < limit
            ? out.substr(dot)
            : std::string();
    std::string stem(
        cutUtf8(std::string_view(out).substr(0, out.size() - ext.size()), limit - ext.size()));
    // Cutting may leave a trailing dot or space behind.
    while (!stem.empty() && (stem.back() == '.' || stem.back() == ' '))
        stem.pop_back();
    return (stem.empty() ? "_" : stem) + ext;
}

Plan planOrganise(const std::vector<Dump>& dumps, const core::DatSet& dats, OrganiseFormat format,
                  std::size_t nameLimit)
{
    Planner planner(dats, format, nameLimit);
    for (std::size_t i = 0; i < dumps.size(); ++i) {
        const core::VerifyResult& r = dumps[i].result;
        if (!r.matches.empty() &&
            (r.verdict == core::Verdict::Verified || r.verdict == core::Verdict::VerifiedTrimmed))
            planner.add(i, r.matches.front().rom);
    }
    return planner.take();
}

std::string targetPath(const OrganiseOptions& options, const Target& target)
{
    return options.to + "/" + target.folder + "/" + target.file;
}

} // namespace cartscope::archive
