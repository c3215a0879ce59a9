#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/verify/dat.h"

// One game per parent/clone group: of the dumps held, the one version a collector who wants a
// single copy of each game keeps, chosen by region and language preferences.
namespace cartscope::archive {

struct Preferences {
    std::vector<std::string> regions;   // "EUR", "USA", "JPN": best first
    std::vector<std::string> languages; // "En", "Fr": best first
};

// What a game's name and <release> elements say about it.
struct GameTags {
    std::vector<std::string> regions;   // codes: "EUR", "USA", "JPN", ...
    std::vector<std::string> languages; // "En", "Fr", ...
    int revision = 0;                   // "(Rev N)"
    bool prerelease = false;            // Beta, Proto, Demo, Kiosk, Sample
};
// Regions and languages from the releases when there are any, else from the No-Intro name tags
// ("(Europe)", "(USA, Europe)", "(En,Fr)"); without a language tag, the regions' usual
// languages.
GameTags tagsOf(const core::DatRom& rom);

struct OneGameChoice {
    std::vector<std::size_t> kept;    // indexes into the roms given, in the order given
    std::vector<std::size_t> skipped; // each with the index it lost to
    std::vector<std::size_t> keptInstead;
    std::vector<std::string> warnings; // DATs without parent/clone groups
};

// `roms`: the DAT entries of the dumps held (indexes into dats.roms()), in the order the dumps
// were found. Groups come from `cloneof` (a game name) or `cloneofid` (an id); a DAT with
// neither makes each game its own group, with a warning. In a group the winner is the best
// region, then the best language, then the higher revision, then a release before a Beta,
// Proto, Demo or Kiosk, then DAT order.
OneGameChoice chooseOneGame(const std::vector<std::uint32_t>& roms, const core::DatSet& dats,
                            const Preferences& preferences);

} // namespace cartscope::archive
