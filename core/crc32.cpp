#include "core/crc32.h"

#include <fcntl.h>
#include <memory>

#include <isa-l/crc.h>

#include "core/read_pass.h"
#include "core/stream.h"

namespace cartscope::core::crc32 {

namespace {

constexpr std::array<std::uint32_t, 256> makeTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrc32Table = makeTable();
static_assert(kCrc32Table[1] == 0x77073096u && kCrc32Table[128] == 0xEDB88320u);

// The reference path's block, as the original byte-at-a-time routine read it.
constexpr std::size_t kReferenceBlockSize = 256;

} // namespace

const std::array<std::uint32_t, 256>& BuildCrc32Table()
{
    return kCrc32Table;
}

std::uint32_t Crc32Update(std::uint8_t byte, std::uint32_t crc)
{
    return kCrc32Table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

std::uint32_t crc32Of(std::span<const std::uint8_t> bytes, std::uint32_t previous)
{
    // crc32_gzip_refl takes and returns the finished (complemented) value, like zlib's crc32:
    // 0 starts a new checksum and a previous result continues it.
    return crc32_gzip_refl(previous, bytes.data(), bytes.size());
}

// Failure texts: the open goes through FileStream, so a missing file, a folder, a FIFO or a
// device fails before any read with "Cannot open file "<path>". <reason>" (Linux's reason text
// in place of the Windows runtime's "File not found" family); a failing read throws
// "Stream read error".
std::uint32_t FileCrc32(const std::string& path)
{
    FileStream file(path);
    Crc32Sink crc;
    ReadSink* sinks[] = {&crc};
    readPass(file, sinks);
    return crc.value();
}

std::uint32_t FileCrc32Reference(const std::string& path)
{
    FileStream file(path);
    std::array<std::uint8_t, kReferenceBlockSize> block{};
    std::uint32_t crc = 0xFFFFFFFFu;
    for (;;) {
        const std::size_t n = file.read(block);
        for (std::size_t i = 0; i < n; ++i)
            crc = Crc32Update(block[i], crc);
        if (n < block.size())
            break;
    }
    return crc ^ 0xFFFFFFFFu;
}

} // namespace cartscope::core::crc32
