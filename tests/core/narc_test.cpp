#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/compress/encode.h"
#include "core/fs/filelist.h"
#include "core/fs/fnt.h"
#include "core/fs/narc.h"
#include "core/io/stream.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::core::Error;
using cartscope::core::MemoryStream;
using cartscope::core::Narc;
using cartscope::core::NarcMember;
using cartscope::core::openNarc;
using cartscope::core::readNarc;
using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::narcArchive;
using cartscope::fixture::NarcMemberFields;
using cartscope::fixture::Node;
using cartscope::fixture::pattern;

Bytes namedNarc()
{
    return narcArchive({{"one.bin", pattern(40, 1)},
                        {"two.txt", Bytes{'h', 'i'}},
                        {"sub/three.bin", pattern(9, 3)}},
                       true);
}

struct Loaded {
    Bytes image;
    std::vector<cartscope::core::FileRow> rows;
};

Loaded load(const std::vector<Node>& tree)
{
    ImageBuilder b;
    b.root(tree);
    Loaded l{b.build(), {}};
    MemoryStream s(l.image);
    std::vector<cartscope::core::TFileEntry> files;
    std::vector<cartscope::core::TDirEntry> dirs;
    cartscope::core::ParseFNT(s, b.layout().fntOffset, b.layout().fatOffset, files, dirs);
    l.rows = cartscope::core::ParseArraysToList(files, dirs);
    return l;
}

Narc open(const Loaded& l, const std::string& path)
{
    MemoryStream s(l.image);
    return openNarc(s, l.rows, path);
}

Narc readBytes(const Bytes& narc)
{
    MemoryStream s(narc);
    return readNarc(s, 0, narc.size(), "/t.narc");
}

Bytes memberBytes(const Bytes& image, const NarcMember& m)
{
    return Bytes(image.begin() + static_cast<std::ptrdiff_t>(m.offset),
                 image.begin() + static_cast<std::ptrdiff_t>(m.offset + m.size));
}

std::string errorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(Narc, NamedMembersWithFoldersAndTheirBytesInTheImage)
{
    const Loaded l = load({Node::dir("a", {Node::file("data.narc", namedNarc())})});
    const Narc n = open(l, "/a/data.narc");
    EXPECT_TRUE(n.named);
    EXPECT_TRUE(n.notes.empty());
    ASSERT_EQ(n.members.size(), 3u);
    EXPECT_EQ(n.members[0].path, "/one.bin");
    EXPECT_EQ(n.members[1].path, "/two.txt");
    EXPECT_EQ(n.members[2].path, "/sub/three.bin");
    EXPECT_EQ(memberBytes(l.image, n.members[0]), pattern(40, 1));
    EXPECT_EQ(memberBytes(l.image, n.members[1]), (Bytes{'h', 'i'}));
    EXPECT_EQ(memberBytes(l.image, n.members[2]), pattern(9, 3));
    for (const auto& m : n.members) {
        EXPECT_EQ(m.problem, "");
        EXPECT_FALSE(m.narc);
    }
    const auto rows = cartscope::core::narcRows(n);
    EXPECT_EQ(rows[1].size, 2);
    EXPECT_EQ(cartscope::core::narcFolderName("/a/data.narc"), "data");
}

TEST(Narc, WithoutNamesMembersAreNumbered)
{
    const Bytes narc = narcArchive({{"", pattern(5, 1)}, {"", pattern(6, 2)}}, false);
    const Narc n = readBytes(narc);
    EXPECT_FALSE(n.named);
    ASSERT_EQ(n.members.size(), 2u);
    EXPECT_EQ(n.members[0].path, "/file_0000");
    EXPECT_EQ(n.members[1].path, "/file_0001");
    EXPECT_EQ(memberBytes(narc, n.members[1]), pattern(6, 2));
}

