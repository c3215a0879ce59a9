// Streams are read by position only: every kind delivers what lies at the position asked for,
// short only at its end, and one const stream can be read from several threads at once.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <fcntl.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/io/stream.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;

// The same bytes as a file, a descriptor, memory and a window over the file.
struct EveryKind {
    explicit EveryKind(const Bytes& data)
        : path(writeImage(dir, data)), file(path), fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)),
          descriptor(fd.get(), data.size()), memory(data), window(file, 0, ~std::uint64_t{0})
    {}
    static std::string writeImage(const fixture::TempDir& dir, const Bytes& data)
    {
        fixture::writeFile(dir.file("image.nds"), data);
        return dir.file("image.nds");
    }
    std::vector<std::pair<const char*, const Stream*>> all() const
    {
        return {
            {"file", &file}, {"descriptor", &descriptor}, {"memory", &memory}, {"window", &window}};
    }

    fixture::TempDir dir;
    std::string path;
    FileStream file;
    UniqueFd fd;
    DescriptorStream descriptor;
    MemoryStream memory;
    SubStream window;
};

TEST(Stream, EveryKindReadsAtThePositionAskedAndIsShortOnlyAtItsEnd)
{
    const Bytes data = fixture::pattern(5000, 3);
    const EveryKind kinds(data);
    struct Case {
        std::uint64_t position;
        std::size_t length;
        std::size_t delivered;
    };
    const Case cases[] = {
        {0, 16, 16},
        {1234, 100, 100},
        {4990, 16, 10},
        {4999, 1, 1},
        {5000, 16, 0},
        {5001, 16, 0},
        {100, 0, 0},
        {std::uint64_t{1} << 62, 16, 0},
        {~std::uint64_t{0} - 3, 16, 0},
    };
    for (const auto& [name, stream] : kinds.all()) {
        ASSERT_EQ(stream->size(), data.size()) << name;
        for (const Case& c : cases) {
            std::vector<std::uint8_t> out(c.length, 0xEE);
            ASSERT_EQ(stream->pread(c.position, out), c.delivered) << name << " @" << c.position;
            const auto from = data.begin() + static_cast<std::ptrdiff_t>(
                                                 std::min<std::uint64_t>(c.position, data.size()));
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + c.delivered, from))
                << name << " @" << c.position;
            // What is not delivered is left as it was.
            EXPECT_TRUE(std::all_of(out.begin() + c.delivered, out.end(),
                                    [](std::uint8_t b) { return b == 0xEE; }))
                << name << " @" << c.position;
        }
        std::array<std::uint8_t, 10> exact{};
        stream->readExact(4990, exact);
        EXPECT_TRUE(std::equal(exact.begin(), exact.end(), data.begin() + 4990)) << name;
        std::array<std::uint8_t, 11> tooLong{};
        try {
            stream->readExact(4990, tooLong);
            ADD_FAILURE() << name << ": a read past the end was exact";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), "Stream read error") << name;
        }
    }
}

// Each thread reads its own positions; a stream that kept a shared position (a seek, then a
// read) would hand one thread's bytes to another.
TEST(Stream, OneConstStreamReadFromSeveralThreadsAtOnceGivesEachItsBytes)
{
    const Bytes data = fixture::pattern(std::size_t{1} << 20, 9);
    const EveryKind kinds(data);
    for (const auto& [name, stream] : kinds.all()) {
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < 4; ++t) {
            threads.emplace_back([&, t, s = stream] {
                std::mt19937_64 random(t + 1);
                std::vector<std::uint8_t> out(4096);
                for (int k = 0; k < 3000; ++k) {
                    const std::uint64_t position = random() % (data.size() + 64);
                    const std::size_t length = random() % out.size() + 1;
                    const std::size_t got = s->pread(position, std::span(out).first(length));
                    const std::size_t expected =
                        position < data.size()
                            ? std::min<std::size_t>(length, data.size() - position)
                            : 0;
                    if (got != expected ||
                        !std::equal(out.begin(), out.begin() + got,
                                    data.begin() + static_cast<std::ptrdiff_t>(position)))
                        ++wrong;
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(wrong.load(), 0) << name;
    }
}

TEST(SubStream, ReadsOnlyItsWindowAndIsClampedToTheParent)
{
    const Bytes data = fixture::pattern(1000, 1);
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

} // namespace
} // namespace cartscope::core
