#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"

// The container shared by the console's graphics, animation and font files: a 16-byte header
// (magic, byte order mark 0xFEFF, version, file size, header size, block count) followed by
// blocks, each a 4-byte magic and a 32-bit size that counts its own 8-byte header.
namespace cartscope::core {

// The largest picture any renderer makes, in pixels (4096 x 4096): an image's dimensions are
// hostile, and the RGBA bytes are allocated before drawing.
inline constexpr std::uint64_t kMaxPixels = 4096ull * 4096ull;

struct NitroBlock {
    std::string magic;      // as the format names it ("PLTT"): the stored bytes reversed
    std::size_t offset = 0; // of the block's header in the file
    std::span<const std::uint8_t> data; // the block's bytes after its 8-byte header
};

struct NitroFile {
    std::string magic; // "NCLR", "NCGR", ...: the stored bytes reversed
    std::uint16_t version = 0;
    std::vector<NitroBlock> blocks;

    // The first block of that magic, or null.
    const NitroBlock* find(std::string_view blockMagic) const;
};

// Reads the header and walks the blocks of a file whose magic must be `magic` ("NCGR"). Throws
// ""%s" is not an NCGR file" (with `label`) for another magic or byte order mark, and
// ""%s" is damaged: ..." when the header's sizes or a block's size do not fit the bytes. The walk
// is bounded by the block count and by the file: every block is at least its 8-byte header
// long, so each step moves forward.
NitroFile readNitro(std::span<const std::uint8_t> bytes, std::string_view magic,
                    const std::string& label);

// The block of that magic; throws ""%s" is damaged: it has no PLTT block".
const NitroBlock& requireBlock(const NitroFile& file, std::string_view blockMagic,
                               const std::string& label);

// ""%s" is damaged: <what>", the one text for a file whose fields do not fit its bytes.
Error damaged(const std::string& label, const std::string& what);

// Whether `length` bytes from `offset` lie inside `size` bytes (cannot overflow).
inline bool fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size)
{
    return offset <= size && length <= size - offset;
}

} // namespace cartscope::core
