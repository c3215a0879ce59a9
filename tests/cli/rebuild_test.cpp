// The round trip: extract --system writes a tree and its layout, build writes the image back,
// byte for byte; and what build refuses.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/le.h"
#include "core/compress/code.h"
#include "core/compress/encode.h"
#include "core/rebuild/layout.h"
#include "tests/cli/run_cli.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::le32;
using cartscope::fixture::Node;
using cartscope::fixture::pattern;
using cartscope::fixture::prose;
using cartscope::fixture::readFile;
using cartscope::fixture::systemImage;
using cartscope::fixture::TempDir;
using cartscope::fixture::writeFile;
using cartscope::testcli::cli;

namespace fs = std::filesystem;

// Root files f0, f1, ... with the given allocation entries, and data to find in every range.
ImageBuilder rootFiles(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& ranges)
{
    Bytes fnt;
    le32(fnt, 8);     // root sub-table right after the main table
    fnt.push_back(0); // first file ID 0
    fnt.push_back(0);
    fnt.push_back(1); // one directory
    fnt.push_back(0);
    Bytes fat;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const std::string name = "f" + std::to_string(i);
        fnt.push_back(static_cast<std::uint8_t>(name.size()));
        fnt.insert(fnt.end(), name.begin(), name.end());
        le32(fat, ranges[i].first);
        le32(fat, ranges[i].second);
    }
    fnt.push_back(0);
    return cartscope::fixture::withTables(fnt, fat).pokeBytes(0xD000, pattern(0x2000, 7));
}

constexpr std::uint32_t kArm9Ram = 0x02000000;

// An ARM9 binary with module parameters at 0x800 (magic words at +0x1C and +0x20).
Bytes arm9Plain(int seed)
{
    Bytes b = prose(0x9000, seed);
    const auto put = [&](std::size_t at, std::uint32_t v) { cartscope::core::putLe32(b, at, v); };
    put(0x814, 0), put(0x81C, 0xDEC00621), put(0x820, 0x2106C0DE);
    return b;
}

Bytes packed(cartscope::core::Codec codec, const Bytes& data)
{
    return cartscope::core::compress(codec, data);
}

// Files of every stream codec, one that only begins like LZ10 (it ends early), a code-compressed
// ARM9 binary and a code-compressed overlay (file ID 8, its table entry flagged).
ImageBuilder compressedImage()
{
    using cartscope::core::Codec;
    // Noise packs to more than it was; cut, its first 4 KiB still decode.
    Bytes cut = packed(Codec::Lz10, cartscope::fixture::noise(0x3000, 12345));
    cut.resize(0x1800);
    ImageBuilder b;
    b.root({Node::file("lz10.bin", packed(Codec::Lz10, prose(0x3000, 1))),
            Node::file("lz11.bin", packed(Codec::Lz11, prose(0x3000, 2))),
            Node::dir("d", {Node::file("lz77.bin", packed(Codec::Lz77Lz10, prose(0x800, 3))),
                            Node::file("huff4.bin", packed(Codec::Huffman4, prose(0x900, 4))),
                            Node::file("huff8.bin", packed(Codec::Huffman8, prose(0xA00, 5))),
                            Node::file("rle.bin", packed(Codec::Rle, Bytes(0x1000, 0x42)))}),
            Node::file("cut.bin", cut), Node::file("plain.txt", std::string("plain"))});
    b.banner(cartscope::fixture::sampleBanner());
    const Bytes overlay = *cartscope::core::compressCode(prose(0x2000, 6));
    b.extraFiles({overlay});
    b.poke32(0x28, kArm9Ram);
    b.binary(0x20, 0x2C, cartscope::core::compressArm9(arm9Plain(7), kArm9Ram, "arm9.bin"));
    b.binary(0x30, 0x3C, pattern(0x800, 7));
    Bytes y9 = cartscope::fixture::overlayEntry(0, 8);
    cartscope::core::putLe32(y9, 0x1C, 0x01000000 | static_cast<std::uint32_t>(overlay.size()));
    b.binary(0x50, 0x54, y9);
    return b;
}

