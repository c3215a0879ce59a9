// Members read where they lie (stored) or inflated by the reader itself from the archive's own
// records: the same bytes, events and verdicts as libarchive's path, and that path whenever the
// records are anything but plain.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive_source.h"
#include "archive/image_input.h"
#include "archive/reader.h"
#include "archive/zip_input.h"
#include "archive/zip_layout.h"
#include "core/base/error.h"
#include "core/checksum/crc32.h"
#include "core/io/read_pass.h"
#include "core/io/stream.h"
#include "tests/archive/zip_builder.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::archive::ExtractEvents;
using cartscope::archive::extractMember;
using cartscope::archive::InPlace;
using cartscope::archive::listImageMembers;
using cartscope::archive::readInPlace;
using cartscope::archive::detail::locateMemberData;
using cartscope::core::MemoryStream;
using cartscope::fixture::Bytes;
using cartscope::fixture::readFile;
using cartscope::fixture::TempDir;
using cartscope::fixture::writeFile;
using namespace cartscope::testzip;
using cartscope::testzip::detail::get32;
using cartscope::testzip::detail::put16;
using cartscope::testzip::detail::put32;

// The local header of entry `index` given the CRC-32 and sizes of its central record, the data
// descriptor flag cleared (as writers that know the values first do).
void completeLocalHeader(Bytes& z, std::size_t index)
{
    const RawEntry e = rawEntries(z).at(index);
    for (std::size_t field : {16u, 20u, 24u})
        put32(z, e.local + field - 2, get32(z, e.central + field));
    z.at(e.local + 6) &= 0xF7; // general purpose flag bit 3
}

// The whole data and what the reader raised.
struct Collect final : cartscope::core::ReadSink {
    Bytes bytes;
    int finishes = 0;
    void consume(std::span<const std::uint8_t> block, std::uint64_t position) override
    {
        EXPECT_EQ(position, bytes.size());
        bytes.insert(bytes.end(), block.begin(), block.end());
    }
    void finish(std::uint64_t) override { ++finishes; }
};

struct Events {
    int begins = 0;
    int ends = 0;
    std::vector<int> progress;
    ExtractEvents events()
    {
        ExtractEvents e;
        e.onBegin = [this](const std::string&, std::size_t) { ++begins; };
        e.onProgress = [this](int byFile, int) {
            progress.push_back(byFile);
            return false;
        };
        e.onEnd = [this] { ++ends; };
        return e;
    }
};

class InPlaceTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string zip = dir.file("in.zip");
    std::string out = dir.file("out.nds");
    const Bytes data = noise((3 << 20) + 4321, 9);

    InPlace inPlace(const Bytes& z, Collect& collect, Events& events)
    {
        writeFile(zip, z);
        cartscope::core::ReadSink* sinks[] = {&collect};
        return readInPlace(zip, listImageMembers(zip).at(0), events.events(), sinks);
    }
    // extractMember's result: 1, 0, or the message it threw.
    std::string extracted(const Bytes& z)
    {
        writeFile(zip, z);
        std::filesystem::remove(out);
        try {
            return std::to_string(extractMember(zip, listImageMembers(zip).at(0), out, {}));
        } catch (const cartscope::core::Error& e) {
            return e.what();
        }
    }
    std::string crcMessage() const
    {
        return "The archive is damaged: the data of \"game.nds\" in the archive \"" + zip +
               "\" does not match its stored CRC-32";
    }
};

TEST_F(InPlaceTest, AStoredMemberIsReadWhereItLiesWithTheCopysEvents)
{
    // With the CRC-32 in a trailing descriptor (libarchive's writer) or in the local header, and
    // behind bytes prepended to the archive (a self-extracting program's).
    for (const int variant : {0, 1, 2}) {
        SCOPED_TRACE(variant);
        Bytes z = buildZip({Entry::file("readme.txt", "hi"), Entry::file("game.nds", data)},
                           {false, false, {}});
        if (variant == 1)
            completeLocalHeader(z, 1);
        std::size_t prefix = 0;
        if (variant == 2) {
            prefix = 777;
            z.insert(z.begin(), prefix, 0x5A);
        }
        Collect collect;
        Events events;
        const InPlace r = inPlace(z, collect, events);
        ASSERT_EQ(r.status, InPlace::Status::Read);
        EXPECT_EQ(r.offset,
                  prefix +
                      rawEntries(Bytes(z.begin() + static_cast<long>(prefix), z.end())).at(1).data);
        EXPECT_EQ(r.size, data.size());
        EXPECT_EQ(r.crc32, cartscope::core::crc32::crc32Of(data));
        EXPECT_EQ(Bytes(z.begin() + static_cast<long>(r.offset),
                        z.begin() + static_cast<long>(r.offset + r.size)),
                  data);
        EXPECT_EQ(collect.bytes, data);
        EXPECT_EQ(collect.finishes, 1);
        EXPECT_EQ(events.begins, 1);
        EXPECT_EQ(events.ends, 1);
        EXPECT_EQ(events.progress, (std::vector<int>{33, 66, 99, 100}));
    }
}

