#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "cli/commands.h"
#include "core/compress/encode.h"
#include "core/formats/bmg.h"
#include "tests/cli/run_cli.h"
#include "tests/fixture/formats_builder.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::Node;
using cartscope::fixture::TempDir;
using cartscope::testcli::cli;
namespace fx = cartscope::fixture;

Bytes bmgMessages()
{
    fx::BmgFields fields;
    fields.messages = {Bytes{'H', 0, 'i', 0}, Bytes{'{', 0, 0x1A, 0, 5, 7, 8}};
    return fx::bmgFile(fields);
}

// A tree with graphics beside their palette, two palettes in another folder, a font, messages
// and a compressed file.
std::string formatsImage(const TempDir& dir)
{
    const Bytes tiles = fx::pattern(4 * 32, 2);
    fx::FontFields font;
    font.glyphs.assign(3, fx::pattern(16, 4));
    font.maps = {{0, 0x41, 0x43, {0}}};
    const std::string path = dir.file("formats.nds");
    ImageBuilder()
        .root({Node::dir("g", {Node::file("a.NCGR", fx::ncgrFile(4, 2, 2, false, 0x10, tiles)),
                               Node::file("a.NCLR",
                                          fx::nclrFile(4, std::vector<std::uint16_t>(16, 0x001F))),
                               Node::file("s.NSCR", fx::nscrFile(8, 8, {0x0003})),
                               Node::file("c.NCER", fx::ncerFile({{{0, 0, 1}}, {{0, 0x4000, 0}}})),
                               Node::file("z.NANR", fx::nanrFile({{{0, 2}, {1, 3}}, {{1, 4}}}))}),
               Node::dir("h", {Node::file("b.NCGR", fx::ncgrFile(4, 1, 1, false, 0x10, tiles)),
                               Node::file("x.NCLR", fx::nclrFile(4, {0x1F})),
                               Node::file("y.NCLR", fx::nclrFile(4, {0x1F}))}),
               Node::file("font.NFTR", fx::nftrFile(font)), Node::file("msg.bmg", bmgMessages()),
               Node::file("lz.bin", Bytes{0x10, 4, 0, 0, 0, 1, 2, 3, 4}),
               // An archive, compressed, holding graphics (compressed too), their palette and
               // messages: files opened by their path through both layers.
               Node::file(
                   "pack.carc",
                   cartscope::core::compress(
                       cartscope::core::Codec::Lz10,
                       fx::narcArchive({{"p.NCGR", cartscope::core::compress(
                                                       cartscope::core::Codec::Lz11,
                                                       fx::ncgrFile(4, 1, 1, false, 0x10, tiles))},
                                        {"p.NCLR", fx::nclrFile(4, {0x1F})},
                                        {"m.bmg", bmgMessages()}},
                                       true))),
               Node::file("packed.bin",
                          cartscope::core::compress(cartscope::core::Codec::Huffman8,
                                                    fx::ncgrFile(4, 1, 1, false, 0x10, tiles)))})
        .writeTo(path);
    return path;
}

TEST(ListCommand, FormatsColumnByMagicAndTrialDecode)
{
    TempDir dir;
    const std::string image = formatsImage(dir);
    const auto plain = cli({"list", image});
    ASSERT_EQ(plain.status, 0) << plain.err;
    const auto r = cli({"list", "--formats", image});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> plainLines, lines;
    std::istringstream a(plain.out), b(r.out);
    for (std::string l; std::getline(a, l);)
        plainLines.push_back(l);
    for (std::string l; std::getline(b, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), plainLines.size());
    std::map<std::string, std::string> column;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        // The plain row, then one column more.
        ASSERT_EQ(lines[i].substr(0, plainLines[i].size() + 1), plainLines[i] + "\t");
        column[lines[i].substr(0, lines[i].find('\t'))] = lines[i].substr(plainLines[i].size() + 1);
    }
    EXPECT_EQ(column["/g/a.NCGR"], "NCGR");
    EXPECT_EQ(column["/g/a.NCLR"], "NCLR");
    EXPECT_EQ(column["/g/z.NANR"], "NANR");
    EXPECT_EQ(column["/font.NFTR"], "NFTR");
    EXPECT_EQ(column["/msg.bmg"], "BMG");
    EXPECT_EQ(column["/lz.bin"], "LZ10");
    EXPECT_EQ(column["/packed.bin"], "Huffman8 \u2192 NCGR");

    const auto j = cli({"list", "--json", "--formats", image});
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_NE(j.out.find("\"format\": \"NCGR\", \"compression\": \"Huffman8\""), std::string::npos)
        << j.out;
    EXPECT_NE(j.out.find("\"format\": null, \"compression\": \"LZ10\""), std::string::npos);
    EXPECT_NE(j.out.find("\"format\": \"BMG\", \"compression\": null"), std::string::npos);
    // Plain JSON is unchanged.
    EXPECT_EQ(cli({"list", "--json", image}).out.find("\"format\""), std::string::npos);
}