struct Case {
    const char* name;
    std::function<Bytes()> image;
};

const std::vector<Case>& fixtureCases()
{
    static const std::vector<Case> cases = {
        {"system files", [] { return systemImage({}).build(); }},
        {"ARM9 without footer", [] { return systemImage({.footer = false}).build(); }},
        {"overlay IDs equal file IDs", [] { return systemImage({.idsMatch = true}).build(); }},
        {"DSi", [] { return systemImage({.dsi = true}).build(); }},
        {"padded with 0xFF and data in a gap",
         [] {
             return systemImage({}).totalSize(0x40000).pokeBytes(0x3E000, pattern(700, 3)).build();
         }},
        {"shared ranges", [] { return cartscope::fixture::manyRowsOnOneRange(5, 0x100).build(); }},
        {"out of order, overlapping, empty and negative ranges",
         [] {
             return rootFiles({{0xE000, 0xE100},
                               {0xD000, 0xD080},
                               {0xE080, 0xE180},
                               {0xD400, 0xD400},
                               {0xD800, 0xD700}})
                 .build();
         }},
        {"same-named files and names that need cleaning",
         [] {
             return ImageBuilder()
                 .title("")
                 .root({Node::file("a.bin", std::string("one")),
                        Node::file("a.bin", std::string("two")),
                        Node::dir("d", cartscope::fixture::escapingTree())})
                 .build();
         }},
        {"the sample",
         [] { return readFile(std::string(CARTSCOPE_SOURCE_DIR) + "/samples/sample.nds"); }},
        {"compressed files, ARM9 and overlay", [] { return compressedImage().build(); }},
    };
    return cases;
}

// The tree extract wrote into `dir`: the folder beside the one layout there.
std::string treeIn(const std::string& dir)
{
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string p = e.path().string();
        if (p.size() > 7 && p.ends_with(".layout"))
            return p.substr(0, p.size() - 7);
    }
    return {};
}

class Rebuild : public ::testing::Test {
protected:
    std::string image(const Bytes& bytes)
    {
        const std::string path = m_dir.file("x.nds");
        writeFile(path, bytes);
        return path;
    }
    std::string out() const { return m_dir.file("out"); }

    // Extracts with the system files and returns the tree (empty when extract failed).
    std::string extract(const std::string& path)
    {
        fs::remove_all(out());
        const auto r = cli({"extract", "--system", path, out()});
        if (r.status != 0)
            return {};
        return treeIn(out());
    }

    TempDir m_dir;
};

// Every image whose extraction succeeds builds back to the same bytes.
void expectRoundTrip(Rebuild& t, const std::string& tree, const Bytes& original,
                     const std::string& built)
{
    ASSERT_FALSE(tree.empty()) << "extract --system exited 0 without a layout";
    fs::remove(built);
    const auto r = cli({"build", tree, built});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readFile(built) == original) << "the image built differs";
    (void)t;
}

TEST_F(Rebuild, EveryFixtureImageBuildsBackByteForByte)
{
    for (const Case& c : fixtureCases()) {
        for (const bool decompress : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (decompress ? ", decompressed" : ""));
            const Bytes bytes = c.image();
            std::vector<std::string> args{"extract", "--system", image(bytes), out()};
            if (decompress)
                args.insert(args.begin() + 1, "--decompress");
            const auto r = cli(args);
            ASSERT_EQ(r.status, 0) << r.err;
            expectRoundTrip(*this, treeIn(out()), bytes, m_dir.file("built.nds"));
            fs::remove_all(out());
        }
    }
}

