#include <functional>

#include <gtest/gtest.h>

#include "archive/image_input.h"
#include "archive/member_stream.h"
#include "archive/sevenz_header.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/checksum/crc32.h"
#include "tests/archive/zip_builder.h"

namespace cartscope::archive {
namespace {

using fixture::Bytes;
using testzip::Entry;

// 7z's variable-length number.
void number(Bytes& b, std::uint64_t v)
{
    int extra = 0;
    while (extra < 8 && v >= (std::uint64_t{1} << (7 * (extra + 1))))
        ++extra;
    if (extra == 8) {
        b.push_back(0xFF);
    } else {
        const auto mask = static_cast<std::uint8_t>(0xFF00 >> extra);
        b.push_back(static_cast<std::uint8_t>(mask | (v >> (8 * extra))));
    }
    for (int i = 0; i < extra; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void le32(Bytes& b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A hand-made header: one block of one coder, its files in it, optionally patched.
struct Made {
    std::vector<std::uint8_t> coderId = {0x21}; // LZMA2
    Bytes properties = {12};                    // a 256 KiB dictionary
    std::uint64_t folders = 1;
    std::uint64_t coders = 1;
    std::vector<std::pair<std::string, std::uint64_t>> files = {{"a.nds", 1000}};
    std::optional<std::uint64_t> fileCount; // else files.size()
    std::optional<std::uint64_t> substreams;
    bool encoded = false; // the header above is what an encoded header's block declares
};

Bytes utf16(const std::string& ascii)
{
    Bytes b;
    for (const char c : ascii) {
        b.push_back(static_cast<std::uint8_t>(c));
        b.push_back(0);
    }
    b.push_back(0);
    b.push_back(0);
    return b;
}

void folder(Bytes& h, const Made& m, std::uint64_t unpack)
{
    h.push_back(0x07); // unpack info
    h.push_back(0x0B);
    number(h, m.folders);
    h.push_back(0); // not external
    number(h, m.coders);
    h.push_back(static_cast<std::uint8_t>(0x20 | m.coderId.size()));
    h.insert(h.end(), m.coderId.begin(), m.coderId.end());
    number(h, m.properties.size());
    h.insert(h.end(), m.properties.begin(), m.properties.end());
    h.push_back(0x0C);
    number(h, unpack);
    h.push_back(0x00);
}

Bytes sevenZip(const Made& m)
{
    Bytes h;
    std::uint64_t total = 0;
    for (const auto& f : m.files)
        total += f.second;
    if (m.encoded) {
        h.push_back(0x17);
        h.insert(h.end(), {0x06, 0x00, 0x01, 0x09, 0x10, 0x00}); // 16 packed bytes at 0
        folder(h, m, 100);
        h.push_back(0x00);
    } else {
        h.push_back(0x01);
        h.push_back(0x04);
        h.insert(h.end(), {0x06, 0x00, 0x01, 0x09, 0x10, 0x00});
        folder(h, m, total);
        h.push_back(0x08);
        h.push_back(0x0D);
        number(h, m.substreams.value_or(m.files.size()));
        if (m.files.size() > 1) {
            h.push_back(0x09);
            for (std::size_t i = 0; i + 1 < m.files.size(); ++i)
                number(h, m.files[i].second);
        }
        h.push_back(0x00);
        h.push_back(0x00);
        h.push_back(0x05);
        number(h, m.fileCount.value_or(m.files.size()));
        Bytes names = {0};
        for (const auto& f : m.files) {
            const Bytes n = utf16(f.first);
            names.insert(names.end(), n.begin(), n.end());
        }
        h.push_back(0x11);
        number(h, names.size());
        h.insert(h.end(), names.begin(), names.end());
        h.push_back(0x00);
        h.push_back(0x00);
    }
    Bytes out = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
    Bytes start;
    for (int i = 0; i < 8; ++i)
        start.push_back(i == 0 ? 16 : 0); // the next header after 16 packed bytes
    for (int i = 0; i < 8; ++i)
        start.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(h.size()) >> (8 * i)));
    le32(start, core::crc32::crc32Of(h));
    le32(out, core::crc32::crc32Of(start));
    out.insert(out.end(), start.begin(), start.end());
    out.insert(out.end(), 16, 0x5A);
    out.insert(out.end(), h.begin(), h.end());
    return out;
}

// What reading and checking `bytes` says, empty when both pass; every name is wanted.
std::string refusal(const Bytes& bytes)
{
    try {
        const core::MemoryStream file(bytes);
        const SevenZipHeader header = readSevenZipHeader(file, "x.7z");
        checkSevenZip(
            header, [](const SevenZipFile&) { return true; }, "x.7z");
    } catch (const core::Error& e) {
        return e.what();
    }
    return {};
}

Bytes lzma(std::uint32_t dictionary)
{
    Bytes p = {0x5D};
    le32(p, dictionary);
    return p;
}

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

TEST(SevenZipHeader, HostileHeadersAreRefusedBeforeAnyDecoderIsMade)
{
    const std::string damaged = "\"x.7z\" is not a readable 7z archive: ";
    const auto made = [](const std::function<void(Made&)>& change) {
        Made m;
        change(m);
        return sevenZip(m);
    };
    // A byte changed; past the signature header's CRC field, that CRC is made to agree.
    const auto patched = [](std::size_t at, std::uint8_t value) {
        Bytes b = sevenZip(Made{});
        b[at] = value;
        if (at >= 12 && at < 32) {
            const std::uint32_t crc = core::crc32::crc32Of(std::span(b).subspan(12, 20));
            for (int i = 0; i < 4; ++i)
                b[8 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
        }
        return b;
    };
    Bytes cut = sevenZip(Made{});
    cut.pop_back();
    struct Case {
        const char* what;
        Bytes bytes;
        std::string message; // the start of the refusal; empty: accepted
    };
    const std::vector<Case> cases = {
        {"plain", sevenZip(Made{}), ""},
        {"a 64 MiB dictionary for 1000 bytes", made([](Made& m) { m.properties = {28}; }), ""},
        {"96 MiB for 100 MiB (rounded up to 128 MiB)", made([](Made& m) {
             m.properties = {29};
             m.files = {{"a.nds", 100 * kMiB}};
         }),
         ""},
        {"LZMA2 4 GiB for 1000 bytes", made([](Made& m) { m.properties = {40}; }),
         "\"x.7z\": a block of the archive declares a "},
        {"LZMA 128 MiB for 1000 bytes", made([](Made& m) {
             m.coderId = {3, 1, 1};
             m.properties = lzma(128 * kMiB);
         }),
         "\"x.7z\": a block of the archive declares a "},
        {"LZMA 256 MiB for 100 MiB", made([](Made& m) {
             m.coderId = {3, 1, 1};
             m.properties = lzma(256 * kMiB);
             m.files = {{"a.nds", 100 * kMiB}};
         }),
         "\"x.7z\": a block of the archive declares a "},
        {"LZMA 2 GiB for 3 GiB (past 1.5 GiB)", made([](Made& m) {
             m.coderId = {3, 1, 1};
             m.properties = lzma(2048 * kMiB);
             m.files = {{"a.nds", 3072 * kMiB}};
         }),
         "\"x.7z\": a block of the archive declares a "},
        {"PPMd model of 2 GiB", made([](Made& m) {
             m.coderId = {3, 4, 1};
             m.properties = lzma(2048 * kMiB);
         }),
         "\"x.7z\": a block of the archive declares a "},
        {"LZMA2 property past 40", made([](Made& m) { m.properties = {41}; }), damaged},
        {"a member 5 GiB into its block", made([](Made& m) {
             m.files = {{"pad.bin", 5120 * kMiB}, {"b.nds", 10}};
         }),
         "\"x.7z\": the member \"b.nds\" lies behind "},
        {"2^60 files", made([](Made& m) { m.fileCount = std::uint64_t{1} << 60; }), damaged},
        {"2^62 blocks", made([](Made& m) { m.folders = std::uint64_t{1} << 62; }), damaged},
        {"2^40 coders", made([](Made& m) { m.coders = std::uint64_t{1} << 40; }), damaged},
        {"2^50 substreams", made([](Made& m) { m.substreams = std::uint64_t{1} << 50; }), damaged},
        {"more names than files", made([](Made& m) {
             m.files = {{"a.nds", 1}, {"b.nds", 2}};
             m.fileCount = 1;
         }),
         damaged},
        {"cut short", cut, damaged + "its header lies past the end of the file"},
        {"signature only", Bytes{'7', 'z', 0xBC, 0xAF, 0x27, 0x1C},
         damaged + "it does not start with a 7z signature"},
        {"bad signature header CRC", patched(8, 0), damaged + "its signature header does not"},
        {"bad header CRC", patched(32 + 16 + 3, 0x7F), damaged + "its header does not match"},
        {"header size past 64 MiB", patched(20 + 5, 1), damaged + "its header is larger than"},
        {"header offset past the end", patched(12 + 7, 0x80),
         damaged + "its header lies past the end of the file"},
        {"encoded header needing 1 GiB", made([](Made& m) {
             m.encoded = true;
             m.coderId = {3, 1, 1};
             m.properties = lzma(1024 * kMiB);
         }),
         damaged + "its header needs more than 64 MiB of memory to decode"},
        {"encrypted header", made([](Made& m) {
             m.encoded = true;
             m.coderId = {6, 0xF1, 7, 1};
         }),
         damaged + "its file list is encrypted"},
        {"encoded header of damaged LZMA data", made([](Made& m) {
             m.encoded = true;
             m.coderId = {3, 1, 1};
             m.properties = lzma(1 << 16);
         }),
         damaged},
    };
    for (const Case& c : cases) {
        const std::string got = refusal(c.bytes);
        if (c.message.empty())
            EXPECT_EQ(got, "") << c.what;
        else
            EXPECT_EQ(got.substr(0, c.message.size()), c.message) << c.what << ": " << got;
    }
}

TEST(SevenZipHeader, OnlyWantedMembersAreHeldToTheSolidLimit)
{
    Made m;
    m.files = {{"pad.nds", 5120 * kMiB}, {"notes.txt", 10}};
    const Bytes bytes = sevenZip(m);
    const core::MemoryStream file(bytes);
    const SevenZipHeader h = readSevenZipHeader(file, "x.7z");
    ASSERT_EQ(h.files.size(), 2u);
    EXPECT_EQ(h.files[1].skip, 5120 * kMiB);
    const auto images = [](const SevenZipFile& f) {
        return core::imageNameOf(f.name) != core::ImageName::None;
    };
    // The block's dictionary (256 KiB) is its memory, past the reader's own buffers.
    EXPECT_EQ(checkSevenZip(h, images, "x.7z"), (256 << 10) + kSevenZipReaderOverhead);
    EXPECT_THROW(checkSevenZip(
                     h, [](const SevenZipFile&) { return true; }, "x.7z"),
                 core::Error);
}

TEST(SevenZipHeader, DictionaryLimitFollowsTheBlocksSize)
{
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> table = {
        {0, 64 * kMiB},
        {1000, 64 * kMiB},
        {65 * kMiB, 128 * kMiB},
        {1024 * kMiB, 1024 * kMiB},
        {1025 * kMiB, 1536 * kMiB},
        {UINT64_MAX, 1536 * kMiB},
    };
    for (const auto& [size, limit] : table)
        EXPECT_EQ(dictionaryLimit(size), limit) << size;
}

// Archives libarchive writes: the header (encoded or not) read back as written.
TEST(SevenZipHeader, WrittenArchivesReadBackWithTheirBlockOffsets)
{
    const Bytes a = testzip::noise(70000, 1), b = testzip::noise(3000, 2);
    for (const std::string compression : {"lzma2", "lzma1", "copy", "deflate"}) {
        const Bytes bytes =
            testzip::buildSevenZip({Entry::dir("roms/"), Entry::file("roms/a.nds", a),
                                    Entry::file("empty.nds", Bytes{}), Entry::file("b.dsi", b)},
                                   compression, 6);
        const core::MemoryStream file(bytes);
        const SevenZipHeader h = readSevenZipHeader(file, "x.7z");
        ASSERT_EQ(h.files.size(), 4u) << compression;
        std::vector<std::string> names;
        for (const SevenZipFile& f : h.files)
            names.push_back(f.name);
        // libarchive's writer puts the files with data first, in the order written.
        EXPECT_EQ(names, (std::vector<std::string>{"roms/a.nds", "b.dsi", "empty.nds", "roms/"}))
            << compression;
        EXPECT_FALSE(h.files[2].hasStream);
        EXPECT_FALSE(h.files[3].hasStream);
        ASSERT_TRUE(h.files[0].hasStream && h.files[1].hasStream) << compression;
        EXPECT_EQ(h.files[0].size, a.size());
        EXPECT_EQ(h.files[0].skip, 0u);
        EXPECT_EQ(h.files[1].size, b.size());
        if (compression == "copy") {
            // Stored files each get a block of their own.
            EXPECT_EQ(h.files[1].skip, 0u);
            ASSERT_EQ(h.folders.size(), 2u);
            EXPECT_EQ(h.folders[h.files[1].folder].unpackSize, b.size());
        } else {
            EXPECT_EQ(h.files[1].skip, a.size()) << compression;
            EXPECT_EQ(h.files[0].folder, h.files[1].folder);
            ASSERT_EQ(h.folders.size(), 1u);
            EXPECT_EQ(h.folders[0].unpackSize, a.size() + b.size());
        }
        EXPECT_NO_THROW(checkSevenZip(
            h, [](const SevenZipFile&) { return true; }, "x.7z"));
    }
}

// What streamMembers gives for a 7z archive: every image member in archive order.
TEST(SevenZipHeader, StreamedAndTakenImagesComeThroughLibarchive)
{
    const fixture::TempDir dir;
    const Bytes a = testzip::noise(200000, 3), b = testzip::noise(5000, 4);
    const std::string path = dir.file("set.7z");
    fixture::writeFile(
        path, testzip::buildSevenZip({Entry::file("readme.txt", "x"), Entry::file("b.dsi", b),
                                      Entry::file("roms/A.NDS", a)},
                                     "lzma2"));
    std::vector<std::string> names, errors;
    std::vector<std::uint64_t> memory;
    MemberEvents events;
    events.onBegin = [&](const StreamedMember& m) {
        names.push_back(m.name);
        return std::span<core::ReadSink* const>();
    };
    events.onEnd = [&](const StreamedMember&, const std::string& e) { errors.push_back(e); };
    events.onMemory = [&](std::uint64_t bytes) { memory.push_back(bytes); };
    streamMembers(
        path, [](const std::string& n) { return core::imageNameOf(n) != core::ImageName::None; },
        events);
    EXPECT_EQ(names, (std::vector<std::string>{"b.dsi", "roms/A.NDS"}));
    EXPECT_EQ(errors, std::vector<std::string>(2));
    ASSERT_EQ(memory.size(), 1u);
    EXPECT_GT(memory[0], kSevenZipReaderOverhead);

    // The name rule takes the .nds member although a .dsi one comes first.
    const InputImage image(path);
    ASSERT_TRUE(image.fromArchive());
    EXPECT_EQ(image.fromArchive()->memberName, "roms/A.NDS");
    EXPECT_EQ(image.fromArchive()->crc32, core::crc32::crc32Of(a));
    Bytes read(a.size());
    EXPECT_EQ(image.pread(0, read), a.size());
    EXPECT_EQ(read, a);
}

} // namespace
} // namespace cartscope::archive