TEST(Narc, TruncatedDataAndOverrunningCountsAreBoundedAndNoted)
{
    // Cut inside the last member's data: it carries a problem, the first one is intact.
    Bytes narc = narcArchive({{"", pattern(16, 1)}, {"", pattern(64, 2)}}, false);
    narc.resize(narc.size() - 20);
    Narc n = readBytes(narc);
    ASSERT_EQ(n.members.size(), 2u);
    EXPECT_EQ(n.members[0].problem, "");
    EXPECT_EQ(n.members[1].problem, "its range runs past the end of the archive's data");
    EXPECT_EQ(n.notes, (std::vector<std::string>{"block GMIF runs past the end of the archive"}));

    // A count far above what the block holds reads only the entries it holds.
    narc = narcArchive({{"", pattern(16, 1)}, {"", pattern(8, 2)}}, false);
    narc[16 + 8] = 0xFF, narc[16 + 9] = 0xFF; // BTAF count 65535
    n = readBytes(narc);
    EXPECT_EQ(n.members.size(), 2u);
    EXPECT_EQ(n.notes,
              (std::vector<std::string>{"the allocation block holds 2 entries but claims 65535"}));

    // A name whose file ID has no allocation entry is reported, not read as an empty file.
    narc = narcArchive({{"a", pattern(16, 1)}, {"b", pattern(8, 2)}}, true);
    narc[16 + 8] = 1; // BTAF count 1 of 2
    n = readBytes(narc);
    ASSERT_EQ(n.members.size(), 2u);
    EXPECT_EQ(n.members[0].problem, "");
    EXPECT_EQ(n.members[1].path, "/b");
    EXPECT_EQ(n.members[1].problem, "it has no allocation entry");

    // A block size below its own header stops the walk: no GMIF, not an archive.
    narc = narcArchive({{"", pattern(4, 1)}}, false);
    narc[16 + 4] = 3, narc[16 + 5] = 0, narc[16 + 6] = 0, narc[16 + 7] = 0;
    EXPECT_EQ(errorOf([&] { readBytes(narc); }), "\"/t.narc\" is not a NARC archive: it has no "
                                                 "BTAF block");
}

TEST(Narc, ValidityLadder)
{
    const Bytes full = narcArchive({{"", pattern(4, 1)}}, false);
    EXPECT_EQ(errorOf([&] { readBytes({}); }), "\"/t.narc\" is not a NARC archive");
    EXPECT_EQ(errorOf([&] {
                  readBytes(Bytes{'N', 'A', 'R', 'C'});
              }),
              "\"/t.narc\" is not a NARC archive");
    Bytes minusOne(full.begin(), full.end() - 1);
    EXPECT_EQ(readBytes(minusOne).members.at(0).problem,
              "its range runs past the end of the archive's data");
    EXPECT_EQ(readBytes(full).members.at(0).problem, "");
    // No members: a GMIF block of its 8-byte header alone opens, with nothing in it.
    const Bytes empty = narcArchive({}, false);
    ASSERT_EQ(empty.size(), 16u + 12 + (8 + 8) + 8);
    const Narc none = readBytes(empty);
    EXPECT_TRUE(none.members.empty());
    EXPECT_TRUE(none.notes.empty());
    // Header only, blocks missing.
    Bytes headerOnly(full.begin(), full.begin() + 16);
    EXPECT_EQ(errorOf([&] { readBytes(headerOnly); }),
              "\"/t.narc\" is not a NARC archive: it has no BTAF block");
}

TEST(Narc, HostileNameTableIsWalkedWithItsBounds)
{
    // A name table whose sub-table runs to the end of its block without a terminator, with a
    // directory count of 4095: names come out, bounded, and nothing hangs.
    Bytes narc = narcArchive({{"a", pattern(4, 1)}, {"b", pattern(4, 2)}}, true);
    const std::size_t btnf = 16 + 12 + 2 * 8 + 4 + 4; // after BTAF: data of BTNF
    narc[btnf + 6] = 0xFF, narc[btnf + 7] = 0x0F;
    const Narc n = readBytes(narc);
    EXPECT_LE(n.members.size(), 2u);

    // A directory ID cut by the end of the name block (GMIF follows it) is dropped, not read
    // on into the next block nor completed with a zero.
    const Narc cut = readBytes(cartscope::fixture::cutDirectoryIdNarc());
    ASSERT_EQ(cut.members.size(), 1u);
    EXPECT_EQ(cut.members[0].path, "/A/good.txt");
    EXPECT_EQ(cut.members[0].problem, "");
}

