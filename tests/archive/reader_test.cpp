#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <sys/resource.h>
#include <vector>

#include <gtest/gtest.h>

#include "archive/reader.h"
#include "core/base/error.h"
#include "core/checksum/crc32.h"
#include "core/checksum/crc32_sink.h"
#include "core/io/read_pass.h"
#include "tests/archive/zip_builder.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::archive::ExtractEvents;
using cartscope::archive::extractMember;
using cartscope::archive::listImageMembers;
using cartscope::archive::Member;
using cartscope::fixture::Bytes;
using cartscope::fixture::readFile;
using cartscope::fixture::TempDir;
using cartscope::fixture::writeFile;
using namespace cartscope::testzip;

std::vector<std::string> names(const std::vector<Member>& members)
{
    std::vector<std::string> out;
    for (const Member& m : members)
        out.push_back(m.name);
    return out;
}

bool exists(const std::string& path)
{
    return std::filesystem::exists(std::filesystem::symlink_status(path));
}

// Counts the bytes handed out so far (each block goes to the sinks as it is written).
struct Counter final : cartscope::core::ReadSink {
    std::uint64_t seen = 0;
    void consume(std::span<const std::uint8_t> block, std::uint64_t position) override
    {
        seen = position + block.size();
    }
};

// Records what the reader raised.
struct Recorder {
    int begins = 0;
    int ends = 0;
    std::string beginName;
    std::vector<std::pair<int, int>> progress;
    Counter counter;                 // a sink passed to every extraction
    std::vector<std::uint64_t> done; // counter.seen at each progress call
    int cancelAtCall = -1;           // 0-based progress call that returns true

    ExtractEvents events()
    {
        ExtractEvents e;
        e.onBegin = [this](const std::string& name, std::size_t count) {
            ++begins;
            beginName = name;
            EXPECT_EQ(count, 1u);
        };
        e.onProgress = [this](int byFile, int byArchive) {
            progress.emplace_back(byFile, byArchive);
            done.push_back(counter.seen);
            return static_cast<int>(progress.size()) - 1 == cancelAtCall;
        };
        e.onEnd = [this] { ++ends; };
        return e;
    }
};

class ReaderTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string zip = dir.file("in.zip");
    std::string out = dir.file("out.nds");

    int extract(const Member& m, Recorder& rec)
    {
        cartscope::core::ReadSink* sinks[] = {&rec.counter};
        return extractMember(zip, m, out, rec.events(), sinks);
    }
};

TEST_F(ReaderTest, ListsImagesInArchiveOrder)
{
    writeZip(zip, {Entry::file("readme.txt", "hello"), Entry::file("game.nds", noise(1000)),
                   Entry::file("demo.ids", "demo")});
    const auto members = listImageMembers(zip);
    ASSERT_EQ(names(members), (std::vector<std::string>{"game.nds", "demo.ids"}));
    EXPECT_EQ(members[0].index, 1u);
    EXPECT_EQ(members[0].size, 1000u);
    EXPECT_EQ(members[1].index, 2u);

    writeZip(zip, {Entry::file("readme.txt", "hello"), Entry::file("demo.ids", "demo"),
                   Entry::file("game.nds", "game")});
    EXPECT_EQ(names(listImageMembers(zip)), (std::vector<std::string>{"demo.ids", "game.nds"}));
}

TEST_F(ReaderTest, MatchesInAnyFolderIgnoringLetterCase)
{
    writeZip(zip, {Entry::file("roms/europe/GAME.NDS", "a"), Entry::file("x.Ids", "b"),
                   Entry::file("game.nds.bak", "c"), Entry::file("nds", "d"),
                   Entry::file("gamends", "e"), Entry::file("roms/.nds", "f")});
    EXPECT_EQ(names(listImageMembers(zip)),
              (std::vector<std::string>{"roms/europe/GAME.NDS", "x.Ids", "roms/.nds"}));
}

