#include <gtest/gtest.h>

#include "archive/one_game.h"

namespace cartscope {
namespace {

struct Game {
    std::string name;
    std::string attributes;
    std::string releases = {}; // <release> elements
};

core::DatSet datOf(const std::vector<Game>& games)
{
    std::string xml = "<datafile><header><name>Set</name></header>";
    char sha = 'a';
    for (const Game& g : games) {
        // Only the game's name and grouping matter here; each rom gets its own digest.
        const std::string digest(40, sha++);
        xml += "<game name=\"" + g.name + "\" " + g.attributes + ">" + g.releases +
               "<rom name=\"r.nds\" size=\"4\" sha1=\"" + digest + "\"/></game>";
    }
    xml += "</datafile>";
    core::DatSet dats;
    dats.addXml("s.dat", std::span(xml.data(), xml.size()));
    return dats;
}

// Every game in the DAT held once, in DAT order; which names are kept.
std::vector<std::string> kept(const std::vector<Game>& games, const archive::Preferences& prefs,
                              std::vector<std::string>* warnings = nullptr)
{
    const core::DatSet dats = datOf(games);
    std::vector<std::uint32_t> roms;
    for (std::uint32_t i = 0; i < games.size(); ++i)
        roms.push_back(i);
    const archive::OneGameChoice c = archive::chooseOneGame(roms, dats, prefs);
    if (warnings)
        *warnings = c.warnings;
    std::vector<std::string> out;
    for (const std::size_t i : c.kept)
        out.emplace_back(dats.roms()[roms[i]].game);
    return out;
}

TEST(OneGame, ChoiceTable)
{
    const archive::Preferences eurUsa{{"EUR", "USA", "JPN"}, {"En", "Fr"}};
    const archive::Preferences usaFr{{"USA", "EUR"}, {"Fr", "En"}};
    const struct {
        const char* what;
        std::vector<Game> games;
        archive::Preferences prefs;
        std::vector<std::string> kept;
    } cases[] = {
        {"region by name tag",
         {{"G (USA)", ""},
          {"G (Europe)", "cloneof=\"G (USA)\""},
          {"G (Japan)", "cloneof=\"G (USA)\""}},
         eurUsa,
         {"G (Europe)"}},
        {"a shared release region counts",
         {{"G (Japan)", ""}, {"G (USA, Europe)", "cloneof=\"G (Japan)\""}},
         usaFr,
         {"G (USA, Europe)"}},
        {"language breaks a region tie",
         {{"G (Europe) (En,De)", ""}, {"G (Europe) (Fr,De)", "cloneof=\"G (Europe) (En,De)\""}},
         usaFr,
         {"G (Europe) (Fr,De)"}},
        {"a missing language tag takes the region's",
         {{"G (Japan)", ""}, {"G (France)", "cloneof=\"G (Japan)\""}},
         {{}, {"Fr"}},
         {"G (France)"}},
        {"the higher revision",
         {{"G (USA)", ""},
          {"G (USA) (Rev 2)", "cloneof=\"G (USA)\""},
          {"G (USA) (Rev 1)", "cloneof=\"G (USA)\""}},
         eurUsa,
         {"G (USA) (Rev 2)"}},
        {"a release before a prototype or demo",
         {{"G (Europe) (Proto)", ""},
          {"G (Europe) (Demo)", "cloneof=\"G (Europe) (Proto)\""},
          {"G (Europe) (Kiosk)", "cloneof=\"G (Europe) (Proto)\""},
          {"G (Europe)", "cloneof=\"G (Europe) (Proto)\""}},
         eurUsa,
         {"G (Europe)"}},
        {"DAT order last",
         {{"G (USA) (Beta)", ""}, {"G (USA) (Beta 2)", "cloneof=\"G (USA) (Beta)\""}},
         eurUsa,
         {"G (USA) (Beta)"}},
        {"groups by id",
         {{"A (Japan)", "id=\"0001\""},
          {"B (USA)", "id=\"0002\""},
          {"A (Europe)", "id=\"0003\" cloneofid=\"0001\""}},
         eurUsa,
         {"B (USA)", "A (Europe)"}},
        {"release elements win over the name",
         {{"G (Europe)", "", "<release name=\"G\" region=\"JPN\" language=\"Ja\"/>"},
          {"H (Japan)", "cloneof=\"G (Europe)\"", "<release name=\"H\" region=\"USA\"/>"}},
         eurUsa,
         {"H (Japan)"}},
        {"World matches every main region",
         {{"G (Japan)", ""}, {"G (World)", "cloneof=\"G (Japan)\""}},
         {{"USA"}, {}},
         {"G (World)"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kept(c.games, c.prefs), c.kept) << c.what;
}

TEST(OneGame, WithoutGroupsEachGameStandsAloneWithAWarning)
{
    std::vector<std::string> warnings;
    const archive::Preferences prefs{{"EUR"}, {}};
    EXPECT_EQ(kept({{"G (USA)", ""}, {"G (Europe)", ""}}, prefs, &warnings),
              (std::vector<std::string>{"G (USA)", "G (Europe)"}));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("no parent/clone groups"), std::string::npos);
}

} // namespace
} // namespace cartscope
