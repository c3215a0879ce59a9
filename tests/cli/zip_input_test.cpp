// Images in .zip and .7z archives through the command line: a stored member is read where it
// lies, a deflated one inflated into memory, one whose records disagree (or a 7z member) decoded
// by libarchive into memory, and every command prints and writes the same for all of them.
#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

#include <gtest/gtest.h>

#include "archive/archive_source.h"
#include "tests/archive/zip_builder.h"
#include "tests/cli/run_cli.h"
#include "tests/fixture/image_builder.h"

namespace {

namespace fs = std::filesystem;
using cartscope::fixture::Bytes;
using cartscope::fixture::filesBelow;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::Node;
using cartscope::testcli::cli;
using namespace cartscope::testzip;

std::string replaceAll(std::string s, const std::string& from, const std::string& to)
{
    for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

TEST(CliZip, MembersReadWithoutACopyShowWhatACopyShows)
{
    PrivateCache cache;
    const Bytes image = ImageBuilder()
                            .title("ZIPPED")
                            .gameCode("AZPE")
                            .banner(cartscope::fixture::sampleBanner())
                            .root({Node::file("big.bin", noise(3 << 20, 5)),
                                   Node::dir("d", {Node::file("small.txt", "small")})})
                            .build();
    const std::string stored = cache.dir().file("stored");
    const std::string deflated = cache.dir().file("deflated");
    const std::string copied = cache.dir().file("copied");
    const std::string sevenZip = cache.dir().file("sevenzip");
    fs::create_directories(sevenZip);
    cartscope::fixture::writeFile(
        sevenZip + "/ab.7z",
        buildSevenZip({Entry::file("readme.txt", "hi"), Entry::file("game.nds", image)}, "lzma2"));
    for (const auto& [folder, options] : {std::pair{stored, Options{false, false, {}}},
                                          std::pair{deflated, Options{true, false, {}}},
                                          std::pair{copied, Options{true, false, {}}}}) {
        fs::create_directories(folder);
        Bytes zip =
            buildZip({Entry::file("readme.txt", "hi"), Entry::file("game.nds", image)}, options);
        if (folder == copied)
            spoilDescriptor(zip, 1);
        cartscope::fixture::writeFile(folder + "/a.zip", zip);
    }

    // No copy is made for the stored or the deflated member: the temporary area is not even
    // created.
    ASSERT_EQ(cli({"info", stored + "/a.zip"}).status, 0);
    ASSERT_EQ(cli({"extract", deflated + "/a.zip", deflated + "/first"}).status, 0);
    EXPECT_FALSE(fs::exists(cache.base()));
    fs::remove_all(deflated + "/first");

    for (const std::vector<std::string>& command : {std::vector<std::string>{"info"},
                                                    {"info", "--json"},
                                                    {"info", "--hashes"},
                                                    {"list"},
                                                    {"list", "--json"},
                                                    {"list", "--system"}}) {
        std::vector<std::string> args = command;
        args.push_back(copied + "/a.zip");
        const auto fromCopy = cli(args);
        ASSERT_EQ(fromCopy.status, 0) << fromCopy.err;
        for (const std::string& folder : {stored, deflated, sevenZip}) {
            // As long as "a.zip": the report's rules follow the name's length.
            const std::string name = folder == sevenZip ? "/ab.7z" : "/a.zip";
            args.back() = folder + name;
            const auto r = cli(args);
            SCOPED_TRACE(args[0] + " " + args[1] + " " + folder);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(
                replaceAll(replaceAll(r.out, folder + name, copied + "/a.zip"), "ab.7z", "a.zip"),
                fromCopy.out);
            EXPECT_EQ(r.err, fromCopy.err);
        }
    }
    // Nor for the member whose records disagree, nor for a 7z: libarchive decodes them into
    // memory.
    EXPECT_FALSE(fs::exists(cache.base()));

    // Extraction and the icon: the same files.
    for (const std::string& from : {stored, deflated, copied, sevenZip}) {
        const std::string name = from == sevenZip ? "/ab.7z" : "/a.zip";
        const auto r = cli({"extract", "--system", from + name, from + "/out"});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(cli({"icon", from + name, from + "/out/icon.png"}).status, 0);
    }
    // The layouts differ in the files' modification times alone.
    const auto below = [](const std::string& folder) {
        auto files = filesBelow(folder);
        EXPECT_EQ(files.erase("ZIPPED.layout/layout.json"), 1u);
        return files;
    };
    const auto tree = below(copied + "/out");
    EXPECT_EQ(below(stored + "/out"), tree);
    EXPECT_EQ(below(deflated + "/out"), tree);
    EXPECT_EQ(below(sevenZip + "/out"), tree);
    EXPECT_EQ(tree.at("ZIPPED/d/small.txt"), Bytes({'s', 'm', 'a', 'l', 'l'}));
    EXPECT_TRUE(tree.count("icon-Trans.png"));
}

TEST(CliZip, TheUsersArchiveIsNeverLockedAndADamagedStoredMemberIsRefused)
{
    PrivateCache cache;
    const Bytes image = ImageBuilder().title("ZIPPED").root({Node::file("f", "x")}).build();
    const std::string zip = cache.dir().file("a.zip");
    writeZip(zip, {Entry::file("game.nds", image)}, {false, false, {}});
    // Another program holds the archive locked: extract (which locks the image it holds) still
    // reads the member, as it read its private copy.
    const int fd = ::open(zip.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    const auto r = cli({"extract", zip, cache.dir().file("out")});
    ::close(fd);
    EXPECT_EQ(r.status, 0) << r.err;

    Bytes damaged = buildZip({Entry::file("game.nds", image)}, {false, false, {}});
    damaged[rawEntries(damaged).at(0).data + 100] ^= 1;
    cartscope::fixture::writeFile(zip, damaged);
    const auto bad = cli({"info", zip});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "The archive is damaged: the data of \"game.nds\" in the archive \"" + zip +
                           "\" does not match its stored CRC-32.\n");
    EXPECT_EQ(bad.out, "");
}

TEST(CliZip, ArchivesAreKnownByTheirFirstBytesWhateverTheirName)
{
    PrivateCache cache;
    const Bytes image = ImageBuilder().title("ZIPPED").build();
    const std::vector<std::pair<std::string, std::string>> kinds = {
        {"\x1F\x8B", "a gzip archive"},
        {std::string("Rar!\x1A\x07\x00", 7), "a RAR archive"},
        {std::string("\xFD"
                     "7zXZ\x00",
                     6),
         "an xz archive"},
        {"\x28\xB5\x2F\xFD", "a zstd archive"},
        {"BZh9", "a bzip2 archive"}};
    for (const auto& [magic, kind] : kinds) {
        // The archive's bytes followed by an image: read as one before, a header report of
        // whatever followed.
        Bytes bytes(magic.begin(), magic.end());
        bytes.insert(bytes.end(), image.begin(), image.end());
        for (const std::string name : {"x.nds", "x.zip"}) {
            const std::string path = cache.dir().file(name);
            cartscope::fixture::writeFile(path, bytes);
            const std::string message =
                "\"" + path + "\" is " + kind + "; Cartscope reads zip and 7z archives.\n";
            for (const std::vector<std::string>& args :
                 {std::vector<std::string>{"info", path},
                  {"list", path},
                  {"extract", path, cache.dir().file("out")},
                  {"icon", path, cache.dir().file("icon.png")}}) {
                const auto r = cli(args);
                EXPECT_EQ(r.status, 1) << args[0] << " " << kind;
                EXPECT_EQ(r.err, message) << args[0];
            }
            EXPECT_FALSE(fs::exists(cache.dir().file("out")));
            EXPECT_FALSE(fs::exists(cache.dir().file("icon.png")));
        }
    }
    // A 7z signature goes to the 7z reader, which refuses what follows it.
    const Bytes signature = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
    Bytes fake(signature.size() + image.size());
    std::copy(signature.begin(), signature.end(), fake.begin());
    std::copy(image.begin(), image.end(), fake.begin() + 6);
    cartscope::fixture::writeFile(cache.dir().file("fake.nds"), fake);
    EXPECT_EQ(cli({"info", cache.dir().file("fake.nds")}).err,
              "\"" + cache.dir().file("fake.nds") +
                  "\" is not a readable 7z archive: its signature header does not match its "
                  "CRC-32.\n");
    // A zip archive under an image's name is opened as the archive it is.
    writeZip(cache.dir().file("game.nds"), {Entry::file("inner.nds", image)});
    const auto r = cli({"info", cache.dir().file("game.nds")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Internal Name   : ZIPPED"), std::string::npos) << r.out;
}

TEST(CliZip, WhyNoImageCouldBeTakenOutIsSaid)
{
    PrivateCache cache;
    const Bytes image = ImageBuilder().title("ZIPPED").build();
    const std::string zip = cache.dir().file("a.zip");
    // Encrypted: said as verify says it.
    writeZip(zip, {Entry::file("game.nds", image)}, Options{true, false, "secret"});
    auto r = cli({"info", zip});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No .nds or .ids image could be taken out of \"" + zip +
                         "\". \"game.nds\": The member is encrypted.\n");
    // A read that fails is a read error, not an archive without images.
    writeZip(zip, {Entry::file("game.nds", image)});
    cartscope::archive::detail::g_failArchiveReadsTo = fs::file_size(zip);
    r = cli({"info", zip});
    cartscope::archive::detail::g_failArchiveReadsTo = 0;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot read file \"" + zip + "\". Input/output error.\n");
    // Overlapping members.
    Bytes overlap = buildZip({Entry::file("a.nds", image), Entry::file("b.nds", image)});
    const auto raw = rawEntries(overlap);
    detail::put32(overlap, raw[1].central + 42, static_cast<std::uint32_t>(raw[0].local));
    cartscope::fixture::writeFile(zip, overlap);
    r = cli({"info", zip});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\"" + zip + "\": overlapping members (a zip bomb)\n");
    // An empty member is named for what it is.
    writeZip(zip, {Entry::file("game.nds", Bytes())});
    r = cli({"info", zip});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "The image \"game.nds\" in the archive \"" + zip + "\" is empty (0 bytes)\n");
}