TEST(RenderCommand, DrawsGraphicsScreensCellsAnimationsAndFonts)
{
    TempDir dir;
    const std::string image = formatsImage(dir);
    struct Case {
        std::vector<std::string> args;
        std::uint32_t width, height;
    };
    for (const Case& c : {
             Case{{"/g/a.NCGR"}, 16, 16},
             Case{{"--screen", "/g/s.NSCR", "/g/a.NCGR"}, 8, 8},
             Case{{"--cells", "/g/c.NCER", "/g/a.NCGR"}, 32, 16},
             Case{{"--cells", "/g/c.NCER", "--cell", "1", "/g/a.NCGR"}, 16, 16},
             Case{{"--palette", "/h/x.NCLR", "/h/b.NCGR"}, 8, 8},
             Case{{"/g/z.NANR"}, 16, 16},
             Case{{"/pack.carc/p.NCGR"}, 8, 8}, // its palette found in the same archive
             Case{{"--palette", "/pack.carc/p.NCLR", "/h/b.NCGR"}, 8, 8},
         }) {
        std::vector<std::string> args = {"render"};
        args.insert(args.end(), c.args.begin(), c.args.end() - 1);
        const std::string out = dir.file("out.png");
        args.insert(args.end(), {image, c.args.back(), out});
        const auto r = cli(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, out + "\n");
        const Bytes png = fx::readFile(out);
        ASSERT_GT(png.size(), 24u);
        const auto be32 = [&](std::size_t at) {
            return std::uint32_t{png[at]} << 24 | std::uint32_t{png[at + 1]} << 16 |
                   std::uint32_t{png[at + 2]} << 8 | png[at + 3];
        };
        EXPECT_EQ(be32(16), c.width) << c.args.back();
        EXPECT_EQ(be32(20), c.height) << c.args.back();
    }
    const auto font = cli({"render", image, "/font.NFTR", dir.file("font.png")});
    ASSERT_EQ(font.status, 0) << font.err;
    EXPECT_EQ(font.out, dir.file("font.png") + "\n" + dir.file("font.json") + "\n");
    const Bytes json = fx::readFile(dir.file("font.json"));
    EXPECT_NE(std::string(json.begin(), json.end()).find("{\"code\": 66, \"cell\": 1,"),
              std::string::npos);
}

// An animation is every sequence one after the other, or the one --sequence names.
TEST(RenderCommand, AnimationFramesAreEverySequenceOrTheOneAskedFor)
{
    TempDir dir;
    const std::string image = formatsImage(dir);
    const auto frameCount = [](const Bytes& png) {
        const std::string text(png.begin(), png.end());
        const std::size_t at = text.find("acTL");
        if (at == std::string::npos || at + 8 > png.size())
            return std::uint32_t{0};
        return std::uint32_t{png[at + 4]} << 24 | std::uint32_t{png[at + 5]} << 16 |
               std::uint32_t{png[at + 6]} << 8 | png[at + 7];
    };
    const std::string out = dir.file("a.png");
    struct Case {
        std::vector<std::string> options;
        std::uint32_t frames;
    };
    for (const Case& c :
         {Case{{}, 3}, Case{{"--sequence", "0"}, 2}, Case{{"--sequence", "1"}, 1}}) {
        std::vector<std::string> args = {"render"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {image, "/g/z.NANR", out});
        const auto r = cli(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(frameCount(fx::readFile(out)), c.frames) << testing::PrintToString(c.options);
    }
    const auto missing = cli({"render", "--sequence", "2", image, "/g/z.NANR", out});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "There is no sequence 2 (the file has 2)\n");
    EXPECT_EQ(cli({"render", "--sequence", "x", image, "/g/z.NANR", out}).status, 2);
    EXPECT_EQ(cli({"render", "--sequence", "0", image, "/g/a.NCGR", out}).status, 2);
}

