#include <fcntl.h>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/archive_kind.h"
#include "core/crc32.h"
#include "core/error.h"
#include "core/read_pass.h"
#include "core/stream.h"

namespace cartscope::core {
namespace {

// Records every block it is handed, so the tests can check order, positions and coverage.
class Recorder final : public ReadSink {
public:
    void consume(std::span<const std::uint8_t> block, std::uint64_t position) override
    {
        EXPECT_EQ(position, bytes.size()) << "blocks must arrive in order without gaps";
        bytes.insert(bytes.end(), block.begin(), block.end());
        ++blocks;
    }
    void finish(std::uint64_t total) override { finished = total; }
    std::vector<std::uint8_t> bytes;
    int blocks = 0;
    std::uint64_t finished = ~std::uint64_t{0};
};

std::vector<std::uint8_t> pattern(std::size_t n)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 7 + (i >> 11));
    return v;
}

TEST(ReadPass, EverySinkSeesEveryByteOnceAcrossBlockBoundaries)
{
    for (const std::size_t n :
         {std::size_t{0}, std::size_t{1}, kReadPassBlockSize - 1, kReadPassBlockSize,
          kReadPassBlockSize + 1, 3 * kReadPassBlockSize + 12345}) {
        const auto data = pattern(n);
        MemoryStream image(data);
        image.seek(17); // the pass never depends on the stream's own position
        Recorder a, b;
        Crc32Sink crc;
        ReadSink* sinks[] = {&a, &crc, &b};
        ASSERT_TRUE(readPass(image, sinks));
        EXPECT_EQ(a.bytes, data) << n;
        EXPECT_EQ(b.bytes, data) << n;
        EXPECT_EQ(a.finished, n);
        EXPECT_EQ(a.blocks, static_cast<int>((n + kReadPassBlockSize - 1) / kReadPassBlockSize));
        EXPECT_EQ(crc.value(), crc32::crc32Of(data)) << n;
        EXPECT_EQ(image.position(), 17u);
    }
}

TEST(ReadPass, ProgressCanStopThePassWithoutFinishingSinks)
{
    const auto data = pattern(3 * kReadPassBlockSize);
    MemoryStream image(data);
    Recorder r;
    ReadSink* sinks[] = {&r};
    std::vector<std::uint64_t> seen;
    const bool done = readPass(image, sinks, [&](std::uint64_t d, std::uint64_t total) {
        EXPECT_EQ(total, data.size());
        seen.push_back(d);
        return seen.size() < 2;
    });
    EXPECT_FALSE(done);
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{kReadPassBlockSize, 2 * kReadPassBlockSize}));
    EXPECT_EQ(r.bytes.size(), 2 * kReadPassBlockSize);
    EXPECT_EQ(r.finished, ~std::uint64_t{0});
}

// A stream that claims more bytes than it delivers, like a file truncated during the pass.
class ShrinkingStream final : public Stream {
public:
    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override
    {
        return position < 100 ? std::min<std::size_t>(out.size(), 100 - position) : 0;
    }
    std::uint64_t size() const override { return 5000; }
};

TEST(ReadPass, AStreamThatEndsEarlyIsAReadError)
{
    ShrinkingStream image;
    Crc32Sink crc;
    ReadSink* sinks[] = {&crc};
    EXPECT_THROW(
        {
            try {
                readPass(image, sinks);
            } catch (const Error& e) {
                EXPECT_STREQ(e.what(), "Stream read error");
                throw;
            }
        },
        Error);
}

TEST(SubStream, ReadsOnlyItsWindowAndIsClampedToTheParent)
{
    const auto data = pattern(1000);
    MemoryStream parent(data);
    SubStream inside(parent, 100, 50);
    EXPECT_EQ(inside.size(), 50u);
    std::array<std::uint8_t, 80> buf{};
    EXPECT_EQ(inside.pread(0, buf), 50u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 50, data.begin() + 100));
    EXPECT_EQ(inside.pread(49, buf), 1u);
    EXPECT_EQ(buf[0], data[149]);
    EXPECT_EQ(inside.pread(50, buf), 0u);

    SubStream overhanging(parent, 990, 100);
    EXPECT_EQ(overhanging.size(), 10u);
    SubStream pastEnd(parent, 5000, 100);
    EXPECT_EQ(pastEnd.size(), 0u);
    EXPECT_EQ(pastEnd.pread(0, buf), 0u);
    SubStream huge(parent, 1, ~std::uint64_t{0});
    EXPECT_EQ(huge.size(), 999u);

    // Nested windows add their offsets.
    SubStream nested(inside, 10, 5);
    EXPECT_EQ(nested.pread(0, buf), 5u);
    EXPECT_EQ(buf[0], data[110]);
    EXPECT_FALSE(nested.nativeFile());
}

} // namespace
} // namespace cartscope::core

namespace cartscope::core {
namespace {

// A read that fails says why, in the system's words; a short read stays "Stream read error".
TEST(DescriptorStream, AFailedReadGivesTheSystemsReason)
{
    const UniqueFd folder(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(folder.valid());
    std::vector<std::uint8_t> out(10);
    const auto failure = [&](const DescriptorStream& stream) {
        try {
            stream.pread(0, out);
        } catch (const Error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(failure(DescriptorStream(folder.get(), 100)), "Stream read error: Is a directory");
    EXPECT_EQ(failure(DescriptorStream(folder.get(), 100, "\"a.nds\" in the archive \"x.zip\"")),
              "Cannot read \"a.nds\" in the archive \"x.zip\". Is a directory");
}

TEST(ArchiveKind, EachSignatureAndNothingElse)
{
    const std::vector<std::pair<std::string, ArchiveKind>> cases = {
        {std::string("PK\x03\x04", 4), ArchiveKind::Zip},
        {std::string("PK\x05\x06", 4), ArchiveKind::Zip},
        {std::string("7z\xBC\xAF\x27\x1C", 6), ArchiveKind::SevenZip},
        {"\x1F\x8B", ArchiveKind::Gzip},
        {std::string("Rar!\x1A\x07\x01\x00", 8), ArchiveKind::Rar},
        {std::string("\xFD"
                     "7zXZ\x00",
                     6),
         ArchiveKind::Xz},
        {"\x28\xB5\x2F\xFD", ArchiveKind::Zstd},
        {"BZh9", ArchiveKind::Bzip2},
        {"PK\x03", ArchiveKind::None}, // cut short
        {std::string("7z\xBC\xAF\x27", 5), ArchiveKind::None},
        {"\x1F", ArchiveKind::None},
        {"BZ", ArchiveKind::None},
        {"", ArchiveKind::None},
        {"SUPER MARIOBAMBE", ArchiveKind::None}, // an image's title
    };
    for (const auto& [head, kind] : cases) {
        const std::span<const std::uint8_t> bytes(
            reinterpret_cast<const std::uint8_t*>(head.data()), head.size());
        EXPECT_EQ(archiveKindOf(bytes), kind) << head;
        EXPECT_EQ(archiveKindOf(MemoryStream(bytes)), kind) << head;
    }
    EXPECT_EQ(unsupportedArchiveMessage("x.rar", ArchiveKind::Rar),
              "\"x.rar\" is a RAR archive; Cartscope reads zip archives");
}

} // namespace
} // namespace cartscope::core