TEST_F(ReaderTest, SkipsDirectoriesLinksAndUnreadableNames)
{
    Bytes z = buildZip({Entry::dir("x.nds/"), Entry::symlink("link.nds", "/etc/passwd"),
                        Entry::file("bAd.nds", "bad"), Entry::file("g\xC3\xA4me.nds", "real")});
    patchNameToBadUtf8(z, 2, 1, 0xFF);
    // A valid UTF-8 name under the UTF-8 flag is read even though the tests run in the C locale.
    patchNameToBadUtf8(z, 3, 1, 0xC3);
    writeFile(zip, z);
    const auto members = listImageMembers(zip);
    ASSERT_EQ(names(members), (std::vector<std::string>{"g\xC3\xA4me.nds"}));
    EXPECT_EQ(members[0].index, 3u);

    Recorder rec;
    EXPECT_EQ(extract(members[0], rec), 1);
    EXPECT_EQ(readFile(out), Bytes({'r', 'e', 'a', 'l'}));
    // The entries that the listing skipped are never extracted, even when asked by index.
    for (std::size_t index : {0u, 1u, 2u, 4u, 1000u}) {
        std::filesystem::remove(out);
        EXPECT_EQ(extract({index, "x.nds", 0}, rec), 0) << index;
        EXPECT_FALSE(exists(out)) << index;
    }
}

TEST_F(ReaderTest, UnreadableArchivesListNothing)
{
    writeZip(zip, {Entry::file("readme.txt", "no image here")});
    EXPECT_TRUE(listImageMembers(zip).empty());

    writeFile(zip, Bytes(5000, 'P'));
    EXPECT_TRUE(listImageMembers(zip).empty());
    writeFile(zip, {});
    EXPECT_TRUE(listImageMembers(zip).empty());
    EXPECT_TRUE(listImageMembers(dir.path()).empty());

    // Cut short, the archive has no end record any more.
    Bytes z = buildZip({Entry::file("game.nds", noise(100000))});
    z.resize(z.size() / 2);
    writeFile(zip, z);
    EXPECT_TRUE(listImageMembers(zip).empty());

    try {
        listImageMembers(dir.file("missing.zip"));
        FAIL() << "no error";
    } catch (const cartscope::core::Error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + dir.file("missing.zip") +
                                             "\". No such file or directory");
    }
}

// A ZIP archive is never wrapped in a stream filter, so none is tried: a file that starts like
// an lrzip or grzip stream must not make the reader start that program (libarchive runs them
// from PATH). Fake ones on PATH would leave a mark.
TEST_F(ReaderTest, NoOtherProgramIsStartedForAFileThatLooksCompressed)
{
    const std::string bin = dir.file("bin");
    std::filesystem::create_directory(bin);
    const std::string mark = dir.file("mark");
    for (const char* program : {"lrzip", "grzip", "lzop", "lz4", "zstd", "lzip", "bzip2", "xz"}) {
        const std::string script = bin + "/" + program;
        const std::string text = "#!/bin/sh\necho " + std::string(program) + " >> " + mark + "\n";
        writeFile(script, Bytes(text.begin(), text.end()));
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    }
    const char* oldPath = std::getenv("PATH");
    const std::string savedPath = oldPath ? oldPath : "";
    setenv("PATH", (bin + ":" + savedPath).c_str(), 1);
    const std::string lrzip("LRZI\x00\x06", 6);
    const std::string grzip("GRZipII\x00\x02\x04:)", 12);
    const std::string lzop("\x89LZO\x00\r\n\x1A\n", 9);
    for (const std::string& magic : {lrzip, grzip, lzop}) {
        Bytes bytes(magic.begin(), magic.end());
        bytes.resize(4096, 'a');
        writeFile(zip, bytes);
        EXPECT_TRUE(listImageMembers(zip).empty());
        Recorder rec;
        EXPECT_EQ(extract({0, "x.nds", 0}, rec), 0);
    }
    setenv("PATH", savedPath.c_str(), 1);
    EXPECT_FALSE(exists(mark)) << "a program was started";
}