// The layout's sizes and times are the files the run wrote, looked up while it went on: also when
// the run writes over an earlier extraction (whose files must not be the ones recorded) and for
// a file the plan renamed to keep same-named files apart.
TEST_F(Rebuild, TheLayoutRecordsEachFileAsTheRunLeftIt)
{
    const auto tree = [](int seed) {
        std::vector<Node> files;
        for (int k = 0; k < 300; ++k)
            files.push_back(Node::file("f" + std::to_string(k) + ".bin",
                                       pattern(static_cast<std::size_t>(40 + (k * seed) % 700),
                                               static_cast<unsigned>(seed + k))));
        files.push_back(Node::file("f0.bin", std::string("same name")));
        return ImageBuilder().title("T").root({Node::dir("d", files)}).build();
    };
    for (const int seed : {3, 5}) {
        SCOPED_TRACE(seed);
        const auto r = cli({"extract", "--system", image(tree(seed)), out()});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string root = treeIn(out());
        ASSERT_FALSE(root.empty());
        const Bytes text = readFile(root + ".layout/layout.json");
        const auto layout = cartscope::core::rebuild::decodeLayout(
            std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), "x");
        std::size_t checked = 0;
        for (const auto& region : layout.regions) {
            if (!region.mtimeNs)
                continue;
            struct stat st {};
            ASSERT_EQ(::lstat((root + "/" + region.path).c_str(), &st), 0) << region.path;
            EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), region.size) << region.path;
            EXPECT_EQ(std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec,
                      *region.mtimeNs)
                << region.path;
            ++checked;
        }
        EXPECT_GT(checked, 301u);
        expectRoundTrip(*this, root, tree(seed), m_dir.file("built.nds"));
        // The second run writes over this one's tree.
        fs::remove_all(root + ".layout");
    }
}

TEST_F(Rebuild, DecompressWritesPlainFilesAndKeepsTheImageBytesInTheLayout)
{
    const Bytes bytes = compressedImage().build();
    const auto r = cli({"extract", "--decompress", "--system", image(bytes), out()});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string tree = treeIn(out());
    ASSERT_FALSE(tree.empty());
    const std::map<std::string, Bytes> plain = {
        {"lz10.bin", prose(0x3000, 1)},
        {"lz11.bin", prose(0x3000, 2)},
        {"d/lz77.bin", prose(0x800, 3)},
        {"d/huff4.bin", prose(0x900, 4)},
        {"d/huff8.bin", prose(0xA00, 5)},
        {"d/rle.bin", Bytes(0x1000, 0x42)},
        {"[system]/overlay/overlay_0000.bin", prose(0x2000, 6)},
    };
    for (const auto& [path, want] : plain) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(readFile(tree + "/" + path) == want);
        // The image's own bytes, as extract without --decompress writes them.
        EXPECT_TRUE(fs::exists(tree + ".layout/original/" + path));
    }
    // The ARM9 runs as an uncompressed binary: its compressed end is 0.
    Bytes arm9 = arm9Plain(7);
    EXPECT_TRUE(readFile(tree + "/[system]/arm9.bin") == arm9);
    // A file that begins like LZ10 but ends early is written as it is, and said so.
    EXPECT_EQ(readFile(tree + "/cut.bin").size(), 0x1800u);
    EXPECT_FALSE(fs::exists(tree + ".layout/original/cut.bin"));
    EXPECT_NE(r.err.find("warning: /cut.bin:"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(", 8 decompressed"), std::string::npos) << r.out;
    const Bytes json = readFile(tree + ".layout/layout.json");
    const std::string text(json.begin(), json.end());
    for (const char* codec : {"LZ10", "LZ11", "LZ77+LZ10", "Huffman4", "Huffman8", "RLE", "code"})
        EXPECT_NE(text.find(std::string("\"codec\": \"") + codec + "\""), std::string::npos)
            << codec;
}

