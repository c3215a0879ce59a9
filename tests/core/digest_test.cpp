#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/checksum/digest.h"
#include "core/io/read_pass.h"
#include "tests/fixture/dat_fixture.h"

namespace cartscope::core {
namespace {

std::string hexOf(DigestKind kind, const std::string& text)
{
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    return lowerHex(digestOf(kind, bytes));
}

TEST(Digest, KnownVectors)
{
    EXPECT_EQ(hexOf(DigestKind::Md5, ""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hexOf(DigestKind::Sha1, ""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(hexOf(DigestKind::Sha256, ""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hexOf(DigestKind::Md5, "abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hexOf(DigestKind::Sha1, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hexOf(DigestKind::Sha256, "abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Digest, ACopyContinuesOnItsOwnAndValueLeavesTheStateOpen)
{
    const std::vector<std::uint8_t> ab = {'a', 'b'};
    const std::vector<std::uint8_t> c = {'c'};
    Digest d(DigestKind::Sha1);
    d.update(ab);
    Digest copy(d);
    copy.update(c);
    EXPECT_EQ(lowerHex(copy.value()), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(lowerHex(copy.value()), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(d.value(), digestOf(DigestKind::Sha1, ab)); // the original never saw "c"
    d.update(c);
    EXPECT_EQ(d.value(), copy.value());
}

// The sink against one-shot digests, at the block boundaries of the pass and the ring, and at
// random sizes, for one digest alone and for all three at once.
TEST(DigestSink, MatchesOneShotDigestsAtBoundariesAndRandomSizes)
{
    std::mt19937 rng(7);
    std::vector<std::size_t> sizes = {0,
                                      1,
                                      kReadPassBlockSize - 1,
                                      kReadPassBlockSize,
                                      kReadPassBlockSize + 1,
                                      (DigestSink::kRingSlots + 1) * kReadPassBlockSize + 3};
    for (int i = 0; i < 4; ++i)
        sizes.push_back(std::uniform_int_distribution<std::size_t>(0, 6 << 20)(rng));
    for (const std::size_t n : sizes) {
        testdat::Bytes data(n);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        for (const bool all : {false, true}) {
            DigestSink sink(all ? DigestSelection::all() : DigestSelection{}.add(DigestKind::Sha1));
            MemoryStream image(data);
            ReadSink* sinks[] = {&sink};
            ASSERT_TRUE(readPass(image, sinks));
            EXPECT_EQ(lowerHex(sink.state(DigestKind::Sha1)->value()),
                      testdat::refDigest("SHA1", data))
                << n;
            if (all) {
                EXPECT_EQ(lowerHex(sink.state(DigestKind::Md5)->value()),
                          testdat::refDigest("MD5", data));
                EXPECT_EQ(lowerHex(sink.state(DigestKind::Sha256)->value()),
                          testdat::refDigest("SHA256", data));
            } else {
                EXPECT_FALSE(sink.state(DigestKind::Md5));
                EXPECT_FALSE(sink.state(DigestKind::Sha256));
            }
        }
    }
}

TEST(DigestSink, SmallUnevenBlocksAndAStoppedPass)
{
    testdat::Bytes data(300000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 13 + (i >> 9));
    for (const bool threaded : {true, false}) {
        // Blocks of odd sizes, as an archive member arrives; digests on workers or inline.
        DigestSink sink(DigestSelection::all(), threaded);
        std::size_t at = 0;
        for (std::size_t step = 1; at < data.size(); step = step * 3 % 65521 + 1) {
            const std::size_t n = std::min(step, data.size() - at);
            sink.consume(std::span(data).subspan(at, n), at);
            at += n;
        }
        sink.finish(at);
        EXPECT_EQ(lowerHex(sink.state(DigestKind::Md5)->value()), testdat::refDigest("MD5", data));
        EXPECT_EQ(lowerHex(sink.state(DigestKind::Sha256)->value()),
                  testdat::refDigest("SHA256", data));
    }
    {
        // A pass stopped after one block: the sink is dropped with blocks in flight.
        DigestSink sink(DigestSelection::all());
        testdat::Bytes big(3 * kReadPassBlockSize, 0x5A);
        MemoryStream image(big);
        ReadSink* sinks[] = {&sink};
        EXPECT_FALSE(readPass(image, sinks, [](std::uint64_t, std::uint64_t) { return false; }));
    }
}

} // namespace
} // namespace cartscope::core
