#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The console's stream codecs (BIOS and SDK): LZ10, LZ11, Huffman, RLE, and LZ10 behind an
// "LZ77" tag. Every one starts with a 4-byte header: the type byte, then the decompressed size in
// 24 bits; a 24-bit size of 0 followed by more data means a 32-bit size follows.
namespace cartscope::core {

enum class Codec { Lz10, Lz11, Lz77Lz10, Huffman4, Huffman8, Rle };

// "LZ10", "LZ11", "LZ77+LZ10", "Huffman4", "Huffman8", "RLE".
std::string_view codecName(Codec codec);

// A declared size is believed only up to these caps (and what the input can make under its
// codec, see kMaxRatio): output memory then has a bound whatever the header says.
inline constexpr std::uint64_t kMaxDeclared24 = 16ull << 20;
inline constexpr std::uint64_t kMaxDeclared32 = 64ull << 20;

// The most output one input byte can make: LZ10's 17 bytes (flag and 8 references) make 144,
// RLE's 2-byte run makes 130, a 1-bit Huffman code makes a byte. LZ11 reaches about 16,000
// times (a 4-byte reference copies 65,808 bytes), so only the caps bound it.
std::optional<std::uint64_t> maxRatio(Codec codec);

struct CompressionHeader {
    Codec codec = Codec::Lz10;
    std::uint64_t size = 0;     // declared decompressed size
    std::size_t dataOffset = 0; // first byte after the header
};

// The header of `in`, checked against the caps; throws Error naming `name` when the type byte is
// not a codec's or the declared size is more than the caps or the ratio allow.
CompressionHeader readCompressionHeader(std::span<const std::uint8_t> in, const std::string& name);

// Receives the decompressed bytes in order, a chunk at a time (64 KiB and up to one LZ11
// reference more; the first chunk also holds the first 4 KiB).
using ChunkSink = std::function<void(std::span<const std::uint8_t>)>;

// Decodes `in` through the codec's window: memory is the window and one chunk whatever the
// declared size. Throws Error naming `name` when the data ends early, a back-reference points
// before the start, or a Huffman tree points outside itself. Input past the declared size's end
// (padding) is ignored.
void decompressStream(std::span<const std::uint8_t> in, const std::string& name,
                      const ChunkSink& sink);

// The same into one vector, grown as output is made.
std::vector<std::uint8_t> decompress(std::span<const std::uint8_t> in, const std::string& name);

// Which codec plausibly made a file whose first bytes are `head` and whose size is `fileSize`:
// a known type byte and a declared size that is not 0, within the caps and within what
// `fileSize` bytes can make. No decoding.
std::optional<CompressionHeader> plausibleCompression(std::span<const std::uint8_t> head,
                                                      std::uint64_t fileSize);

// The plausible codec whose trial decode of the first 4 KiB of `head` (up to 4 KiB of output)
// meets no error; the end of those 4 KiB is not an error when the file goes on.
std::optional<Codec> identifyCompression(std::span<const std::uint8_t> head,
                                         std::uint64_t fileSize);

// The same trial, keeping what it made: the first bytes of the decompressed file (at most
// 4 KiB), so the format inside can be told by its magic.
struct TrialDecode {
    Codec codec = Codec::Lz10;
    std::vector<std::uint8_t> head;
};
std::optional<TrialDecode> trialDecompress(std::span<const std::uint8_t> head,
                                           std::uint64_t fileSize);

} // namespace cartscope::core