// Without a .nds or .ids member, the first .dsi or .srl member (any letter case, archive
// order) is the image every command reads, as verify already took it; a .nds/.ids member wins
// wherever it lies.
TEST(CliZip, WithoutADsImageTheFirstDsiOrSrlMemberIsOpened)
{
    PrivateCache cache;
    const Bytes image = ImageBuilder()
                            .title("DSIMEMBER")
                            .banner(cartscope::fixture::sampleBanner())
                            .root({Node::dir("d", {Node::file("f.txt", "inside")})})
                            .build();
    const Bytes other = ImageBuilder().title("OTHER").build();
    const std::string plain = cache.dir().file("plain.nds");
    cartscope::fixture::writeFile(plain, image);
    const auto listed = cli({"list", plain});
    ASSERT_EQ(listed.status, 0) << listed.err;
    ASSERT_EQ(cli({"extract", plain, cache.dir().file("plain-out")}).status, 0);
    ASSERT_EQ(cli({"icon", plain, cache.dir().file("plain-out/icon.png")}).status, 0);
    const auto tree = filesBelow(cache.dir().file("plain-out"));

    struct Case {
        const char* what;
        std::vector<Entry> entries;
        const char* member;
    };
    const std::vector<Case> cases = {
        {"only a .dsi",
         {Entry::file("readme.txt", "hi"), Entry::file("game.dsi", image)},
         "game.dsi"},
        {"a .SRL before a .dsi",
         {Entry::file("d/GAME.SRL", image), Entry::file("b.dsi", other)},
         "d/GAME.SRL"},
        {"a .dsi before an .ids",
         {Entry::file("a.dsi", other), Entry::file("game.ids", image)},
         "game.ids"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string zip = cache.dir().file("a.zip");
        writeZip(zip, c.entries);
        const auto info = cli({"info", "--json", zip});
        ASSERT_EQ(info.status, 0) << info.err;
        EXPECT_NE(info.out.find("\"archiveMember\": \"" + std::string(c.member) + "\""),
                  std::string::npos)
            << info.out;
        EXPECT_NE(info.out.find("DSIMEMBER"), std::string::npos);
        const auto list = cli({"list", zip});
        EXPECT_EQ(list.status, 0) << list.err;
        EXPECT_EQ(list.out, listed.out);
        const std::string out = cache.dir().file("out");
        fs::remove_all(out);
        const auto extract = cli({"extract", zip, out});
        ASSERT_EQ(extract.status, 0) << extract.err;
        ASSERT_EQ(cli({"icon", zip, out + "/icon.png"}).status, 0);
        EXPECT_EQ(filesBelow(out), tree);
    }
}

} // namespace