TEST_F(Rebuild, EditedDecompressedFilesArePackedAgainAndReadBack)
{
    const Bytes bytes = compressedImage().build();
    ASSERT_EQ(cli({"extract", "--decompress", "--system", image(bytes), out()}).status, 0);
    const std::string tree = treeIn(out());
    ASSERT_FALSE(tree.empty());

    // A file touched but not changed: packed again without --rehash, written as it was with it.
    const auto touch = [](const std::string& path) {
        fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(1));
    };
    touch(tree + "/lz11.bin");
    const std::string built = m_dir.file("built.nds");
    ASSERT_EQ(cli({"build", "--rehash", tree, built}).status, 0);
    EXPECT_TRUE(readFile(built) == bytes);

    // Laid out again, the unchanged files are the image's own bytes at their new places.
    const std::string compact = m_dir.file("compact.nds");
    ASSERT_EQ(cli({"build", "--compact", tree, compact}).status, 0);
    const std::string relaid = m_dir.file("relaid");
    ASSERT_EQ(cli({"extract", "--decompress", "--system", compact, relaid}).status, 0);
    auto before = cartscope::fixture::filesBelow(tree);
    auto after = cartscope::fixture::filesBelow(treeIn(relaid));
    before.erase("[system]/header.bin"), after.erase("[system]/header.bin");
    EXPECT_TRUE(before == after);

    // Edits: a stream file that grows, the ARM9 binary, the overlay.
    const Bytes lz11 = prose(0x5000, 9);
    Bytes arm9 = arm9Plain(7);
    arm9[0x5000] ^= 0xFF;
    const Bytes overlay = prose(0x2400, 11);
    writeFile(tree + "/lz11.bin", lz11);
    writeFile(tree + "/[system]/arm9.bin", arm9);
    writeFile(tree + "/[system]/overlay/overlay_0000.bin", overlay);
    fs::remove(built);
    const auto b = cli({"build", tree, built});
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_NE(b.out.find("(4 edited)"), std::string::npos) << b.out; // and the overlay table

    const std::string again = m_dir.file("again");
    const auto r = cli({"extract", "--decompress", "--system", built, again});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string tree2 = treeIn(again);
    EXPECT_TRUE(readFile(tree2 + "/lz11.bin") == lz11);
    EXPECT_TRUE(readFile(tree2 + "/[system]/arm9.bin") == arm9);
    EXPECT_TRUE(readFile(tree2 + "/[system]/overlay/overlay_0000.bin") == overlay);
    EXPECT_TRUE(readFile(tree2 + "/lz10.bin") == prose(0x3000, 1));
    // Packed again, not stored: the image holds the compressed forms.
    EXPECT_LT(readFile(tree2 + ".layout/original/lz11.bin").size(), lz11.size());
    EXPECT_LT(readFile(tree2 + ".layout/original/[system]/arm9.bin").size(), arm9.size());
}

TEST_F(Rebuild, EveryCorpusImageThatExtractsBuildsBackByteForByte)
{
    std::size_t extracted = 0, tried = 0;
    for (const char* corpus : {"load", "fnt", "narc"}) {
        const fs::path dir = fs::path(CARTSCOPE_SOURCE_DIR) / "fuzz/corpus" / corpus;
        for (const auto& e : fs::directory_iterator(dir)) {
            SCOPED_TRACE(e.path().string());
            const Bytes bytes = readFile(e.path().string());
            ++tried;
            fs::remove_all(out());
            if (cli({"extract", "--system", image(bytes), out()}).status != 0)
                continue;
            ++extracted;
            expectRoundTrip(*this, treeIn(out()), bytes, m_dir.file("built.nds"));
        }
    }
    // Most of the corpus is hostile (system files past the end, which extract refuses); a few
    // images extract whole.
    EXPECT_GE(extracted, 5u) << extracted << " of " << tried;
}

TEST_F(Rebuild, ExtractWritesNoLayoutForPartOfTheImage)
{
    const std::string path = image(systemImage({}).build());
    for (const std::vector<std::string>& args : {std::vector<std::string>{"extract", path, out()},
                                                 {"extract", "--system-only", path, out()},
                                                 {"extract", "--system", path, out(), "/b.txt"}}) {
        ASSERT_EQ(cli(args).status, 0);
        EXPECT_EQ(treeIn(out()), "");
        fs::remove_all(out());
    }
}

// One change to the tree, its layout or OUT, and what build says; nothing is written.
struct Refusal {
    const char* name;
    std::function<void(const std::string& tree, const std::string& built)> change;
    const char* says;
    int status = 1;
};

