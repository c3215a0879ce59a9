#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/compress/encode.h"

// Code compression: the backward LZ the SDK applies to the ARM9 binary and to overlays, decoded
// in place from the end of the file towards its start. The last 8 bytes are its footer:
//   end-8: bits 0-23 the compressed region's length (counted back from the end, footer
//          included), bits 24-31 the footer's length (8, plus 0xFF padding before it)
//   end-4: extra size: the decompressed file is this much longer than the compressed one
// Below the compressed region the file is stored as it is. Read backwards, the region is LZ10
// without a header, with lengths 3-18 and distances 3-4098.
namespace cartscope::core {

// Code compression's output is bounded: the decompressed file is held whole.
inline constexpr std::uint64_t kMaxCodeSize = 16ull << 20;

// The decompressed file. A footer with an extra size of 0 means stored as it is. Throws Error
// naming `name` when the footer is inconsistent, the output would pass 16 MiB or 9 times the
// compressed region, a back-reference points before the start, or the data ends early.
std::vector<std::uint8_t> decompressCode(std::span<const std::uint8_t> file,
                                         const std::string& name);

struct CodeOptions {
    // Bytes at the start kept as they are (0x4000 for the ARM9: the secure area and the start-up
    // code that runs before decompression).
    std::size_t rawPrefix = 0;
};

// The compressed file, laid out so the in-place decode never overwrites input it has yet to
// read; std::nullopt when compression would not make the file smaller. At most 16 MiB.
std::optional<std::vector<std::uint8_t>> compressCode(std::span<const std::uint8_t> data,
                                                      const CodeOptions& options = {});

// The ARM9's module parameters: found by the two magic words 0xDEC00621, 0x2106C0DE at offsets
// 0x1C and 0x20 of the structure; its word at 0x14 is the RAM address where the compressed
// binary ends (0 when not compressed).
struct Arm9CodeState {
    bool hasModuleParams = false;
    std::size_t paramsOffset = 0; // of the structure in the binary
    bool compressed = false;
    std::size_t compressedEnd = 0; // bytes of the binary that are compressed (from its start)
};
inline constexpr std::size_t kArm9RawPrefix = 0x4000;

// Throws Error naming `name` when the compressed end lies outside the binary.
Arm9CodeState arm9CodeState(std::span<const std::uint8_t> arm9, std::uint32_t ramAddress,
                            const std::string& name);

// The ARM9 decompressed (bytes past the compressed end kept), its compressed-end word set to 0,
// so it runs as an uncompressed binary; a copy when it is not compressed.
std::vector<std::uint8_t> decompressArm9(std::span<const std::uint8_t> arm9,
                                         std::uint32_t ramAddress, const std::string& name);

// The ARM9 compressed (its first 0x4000 bytes and the module parameters left as they are) with
// the compressed-end word set; unchanged, word 0, when compression would not make it smaller.
// Throws Error naming `name` without module parameters.
std::vector<std::uint8_t> compressArm9(std::span<const std::uint8_t> arm9, std::uint32_t ramAddress,
                                       const std::string& name);

// The overlay table's word at 0x1C: bits 0-23 the compressed size, bit 24 "compressed".
struct OverlayCompression {
    bool compressed = false;
    std::uint32_t size = 0;
};
OverlayCompression overlayCompression(std::uint32_t word);

// Whether the file ends in a code-compression footer that fits it (an extra size other than 0,
// the footer inside the region, the region inside the file, the output within the limits
// decompressCode keeps): what the overlay table's compressed flag says of a file.
bool hasCodeFooter(std::span<const std::uint8_t> file);

} // namespace cartscope::core
