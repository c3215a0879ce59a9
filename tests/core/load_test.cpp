// One load for every front end: the steps, and the whole-file read only for who asks for it.
#include <atomic>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/checksum/crc32.h"
#include "core/load.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;
using fixture::ImageBuilder;
using fixture::Node;

// A memory image that counts the bytes asked of it, and may claim to be longer than it is.
class CountingStream final : public Stream {
public:
    explicit CountingStream(const Bytes& bytes, std::uint64_t claimedSize = 0)
        : m_inner(bytes), m_size(claimedSize ? claimedSize : bytes.size())
    {}
    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override
    {
        read += out.size();
        return m_inner.pread(position, out);
    }
    std::uint64_t size() const override { return m_size; }
    mutable std::atomic<std::uint64_t> read = 0;

private:
    MemoryStream m_inner;
    std::uint64_t m_size;
};

Bytes bigImage()
{
    return ImageBuilder()
        .title("BIG")
        .root({Node::file("big.bin", Bytes(3 << 20, 0x5A)), Node::file("tiny.txt", "hi")})
        .build();
}

TEST(Load, WithoutTheFileCrcNothingButHeaderBannerAndTablesIsRead)
{
    const Bytes image = bigImage();
    CountingStream stream(image);
    const LoadedImage loaded = loadImage(stream);
    EXPECT_EQ(loaded.stage, LoadedImage::Stage::Tables);
    EXPECT_FALSE(loaded.fileCrc32);
    EXPECT_FALSE(loaded.display.crc32);
    EXPECT_EQ(loaded.display.internalName, "BIG");
    ASSERT_EQ(loaded.rows.size(), 2u);
    EXPECT_EQ(loaded.rows[1].path, "/tiny.txt");
    EXPECT_LT(stream.read.load(), 128u * 1024) << "the 3 MiB file's data must not be read";
}

TEST(Load, SkippingTheTablesReadsNoneAndChangesNothingElse)
{
    const Bytes image = bigImage();
    CountingStream full(image), skipped(image);
    LoadedImage withTables, without;
    analyse(full, withTables);
    analyse(skipped, without, Tables::Skip);
    EXPECT_EQ(without.stage, LoadedImage::Stage::Banner);
    EXPECT_TRUE(without.files.empty());
    EXPECT_TRUE(without.dirs.empty());
    EXPECT_LT(skipped.read.load(), full.read.load());
    finishLoad(withTables);
    finishLoad(without);
    for (const HeaderField& field : kHeaderFields)
        EXPECT_EQ(field.get(without.display), field.get(withTables.display)) << field.control;
    EXPECT_EQ(without.display.titles, withTables.display.titles);
    EXPECT_TRUE(without.rows.empty());
}

TEST(Load, TheFileCrcIsOneReadOrTheValueGiven)
{
    const Bytes image = bigImage();
    CountingStream stream(image);
    LoadOptions options;
    options.fileCrc32 = true;
    const LoadedImage loaded = loadImage(stream, options);
    ASSERT_TRUE(loaded.fileCrc32);
    EXPECT_EQ(*loaded.fileCrc32, crc32::crc32Of(image));
    EXPECT_EQ(loaded.display.crc32, crc32::crc32Of(image));
    EXPECT_LT(stream.read.load(), image.size() + 128u * 1024) << "one whole read, not two";

    // A CRC-32 computed while an archive member was copied is taken as it is.
    CountingStream again(image);
    options.knownCrc32 = 0x1234u;
    const LoadedImage given = loadImage(again, options);
    EXPECT_EQ(valueText(given.display, "CRC32Edit"), "00001234");
    EXPECT_LT(again.read.load(), 128u * 1024);
}

TEST(Load, MoreSinksShareTheOneRead)
{
    struct Count final : ReadSink {
        std::uint64_t bytes = 0;
        int finishes = 0;
        void consume(std::span<const std::uint8_t> block, std::uint64_t) override
        {
            bytes += block.size();
        }
        void finish(std::uint64_t) override { ++finishes; }
    };
    const Bytes image = bigImage();
    CountingStream stream(image);
    Count count;
    LoadOptions options;
    options.extraSinks = {&count};
    const LoadedImage loaded = loadImage(stream, options);
    EXPECT_EQ(count.bytes, image.size());
    EXPECT_EQ(count.finishes, 1);
    EXPECT_EQ(loaded.display.crc32, crc32::crc32Of(image));
    EXPECT_LT(stream.read.load(), image.size() + 128u * 1024);
}

TEST(Load, AnImageThatDeliversLessThanItsSizeFailsTheRead)
{
    const Bytes image = bigImage();
    CountingStream stream(image, image.size() + 10);
    LoadOptions options;
    options.fileCrc32 = true;
    try {
        loadImage(stream, options);
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), kStreamReadError);
    }
    // Without the CRC the same image loads.
    CountingStream again(image, image.size() + 10);
    EXPECT_EQ(loadImage(again).rows.size(), 2u);
}

TEST(Load, AFailedStepLeavesTheStepsBeforeIt)
{
    Bytes image = bigImage();
    image.resize(0x7000); // the header's secure-area copy runs short
    MemoryStream stream(image);
    LoadedImage loaded;
    EXPECT_THROW(analyse(stream, loaded), Error);
    EXPECT_EQ(loaded.stage, LoadedImage::Stage::None);
}

} // namespace
} // namespace cartscope::core