TEST_F(Rebuild, BuildRefusesWhatItCannotTrustAndWritesNothing)
{
    const auto touch = [](const std::string& path) {
        const auto t = fs::last_write_time(path);
        fs::last_write_time(path, t + std::chrono::seconds(1));
    };
    const auto editLayout = [](const std::string& tree, const std::string& from,
                               const std::string& to) {
        const std::string path = tree + ".layout/layout.json";
        const Bytes b = readFile(path);
        std::string text(b.begin(), b.end());
        const auto at = text.find(from);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, from.size(), to);
        writeFile(path, Bytes(text.begin(), text.end()));
    };
    const std::vector<Refusal> refusals = {
        {"a header of another size",
         [](const std::string& tree, const std::string&) {
             writeFile(tree + "/[system]/header.bin", Bytes(0x300, 0));
         },
         "header.bin must stay 512 bytes long"},
        {"a banner over 1 MiB",
         [&](const std::string& tree, const std::string&) {
             writeFile(tree + "/[system]/banner.bin", Bytes(0x100001, 0));
             touch(tree + "/[system]/banner.bin");
         },
         "banner.bin\" is larger than 1048576 bytes"},
        {"a symbolic link",
         [](const std::string& tree, const std::string&) {
             fs::remove(tree + "/b.txt");
             fs::create_symlink("/etc/passwd", tree + "/b.txt");
         },
         "symbolic link: \""},
        {"a FIFO",
         [](const std::string& tree, const std::string&) { ::mkfifo((tree + "/p").c_str(), 0600); },
         "which is not a regular file"},
        {"a file added",
         [](const std::string& tree, const std::string&) {
             writeFile(tree + "/new.bin", Bytes{1});
         },
         "new.bin\" was added to the folder"},
        {"a file added to the system files",
         [](const std::string& tree, const std::string&) {
             writeFile(tree + "/[system]/new.bin", Bytes{1});
         },
         "new.bin\" is not one of the image's system files"},
        {"a name over 127 bytes",
         [](const std::string& tree, const std::string&) {
             writeFile(tree + "/" + std::string(128, 'n'), Bytes{1});
         },
         "is longer than 127 bytes"},
        {"a file removed",
         [](const std::string& tree, const std::string&) { fs::remove(tree + "/b.txt"); },
         "b.txt\" was removed from the folder"},
        {"a system file removed",
         [](const std::string& tree, const std::string&) {
             fs::remove(tree + "/[system]/arm7.bin");
         },
         "arm7.bin\" is missing"},
        {"a gap file removed",
         [](const std::string& tree, const std::string&) {
             for (const auto& e : fs::directory_iterator(tree + ".layout/gaps")) {
                 fs::remove(e.path());
                 break;
             }
         },
         "Cannot open file"},
        {"a region past the image",
         [&](const std::string& tree, const std::string&) {
             editLayout(tree, "\"kind\": \"header\", \"offset\": 0",
                        "\"kind\": \"header\", \"offset\": 4294967295");
         },
         "has a region past the end of the image"},
        {"an image past 4 GiB",
         [&](const std::string& tree, const std::string&) {
             editLayout(tree, "\"imageSize\": ", "\"imageSize\": 99999999999");
         },
         "describes an image past 4 GiB"},
        {"no layout, no header to lay out afresh",
         [](const std::string& tree, const std::string&) {
             fs::remove_all(tree + ".layout");
             fs::remove(tree + "/[system]/header.bin");
         },
         "No layout \""},
        {"OUT exists",
         [](const std::string&, const std::string& built) {
             writeFile(built, Bytes{'o', 'l', 'd'});
         },
         "exists; use --force to replace it"},
        {"OUT inside the tree", [](const std::string&, const std::string&) {},
         "lies inside the tree or its layout"},
    };
    const std::string path = image(systemImage({}).build());
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        const std::string tree = extract(path);
        ASSERT_FALSE(tree.empty());
        const bool inside = std::string(r.name) == "OUT inside the tree";
        const std::string built = inside ? tree + "/built.nds" : m_dir.file("built.nds");
        fs::remove(built);
        r.change(tree, built);
        const bool existed = fs::exists(built);
        const auto result = cli({"build", tree, built});
        EXPECT_EQ(result.status, r.status);
        EXPECT_NE(result.err.find(r.says), std::string::npos) << result.err;
        if (existed)
            EXPECT_TRUE(readFile(built) == (Bytes{'o', 'l', 'd'}));
        else
            EXPECT_FALSE(fs::exists(built));
        // Nothing is left beside OUT either.
        for (const auto& e : fs::directory_iterator(fs::path(built).parent_path()))
            EXPECT_FALSE(e.path().filename().string().starts_with(".cartscope-")) << e.path();
    }
}

