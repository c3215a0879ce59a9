#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/image/publisher.h"

namespace cartscope::core {
namespace {

TEST(Publisher, TableShape)
{
    ASSERT_EQ(MakerArray.size(), 315u);
    for (std::size_t i = 0; i < MakerArray.size(); ++i) {
        const std::size_t nameLength = std::strlen(MakerArray[i].Name);
        EXPECT_EQ(std::strlen(MakerArray[i].Code), 2u) << i;
        EXPECT_GE(nameLength, 1u) << i;
        EXPECT_LE(nameLength, 43u) << i;
        if (i + 1 < MakerArray.size() - 1) {
            EXPECT_LT(std::strcmp(MakerArray[i].Code, MakerArray[i + 1].Code), 0) << i;
        }
    }
    EXPECT_STREQ(MakerArray[0].Code, "01");
    EXPECT_STREQ(MakerArray[313].Code, "IH");
    EXPECT_STREQ(MakerArray[314].Code, "\\0");
    EXPECT_STREQ(MakerArray[314].Name, "Unknown");
}

TEST(Publisher, NamesUnderSeveralCodes)
{
    const auto all = [](std::initializer_list<const char*> codes, const std::string& name) {
        for (const char* code : codes)
            EXPECT_EQ(SearchMakerArray(code), name) << code;
    };
    all({"07", "26", "B4"}, "Enix");
    all({"0A", "DG", "E0"}, "Jaleco");
    all({"17", "84"}, "KOEI");
    all({"C8"}, "Koei");
    all({"2A", "BA"}, "Culture Brain");
    all({"3F", "A5"}, "K.Amusement Leasing Co.");
    all({"72", "AA"}, "JVC");
    all({"7F", "C2"}, "Kemco");
    all({"95", "E3"}, "Varie");
    all({"B9", "CE"}, "Pony Canyon");
    all({"10", "E1", "EJ"}, "?");
}

TEST(Publisher, Lookups)
{
    EXPECT_EQ(SearchMakerArray("01"), "Nintendo");
    EXPECT_EQ(SearchMakerArray("33"), "NOT A COMPANY!");
    EXPECT_EQ(SearchMakerArray("GD"), "Square-Enix");
    EXPECT_EQ(SearchMakerArray("3C"), "Entertainment International/Empire Software");
    EXPECT_EQ(SearchMakerArray("7L"), "Simon & Schuster Interactive");
    EXPECT_EQ(SearchMakerArray("8F"), "I'Max");
    EXPECT_EQ(SearchMakerArray("IH"), "Yojigen");
    EXPECT_EQ(SearchMakerArray("\\0"), "Unknown");
    for (const std::string& none :
         {std::string(), std::string("0"), std::string("0a"), std::string("ZZ"), std::string("0I"),
          std::string("11"), std::string(" 01"), std::string("01 "), std::string("\0\0", 2)})
        EXPECT_EQ(SearchMakerArray(none), "") << none;
}

} // namespace
} // namespace cartscope::core