TEST(RenderCommand, ErrorsNameTheFileAndTheWayOut)
{
    TempDir dir;
    const std::string image = formatsImage(dir);
    const std::string out = dir.file("o.png");
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    for (const Case& c : {
             Case{{"render", image, "/h/b.NCGR", out},
                  "Several NCLR files could go with \"/h/b.NCGR\": /h/x.NCLR, /h/y.NCLR; give "
                  "one with --palette.\n"},
             Case{{"render", image, "/lz.bin", out}, // decompressed, then not known
                  "\"/lz.bin\" is neither tile graphics (NCGR), an animation (NANR) nor a font "
                  "(NFTR)\n"},
             Case{{"render", image, "/pack.carc/nope", out},
                  "No file \"/pack.carc/nope\" in the image.\n"},
             Case{{"render", image, "/nope", out}, "No file \"/nope\" in the image.\n"},
             Case{{"render", image, "/msg.bmg", out},
                  "\"/msg.bmg\" is neither tile graphics (NCGR), an animation (NANR) nor a font "
                  "(NFTR)\n"},
             Case{{"render", "--cells", "/g/c.NCER", "--cell", "5", image, "/g/a.NCGR", out},
                  "There is no cell 5 (the file has 2)\n"},
         }) {
        const auto r = cli(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.error);
    }
    EXPECT_EQ(
        cli({"render", "--cell", "x", "--cells", "/g/c.NCER", image, "/g/a.NCGR", out}).status, 2);
    EXPECT_EQ(
        cli({"render", "--screen", "/g/s.NSCR", "--cells", "/g/c.NCER", image, "/g/a.NCGR", out})
            .status,
        2);
}

TEST(TextCommand, PrintsEditsAndWritesBackTheMessages)
{
    TempDir dir;
    const std::string image = formatsImage(dir);
    const auto text = cli({"text", image, "/msg.bmg"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "Hi\n{{{1A:0708}\n");
    const auto json = cli({"text", "--json", image, "/msg.bmg"});
    EXPECT_NE(json.out.find("\"text\": \"{{{1A:0708}\""), std::string::npos) << json.out;
    EXPECT_EQ(cli({"text", image, "/pack.carc/m.bmg"}).out, text.out);

    // Unchanged lines give the file back; an edited one is written in the file's encoding.
    fx::writeFile(dir.file("same.txt"), Bytes(text.out.begin(), text.out.end()));
    const auto same =
        cli({"text", "--write", image, "/msg.bmg", dir.file("same.txt"), dir.file("same.bmg")});
    ASSERT_EQ(same.status, 0) << same.err;
    EXPECT_EQ(fx::readFile(dir.file("same.bmg")), bmgMessages());
    fx::writeFile(dir.file("edit.txt"), Bytes{'H', 'e', 'l', 'l', 'o', '\r', '\n', 'x', '\n'});
    ASSERT_EQ(
        cli({"text", "--write", image, "/msg.bmg", dir.file("edit.txt"), dir.file("edit.bmg")})
            .status,
        0);
    const Bytes edited = fx::readFile(dir.file("edit.bmg"));
    EXPECT_EQ(cartscope::core::bmgTexts(cartscope::core::readBmg(edited, "e"), true),
              (std::vector<std::string>{"Hello", "x"}));

    fx::writeFile(dir.file("short.txt"), Bytes{'a', '\n'});
    const auto short_ =
        cli({"text", "--write", image, "/msg.bmg", dir.file("short.txt"), dir.file("short.bmg")});
    EXPECT_EQ(short_.status, 1);
    EXPECT_EQ(short_.err,
              "\"" + dir.file("short.txt") + "\" has 1 lines; the message file has 2 messages.\n");
    EXPECT_EQ(cli({"text", image, "/msg.bmg", "extra"}).status, 2);
    EXPECT_EQ(cli({"text", "--write", "--json", image, "/msg.bmg", "a", "b"}).status, 2);
}

} // namespace