TEST_F(ReaderTest, ExtractsTheImageByteForByte)
{
    const Bytes image = cartscope::fixture::ImageBuilder()
                            .title("ZIPPED")
                            .gameCode("AZPE")
                            .root({cartscope::fixture::Node::file("data.bin", noise(3 << 20))})
                            .build();
    for (const Options& options :
         {Options{true, false, {}}, Options{false, false, {}}, Options{true, true, {}}}) {
        writeZip(zip, {Entry::file("readme.txt", "hi"), Entry::file("game.nds", image)}, options);
        const auto members = listImageMembers(zip);
        ASSERT_EQ(members.size(), 1u);
        Recorder rec;
        std::filesystem::remove(out);
        ASSERT_EQ(extract(members[0], rec), 1);
        EXPECT_EQ(readFile(out), image);
        EXPECT_EQ(std::filesystem::status(out).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        EXPECT_EQ(rec.begins, 1);
        EXPECT_EQ(rec.beginName, "game.nds");
        EXPECT_EQ(rec.ends, 1);
        // One notification after each further MiB copied, giving exactly the share copied
        // (rounded down), then one at 100 % once the data is complete, and no other.
        const std::uint64_t mib = 1 << 20;
        const std::size_t n = rec.progress.size();
        ASSERT_EQ(rec.done.size(), n);
        ASSERT_GE(n, 2u);
        ASSERT_LE(n, image.size() / mib + 1);
        for (std::size_t i = 0; i + 1 < n; ++i) {
            EXPECT_LT(rec.done[i], image.size()) << i;
            EXPECT_GE(rec.done[i], (i == 0 ? 0 : rec.done[i - 1]) + mib) << i;
            const int share = static_cast<int>(rec.done[i] * 100 / image.size());
            EXPECT_EQ(rec.progress[i], std::make_pair(share, share)) << i;
        }
        EXPECT_EQ(rec.progress.back(), std::make_pair(100, 100));
        EXPECT_EQ(rec.done.back(), image.size());
    }
}

TEST_F(ReaderTest, DuplicateNamesAreTakenByIndex)
{
    writeZip(zip, {Entry::file("game.nds", "first"), Entry::file("game.nds", "second")});
    const auto members = listImageMembers(zip);
    ASSERT_EQ(members.size(), 2u);
    Recorder rec;
    ASSERT_EQ(extract(members[1], rec), 1);
    EXPECT_EQ(readFile(out), Bytes({'s', 'e', 'c', 'o', 'n', 'd'}));
}

TEST_F(ReaderTest, DamagedMembersLeaveNothing)
{
    struct Case {
        const char* what;
        bool deflate;
        std::function<void(Bytes&, const RawEntry&)> damage;
        std::uint64_t declared = 0; // a smaller declared size: nothing past it is ever written
    };
    const Bytes data = noise(3 << 20, 7);
    const std::vector<Case> cases = {
        {"deflate stream", true, [](Bytes& z, const RawEntry& e) { z[e.data + 1000] ^= 0x55; }},
        {"deflate declared smaller", true,
         [](Bytes& z, const RawEntry&) { patchDeclaredSize(z, 0, 1000000); }, 1000000},
        {"stored declared smaller", false,
         [](Bytes& z, const RawEntry&) { patchDeclaredSize(z, 0, 1000000); }, 1000000},
        {"deflate declared larger", true,
         [](Bytes& z, const RawEntry&) { patchDeclaredSize(z, 0, 4000000); }},
        {"unknown method", true,
         [](Bytes& z, const RawEntry& e) {
             z[e.central + 10] = 77;
             z[e.local + 8] = 77;
         }},
    };
    for (const Case& c : cases) {
        Bytes z = buildZip({Entry::file("game.nds", data)}, {c.deflate, false, {}});
        c.damage(z, rawEntries(z).at(0));
        writeFile(zip, z);
        const auto members = listImageMembers(zip);
        ASSERT_EQ(members.size(), 1u) << c.what;
        Recorder rec;
        // Damage that inflates to other bytes shows as a CRC-32 mismatch, which is reported.
        try {
            EXPECT_EQ(extract(members[0], rec), 0) << c.what;
        } catch (const cartscope::core::Error& e) {
            EXPECT_NE(std::string(e.what()).find("does not match its stored CRC-32"),
                      std::string::npos)
                << c.what;
        }
        EXPECT_FALSE(exists(out)) << c.what;
        EXPECT_EQ(rec.ends, 1) << c.what;
        if (c.declared == 0)
            continue;
        // The copy stops at the declared size instead of writing the whole member and refusing
        // it afterwards: in a child that may not write a byte past it, the refusal is the same.
        const auto child = [&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{c.declared, c.declared};
            setrlimit(RLIMIT_FSIZE, &limit);
            int r = -1;
            try {
                r = extract(members[0], rec);
            } catch (const cartscope::core::Error&) {
                std::_Exit(3); // "Stream write error": it wrote past the declared size
            }
            std::_Exit(r == 0 && !exists(out) ? 0 : 2);
        };
        EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "") << c.what;
    }
}

