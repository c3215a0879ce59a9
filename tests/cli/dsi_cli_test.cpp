#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "tests/cli/run_cli.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::TempDir;
using cartscope::fixture::VersionedBanner;
using cartscope::testcli::cli;

// Runs a Python expression over the parsed JSON in `file` (bound to d) and returns what it
// prints; empty when python3 is missing.
std::string pythonOver(const std::string& file, const std::string& expression)
{
    const std::string command = "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                                "print(json.dumps(" +
                                expression + ", ensure_ascii=True))' '" + file + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    char buffer[4096];
    std::size_t n;
    while (pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        output.append(buffer, n);
    while (!output.empty() && output.back() == '\n')
        output.pop_back();
    return output;
}

bool havePython()
{
    return std::system("python3 -c 'import json' 2>/dev/null") == 0;
}

VersionedBanner animatedBanner()
{
    VersionedBanner v;
    v.version = 0x0103;
    v.base = cartscope::fixture::sampleBanner();
    v.chinese = u"\u5361";
    v.korean = u"\uCE74\uD2B8";
    for (std::size_t b = 0; b < 8; ++b) {
        for (std::size_t i = 0; i < 512; ++i)
            v.animation.bitmaps[b][i] = static_cast<std::uint8_t>(i + b);
        for (std::size_t c = 0; c < 16; ++c)
            v.animation.palettes[b][c] = static_cast<std::uint16_t>(c * 0x421 + b);
    }
    v.animation.sequence = {0x0008, 0x4901, 0x8A00, 0x0000};
    return v;
}

ImageBuilder dsiImage()
{
    ImageBuilder b;
    b.title("DSIGAME").gameCode("KABE").unitCode(0x03);
    b.rawBanner(cartscope::fixture::bannerBlock(animatedBanner()));
    b.poke32(0x1B0, 0xFFFFFFFF).poke8(0x1BF, 0x03);
    b.poke32(0x230, 0x4542414B).poke32(0x234, 0x00030004);
    b.poke32(0x1CC, 0x4000).poke32(0x238, 0x8000);
    b.poke8(0x2F0, 0x8C).poke8(0x2F3, 0xC0);
    b.pokeBytes(0xF80, Bytes(0x80, 1));
    return b;
}

TEST(CliDsi, InfoJsonCarriesBannerTwlFlagsAndDsi)
{
    if (!havePython())
        GTEST_SKIP() << "python3 is missing";
    TempDir dir;
    // A .dsi image is read like any other image.
    const std::string path = dir.file("game.dsi");
    dsiImage().writeTo(path);
    const auto r = cli({"info", "--json", path});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string json = dir.file("out.json");
    std::ofstream(json) << r.out;

    EXPECT_EQ(pythonOver(json, "d[\"banner\"][\"version\"]"), "\"0103\"");
    EXPECT_EQ(pythonOver(json, "d[\"banner\"][\"size\"]"), "9152");
    EXPECT_EQ(pythonOver(json, "[c[\"range\"] for c in d[\"banner\"][\"crcs\"]]"),
              "[\"020-83F\", \"020-93F\", \"020-A3F\", \"1240-23BF\"]");
    EXPECT_EQ(pythonOver(json, "all(c[\"ok\"] and c[\"stored\"] == c[\"computed\"] and "
                               "len(c[\"stored\"]) == 4 for c in d[\"banner\"][\"crcs\"])"),
              "true");
    EXPECT_EQ(pythonOver(json, "d[\"banner\"][\"titles\"][6:]"),
              "[\"\\u5361\", \"\\uce74\\ud2b8\"]");
    EXPECT_EQ(pythonOver(json, "d[\"banner\"][\"titlesUtf16\"][7]"), "\"CE74D2B8\"");
    EXPECT_EQ(pythonOver(json, "len(d[\"banner\"][\"titles\"])"), "8");
    EXPECT_EQ(pythonOver(json, "len(d[\"titles\"])"), "6"); // the old key keeps its six
    EXPECT_EQ(pythonOver(json, "[d[\"banner\"][\"animated\"], d[\"banner\"][\"frames\"]]"),
              "[true, 3]");
    EXPECT_EQ(pythonOver(json, "d[\"twlFlags\"]"),
              "[\"touchscreenSoundDsiMode\", \"requireEulaAgreement\"]");
    EXPECT_EQ(pythonOver(json, "d[\"dsi\"][\"titleId\"]"), "\"000300044542414B\"");
    EXPECT_EQ(pythonOver(json, "[d[\"dsi\"][\"regionFree\"], d[\"dsi\"][\"fileType\"]]"),
              "[true, \"DSiWare\"]");
    EXPECT_EQ(pythonOver(json, "[d[\"dsi\"][\"arm9iSize\"], d[\"dsi\"][\"publicSaveSize\"]]"),
              "[\"00004000\", \"00008000\"]");
    EXPECT_EQ(pythonOver(json, "d[\"dsi\"][\"ageRatings\"][0]"),
              "{\"board\": \"CERO (Japan)\", \"present\": true, \"prohibited\": false, "
              "\"age\": 12}");
    EXPECT_EQ(pythonOver(json, "d[\"dsi\"][\"ageRatings\"][3][\"prohibited\"]"), "true");
    EXPECT_EQ(pythonOver(json, "len(d[\"dsi\"][\"ageRatings\"])"), "16");
    EXPECT_EQ(pythonOver(json, "d[\"dsi\"][\"rsaSignaturePresent\"]"), "true");
}

TEST(CliDsi, DsImageHasNullDsiButItsFlagsAndABadCrcIsReported)
{
    if (!havePython())
        GTEST_SKIP() << "python3 is missing";
    TempDir dir;
    VersionedBanner v;
    v.version = 0x0002;
    v.base = cartscope::fixture::sampleBanner();
    Bytes block = cartscope::fixture::bannerBlock(v);
    block[0x04] ^= 0x01;
    const std::string path = dir.file("game.srl");
    ImageBuilder().unitCode(0).poke8(0x1BF, 0x40).rawBanner(block).writeTo(path);
    const auto r = cli({"info", "--json", path});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string json = dir.file("out.json");
    std::ofstream(json) << r.out;
    EXPECT_EQ(pythonOver(json, "d[\"dsi\"]"), "null");
    EXPECT_EQ(pythonOver(json, "d[\"twlFlags\"]"), "[\"ndsCartHeaderRsa\"]");
    EXPECT_EQ(pythonOver(json, "[c[\"ok\"] for c in d[\"banner\"][\"crcs\"]]"), "[true, false]");
    EXPECT_EQ(pythonOver(json, "d[\"banner\"][\"titles\"][6:]"), "[\"\", \"\"]");
}

TEST(CliDsi, TextReportIsUnchangedByTheNewBanner)
{
    // The same six titles in a version 1 and a version 0x0103 banner give the same report,
    // apart from the header values the banner offset does not touch.
    TempDir dir;
    VersionedBanner v1 = animatedBanner();
    v1.version = 0x0001;
    const std::string a = dir.file("a.nds");
    const std::string b = dir.file("b.nds");
    ImageBuilder().rawBanner(cartscope::fixture::bannerBlock(v1)).writeTo(a);
    ImageBuilder().rawBanner(cartscope::fixture::bannerBlock(animatedBanner())).writeTo(b);
    const auto ra = cli({"info", a});
    const auto rb = cli({"info", b});
    ASSERT_EQ(ra.status, 0);
    ASSERT_EQ(rb.status, 0);
    const auto cut = [](std::string s) {
        // The file name, size and CRC-32 lines differ; the title sections must not.
        return s.substr(s.find("Language 1"));
    };
    EXPECT_EQ(cut(ra.out), cut(rb.out));
    ASSERT_NE(rb.out.find("Language 6"), std::string::npos);
    EXPECT_EQ(rb.out.find("Language 7"), std::string::npos);
    EXPECT_EQ(rb.out.find("\xEC\xB9\xB4"), std::string::npos); // the Korean title
}

TEST(CliDsi, IconAnimatedWritesTheAnimatedPngBesideTheStillOnes)
{
    TempDir dir;
    const std::string path = dir.file("game.dsi");
    dsiImage().writeTo(path);
    const auto r = cli({"icon", "--animated", path, dir.file("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(dir.file("out-Animated.png")), std::string::npos);
    const Bytes png = cartscope::fixture::readFile(dir.file("out-Animated.png"));
    ASSERT_GT(png.size(), 41u);
    EXPECT_EQ(std::string(png.begin() + 37, png.begin() + 41), "acTL");
    EXPECT_EQ(png[44], 3); // three frames

    // Without the option no animated file is written.
    TempDir plain;
    ASSERT_EQ(cli({"icon", path, plain.file("out")}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(plain.file("out-Animated.png")));
}

TEST(CliDsi, IconAnimatedWithoutAnAnimationFailsAndWritesNothing)
{
    TempDir dir;
    const std::string path = dir.file("game.nds");
    ImageBuilder().banner(cartscope::fixture::sampleBanner()).writeTo(path);
    TempDir out;
    const auto r = cli({"icon", "--animated", path, out.file("out")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("has no animated icon"), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(out.path()));
    // The option belongs to the icon command only.
    EXPECT_EQ(cli({"info", "--animated", path}).status, 2);
}

} // namespace
