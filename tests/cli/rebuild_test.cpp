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

#include "tests/cli/run_cli.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::le32;
using cartscope::fixture::Node;
using cartscope::fixture::pattern;
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
        SCOPED_TRACE(c.name);
        const Bytes bytes = c.image();
        const auto r = cli({"extract", "--system", image(bytes), out()});
        ASSERT_EQ(r.status, 0) << r.err;
        expectRoundTrip(*this, treeIn(out()), bytes, m_dir.file("built.nds"));
        fs::remove_all(out());
    }
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