TEST_F(ReaderTest, DataThatDoesNotMatchItsStoredCrcIsADamagedArchive)
{
    Bytes z = buildZip({Entry::file("game.nds", noise(3 << 20, 7))}, {false, false, {}});
    z[rawEntries(z).at(0).data + 2000000] ^= 1;
    writeFile(zip, z);
    Recorder rec;
    try {
        extract(listImageMembers(zip).at(0), rec);
        FAIL() << "no error";
    } catch (const cartscope::core::Error& e) {
        EXPECT_EQ(std::string(e.what()), "The archive is damaged: the data of \"game.nds\" in the "
                                         "archive \"" +
                                             zip + "\" does not match its stored CRC-32");
    }
    EXPECT_FALSE(exists(out));
    EXPECT_EQ(rec.ends, 1);
}

TEST_F(ReaderTest, MembersTooLargeForAnImageOrForTheFreeSpaceAreRefusedBeforeWriting)
{
    // A deflated member declaring 1.25 GiB: refused before a byte is written. (Its archive is
    // large enough for the declared size to be within deflate's ratio.)
    Bytes z = buildZip({Entry::file("game.nds", noise(1400000, 3))});
    patchDeclaredSize(z, 0, 0x50000000);
    writeFile(zip, z);
    Recorder rec;
    try {
        extract(listImageMembers(zip).at(0), rec);
        FAIL() << "no error";
    } catch (const cartscope::core::Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "The member \"game.nds\" in the archive \"" + zip +
                      "\" declares 1.2 GiB; no DS or DSi image is larger than 1.0 GiB, so it is "
                      "not extracted");
    }
    EXPECT_FALSE(exists(out));
    EXPECT_TRUE(rec.progress.empty());
    EXPECT_EQ(rec.ends, 1);

    // More than the free space where the copy goes.
    writeZip(zip, {Entry::file("game.nds", noise(3 << 20))});
    std::string askedFolder;
    ExtractEvents small = rec.events();
    small.freeSpace = [&](const std::string& folder) -> std::optional<std::uint64_t> {
        askedFolder = folder;
        return 1 << 20;
    };
    try {
        extractMember(zip, listImageMembers(zip).at(0), out, small);
        FAIL() << "no error";
    } catch (const cartscope::core::Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Not enough free space to take \"game.nds\" in the archive \"" + zip +
                      "\" out: it needs 3.0 MiB but only 1.0 MiB is free in \"" + dir.path() +
                      "\"");
    }
    EXPECT_EQ(askedFolder, dir.path());
    EXPECT_FALSE(exists(out));
    // Exactly enough, or a file system that cannot tell: extracted.
    for (const std::optional<std::uint64_t> free :
         {std::optional<std::uint64_t>(3 << 20), std::optional<std::uint64_t>()}) {
        ExtractEvents fits = rec.events();
        fits.freeSpace = [free](const std::string&) { return free; };
        std::filesystem::remove(out);
        EXPECT_EQ(extractMember(zip, listImageMembers(zip).at(0), out, fits), 1);
    }
}

