#include <cstdio>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/checksum/crc16.h"
#include "core/checksum/crc32.h"
#include "core/interpret.h"
#include "tests/fixture/crc32_reference.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;
using fixture::TempDir;

Bytes bytesOf(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

TEST(Crc16, PublishedVectorsAndEmptyBuffer)
{
    EXPECT_EQ(crc16::Crc16OfStream(bytesOf("123456789")), 0x4B37);
    EXPECT_EQ(crc16::Crc16OfStream(bytesOf("abc")), 0x5749);
    EXPECT_EQ(crc16::Crc16OfStream({}), 0xFFFF);
    // CRC-16 of the single byte E1h is 087Fh.
    EXPECT_EQ(crc16::Crc16OfStream(Bytes{0xE1}), 0x087F);
}

TEST(Crc16, TableEntriesSeenThroughUpdate)
{
    // From a zero register one byte i yields table entry i.
    const auto entry = [](std::uint8_t i) {
        std::uint16_t crc = 0;
        crc16::Crc16Update(&i, 1, crc);
        return crc;
    };
    EXPECT_EQ(entry(1), 0xC0C1);
    EXPECT_EQ(entry(128), 0xA001);
    EXPECT_EQ(entry(255), 0x4040);

    std::uint16_t crc = 0x1234;
    crc16::Crc16Update(nullptr, 0, crc);
    EXPECT_EQ(crc, 0x1234);
}

TEST(Crc16, AgreesWithIndependentImplementationOnLargeBuffers)
{
    std::mt19937 rng(7);
    // Every length up to 17 (the eight-byte steps and each tail), then the header's ranges, the
    // secure area and one past the 16-bit piece size.
    std::vector<std::size_t> sizes;
    for (std::size_t n = 1; n <= 17; ++n)
        sizes.push_back(n);
    sizes.insert(sizes.end(), {156u, 350u, 16384u, 70000u});
    for (std::size_t size : sizes) {
        Bytes b(size);
        for (auto& x : b)
            x = static_cast<std::uint8_t>(rng());
        const std::uint16_t expected = fixture::crc16Modbus(b.data(), b.size());
        EXPECT_EQ(crc16::Crc16OfStream(b), expected) << size;
    }
}

TEST(Crc16, ShortValuesKeepFourDigits)
{
    // What a caller sees: "x12808" has the CRC-16 00EDh, "x31" the CRC-32 001685F0h; the texts
    // keep their leading zeros.
    EXPECT_EQ(hex4(crc16::Crc16OfStream(bytesOf("x12808"))), "00ED");
    TempDir dir;
    const std::string path = dir.file("x31");
    fixture::writeFile(path, bytesOf("x31"));
    EXPECT_EQ(crc32Text(cartscope::reference::FileCrc32(path)), "001685F0");
    EXPECT_EQ(crc32Text(cartscope::reference::FileCrc32Reference(path)), "001685F0");
}

TEST(Crc32, Table)
{
    const auto& table = cartscope::reference::BuildCrc32Table();
    EXPECT_EQ(table[1], 0x77073096u);
    EXPECT_EQ(table[128], 0xEDB88320u);
    EXPECT_EQ(table[255], 0x2D02EF8Du);
    EXPECT_EQ(cartscope::reference::Crc32Update(1, 0), 0x77073096u);
}

TEST(Crc32, AcceleratedBufferRoutineMatchesPublishedVectors)
{
    EXPECT_EQ(crc32::crc32Of(bytesOf("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc32::crc32Of(bytesOf("abc")), 0x352441C2u);
    EXPECT_EQ(crc32::crc32Of({}), 0u);
    // Continuing from a previous result gives the CRC of the whole.
    EXPECT_EQ(crc32::crc32Of(bytesOf("6789"), crc32::crc32Of(bytesOf("12345"))), 0xCBF43926u);
}

class FileCrc32Test : public ::testing::Test {
protected:
    std::string write(const std::string& name, const Bytes& bytes)
    {
        const std::string path = m_dir.file(name);
        fixture::writeFile(path, bytes);
        return path;
    }
    TempDir m_dir;
};

TEST_F(FileCrc32Test, KnownValues)
{
    EXPECT_EQ(cartscope::reference::FileCrc32(write("digits", bytesOf("123456789"))), 0xCBF43926u);
    EXPECT_EQ(cartscope::reference::FileCrc32Reference(write("abc", bytesOf("abc"))), 0x352441C2u);
    EXPECT_EQ(cartscope::reference::FileCrc32(write("empty", {})), 0x00000000u);
    EXPECT_EQ(cartscope::reference::FileCrc32Reference(write("empty", {})), 0x00000000u);
    EXPECT_EQ(cartscope::reference::FileCrc32(write("quote", Bytes{0x22})), 0x0762AE69u);
}

TEST_F(FileCrc32Test, FastAndReferenceAgreeAcrossBlockBoundaries)
{
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    std::mt19937 rng(42);
    Bytes all(3 * kMiB + 12345);
    for (auto& x : all)
        x = static_cast<std::uint8_t>(rng());
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{255}, std::size_t{256},
                             std::size_t{257}, kMiB - 1, kMiB, kMiB + 1, all.size()}) {
        const Bytes part(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(size));
        const std::string path = write("f" + std::to_string(size), part);
        const std::uint32_t fast = cartscope::reference::FileCrc32(path);
        EXPECT_EQ(fast, cartscope::reference::FileCrc32Reference(path)) << size;
        EXPECT_EQ(fast, crc32::crc32Of(part)) << size;
    }
}

TEST_F(FileCrc32Test, RefusesWhatIsNotARegularFileWithAClearMessage)
{
    const std::string missing = m_dir.file("missing.nds");
    const std::string fifo = m_dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {missing, "Cannot open file \"" + missing + "\". No such file or directory"},
        {m_dir.path(), "Cannot open file \"" + m_dir.path() + "\". Is a directory"},
        {fifo, "Cannot open file \"" + fifo + "\". Not a regular file (a named pipe)"},
    };
    for (const auto& [path, message] : cases) {
        for (auto* routine :
             {&cartscope::reference::FileCrc32, &cartscope::reference::FileCrc32Reference}) {
            try {
                routine(path);
                ADD_FAILURE() << path;
            } catch (const Error& e) {
                EXPECT_EQ(std::string(e.what()), message);
            }
        }
    }
}

} // namespace
} // namespace cartscope::core
