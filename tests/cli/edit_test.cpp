// Changed images: build of an edited tree and replace straight from the image. Each output is
// read back with the program's own extraction: the edited file holds the new bytes, every other
// file its old ones, and no checksum is left wrong.
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/le.h"
#include "core/compress/compress.h"
#include "core/compress/encode.h"
#include "core/fs/filelist.h"
#include "core/fs/fnt.h"
#include "core/io/stream.h"
#include "tests/cli/run_cli.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::manyRowsOnOneRange;
using cartscope::fixture::Node;
using cartscope::fixture::pattern;
using cartscope::fixture::readFile;
using cartscope::fixture::systemImage;
using cartscope::fixture::TempDir;
using cartscope::fixture::writeFile;
using cartscope::testcli::cli;

namespace fs = std::filesystem;
using Files = std::map<std::string, Bytes>;

constexpr const char* kWarning = "the image no longer boots from a cartridge slot on a DSi or 3DS";
const Bytes kFooter{0x21, 0x06, 0xC0, 0xDE, 0x00, 0x0B, 0x00, 0x00, 0x90, 0x4A, 0x01, 0x00};

Bytes withFooter(Bytes b)
{
    b.insert(b.end(), kFooter.begin(), kFooter.end());
    return b;
}

// The image's DSi twin with an ARM9 HMAC present.
Bytes signedDsi()
{
    return systemImage({.dsi = true}).poke8(0x300, 1).build();
}

