#include <atomic>
#include <chrono>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/checksum/crc32.h"
#include "core/checksum/crc32_sink.h"
#include "core/io/archive_kind.h"
#include "core/io/read_pass.h"
#include "core/io/stream.h"

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
        v[i] = static_cast<std::uint8_t>(i * 7 + (i >> 11) + (i >> 20) * 31); // blocks differ
    return v;
}

TEST(ReadPass, EverySinkSeesEveryByteOnceAcrossBlockBoundaries)
{
    for (const std::size_t n :
         {std::size_t{0}, std::size_t{1}, kReadPassBlockSize - 1, kReadPassBlockSize,
          kReadPassBlockSize + 1, 3 * kReadPassBlockSize + 12345,
          // Large enough to be read ahead on a thread of its own, around its ring of blocks
          // several times.
          13 * kReadPassBlockSize + 4321}) {
        const auto data = pattern(n);
        MemoryStream image(data);
        Recorder a, b;
        Crc32Sink crc;
        ReadSink* sinks[] = {&a, &crc, &b};
        ASSERT_TRUE(readPass(image, sinks));
        EXPECT_EQ(a.bytes, data) << n;
        EXPECT_EQ(b.bytes, data) << n;
        EXPECT_EQ(a.finished, n);
        EXPECT_EQ(a.blocks, static_cast<int>((n + kReadPassBlockSize - 1) / kReadPassBlockSize));
        EXPECT_EQ(crc.value(), crc32::crc32Of(data)) << n;
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

// A sink that takes its time over each block and checks the block did not change meanwhile:
// the read ahead never writes into a block the sinks still hold. Slow sinks also make the pass
// read ahead on a thread of its own after its first blocks.
class SlowChecker final : public ReadSink {
public:
    void consume(std::span<const std::uint8_t> block, std::uint64_t) override
    {
        const std::vector<std::uint8_t> before(block.begin(), block.end());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!std::equal(block.begin(), block.end(), before.begin(), before.end()))
            ++changed;
        ++blocks;
    }
    int changed = 0;
    int blocks = 0;
};

// pattern()'s bytes for `claimed` bytes; reads fail from `failAt` on (an exception with its own
// message, or the end of the data as in a file truncated during the pass). Notes whether any
// read ran on another thread than the one that made the stream, and can take its time.
class PatternStream final : public Stream {
public:
    PatternStream(std::uint64_t claimed, std::uint64_t failAt, bool throws = false,
                  std::chrono::milliseconds delay = {})
        : m_bytes(pattern(static_cast<std::size_t>(claimed))), m_failAt(failAt), m_throws(throws),
          m_delay(delay)
    {}
    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override
    {
        if (std::this_thread::get_id() != m_owner)
            offThread = true;
        std::this_thread::sleep_for(m_delay);
        if (position + out.size() > m_failAt && m_throws)
            throw Error("Cannot read: Input/output error");
        const std::uint64_t end = std::min<std::uint64_t>(position + out.size(), m_failAt);
        const std::size_t n = position < end ? static_cast<std::size_t>(end - position) : 0;
        std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(position), n, out.begin());
        return n;
    }
    std::uint64_t size() const override { return m_bytes.size(); }
    mutable std::atomic<bool> offThread{false};

private:
    std::vector<std::uint8_t> m_bytes;
    std::uint64_t m_failAt;
    bool m_throws;
    std::chrono::milliseconds m_delay;
    std::thread::id m_owner = std::this_thread::get_id();
};

TEST(ReadPass, SlowSinksReadAheadOnAThreadAndLeaveTheSinksBlocksAlone)
{
    const std::uint64_t size = 20 * kReadPassBlockSize + 99;
    PatternStream image(size, size);
    SlowChecker slow;
    Recorder r;
    Crc32Sink crc;
    ReadSink* sinks[] = {&slow, &r, &crc};
    ASSERT_TRUE(readPass(image, sinks));
    EXPECT_TRUE(image.offThread);
    EXPECT_EQ(slow.blocks, 21);
    EXPECT_EQ(slow.changed, 0);
    EXPECT_EQ(r.bytes, pattern(size));
    EXPECT_EQ(r.finished, size);
    EXPECT_EQ(crc.value(), crc32::crc32Of(pattern(size)));

    // Sinks that cost nothing beside a slow read: the read and the sinks take turns.
    PatternStream slowRead(20 * kReadPassBlockSize, 20 * kReadPassBlockSize, false,
                           std::chrono::milliseconds(2));
    Crc32Sink quick;
    ReadSink* quickSinks[] = {&quick};
    ASSERT_TRUE(readPass(slowRead, quickSinks));
    EXPECT_FALSE(slowRead.offThread);
}

TEST(ReadPass, AReadErrorOrAStreamThatEndsEarlyStopsThePassWithItsMessage)
{
    struct Case {
        std::uint64_t claimed;
        std::uint64_t failAt;
        bool throws;
        bool slowSinks; // the failure met by the read ahead
        const char* message;
    };
    const std::uint64_t block = kReadPassBlockSize;
    for (const Case& c :
         {Case{5000, 100, false, false, "Stream read error"},
          Case{5 * block, 0, true, false, "Cannot read: Input/output error"},
          Case{20 * block, 7 * block + 100, false, true, "Stream read error"},
          Case{20 * block, 7 * block + 100, true, true, "Cannot read: Input/output error"}}) {
        SCOPED_TRACE(c.claimed);
        SCOPED_TRACE(c.slowSinks);
        PatternStream image(c.claimed, c.failAt, c.throws);
        Recorder r;
        SlowChecker slow;
        std::vector<ReadSink*> sinks{&r};
        if (c.slowSinks)
            sinks.push_back(&slow);
        try {
            readPass(image, sinks);
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_EQ(image.offThread, c.slowSinks);
        // Every whole block before the failure reached the sinks, nothing after it.
        EXPECT_EQ(r.bytes.size(), c.failAt / block * block);
        EXPECT_EQ(r.finished, ~std::uint64_t{0});
    }
}

// Stopped by progress, or by a sink that throws, while the read runs ahead: the pass ends at
// once, the sinks unfinished, the read ahead stopped.
TEST(ReadPass, AReadAheadStopsWithThePass)
{
    struct Throwing final : ReadSink {
        int blocks = 0;
        void consume(std::span<const std::uint8_t>, std::uint64_t) override
        {
            if (++blocks == 9)
                throw std::runtime_error("sink failed");
        }
    };
    const std::uint64_t size = 30 * kReadPassBlockSize;
    {
        PatternStream image(size, size);
        SlowChecker slow;
        Recorder r;
        ReadSink* sinks[] = {&slow, &r};
        int calls = 0;
        EXPECT_FALSE(
            readPass(image, sinks, [&](std::uint64_t, std::uint64_t) { return ++calls < 8; }));
        EXPECT_TRUE(image.offThread);
        EXPECT_EQ(r.bytes.size(), 8 * kReadPassBlockSize);
        EXPECT_EQ(r.finished, ~std::uint64_t{0});
    }
    {
        PatternStream image(size, size);
        SlowChecker slow;
        Throwing sink;
        ReadSink* sinks[] = {&slow, &sink};
        EXPECT_THROW(readPass(image, sinks), std::runtime_error);
        EXPECT_TRUE(image.offThread);
        EXPECT_EQ(sink.blocks, 9);
    }
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
              "\"x.rar\" is a RAR archive; Cartscope reads zip and 7z archives");
}

} // namespace
} // namespace cartscope::core