TEST_F(InPlaceTest, StoredDataThatDoesNotMatchItsCrcIsADamagedArchiveAsWhenCopied)
{
    Bytes z = buildZip({Entry::file("game.nds", data)}, {false, false, {}});
    z[rawEntries(z).at(0).data + 2000000] ^= 1;
    Collect collect;
    Events events;
    try {
        inPlace(z, collect, events);
        FAIL() << "no error";
    } catch (const cartscope::core::Error& e) {
        EXPECT_EQ(std::string(e.what()), crcMessage());
    }
    EXPECT_EQ(collect.finishes, 0);
    EXPECT_EQ(events.ends, 1);
    EXPECT_EQ(extracted(z), crcMessage());
    EXPECT_FALSE(std::filesystem::exists(out));
}

// Whatever the records say, the member is read without a copy (stored in place, deflated into
// memory) or left to the copy, and the copy's verdict is the one libarchive's path gives.
TEST_F(InPlaceTest, RecordsThatAreNotPlainLeaveTheMemberToTheCopy)
{
    struct Case {
        const char* what;
        bool deflate;
        bool zip64;
        const char* passphrase;
        std::function<void(Bytes&)> damage;
        std::string verdict; // extractMember's
        InPlace::Status status = InPlace::Status::NeedsCopy;
    };
    const auto entry0 = [](const Bytes& z) { return rawEntries(z).at(0); };
    const std::vector<Case> cases = {
        {"deflated", true, false, "", [](Bytes&) {}, "1", InPlace::Status::Read},
        // A deflate stream that ends before its recorded compressed size (in both headers, no
        // descriptor: one would not lie where the size says).
        {"deflate stream shorter than recorded", true, false, "",
         [&](Bytes& z) {
             completeLocalHeader(z, 0);
             const RawEntry e = entry0(z);
             z.at(e.central + 8) &= 0xF7; // general purpose flag bit 3
             put32(z, e.central + 20, get32(z, e.central + 20) + 8);
             put32(z, e.local + 18, get32(z, e.local + 18) + 8);
         },
         "0", InPlace::Status::Failed},
        {"zip64 records", true, true, "", [](Bytes&) {}, "1", InPlace::Status::Read},
        // The local header's CRC-32 differs from the central one: libarchive warns and checks
        // the data against the local value.
        {"local CRC-32 lies", false, false, "",
         [&](Bytes& z) {
             completeLocalHeader(z, 0);
             put32(z, entry0(z).local + 14, get32(z, entry0(z).local + 14) + 1);
         },
         crcMessage()},
        // Both headers claim more data than the file holds.
        {"sizes past the end", false, false, "",
         [&](Bytes& z) {
             completeLocalHeader(z, 0);
             const RawEntry e = entry0(z);
             for (std::size_t at : {e.central + 20, e.central + 24, e.local + 18, e.local + 22})
                 put32(z, at, static_cast<std::uint32_t>(z.size()));
         },
         "0"},
        // Stored sizes that differ: more data than declared is never copied.
        {"stored sizes differ", false, false, "",
         [](Bytes& z) { patchDeclaredSize(z, 0, 1000000); }, "0"},
        {"encrypted", false, false, "secret", [](Bytes&) {}, "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes z = buildZip({Entry::file("game.nds", data)}, {c.deflate, c.zip64, c.passphrase});
        c.damage(z);
        Collect collect;
        Events events;
        const InPlace r = inPlace(z, collect, events);
        EXPECT_EQ(r.status, c.status);
        if (c.status == InPlace::Status::NeedsCopy) {
            EXPECT_TRUE(collect.bytes.empty());
            EXPECT_EQ(events.begins + events.ends, 0);
        } else {
            EXPECT_EQ(events.begins + events.ends, 2);
            EXPECT_EQ(collect.finishes, c.status == InPlace::Status::Read ? 1 : 0);
        }
        if (c.status == InPlace::Status::Read) {
            ASSERT_TRUE(r.memory);
            EXPECT_TRUE(std::equal(data.begin(), data.end(), r.memory->bytes().begin(),
                                   r.memory->bytes().end()));
        }
        EXPECT_EQ(extracted(z), c.verdict);
        if (c.verdict == "1") {
            EXPECT_EQ(readFile(out), data);
        }
    }
}

// The layouts of other writers: sizes in zip64 fields (local, central, with a zip64 end
// record), CRC-32 and sizes in a descriptor after the data. Read where they lie when every
// record agrees; records that lie leave the member to libarchive's copy, whose verdict stands.
TEST_F(InPlaceTest, ZipSixtyFourAndDescriptorLayoutsAreReadWhereTheyLie)
{
    using D = StoredLayout::Descriptor;
    using S = InPlace::Status;
    const auto none = [](RawStored&) {};
    const auto bump32 = [](std::size_t field) {
        return [field](RawStored& r) { put32(r.zip, field, get32(r.zip, field) + 1); };
    };
    struct Case {
        const char* what;
        StoredLayout layout;
        std::function<void(RawStored&)> damage;
        std::string verdict; // extractMember's
        S status;
    };
    const std::vector<Case> cases = {
        {"zip64 local field (force_zip64)", {true, false, D::None, false}, none, "1", S::Read},
        {"zip64 fields and end record", {true, true, D::None, false}, none, "1", S::Read},
        {"signed descriptor", {false, false, D::Signed, false}, none, "1", S::Read},
        {"descriptor without signature", {false, false, D::Unsigned, false}, none, "1", S::Read},
        {"zip64 descriptor", {true, false, D::Signed, true}, none, "1", S::Read},
        {"streamed, zip64 throughout", {true, true, D::Unsigned, true}, none, "1", S::Read},
        // Both zip64 fields claim more data than the file holds.
        {"zip64 sizes past the end",
         {true, true, D::None, false},
         [](RawStored& r) {
             const std::uint32_t past = static_cast<std::uint32_t>(r.zip.size());
             for (std::size_t at :
                  {r.localExtra + 4, r.localExtra + 12, r.centralExtra + 4, r.centralExtra + 12})
                 put32(r.zip, at, past);
         },
         "0",
         S::NeedsCopy},
        // libarchive's reader of the directory never looks at the descriptor, so its copy
        // takes the member; the reader here does not trust a descriptor that disagrees.
        {"descriptor CRC-32 disagrees",
         {false, false, D::Signed, false},
         [&](RawStored& r) { bump32(r.descriptor + 4)(r); },
         "1",
         S::NeedsCopy},
        {"descriptor size disagrees",
         {false, false, D::Unsigned, false},
         [&](RawStored& r) { bump32(r.descriptor + 8)(r); },
         "1",
         S::NeedsCopy},
        {"zip64 descriptor size disagrees",
         {true, true, D::Signed, true},
         [&](RawStored& r) { bump32(r.descriptor + 12)(r); },
         "1",
         S::NeedsCopy},
        // The flag says a descriptor follows, but the central record does.
        {"descriptor missing",
         {false, false, D::None, false},
         [](RawStored& r) {
             r.zip[r.local + 6] |= 0x08;
             r.zip[r.central + 8] |= 0x08;
         },
         "1",
         S::NeedsCopy},
        // The data is checked against the CRC-32 all records agree on.
        {"data damaged",
         {true, true, D::Signed, true},
         [](RawStored& r) { r.zip[r.data + 1000] ^= 1; },
         crcMessage(),
         S::Read},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RawStored r = buildStoredZip("game.nds", data, c.layout);
        c.damage(r);
        Collect collect;
        Events events;
        std::string thrown;
        InPlace result;
        try {
            result = inPlace(r.zip, collect, events);
        } catch (const cartscope::core::Error& e) {
            thrown = e.what();
        }
        if (thrown.empty()) {
            EXPECT_EQ(result.status, c.status);
            EXPECT_EQ(collect.bytes, c.status == S::Read ? data : Bytes{});
            EXPECT_EQ(events.begins + events.ends, c.status == S::Read ? 2 : 0);
            if (c.status == S::Read) {
                EXPECT_EQ(result.offset, r.data);
                EXPECT_EQ(result.size, data.size());
            }
        } else {
            EXPECT_EQ(c.status, S::Read); // read in place and found damaged
            EXPECT_EQ(thrown, c.verdict);
        }
        EXPECT_EQ(extracted(r.zip), c.verdict);
    }
}

TEST_F(InPlaceTest, LocatingFindsOnlyTheOneRecordWhoseLocalHeaderEndsAtTheData)
{
    const Bytes two = buildZip({Entry::file("a.nds", noise(5000, 1)), Entry::file("b.nds", data)},
                               {false, false, {}});
    const auto entries = rawEntries(two);
    const auto locate = [](const Bytes& z, std::uint64_t at) {
        const MemoryStream file(z);
        const auto directory = cartscope::archive::detail::readDirectory(file);
        return directory ? locateMemberData(file, *directory, at) : std::nullopt;
    };
    const auto found = locate(two, entries[1].data);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->offset, entries[1].data);
    EXPECT_EQ(found->size, data.size());
    EXPECT_EQ(found->compressedSize, data.size());
    EXPECT_FALSE(found->deflated);
    // Not where any local header ends, or inside a local header.
    EXPECT_FALSE(locate(two, entries[1].data + 1));
    EXPECT_FALSE(locate(two, entries[1].local + 10));
    EXPECT_FALSE(locate(two, two.size() + 1));

    // Two central records naming the same local header, even with the same values: neither is
    // trusted.
    Bytes twice =
        buildZip({Entry::file("a.nds", data), Entry::file("b.nds", data)}, {false, false, {}});
    const auto twiceEntries = rawEntries(twice);
    ASSERT_TRUE(locate(twice, twiceEntries[1].data));
    put32(twice, twiceEntries[0].central + 42, static_cast<std::uint32_t>(twiceEntries[1].local));
    EXPECT_FALSE(locate(twice, twiceEntries[1].data));
    // A local header whose lengths make it end elsewhere.
    Bytes longer = two;
    put16(longer, entries[1].local + 28, 4);
    EXPECT_FALSE(locate(longer, entries[1].data));
    // No end record in the last 16 KiB, or an archive cut short.
    Bytes tail = two;
    tail.insert(tail.end(), 17000, 0);
    EXPECT_FALSE(locate(tail, entries[1].data));
    Bytes cut(two.begin(), two.begin() + static_cast<long>(entries[1].data + 100));
    EXPECT_FALSE(locate(cut, entries[1].data));
    // Zip64 records libarchive refuses, or whose values it does not take.
    const RawStored z64 = buildStoredZip("game.nds", data, {true, true, {}, false});
    ASSERT_TRUE(locate(z64.zip, z64.data));
    const auto patched = [&](std::size_t at, std::uint64_t value, int bytes) {
        Bytes z = z64.zip;
        for (int i = 0; i < bytes; ++i)
            z.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
        return z;
    };
    // A central zip64 field without room for the values its record puts at the marker.
    EXPECT_FALSE(locate(patched(z64.centralExtra + 2, 16, 2), z64.data));
    // A local zip64 field too short for its sizes.
    EXPECT_FALSE(locate(patched(z64.localExtra + 2, 8, 2), z64.data));
    // A size past 2^63.
    EXPECT_FALSE(locate(patched(z64.localExtra + 4, UINT64_MAX, 8), z64.data));
    // A locator naming a record past the end of the file, or a record of another disk: the
    // end record's own values (at the marker) are used, and declined.
    EXPECT_FALSE(locate(patched(z64.end - 12, z64.zip.size(), 8), z64.data));
    EXPECT_FALSE(locate(patched(z64.zip64End + 16, 1, 4), z64.data));
    // A zip64 directory offset that points past the central record.
    EXPECT_FALSE(locate(patched(z64.zip64End + 48, z64.central + 1, 8), z64.data));
    // A method other than stored or deflate.
    Bytes method = two;
    put16(method, entries[1].central + 10, 12);
    put16(method, entries[1].local + 8, 12);
    EXPECT_FALSE(locate(method, entries[1].data));
}