class Edit : public ::testing::Test {
protected:
    // Extracts `image` with its system files into a fresh folder; returns the tree.
    std::string extract(const std::string& image, const std::string& name)
    {
        const std::string dir = m_dir.file(name);
        fs::remove_all(dir);
        const auto r = cli({"extract", "--system", image, dir});
        EXPECT_EQ(r.status, 0) << r.err;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.is_directory() && !e.path().string().ends_with(".layout"))
                return e.path().string();
        return {};
    }
    Files filesOf(const std::string& image)
    {
        const std::string tree = extract(image, "check");
        return tree.empty() ? Files{} : cartscope::fixture::filesBelow(tree);
    }
    std::string image(const std::string& name, const Bytes& bytes)
    {
        writeFile(m_dir.file(name), bytes);
        return m_dir.file(name);
    }
    // The edited tree file gets a time no extraction gives it.
    static void edit(const std::string& path, const Bytes& bytes)
    {
        writeFile(path, bytes);
        const timespec times[2] = {{1000, 0}, {1000, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    // Every file of `after` is the one of `before`, but `changed` (relative paths) which holds
    // the bytes given; the header may differ, but its CRC-16 is right.
    void expectEdited(const Files& before, const std::string& out, const Files& changed)
    {
        const Files after = filesOf(out);
        ASSERT_EQ(after.size(), before.size());
        for (const auto& [path, bytes] : before) {
            SCOPED_TRACE(path);
            ASSERT_TRUE(after.count(path));
            const auto edited = changed.find(path);
            if (edited != changed.end()) {
                EXPECT_TRUE(after.at(path) == edited->second);
            } else if (path != "[system]/header.bin") {
                EXPECT_TRUE(after.at(path) == bytes);
            }
        }
        const auto fix = cli({"fix", out, m_dir.file("fixed.nds"), "--force"});
        EXPECT_EQ(fix.out.find("HeaderCRC16"), std::string::npos) << fix.out;
    }

    TempDir m_dir;
};

// The banner with its first title character changed (its CRC-16 then wrong).
Bytes bannerEdited(Bytes banner)
{
    banner[0x240] ^= 0x01;
    return banner;
}

// The bytes with the CRC-16 at `at` over [from, to) set as the image's checks want it.
std::function<Bytes(Bytes)> stamped(std::size_t at, std::size_t from, std::size_t to)
{
    return [=](Bytes b) {
        const std::uint16_t crc = cartscope::fixture::crc16Modbus(b.data() + from, to - from);
        b[at] = static_cast<std::uint8_t>(crc);
        b[at + 1] = static_cast<std::uint8_t>(crc >> 8);
        return b;
    };
}
const auto kBannerCrc = stamped(0x02, 0x20, 0x840);
const auto kHeaderCrc = stamped(0x15E, 0, 0x15E);
const std::function<Bytes(Bytes)> kAsGiven = [](Bytes b) { return b; };

TEST_F(Edit, ReplaceWritesTheNewBytesAndKeepsEveryOtherFile)
{
    struct Case {
        const char* name;
        std::function<Bytes()> image;
        std::string path;                              // as list shows it
        std::function<Bytes(const Files&)> made;       // the new bytes, from the old files
        std::function<Bytes(Bytes)> stored = kAsGiven; // what the image then holds
        std::vector<std::string> options = {};
        bool warns = false;
    };
    const Case cases[] = {
        {"a file that grows", [] { return systemImage({}).build(); }, "/b.txt",
         [](const Files&) { return pattern(0x1000, 21); }},
        {"a file that shrinks", [] { return systemImage({}).build(); }, "/data/a.bin",
         [](const Files&) {
             return Bytes{1, 2, 3};
         }},
        {"a padded image", [] { return systemImage({}).totalSize(0x40000).build(); }, "/b.txt",
         [](const Files&) { return pattern(0x3000, 22); }},
        {"ARM9 that grows", [] { return systemImage({}).build(); }, "/[system]/arm9.bin",
         [](const Files&) { return withFooter(pattern(0x2400, 23)); }},
        {"ARM7", [] { return systemImage({}).build(); }, "/[system]/arm7.bin",
         [](const Files&) { return pattern(0x900, 24); }},
        {"an overlay", [] { return systemImage({}).build(); }, "/[system]/overlay/overlay_0001.bin",
         [](const Files&) { return pattern(0x700, 25); }},
        {"the banner: CRC-16s follow", [] { return systemImage({}).build(); },
         "/[system]/banner.bin",
         [](const Files& f) { return bannerEdited(f.at("[system]/banner.bin")); }, kBannerCrc},
        {"the banner with --keep-banner-crcs",
         [] { return systemImage({}).build(); },
         "/[system]/banner.bin",
         [](const Files& f) { return bannerEdited(f.at("[system]/banner.bin")); },
         kAsGiven,
         {"--keep-banner-crcs"}},
        {"the header: its CRC-16 follows", [] { return systemImage({}).build(); },
         "/[system]/header.bin",
         [](const Files& f) {
             Bytes h = f.at("[system]/header.bin");
             h[0] = 'Z';
             return h;
         },
         kHeaderCrc},
        {"a signed DSi ARM9 warns",
         signedDsi,
         "/[system]/arm9.bin",
         [](const Files&) { return withFooter(pattern(0x2000, 26)); },
         kAsGiven,
         {},
         true},
        {"a DSi file outside the signed ranges", signedDsi, "/data/a.bin",
         [](const Files&) { return Bytes(100, 0x55); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = image("in.nds", c.image());
        const Files before = filesOf(in);
        const Bytes made = c.made(before);
        writeFile(m_dir.file("new.bin"), made);
        const std::string out = m_dir.file("out.nds");
        fs::remove(out);
        std::vector<std::string> args{"replace", in, out, c.path, m_dir.file("new.bin")};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto r = cli(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find(kWarning) != std::string::npos, c.warns) << r.err;
        expectEdited(before, out, {{c.path.substr(1), c.stored(made)}});
    }
}

TEST_F(Edit, ReplaceRefusals)
{
    const std::string in = image("in.nds", systemImage({}).build());
    writeFile(m_dir.file("new.bin"), Bytes{1});
    writeFile(m_dir.file("exists.nds"), Bytes{1});
    const std::string n = m_dir.file("new.bin");
    const std::string out = m_dir.file("out.nds");
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"unknown path", {in, out, "/nope.bin", n}, 1, "no file \"/nope.bin\""},
        {"OUT is the image", {in, in, "/b.txt", n}, 1, "is the input file"},
        {"OUT exists", {in, m_dir.file("exists.nds"), "/b.txt", n}, 1, "exists"},
        {"a path replaced twice", {in, out, "/b.txt", n, "/b.txt", n}, 1, "replaced twice"},
        {"a missing new file", {in, out, "/b.txt", m_dir.file("none")}, 1, "none"},
        {"a path without its file", {in, out, "/b.txt", n, "/data/a.bin"}, 2, "PATH FILE"},
    };
    const Bytes original = readFile(in);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"replace"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = cli(args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_TRUE(readFile(in) == original);
}

TEST_F(Edit, BuildWritesEditedTrees)
{
    struct Case {
        const char* name;
        std::function<Bytes()> image;
        std::string path; // in the tree
        std::function<Bytes(const Files&)> made;
        std::function<Bytes(Bytes)> stored = kAsGiven;
        std::vector<std::string> options = {};
        bool warns = false;
    };
    const Case cases[] = {
        {"a file that grows", [] { return systemImage({}).build(); }, "b.txt",
         [](const Files&) { return pattern(0x1000, 31); }},
        {"a file that shrinks", [] { return systemImage({}).build(); }, "data/a.bin",
         [](const Files&) { return Bytes{9}; }},
        {"the same size", [] { return systemImage({}).build(); }, "data/a.bin",
         [](const Files&) { return Bytes(100, 0x11); }},
        {"ARM9", [] { return systemImage({}).build(); }, "[system]/arm9.bin",
         [](const Files&) { return withFooter(pattern(0x1800, 32)); }},
        {"the banner", [] { return systemImage({}).build(); }, "[system]/banner.bin",
         [](const Files& f) { return bannerEdited(f.at("[system]/banner.bin")); }, kBannerCrc},
        {"the header", [] { return systemImage({}).build(); }, "[system]/header.bin",
         [](const Files& f) {
             Bytes h = f.at("[system]/header.bin");
             h[1] = 'Q';
             return h;
         },
         kHeaderCrc},
        {"a shared range: the others keep their bytes",
         [] { return manyRowsOnOneRange(3, 0x100).poke32(0x4C, 24).build(); }, "f1",
         [](const Files&) { return pattern(0x80, 33); }},
        {"--compact",
         [] { return systemImage({}).build(); },
         "b.txt",
         [](const Files&) { return pattern(0x1000, 34); },
         kAsGiven,
         {"--compact"}},
        {"a signed DSi ARM9 warns",
         signedDsi,
         "[system]/arm9.bin",
         [](const Files&) { return withFooter(pattern(0x800, 35)); },
         kAsGiven,
         {},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = image("in.nds", c.image());
        const std::string tree = extract(in, "tree");
        const Files before = cartscope::fixture::filesBelow(tree);
        const Bytes made = c.made(before);
        edit(tree + "/" + c.path, made);
        const std::string out = m_dir.file("out.nds");
        fs::remove(out);
        std::vector<std::string> args{"build", tree, out};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto r = cli(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("(1 edited)"), std::string::npos) << r.out;
        EXPECT_EQ(r.err.find(kWarning) != std::string::npos, c.warns) << r.err;
        expectEdited(before, out, {{c.path, c.stored(made)}});
    }
}

std::uint32_t word(const Bytes& b, std::size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

void setWord(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// `n` bytes ending in a code-compression footer that fits them: the whole file is the
// compressed region, 8 footer bytes, 0x80 bytes more once decompressed.
Bytes codeCompressed(std::size_t n)
{
    Bytes b = pattern(n, 27);
    setWord(b, n - 8, 0x08000000 | static_cast<std::uint32_t>(n));
    setWord(b, n - 4, 0x80);
    return b;
}

// The overlay table's word at 0x1C follows the replaced overlay: the compressed flag and size
// for a code-compressed file, neither for a stored one; the signed-overlay bit stays.
TEST_F(Edit, ReplacedOverlaysSetTheirTableWord)
{
    struct Case {
        const char* name;
        std::uint32_t before;
        Bytes made;
        std::uint32_t after;
    };
    const Case cases[] = {
        {"stored over compressed", 0x01000123, pattern(0x700, 28), 0},
        {"stored over signed and compressed", 0x03000123, pattern(0x700, 28), 0x02000000},
        {"compressed over stored", 0, codeCompressed(0x200), 0x01000200},
        {"compressed over compressed", 0x01000050, codeCompressed(0x90), 0x01000090},
        {"a footer that does not fit", 0x01000050,
         [] {
             Bytes b = codeCompressed(0x90);
             setWord(b, 0x90 - 8, 0x08000091); // the region passes the file's start
             return b;
         }(),
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = systemImage({}).build();
        // The ARM9 table's first entry names overlay 0, file 3.
        setWord(bytes, word(bytes, 0x50) + 0x1C, c.before);
        const std::string in = image("in.nds", bytes);
        const Files before = filesOf(in);
        writeFile(m_dir.file("new.bin"), c.made);
        const std::string out = m_dir.file("out.nds");
        fs::remove(out);
        const auto r =
            cli({"replace", in, out, "/[system]/overlay/overlay_0000.bin", m_dir.file("new.bin")});
        ASSERT_EQ(r.status, 0) << r.err;
        Bytes y9 = before.at("[system]/y9.bin");
        setWord(y9, 0x1C, c.after);
        expectEdited(before, out,
                     {{"[system]/overlay/overlay_0000.bin", c.made}, {"[system]/y9.bin", y9}});
    }
}

// The Download Play signature block stays right after the used size when an edit moves it,
// in build and replace alike; the other files keep their bytes.
TEST_F(Edit, TheDownloadPlayBlockFollowsTheUsedSize)
{
    struct Case {
        const char* name;
        std::size_t padTo; // 0: the image ends with the block
        std::string path;
        Bytes made;
        std::vector<std::string> options; // with --compact, build only
        bool moves;
    };
    const Case cases[] = {
        {"a trimmed image grows", 0, "b.txt", pattern(0x1000, 71), {}, true},
        {"a padded image grows", 0x40000, "b.txt", pattern(0x1000, 72), {}, true},
        {"an edit within the used area", 0, "data/a.bin", Bytes(50, 0x12), {}, false},
        {"--compact shrinks the used area", 0x40000, "data/a.bin", Bytes{1}, {"--compact"}, true},
    };
    Bytes block = pattern(0x88, 73);
    block[0] = 0x61, block[1] = 0x63, block[2] = 0x01, block[3] = 0x00;
    for (const Case& c : cases) {
        Bytes bytes = systemImage({}).build();
        const std::uint32_t used = word(bytes, 0x80);
        ASSERT_EQ(bytes.size(), used);
        bytes.insert(bytes.end(), block.begin(), block.end());
        if (c.padTo)
            bytes.resize(c.padTo, 0xFF);
        const std::string in = image("in.nds", bytes);
        const Files before = filesOf(in);
        writeFile(m_dir.file("new.bin"), c.made);
        for (const std::string command : {"build", "replace"}) {
            SCOPED_TRACE(std::string(c.name) + ", " + command);
            if (command == "replace" && !c.options.empty())
                continue;
            const std::string out = m_dir.file("out.nds");
            fs::remove(out);
            std::vector<std::string> args{"replace", in, out, "/" + c.path, m_dir.file("new.bin")};
            if (command == "build") {
                const std::string tree = extract(in, "tree");
                edit(tree + "/" + c.path, c.made);
                args = {"build", tree, out};
            }
            args.insert(args.end(), c.options.begin(), c.options.end());
            const auto r = cli(args);
            ASSERT_EQ(r.status, 0) << r.err;
            const Bytes written = readFile(out);
            const std::uint32_t now = word(written, 0x80);
            EXPECT_EQ(now != used, c.moves);
            ASSERT_LE(now + block.size(), written.size());
            EXPECT_TRUE(Bytes(written.begin() + now, written.begin() + now + 0x88) == block);
            if (c.padTo) {
                EXPECT_EQ(written.size(), c.padTo);
            }
            expectEdited(before, out, {{c.path, c.made}});
        }
    }
}

// The archive file of the tree that the archive tests below replace members of.
constexpr const char* kArchive = "/data/a.arc";

// A member of an archive in the tree, at any depth and through compression: each archive around
// it is rebuilt (a compressed one packed again with its own codec) and replaced like a file;
// every other member keeps its bytes.
TEST_F(Edit, ReplaceRebuildsTheArchivesAroundAMember)
{
    using cartscope::core::Codec;
    using cartscope::fixture::narcArchive;
    const auto pack = [](Codec c, const Bytes& b) { return cartscope::core::compress(c, b); };
    const Bytes x = pattern(0x40, 61), y = pattern(0x30, 62), z = pattern(0x50, 65);
    const Bytes inner = narcArchive({{"x.bin", x}, {"y.bin", y}}, true);
    // Unnamed, the second entry naming the first one's range.
    Bytes shared = narcArchive({{"p", x}, {"q", y}}, false);
    std::copy_n(shared.begin() + 0x1C, 8, shared.begin() + 0x24);
    struct Row {
        const char* name;
        Bytes stored;       // the archive file's bytes
        std::string member; // replaced, below the archive file
        // Each archive read back (below the archive file) with the members it must hold after
        // the edit, by the names extraction gives them: no bytes stand for the new bytes, one
        // byte for a rebuilt archive's first (its codec's type byte, or "N").
        std::vector<std::pair<std::string, Files>> holds;
    };
    const Row rows[] = {
        {"plain", inner, "/x.bin", {{"", {{"a/x.bin", {}}, {"a/y.bin", y}}}}},
        {"LZ10", pack(Codec::Lz10, inner), "/x.bin", {{"", {{"a/x.bin", {}}, {"a/y.bin", y}}}}},
        {"LZ11", pack(Codec::Lz11, inner), "/y.bin", {{"", {{"a/x.bin", x}, {"a/y.bin", {}}}}}},
        {"RLE", pack(Codec::Rle, inner), "/x.bin", {{"", {{"a/x.bin", {}}, {"a/y.bin", y}}}}},
        {"a plain archive in a plain one",
         narcArchive({{"in.narc", inner}, {"z.bin", z}}, true),
         "/in.narc/x.bin",
         {{"", {{"a/z.bin", z}, {"a/in.narc", {'N'}}}},
          {"/in.narc", {{"in/x.bin", {}}, {"in/y.bin", y}}}}},
        {"an LZ10 archive in an LZ11 one",
         pack(Codec::Lz11,
              narcArchive({{"z.bin", z}, {"in.carc", pack(Codec::Lz10, inner)}}, true)),
         "/in.carc/x.bin",
         {{"", {{"a/z.bin", z}, {"a/in.carc", {0x10}}}},
          {"/in.carc", {{"in/x.bin", {}}, {"in/y.bin", y}}}}},
        {"a range two entries name",
         shared,
         "/file_0001",
         {{"", {{"a/file_0000", x}, {"a/file_0001", {}}}}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string in =
            image("in.nds", ImageBuilder()
                                .root({Node::dir("data", {Node::file("a.arc", row.stored),
                                                          Node::file("b.bin", y)})})
                                .build());
        for (const Bytes& made : {pattern(0x100, 63), pattern(0x10, 64)}) {
            SCOPED_TRACE(made.size());
            writeFile(m_dir.file("new.bin"), made);
            const std::string out = m_dir.file("out.nds");
            fs::remove(out);
            const auto r = cli({"replace", in, out, kArchive + row.member, m_dir.file("new.bin")});
            ASSERT_EQ(r.status, 0) << r.err;
            const Files files = filesOf(out);
            EXPECT_TRUE(files.at("data/b.bin") == y);
            EXPECT_EQ(files.at("data/a.arc").at(0), row.stored.at(0)); // the same codec
            for (const auto& [archive, held] : row.holds) {
                SCOPED_TRACE(archive);
                const std::string dir = m_dir.file("members");
                fs::remove_all(dir);
                ASSERT_EQ(cli({"extract", "--narc", kArchive + archive, out, dir}).status, 0);
                const Files got = cartscope::fixture::filesBelow(dir);
                EXPECT_EQ(got.size(), held.size());
                for (const auto& [name, bytes] : held) {
                    SCOPED_TRACE(name);
                    ASSERT_TRUE(got.count(name));
                    if (bytes.size() == 1)
                        EXPECT_EQ(got.at(name).at(0), bytes[0]);
                    else
                        EXPECT_TRUE(got.at(name) == (bytes.empty() ? made : bytes));
                }
            }
        }
    }
}

// An archive on the way to a member that does not decode, a member the archive does not have,
// or an archive replaced together with its members: refused with the path named, nothing
// written.
TEST_F(Edit, ReplaceRefusesWhatTheArchivesCannotTake)
{
    using cartscope::core::Codec;
    using cartscope::fixture::narcArchive;
    const Bytes inner = narcArchive({{"x.bin", pattern(0x40, 61)}}, true);
    Bytes cut = cartscope::core::compress(Codec::Lz11, inner);
    cut.resize(cut.size() / 2);
    // An LZ10 stream of 0x20 bytes whose first token copies from 6 bytes before the start.
    const Bytes before{0x10, 0x20, 0x00, 0x00, 0x80, 0x00, 0x05, 0x00, 0x00, 0x00};
    const Bytes nested = narcArchive({{"in.narc", inner}}, true);
    struct Row {
        const char* name;
        Bytes stored;
        std::vector<std::string> members;
        std::string says;
    };
    const Row rows[] = {
        {"cut short", cut, {"/x.bin"}, "\"/data/a.arc\": compressed data ends early"},
        {"a reference before the start",
         narcArchive({{"in.carc", before}}, true),
         {"/in.carc/x.bin"},
         "\"/data/a.arc/in.carc\": a back-reference points before the start"},
        {"no such member", nested, {"/in.narc/w.bin"}, "\"/data/a.arc/in.narc/w.bin\""},
        {"no such member at the top", inner, {"/z.bin"}, "\"/data/a.arc/z.bin\""},
        {"an archive and its member",
         nested,
         {"/in.narc", "/in.narc/x.bin"},
         "\"/data/a.arc/in.narc\" is replaced and has members replaced"},
    };
    writeFile(m_dir.file("new.bin"), pattern(0x20, 66));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string in = image(
            "in.nds",
            ImageBuilder().root({Node::dir("data", {Node::file("a.arc", row.stored)})}).build());
        const std::string out = m_dir.file("out.nds");
        std::vector<std::string> args{"replace", in, out};
        for (const std::string& member : row.members) {
            args.push_back(kArchive + member);
            args.push_back(m_dir.file("new.bin"));
        }
        const auto r = cli(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out));
    }
}

// A compressed archive rebuilt is packed without back-references at distance 1 unless
// --no-vram-safe: either way it holds what the encoder makes of the rebuilt archive under that
// rule, and on a run of one byte the two differ.
TEST_F(Edit, ReplacePacksARebuiltArchiveVramSafeUnlessTold)
{
    using cartscope::core::Codec;
    const Bytes inner = cartscope::fixture::narcArchive({{"x.bin", pattern(0x40, 61)}}, true);
    const std::string in = image(
        "in.nds",
        ImageBuilder()
            .root({Node::dir("data",
                             {Node::file("a.arc", cartscope::core::compress(Codec::Lz10, inner))})})
            .build());
    writeFile(m_dir.file("new.bin"), Bytes(0x200, 0));
    std::vector<Bytes> stored;
    for (const bool vramSafe : {true, false}) {
        SCOPED_TRACE(vramSafe);
        const std::string out = m_dir.file("out.nds");
        fs::remove(out);
        std::vector<std::string> args{"replace", in, out, "/data/a.arc/x.bin",
                                      m_dir.file("new.bin")};
        if (!vramSafe)
            args.push_back("--no-vram-safe");
        ASSERT_EQ(cli(args).status, 0);
        stored.push_back(filesOf(out).at("data/a.arc"));
        EXPECT_TRUE(stored.back() ==
                    cartscope::core::compress(Codec::Lz10,
                                              cartscope::core::decompress(stored.back(), "a.arc"),
                                              {vramSafe}));
    }
    EXPECT_FALSE(stored[0] == stored[1]);
}

// Edits the tables cannot follow are refused, and nothing is written.
TEST_F(Edit, EditsTheTablesCannotFollowAreRefused)
{
    // The header's allocation table size says 0: no entry can move.
    const std::string in = image("in.nds", manyRowsOnOneRange(3, 0x100).build());
    const std::string tree = extract(in, "tree");
    edit(tree + "/f1", pattern(0x80, 51));
    writeFile(m_dir.file("new.bin"), pattern(0x80, 51));
    const std::string out = m_dir.file("out.nds");
    for (const auto& args :
         {std::vector<std::string>{"build", tree, out},
          std::vector<std::string>{"replace", in, out, "/f1", m_dir.file("new.bin")}}) {
        SCOPED_TRACE(args[0]);
        const auto r = cli(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("allocation entry of file ID 1"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out));
    }
}

// The tree build and replace are one engine: the same edit gives the same image.
TEST_F(Edit, BuildAndReplaceAgree)
{
    const std::string in = image("in.nds", systemImage({}).totalSize(0x30000).build());
    const std::string tree = extract(in, "tree");
    const Bytes grown = pattern(0x2345, 41);
    edit(tree + "/data/a.bin", grown);
    writeFile(m_dir.file("new.bin"), grown);
    ASSERT_EQ(cli({"build", tree, m_dir.file("built.nds")}).status, 0);
    ASSERT_EQ(cli({"replace", in, m_dir.file("replaced.nds"), "/data/a.bin", m_dir.file("new.bin")})
                  .status,
              0);
    EXPECT_TRUE(readFile(m_dir.file("built.nds")) == readFile(m_dir.file("replaced.nds")));
}

// A tree whose times changed but whose bytes did not (a copy): with --rehash the files that
// carry a digest are compared by it, and the image comes back byte for byte.
TEST_F(Edit, RehashComparesDigestsInsteadOfTimes)
{
    const Bytes original = manyRowsOnOneRange(3, 0x100).poke32(0x4C, 24).build();
    const std::string in = image("in.nds", original);
    const std::string tree = extract(in, "tree");
    edit(tree + "/f1", readFile(tree + "/f1")); // same bytes, another time
    const auto plain = cli({"build", tree, m_dir.file("plain.nds")});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(plain.out.find("(1 edited)"), std::string::npos) << plain.out;
    const auto rehash = cli({"build", "--rehash", tree, m_dir.file("rehash.nds")});
    ASSERT_EQ(rehash.status, 0) << rehash.err;
    EXPECT_EQ(rehash.out.find("edited"), std::string::npos) << rehash.out;
    EXPECT_TRUE(readFile(m_dir.file("rehash.nds")) == original);
    // A copy that kept its time but not its bytes is found by the digest.
    Bytes changed = readFile(tree + "/f2");
    changed[0] ^= 0xFF;
    struct stat st {};
    ::stat((tree + "/f2").c_str(), &st);
    writeFile(tree + "/f2", changed);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, (tree + "/f2").c_str(), times, 0);
    const auto copied = cli({"build", "--rehash", tree, m_dir.file("copied.nds")});
    EXPECT_NE(copied.out.find("(1 edited)"), std::string::npos) << copied.out;
}

// Named files a.bin 0, b.bin 1, d/c.bin 2, d/e.bin 3, f/g.bin 4, and an overlay on ID 5.
Bytes namedImage()
{
    return ImageBuilder()
        .root({Node::file("a.bin", pattern(0x40, 1)), Node::file("b.bin", pattern(0x50, 2)),
               Node::dir("d", {Node::file("c.bin", pattern(0x60, 3)),
                               Node::file("e.bin", pattern(0x70, 4))}),
               Node::dir("f", {Node::file("g.bin", pattern(0x90, 5))})})
        .extraFiles({pattern(0x110, 6)})
        .binary(0x20, 0x2C, pattern(0x400, 9))
        .binary(0x30, 0x3C, pattern(0x200, 7))
        .binary(0x50, 0x54, cartscope::fixture::overlayEntry(0, 5))
        .build();
}

// Each named file's ID, as the image's tables give it: "d/c.bin" -> 2.
std::map<std::string, std::uint32_t> idsOf(const Bytes& image)
{
    namespace core = cartscope::core;
    const core::MemoryStream stream(image);
    std::vector<core::TFileEntry> files;
    std::vector<core::TDirEntry> dirs;
    core::ParseFNT(stream, core::le32(image, 0x40), core::le32(image, 0x48), files, dirs);
    std::map<std::string, std::uint32_t> ids;
    core::forEachRow(files, dirs,
                     [&](const core::FileRow& row) { ids[row.path.substr(1)] = row.fileId; });
    return ids;
}

// Renamed files keep their IDs, files in new folders take new ones; a change that would shift
// other files' IDs is refused naming the folder, unless --renumber, which prints the ID map.
TEST_F(Edit, BuildFollowsRenamesAddsAndRemoves)
{
    using Ids = std::map<std::string, std::uint32_t>;
    const Ids before = {{"a.bin", 0}, {"b.bin", 1}, {"d/c.bin", 2}, {"d/e.bin", 3}, {"f/g.bin", 4}};
    const auto moved = [](std::string from, std::string to) {
        return [=](const std::string& tree) {
            fs::create_directories(fs::path(tree + "/" + to).parent_path());
            fs::rename(tree + "/" + from, tree + "/" + to);
        };
    };
    const auto added = [](std::string path) {
        return [=](const std::string& tree) {
            fs::create_directories(fs::path(tree + "/" + path).parent_path());
            writeFile(tree + "/" + path, pattern(0x123, 40));
        };
    };
    const auto removed = [](std::string path) {
        return [=](const std::string& tree) { fs::remove(tree + "/" + path); };
    };
    struct Case {
        const char* name;
        std::function<void(const std::string&)> change;
        std::vector<std::string> options;
        std::string says; // in the output (exit 0) or the error (exit 1)
        Ids ids;          // empty: refused
    };
    const Case cases[] = {
        {"unchanged", [](const std::string&) {}, {}, "Built", before},
        {"renamed in place",
         moved("d/c.bin", "d/z.bin"),
         {},
         "(1 renamed)",
         {{"a.bin", 0}, {"b.bin", 1}, {"d/z.bin", 2}, {"d/e.bin", 3}, {"f/g.bin", 4}}},
        {"a folder renamed",
         moved("f", "h"),
         {},
         "(1 renamed)",
         {{"a.bin", 0}, {"b.bin", 1}, {"d/c.bin", 2}, {"d/e.bin", 3}, {"h/g.bin", 4}}},
        {"a folder's last file moved to a new folder",
         moved("d/e.bin", "n/e.bin"),
         {},
         "(1 renamed)",
         {{"a.bin", 0}, {"b.bin", 1}, {"d/c.bin", 2}, {"n/e.bin", 3}, {"f/g.bin", 4}}},
        {"added to a new folder",
         added("new/x.bin"),
         {},
         "(1 added)",
         {{"a.bin", 0},
          {"b.bin", 1},
          {"d/c.bin", 2},
          {"d/e.bin", 3},
          {"f/g.bin", 4},
          {"new/x.bin", 6}}},
        {"added to an existing folder",
         added("d/x.bin"),
         {},
         "d/x.bin\" was added to the folder \"TREE/d\", which shifts",
         {}},
        {"removed from an existing folder",
         removed("d/c.bin"),
         {},
         "d/c.bin\" was removed from the folder \"TREE/d\", which shifts",
         {}},
        {"renamed and edited: one removed, one added",
         [](const std::string& tree) {
             fs::rename(tree + "/d/c.bin", tree + "/d/z.bin");
             writeFile(tree + "/d/z.bin", pattern(0x60, 41));
         },
         {},
         "d/c.bin\" was removed from the folder \"TREE/d\"",
         {}},
        {"moved into the middle of another folder's IDs",
         moved("d/c.bin", "f/c.bin"),
         {},
         "moved into or out of the folder \"TREE/f\"",
         {}},
        {"a new folder's name over 127 bytes",
         added(std::string(128, 'n') + "/x.bin"),
         {},
         "is longer than 127 bytes",
         {}},
        {"added with --renumber",
         added("d/x.bin"),
         {"--renumber"},
         "(1 added)\n4 -> 6  f/g.bin\n",
         {{"a.bin", 0},
          {"b.bin", 1},
          {"d/c.bin", 2},
          {"d/e.bin", 3},
          {"d/x.bin", 4},
          {"f/g.bin", 6}}},
        {"removed with --renumber",
         removed("d/c.bin"),
         {"--renumber"},
         "(1 removed)\n3 -> 2  d/e.bin\n4 -> 3  f/g.bin\n",
         {{"a.bin", 0}, {"b.bin", 1}, {"d/e.bin", 2}, {"f/g.bin", 3}}},
        {"moved with --renumber",
         moved("d/c.bin", "f/c.bin"),
         {"--renumber"},
         "(1 renamed)\n2 -> 3  f/c.bin\n3 -> 2  d/e.bin\n",
         {{"a.bin", 0}, {"b.bin", 1}, {"d/e.bin", 2}, {"f/c.bin", 3}, {"f/g.bin", 4}}},
    };
    const Bytes original = namedImage();
    const std::string in = image("in.nds", original);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tree = extract(in, "tree");
        c.change(tree);
        const std::string out = m_dir.file("out.nds");
        fs::remove(out);
        std::vector<std::string> args{"build", tree, out};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto r = cli(args);
        std::string says = c.says;
        if (const auto at = says.find("TREE"); at != std::string::npos)
            says.replace(at, 4, tree);
        if (c.ids.empty()) {
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
            EXPECT_FALSE(fs::exists(out));
            continue;
        }
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(says), std::string::npos) << r.out;
        const Bytes built = readFile(out);
        EXPECT_EQ(idsOf(built), c.ids);
        if (std::string(c.name) == "unchanged") {
            EXPECT_TRUE(built == original);
        }
        // The built image holds the tree: every file, under its new name.
        Files expected = cartscope::fixture::filesBelow(tree);
        expected.erase("[system]/header.bin");
        Files after = filesOf(out);
        after.erase("[system]/header.bin");
        EXPECT_TRUE(after == expected);
        const auto fix = cli({"fix", out, m_dir.file("fixed.nds"), "--force"});
        EXPECT_EQ(fix.out.find("HeaderCRC16"), std::string::npos) << fix.out;
    }
}

} // namespace