TEST(Narc, ASubTableBeyondWhatIsHeldOfTheNameBlockIsStillRead)
{
    // One file whose sub-table lies past the part of the name block read in one go.
    const std::uint64_t far = cartscope::core::kNameTableReadAhead + 16;
    Bytes narc;
    const auto u16 = [&](std::uint64_t v) {
        narc.push_back(static_cast<std::uint8_t>(v));
        narc.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    const auto u32 = [&](std::uint64_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    const auto text = [&](const std::string& t) { narc.insert(narc.end(), t.begin(), t.end()); };
    const std::string name = "far.bin";
    const std::uint64_t tableSize = far + 1 + name.size() + 1;
    text("NARC");
    u16(0xFFFE);
    u16(0x0100);
    u32(0x10 + 20 + 8 + tableSize + 12); // archive size
    u16(0x10);                           // header size
    u16(3);                              // block count
    text("BTAF");
    u32(20);
    u32(1); // one entry: bytes 0..4 of the data
    u32(0);
    u32(4);
    text("BTNF");
    u32(8 + tableSize);
    u32(far); // the root's sub-table
    u16(0);   // first file ID
    u16(1);   // directory count
    narc.resize(narc.size() + far - 8, 0);
    narc.push_back(static_cast<std::uint8_t>(name.size()));
    text(name);
    narc.push_back(0);
    text("GMIF");
    u32(12);
    text("data");
    const Narc n = readBytes(narc);
    EXPECT_TRUE(n.notes.empty());
    ASSERT_EQ(n.members.size(), 1u);
    EXPECT_EQ(n.members[0].path, "/far.bin");
    EXPECT_EQ(memberBytes(narc, n.members[0]), (Bytes{'d', 'a', 't', 'a'}));
}

TEST(Narc, CompressedAndNestedArchivesOneLevelAtATime)
{
    const Bytes inner = narcArchive({{"deep.bin", pattern(12, 5)}}, true);
    const Bytes outer =
        narcArchive({{"inner.narc", inner}, {"packed.bin", Bytes{0x10, 0x20, 0, 0, 0, 'N'}}}, true);
    const Loaded l =
        load({Node::file("outer.narc", outer),
              Node::file("x.carc", cartscope::core::compress(cartscope::core::Codec::Lz11, inner)),
              Node::file("plain.bin", Bytes{'n', 'o', 'p', 'e', '!'})});
    const Narc o = open(l, "/outer.narc");
    ASSERT_EQ(o.members.size(), 2u);
    EXPECT_TRUE(o.members[0].narc);
    EXPECT_FALSE(o.members[0].compressed);
    EXPECT_TRUE(o.members[1].compressed);

    const Narc i = open(l, "/outer.narc/inner.narc");
    EXPECT_EQ(i.path, "/outer.narc/inner.narc");
    ASSERT_EQ(i.members.size(), 1u);
    EXPECT_EQ(memberBytes(l.image, i.members[0]), pattern(12, 5));

    // A compressed archive is read from its decompressed bytes; a stream that ends early is
    // the decoder's error naming it.
    const Narc x = open(l, "/x.carc");
    ASSERT_TRUE(x.decompressed);
    EXPECT_EQ(x.decompressed->codec, cartscope::core::Codec::Lz11);
    ASSERT_EQ(x.members.size(), 1u);
    EXPECT_EQ(memberBytes(x.decompressed->bytes, x.members[0]), pattern(12, 5));
    EXPECT_EQ(errorOf([&] { open(l, "/outer.narc/packed.bin"); }),
              "\"/outer.narc/packed.bin\": compressed data ends early");
    EXPECT_EQ(errorOf([&] { open(l, "/plain.bin"); }), "\"/plain.bin\" is not a NARC archive");
    EXPECT_EQ(errorOf([&] { open(l, "/missing.narc"); }), "No file \"/missing.narc\" in the image");
    EXPECT_EQ(errorOf([&] { open(l, "/outer.narc/none"); }),
              "No file \"/outer.narc/none\" in the image");
}

} // namespace
