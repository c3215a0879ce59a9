#include "archive/one_game.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <tuple>

namespace cartscope::archive {

namespace {

struct RegionName {
    std::string_view name;     // as No-Intro writes it in a name
    std::string_view code;     // as <release region> and the preferences write it
    std::string_view language; // its usual language
};
constexpr std::array<RegionName, 22> kRegions = {{
    {"Europe", "EUR", "En"},    {"USA", "USA", "En"},      {"Japan", "JPN", "Ja"},
    {"Australia", "AUS", "En"}, {"France", "FRA", "Fr"},   {"Germany", "GER", "De"},
    {"Spain", "SPA", "Es"},     {"Italy", "ITA", "It"},    {"Netherlands", "HOL", "Nl"},
    {"Sweden", "SWE", "Sv"},    {"Korea", "KOR", "Ko"},    {"China", "CHN", "Zh"},
    {"Taiwan", "TAI", "Zh"},    {"Hong Kong", "HK", "Zh"}, {"Brazil", "BRA", "Pt"},
    {"Canada", "CAN", "En"},    {"UK", "UK", "En"},        {"Russia", "RUS", "Ru"},
    {"Denmark", "DEN", "Da"},   {"Norway", "NOR", "No"},   {"Finland", "FIN", "Fi"},
    {"Portugal", "POR", "Pt"},
}};

const RegionName* regionByName(std::string_view name)
{
    for (const RegionName& r : kRegions)
        if (r.name == name)
            return &r;
    return nullptr;
}

const RegionName* regionByCode(std::string_view code)
{
    for (const RegionName& r : kRegions)
        if (r.code == code)
            return &r;
    return nullptr;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> split(std::string_view s, char at)
{
    std::vector<std::string_view> parts;
    // Bounded by the text's length.
    for (std::size_t start = 0;;) {
        const std::size_t end = s.find(at, start);
        parts.push_back(trim(s.substr(start, end - start)));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

// "En", "Fr", "Zh-Hant": a capital letter, a small one, maybe a script.
bool isLanguage(std::string_view s)
{
    return s.size() >= 2 && s[0] >= 'A' && s[0] <= 'Z' && s[1] >= 'a' && s[1] <= 'z' &&
           (s.size() == 2 || s[2] == '-');
}

void addOnce(std::vector<std::string>& list, std::string_view value)
{
    if (!value.empty() && std::find(list.begin(), list.end(), value) == list.end())
        list.emplace_back(value);
}

// The position of the best item of `have` in `preferred`; past the end when none is preferred.
std::size_t rank(const std::vector<std::string>& have, const std::vector<std::string>& preferred)
{
    std::size_t best = preferred.size();
    for (const std::string& h : have) {
        const auto at = std::find(preferred.begin(), preferred.end(), h);
        best = std::min(best, static_cast<std::size_t>(at - preferred.begin()));
    }
    return best;
}

} // namespace

GameTags tagsOf(const core::DatRom& rom)
{
    GameTags tags;
    for (const std::string_view line : split(rom.releases, '\n')) {
        if (line.empty())
            continue;
        const std::size_t slash = line.find('/');
        addOnce(tags.regions, line.substr(0, slash));
        if (slash != std::string_view::npos)
            for (const std::string_view l : split(line.substr(slash + 1), ','))
                addOnce(tags.languages, l);
    }
    const bool fromReleases = !tags.regions.empty();
    std::string_view name = rom.game;
    // Bounded by the name's length: each pass moves past one "(...)" group.
    for (std::size_t open = name.find('('); open != std::string_view::npos;
         open = name.find('(', open + 1)) {
        const std::size_t close = name.find(')', open);
        if (close == std::string_view::npos)
            break;
        const std::string_view group = name.substr(open + 1, close - open - 1);
        const auto parts = split(group, ',');
        if (group.starts_with("Rev ")) {
            int n = 0;
            for (const char c : group.substr(4))
                if (c >= '0' && c <= '9' && n < 100000)
                    n = n * 10 + (c - '0');
            tags.revision = n;
        } else if (group.starts_with("Beta") || group.starts_with("Proto") ||
                   group.starts_with("Demo") || group.starts_with("Kiosk") ||
                   group.starts_with("Sample")) {
            tags.prerelease = true;
        } else if (!fromReleases && std::all_of(parts.begin(), parts.end(), [](auto p) {
                       return p == "World" || regionByName(p) != nullptr;
                   })) {
            for (const std::string_view p : parts) {
                if (p == "World") {
                    for (const char* code : {"USA", "EUR", "JPN"})
                        addOnce(tags.regions, code);
                } else {
                    addOnce(tags.regions, regionByName(p)->code);
                }
            }
        } else if (tags.languages.empty() && std::all_of(parts.begin(), parts.end(), isLanguage)) {
            for (const std::string_view p : parts)
                addOnce(tags.languages, p);
        }
    }
    if (tags.languages.empty())
        for (const std::string& code : tags.regions)
            if (const RegionName* r = regionByCode(code))
                addOnce(tags.languages, r->language);
    return tags;
}

OneGameChoice chooseOneGame(const std::vector<std::uint32_t>& roms, const core::DatSet& dats,
                            const Preferences& preferences)
{
    OneGameChoice choice;
    const core::DatRoms all = dats.roms();
    // Per DAT: whether it has groups at all, and its games' names by id (for `cloneofid`).
    std::vector<bool> grouped(dats.dats().size(), false);
    std::map<std::pair<std::size_t, std::string_view>, std::string_view> nameById;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const core::DatRom r = all[i];
        if (!r.cloneOf.empty() || !r.cloneOfId.empty())
            grouped[r.dat] = true;
        if (!r.id.empty())
            nameById.emplace(std::pair(r.dat, r.id), r.game);
    }
    std::set<std::size_t> warned;
    const auto groupOf = [&](const core::DatRom& r) -> std::string {
        if (!r.cloneOfId.empty()) {
            const auto it = nameById.find({r.dat, r.cloneOfId});
            return it != nameById.end() ? std::string(it->second) : "#" + std::string(r.cloneOfId);
        }
        return std::string(r.cloneOf.empty() ? r.game : r.cloneOf);
    };
    using Score = std::tuple<std::size_t, std::size_t, int, bool, std::uint32_t>;
    std::map<std::pair<std::size_t, std::string>, std::pair<Score, std::size_t>> best;
    std::vector<std::pair<std::size_t, std::string>> groupOfRom(roms.size());
    for (std::size_t i = 0; i < roms.size(); ++i) {
        const core::DatRom r = all[roms[i]];
        if (!grouped[r.dat] && warned.insert(r.dat).second)
            choice.warnings.push_back("DAT \"" + dats.dats()[r.dat].name +
                                      "\" has no parent/clone groups; each game is its own group");
        const GameTags tags = tagsOf(r);
        const Score score{rank(tags.regions, preferences.regions),
                          rank(tags.languages, preferences.languages), -tags.revision,
                          tags.prerelease, roms[i]};
        groupOfRom[i] = {r.dat, groupOf(r)};
        const auto [it, fresh] = best.emplace(groupOfRom[i], std::pair(score, i));
        if (!fresh && score < it->second.first)
            it->second = {score, i};
    }
    for (std::size_t i = 0; i < roms.size(); ++i) {
        const std::size_t winner = best.at(groupOfRom[i]).second;
        // A second dump of the winning rom is kept for the plan to report as a duplicate.
        if (roms[winner] == roms[i]) {
            choice.kept.push_back(i);
        } else {
            choice.skipped.push_back(i);
            choice.keptInstead.push_back(winner);
        }
    }
    return choice;
}

} // namespace cartscope::archive