TEST_F(InPlaceTest, MemoryForAnInflatedMemberFollowsItsData)
{
    // 3 MiB of data declared as 512 MiB: the member fails as short, and while it is inflated the
    // memory it takes stays near what its data fills (a piece or two of 8 MiB ahead), never
    // what it declares. Measured in a child, whose peak starts at its size when forked.
    Bytes z = buildZip({Entry::file("game.nds", data)}, {true, false, {}});
    patchDeclaredSize(z, 0, 512u << 20);
    writeFile(zip, z);
    const auto member = listImageMembers(zip).at(0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rusage before{};
        ::getrusage(RUSAGE_SELF, &before);
        const InPlace r = readInPlace(zip, member, {}, {});
        rusage after{};
        ::getrusage(RUSAGE_SELF, &after);
        if (r.status == InPlace::Status::NeedsCopy)
            std::_Exit(2); // not enough memory here to try: the member went to the copy
        const long grownKib = after.ru_maxrss - before.ru_maxrss;
        std::_Exit(r.status == InPlace::Status::Failed && grownKib < 48 * 1024 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "less than twice 512 MiB of memory available";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The one lookup, a case per road: which member it takes, where the bytes come from, and that
// a load opens the archive once (libarchive opened once, the central directory read once).
TEST_F(InPlaceTest, OneLookupTakesTheImageMemberAndOpensTheArchiveOnce)
{
    using cartscope::archive::extractFirstImage;
    using cartscope::archive::InputImage;
    namespace counted = cartscope::archive::detail;
    PrivateCache cache;
    const Bytes other = noise(3000, 7);
    Bytes lying = buildZip({Entry::file("game.nds", data)}, {false, false, {}});
    spoilDescriptor(lying, 0);
    Bytes dsiLying =
        buildZip({Entry::file("a.nds.txt", other), Entry::file("x.dsi", data)}, {false, false, {}});
    spoilDescriptor(dsiLying, 1);
    enum class From { Archive, Memory };
    struct Case {
        const char* what;
        Bytes zip;
        std::string member;
        From from;
        int opens; // of libarchive
    };
    const std::vector<Case> cases = {
        {"stored",
         buildZip({Entry::file("readme.txt", "hi"), Entry::file("game.nds", data)},
                  {false, false, {}}),
         "game.nds", From::Archive, 1},
        {"deflated", buildZip({Entry::file("game.nds", data)}), "game.nds", From::Memory, 1},
        {"a descriptor that disagrees: libarchive decodes it", lying, "game.nds", From::Memory, 1},
        {"a .dsi before the .nds",
         buildZip({Entry::file("a.dsi", other), Entry::file("b.nds", data)}), "b.nds", From::Memory,
         1},
        {"no .nds or .ids: the first .dsi/.srl, any case",
         buildZip({Entry::file("notes.txt", "x"), Entry::file("d/GAME.SRL", data),
                   Entry::file("b.dsi", other)},
                  {false, false, {}}),
         "d/GAME.SRL", From::Archive, 1},
        // The one case libarchive walks to the member again: it has passed it by the time the
        // walk shows there is no .nds, and only libarchive can read it.
        {"a .dsi only libarchive reads", dsiLying, "x.dsi", From::Memory, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(zip, c.zip);
        std::filesystem::remove_all(cache.base());
        counted::g_libarchiveOpens = 0;
        counted::g_directoryReads = 0;
        {
            const InputImage image(zip);
            ASSERT_TRUE(image.fromArchive());
            EXPECT_EQ(image.fromArchive()->memberName, c.member);
            EXPECT_EQ(image.fromArchive()->crc32, cartscope::core::crc32::crc32Of(data));
            EXPECT_FALSE(image.fromArchive()->copy);
            EXPECT_EQ(image.fromArchive()->memory != nullptr, c.from == From::Memory);
            Bytes read(data.size() + 1);
            read.resize(image.pread(0, read));
            EXPECT_EQ(read, data);
        }
        EXPECT_EQ(counted::g_libarchiveOpens, c.opens);
        EXPECT_EQ(counted::g_directoryReads, 1);
        EXPECT_FALSE(std::filesystem::exists(cache.base())); // no copy, no temporary folder

        // The window's road: the same member, always copied.
        counted::g_libarchiveOpens = 0;
        counted::g_directoryReads = 0;
        const auto copy = extractFirstImage(zip, {});
        ASSERT_TRUE(copy);
        EXPECT_EQ(copy->memberName, c.member);
        EXPECT_EQ(readFile(copy->path), data);
        EXPECT_EQ(counted::g_libarchiveOpens, c.opens);
        EXPECT_EQ(counted::g_directoryReads, 1);
    }

    // Cancelled at the last notification: nothing to read.
    writeZip(zip, {Entry::file("game.nds", data)}, {false, false, {}});
    ExtractEvents cancel;
    cancel.cancelled = [] { return true; };
    EXPECT_FALSE(cartscope::archive::openFirstImage(zip, cancel));
}

} // namespace