TEST_F(Rebuild, ForceReplacesAnExistingOutputWholeAndUsageErrorsExitTwo)
{
    const Bytes bytes = systemImage({.dsi = true}).build();
    const std::string tree = extract(image(bytes));
    const std::string built = m_dir.file("built.nds");
    writeFile(built, Bytes{'o', 'l', 'd'});
    const auto r = cli({"build", "--force", tree, built});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readFile(built) == bytes);
    // A file of the tree as OUT is refused, --force or not.
    const auto self = cli({"build", "--force", tree, tree + "/b.txt"});
    EXPECT_EQ(self.status, 1);
    EXPECT_EQ(cli({"build", tree}).status, 2);
    EXPECT_EQ(cli({"build", "--system", tree, built}).status, 2);
}

// A tree without a layout, as a homebrew developer keeps one: a 0x4000-byte header whose ARM9
// entry lies 0x800 into its RAM, the binaries, one ARM9 overlay, a banner and a few files (one
// hidden, which is left out).
std::string freshTree(const std::string& dir)
{
    const std::string tree = dir + "/HOMEBREW";
    fs::create_directories(tree + "/[system]/overlay");
    fs::create_directories(tree + "/data/sub");
    Bytes header(0x200, 0);
    const auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            header[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    std::copy_n("HOMEBREW", 8, header.begin());
    std::copy_n("HBRW", 4, header.begin() + 12);
    put32(0x24, 0x02000800);
    put32(0x28, 0x02000000);
    put32(0x84, 0x4000);
    writeFile(tree + "/[system]/header.bin", header);
    writeFile(tree + "/[system]/arm9.bin", pattern(5000, 1));
    writeFile(tree + "/[system]/arm7.bin", pattern(3001, 2));
    Bytes y9;
    const Bytes entry = cartscope::fixture::overlayEntry(0, 0);
    y9.insert(y9.end(), entry.begin(), entry.end());
    writeFile(tree + "/[system]/y9.bin", y9);
    writeFile(tree + "/[system]/overlay/overlay_0000.bin", pattern(700, 3));
    writeFile(tree + "/[system]/banner.bin", pattern(0x840, 4));
    writeFile(tree + "/b.txt", Bytes{'h', 'i'});
    writeFile(tree + "/data/a.bin", pattern(1000, 5));
    writeFile(tree + "/data/sub/c.bin", pattern(3, 6));
    writeFile(tree + "/data/.hidden", Bytes{1});
    return tree;
}

TEST_F(Rebuild, FreshTreeBuildsAnImageThatChecksAndHoldsTheTree)
{
    const std::string tree = freshTree(m_dir.path());
    const std::string built = m_dir.file("fresh.nds");
    const auto r = cli({"build", tree, built});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("from 9 files"), std::string::npos) << r.out;
    const Bytes image = readFile(built);

    // The three header checks hold.
    const auto info = cli({"info", "--json", built});
    ASSERT_EQ(info.status, 0);
    EXPECT_EQ(info.out.find("\"ok\": false"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("\"ok\": true"), std::string::npos) << info.out;

    // The files come back out as they went in, the hidden one left out.
    const std::string files = m_dir.file("files");
    ASSERT_EQ(cli({"extract", built, files}).status, 0);
    auto below = cartscope::fixture::filesBelow(files);
    std::map<std::string, Bytes> expected;
    for (const auto& [path, bytes] : cartscope::fixture::filesBelow(tree))
        if (!path.starts_with("[system]") && path != "data/.hidden")
            expected["HOMEBREW/" + path] = bytes;
    EXPECT_EQ(below, expected);

    // Extracted with its system files and laid out again, the image is the same.
    const std::string again = extract(built);
    ASSERT_FALSE(again.empty());
    fs::remove_all(again + ".layout");
    const std::string rebuilt = m_dir.file("again.nds");
    ASSERT_EQ(cli({"build", again, rebuilt}).status, 0);
    EXPECT_TRUE(readFile(rebuilt) == image);

    // --fill ff: the holes (between the header and the ARM9 at 0x4000) are 0xFF, and the
    // checks still hold.
    const std::string filled = m_dir.file("filled.nds");
    ASSERT_EQ(cli({"build", "--fill", "ff", tree, filled}).status, 0);
    const Bytes ff = readFile(filled);
    ASSERT_EQ(ff.size(), image.size());
    EXPECT_TRUE(std::all_of(ff.begin() + 0x200, ff.begin() + 0x4000,
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::all_of(image.begin() + 0x200, image.begin() + 0x4000,
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(ff.begin() + 0x4000, ff.begin() + 0x5B88, image.begin() + 0x4000));
    const auto ffInfo = cli({"info", "--json", filled});
    EXPECT_EQ(ffInfo.out.find("\"ok\": false"), std::string::npos) << ffInfo.out;
    EXPECT_EQ(cli({"build", "--fill", "7", tree, m_dir.file("x.nds")}).status, 2);
}

TEST_F(Rebuild, FreshTreeRefusalsNameThePathAndWriteNothing)
{
    const std::vector<Refusal> refusals = {
        {"a symbolic link",
         [](const std::string& tree, const std::string&) {
             fs::create_symlink("/etc/passwd", tree + "/data/link");
         },
         "symbolic link: \""},
        {"a FIFO",
         [](const std::string& tree, const std::string&) {
             ::mkfifo((tree + "/data/p").c_str(), 0600);
         },
         "data/p\", which is not a regular file"},
        {"a name over 127 bytes",
         [](const std::string& tree, const std::string&) {
             writeFile(tree + "/" + std::string(128, 'n'), Bytes{1});
         },
         "is longer than 127 bytes"},
        {"a system file without a place",
         [](const std::string& tree, const std::string&) {
             writeFile(tree + "/[system]/arm9i.bin", Bytes{1});
         },
         "arm9i.bin\" has no place"},
        {"no ARM7",
         [](const std::string& tree, const std::string&) {
             fs::remove(tree + "/[system]/arm7.bin");
         },
         "arm7.bin\" is missing"},
        {"an overlay missing from the run",
         [](const std::string& tree, const std::string&) {
             fs::rename(tree + "/[system]/overlay/overlay_0000.bin",
                        tree + "/[system]/overlay/overlay_0001.bin");
         },
         "\"overlay_0001.bin\" is not overlay_0000.bin"},
        {"OUT exists",
         [](const std::string&, const std::string& built) {
             writeFile(built, Bytes{'o', 'l', 'd'});
         },
         "exists"},
        {"OUT inside the tree", [](const std::string&, const std::string&) {},
         "lies inside the tree"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        const std::string tree = freshTree(dir.path());
        const bool inside = std::string(r.name) == "OUT inside the tree";
        const std::string built = inside ? tree + "/data/built.nds" : dir.file("built.nds");
        r.change(tree, built);
        const bool existed = fs::exists(built);
        const auto result = cli({"build", tree, built});
        EXPECT_EQ(result.status, r.status);
        EXPECT_NE(result.err.find(r.says), std::string::npos) << result.err;
        if (existed)
            EXPECT_TRUE(readFile(built) == (Bytes{'o', 'l', 'd'}));
        else
            EXPECT_FALSE(fs::exists(built));
    }
}

} // namespace
