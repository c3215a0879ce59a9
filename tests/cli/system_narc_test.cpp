#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/compress/encode.h"
#include "tests/cli/run_cli.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::narcArchive;
using cartscope::fixture::Node;
using cartscope::fixture::pattern;
using cartscope::fixture::readFile;
using cartscope::fixture::systemImage;
using cartscope::fixture::TempDir;
using cartscope::testcli::cli;

namespace fs = std::filesystem;

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        v.push_back(line);
    return v;
}

Bytes range(const Bytes& image, std::size_t offset, std::size_t size)
{
    return Bytes(image.begin() + static_cast<std::ptrdiff_t>(offset),
                 image.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

std::string hex8(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

TEST(CliSystem, ListAddsTheSystemRowsAfterTheTreeOrAlone)
{
    TempDir dir;
    ImageBuilder b = systemImage({});
    const Bytes image = b.build();
    cartscope::fixture::writeFile(dir.file("g.nds"), image);

    const auto tree = cli({"list", dir.file("g.nds")});
    ASSERT_EQ(tree.status, 0) << tree.err;
    EXPECT_EQ(lines(tree.out).size(), 2u);

    const auto all = cli({"list", "--system", dir.file("g.nds")});
    ASSERT_EQ(all.status, 0) << all.err;
    const auto l = lines(all.out);
    ASSERT_EQ(l.size(), 11u);
    EXPECT_EQ(l[0], lines(tree.out)[0]);
    EXPECT_EQ(l[2], "/[system]/header.bin\t00000000\t512");
    EXPECT_EQ(l[3], "/[system]/arm9.bin\t" + hex8(b.layout().binaryOffsets[0]) + "\t4108");
    EXPECT_EQ(l[10].substr(0, 35), "/[system]/overlay/overlay_0002.bin\t");

    const auto only = cli({"list", "--system-only", dir.file("g.nds")});
    ASSERT_EQ(only.status, 0);
    EXPECT_EQ(lines(only.out), std::vector<std::string>(l.begin() + 2, l.end()));

    const auto json = cli({"list", "--json", "--system-only", dir.file("g.nds")});
    ASSERT_EQ(json.status, 0);
    EXPECT_NE(json.out.find("{\"path\": \"/[system]/header.bin\", \"offset\": \"00000000\", "
                            "\"size\": 512, \"pathBytes\": "
                            "\"2F5B73797374656D5D2F6865616465722E62696E\", \"system\": true}"),
              std::string::npos)
        << json.out;
}

TEST(CliSystem, ExtractSystemOnlyWritesEachFileAndRefusesOnlyTheOnesPastTheEnd)
{
    TempDir dir;
    ImageBuilder b = systemImage({});
    Bytes image = b.build();
    cartscope::fixture::writeFile(dir.file("g.nds"), image);
    const auto r = cli({"extract", "--system-only", dir.file("g.nds"), dir.file("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string sys = dir.file("out/CARTSCOPE/[system]/");
    EXPECT_EQ(readFile(sys + "header.bin"), range(image, 0, 0x200));
    EXPECT_EQ(readFile(sys + "arm9.bin"), range(image, b.layout().binaryOffsets[0], 0x100C));
    EXPECT_EQ(readFile(sys + "overlay/overlay_0000.bin"), pattern(0x120, 2));
    EXPECT_EQ(readFile(sys + "overlay/overlay_0001.bin"), pattern(0x300, 1));
    EXPECT_FALSE(fs::exists(dir.file("out/CARTSCOPE/b.txt")));

    // ARM7 past the end: that file is refused and named, the rest is written, status 1.
    b.poke32(0x3C, 0x10000000);
    cartscope::fixture::writeFile(dir.file("bad.nds"), b.build());
    const auto bad = cli({"extract", "--system-only", dir.file("bad.nds"), dir.file("bad")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("error: /[system]/arm7.bin: its range runs past the end of the "
                           "image.\n"),
              std::string::npos)
        << bad.err;
    EXPECT_NE(bad.out.find(", 1 failed"), std::string::npos) << bad.out;
    EXPECT_FALSE(fs::exists(dir.file("bad/CARTSCOPE/[system]/arm7.bin")));
    EXPECT_TRUE(fs::exists(dir.file("bad/CARTSCOPE/[system]/arm9.bin")));

    // The list shows the row and says why it cannot be extracted.
    const auto listed = cli({"list", "--system-only", dir.file("bad.nds")});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.err, "note: /[system]/arm7.bin: its range runs past the end of the image\n");
    const auto json = cli({"list", "--json", "--system-only", dir.file("bad.nds")});
    EXPECT_NE(json.out.find("\"system\": true, \"problem\": \"its range runs past the end of "
                            "the image\"}"),
              std::string::npos)
        << json.out;
}

TEST(CliSystem, ExtractSystemWritesTheTreeToAndATreeFolderNamedLikeTheSystemFolderIsKept)
{
    TempDir dir;
    ImageBuilder b;
    b.root({Node::dir("[system]", {Node::file("header.bin", std::string("mine"))})});
    const Bytes image = b.build();
    cartscope::fixture::writeFile(dir.file("g.nds"), image);
    const auto r = cli({"extract", "--system", dir.file("g.nds"), dir.file("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string sys = dir.file("out/CARTSCOPE/[system]/");
    EXPECT_EQ(readFile(sys + "header.bin"), (Bytes{'m', 'i', 'n', 'e'}));
    EXPECT_EQ(readFile(sys + "header (2).bin"), range(image, 0, 0x200));
    // No overlays: the two tables are empty files.
    EXPECT_EQ(fs::file_size(sys + "y9.bin"), 0u);
}

ImageBuilder narcImage()
{
    const Bytes inner = narcArchive({{"deep.bin", pattern(12, 5)}}, true);
    ImageBuilder b;
    b.root({Node::dir("a", {Node::file("data.narc", narcArchive({{"one.bin", pattern(40, 1)},
                                                                 {"sub/two.bin", pattern(9, 3)}},
                                                                true))}),
            Node::file("plain.narc", narcArchive({{"", pattern(5, 7)}, {"", inner}}, false)),
            // A compressed archive holding a compressed archive; a stream that ends early.
            Node::file("x.carc",
                       cartscope::core::compress(
                           cartscope::core::Codec::Lz11,
                           narcArchive({{"m.bin", pattern(70, 2)},
                                        {"in.carc", cartscope::core::compress(
                                                        cartscope::core::Codec::Lz10, inner)}},
                                       true))),
            Node::file("y.carc", Bytes{0x10, 0x40, 0, 0, 0, 'N', 'A', 'R', 'C'})});
    return b;
}

TEST(CliNarc, ListAndExtractMembersNestedOneLevelAtATime)
{
    TempDir dir;
    cartscope::fixture::writeFile(dir.file("g.nds"), narcImage().build());
    const auto l = cli({"list", "--narc", "/a/data.narc", dir.file("g.nds")});
    ASSERT_EQ(l.status, 0) << l.err;
    const auto ll = lines(l.out);
    ASSERT_EQ(ll.size(), 2u);
    EXPECT_EQ(ll[0].substr(0, 9), "/one.bin\t");
    EXPECT_EQ(ll[1].substr(ll[1].size() - 4), "\t9\t-"); // the size, then the format column

    const auto p = cli({"list", "--narc", "/plain.narc", dir.file("g.nds")});
    ASSERT_EQ(p.status, 0) << p.err;
    const auto pl = lines(p.out);
    ASSERT_EQ(pl.size(), 2u);
    EXPECT_EQ(pl[0].substr(0, 11), "/file_0000\t");
    EXPECT_EQ(pl[1].substr(pl[1].size() - 5), "\tNARC");

    const auto n = cli({"list", "--json", "--narc", "/plain.narc/file_0001", dir.file("g.nds")});
    ASSERT_EQ(n.status, 0) << n.err;
    EXPECT_NE(n.out.find("\"path\": \"/plain.narc/file_0001\""), std::string::npos) << n.out;
    EXPECT_NE(n.out.find("{\"path\": \"/deep.bin\""), std::string::npos) << n.out;

    const auto e = cli({"extract", "--narc", "/a/data.narc", dir.file("g.nds"), dir.file("out")});
    ASSERT_EQ(e.status, 0) << e.err;
    EXPECT_EQ(readFile(dir.file("out/data/one.bin")), pattern(40, 1));
    EXPECT_EQ(readFile(dir.file("out/data/sub/two.bin")), pattern(9, 3));

    EXPECT_EQ(cli({"list", "--narc", "/a/data.narc", "--system", dir.file("g.nds")}).status, 2);
}

TEST(CliNarc, CompressedArchivesOpenWithMembersOutsideTheImage)
{
    TempDir dir;
    cartscope::fixture::writeFile(dir.file("g.nds"), narcImage().build());
    const std::string image = dir.file("g.nds");
    const auto c = cli({"list", "--narc", "/x.carc", image});
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(lines(c.out),
              (std::vector<std::string>{
                  "/m.bin\t-\t70\t-",
                  "/in.carc\t-\t" +
                      std::to_string(cartscope::core::compress(
                                         cartscope::core::Codec::Lz10,
                                         narcArchive({{"deep.bin", pattern(12, 5)}}, true))
                                         .size()) +
                      "\tLZ10 \u2192 NARC"}));

    const auto j = cli({"list", "--json", "--narc", "/x.carc", image});
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_NE(j.out.find("\"compression\": \"LZ11\""), std::string::npos) << j.out;
    EXPECT_NE(j.out.find("{\"path\": \"/m.bin\", \"offset\": null, \"offsetInArchive\": "),
              std::string::npos)
        << j.out;
    EXPECT_NE(j.out.find("\"format\": \"NARC\", \"compression\": \"LZ10\""), std::string::npos)
        << j.out;

    // Nested: the inner archive is read from the outer one's decompressed bytes.
    const auto n = cli({"list", "--narc", "/x.carc/in.carc", image});
    ASSERT_EQ(n.status, 0) << n.err;
    EXPECT_EQ(lines(n.out), (std::vector<std::string>{"/deep.bin\t-\t12\t-"}));
    const auto e = cli({"extract", "--narc", "/x.carc/in.carc", image, dir.file("out")});
    ASSERT_EQ(e.status, 0) << e.err;
    EXPECT_EQ(readFile(dir.file("out/in/deep.bin")), pattern(12, 5));
    const auto x = cli({"extract", "--narc", "/x.carc", image, dir.file("out")});
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(readFile(dir.file("out/x/m.bin")), pattern(70, 2));

    const auto y = cli({"list", "--narc", "/y.carc", image});
    EXPECT_EQ(y.status, 1);
    EXPECT_EQ(y.err, "\"/y.carc\": compressed data ends early.\n");
}

} // namespace