TEST_F(ReaderTest, SinksSeeTheCopyAsItIsWrittenAndFinishOnlyWhenItIsComplete)
{
    struct Collect final : cartscope::core::ReadSink {
        Bytes bytes;
        std::uint64_t finished = 0;
        int finishes = 0;
        void consume(std::span<const std::uint8_t> block, std::uint64_t position) override
        {
            EXPECT_EQ(position, bytes.size());
            bytes.insert(bytes.end(), block.begin(), block.end());
        }
        void finish(std::uint64_t total) override
        {
            finished = total;
            ++finishes;
        }
    };
    const Bytes data = noise((5 << 20) + 123);
    for (const bool deflate : {true, false}) {
        writeZip(zip, {Entry::file("game.nds", data)}, {deflate, false, {}});
        const Member member = listImageMembers(zip).at(0);
        Collect collect;
        cartscope::core::Crc32Sink crc;
        cartscope::core::ReadSink* sinks[] = {&collect, &crc};
        Recorder rec;
        std::filesystem::remove(out);
        ASSERT_EQ(extractMember(zip, member, out, rec.events(), sinks), 1);
        EXPECT_EQ(collect.bytes, data);
        EXPECT_EQ(collect.finishes, 1);
        EXPECT_EQ(collect.finished, data.size());
        EXPECT_EQ(crc.value(), cartscope::core::crc32::crc32Of(data));
        EXPECT_EQ(readFile(out), data);

        // Cancelled part way: the sinks are never finished.
        Collect cancelled;
        cartscope::core::ReadSink* one[] = {&cancelled};
        Recorder stop;
        stop.cancelAtCall = 1;
        std::filesystem::remove(out);
        EXPECT_EQ(extractMember(zip, member, out, stop.events(), one), 0);
        EXPECT_EQ(cancelled.finishes, 0);
    }
}

TEST_F(ReaderTest, EncryptedAndTruncatedMembersLeaveNothing)
{
    writeZip(zip, {Entry::file("game.nds", noise(100000))}, {true, false, "secret"});
    auto members = listImageMembers(zip);
    ASSERT_EQ(members.size(), 1u);
    Recorder rec;
    EXPECT_EQ(extract(members[0], rec), 0);
    EXPECT_FALSE(exists(out));
    EXPECT_EQ(rec.ends, 1);

    // Listed while whole, then cut short before the extraction.
    Bytes z = buildZip({Entry::file("game.nds", noise(3 << 20))});
    writeFile(zip, z);
    members = listImageMembers(zip);
    ASSERT_EQ(members.size(), 1u);
    z.resize(z.size() - 100);
    writeFile(zip, z);
    EXPECT_EQ(extract(members[0], rec), 0);
    EXPECT_FALSE(exists(out));
}

TEST_F(ReaderTest, CancelStopsAndRemovesTheCopy)
{
    writeZip(zip, {Entry::file("game.nds", noise(5 << 20))});
    const auto members = listImageMembers(zip);
    ASSERT_EQ(members.size(), 1u);
    Recorder whole;
    ASSERT_EQ(extract(members[0], whole), 1);
    std::filesystem::remove(out);
    const int last = static_cast<int>(whole.progress.size()) - 1;
    ASSERT_GE(last, 2);
    for (int cancelAt : {0, last}) { // the first notification, and the final one at 100 %
        Recorder rec;
        rec.cancelAtCall = cancelAt;
        EXPECT_EQ(extract(members[0], rec), 0) << cancelAt;
        EXPECT_FALSE(exists(out));
        EXPECT_EQ(static_cast<int>(rec.progress.size()), cancelAt + 1);
        EXPECT_EQ(rec.ends, 1);
    }
}

TEST_F(ReaderTest, ExistingDestinationIsAnErrorAndStaysUntouched)
{
    writeZip(zip, {Entry::file("game.nds", "new")});
    writeFile(out, Bytes{'o', 'l', 'd'});
    Recorder rec;
    try {
        extract(listImageMembers(zip).at(0), rec);
        FAIL() << "no error";
    } catch (const cartscope::core::Error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + out + "\". File exists");
    }
    EXPECT_EQ(readFile(out), Bytes({'o', 'l', 'd'}));
    EXPECT_EQ(rec.ends, 1);

    // A symbolic link there is not followed either.
    std::filesystem::remove(out);
    std::filesystem::create_symlink(dir.file("target"), out);
    EXPECT_THROW(extract(listImageMembers(zip).at(0), rec), cartscope::core::Error);
    EXPECT_FALSE(exists(dir.file("target")));
}

} // namespace
