#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/io/stream.h"

// A 7z archive's header, read by us before libarchive opens the archive: libarchive's 7z
// reader sets no memory limit on its decoders, so the dictionaries a hostile archive declares
// (up to 4 GiB each) are checked here first. Every count and size in the header is hostile:
// each is bounded by the bytes that would have to hold it, sums cannot overflow, and no
// allocation follows a declared size further than the bytes actually present.
namespace cartscope::archive {

// The most memory the encoded header's decoder may take, and the most bytes the header
// (encoded or not) may hold: a 7z of tens of thousands of images has a header of a few MiB.
inline constexpr std::uint64_t kMaxSevenZipHeaderMemory = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kMaxSevenZipHeaderSize = std::uint64_t{64} << 20;
// A block's LZMA/LZMA2 dictionary (or PPMd model) may take at most
// max(64 MiB, the block's unpacked size rounded up to a power of two) and never past 1.5 GiB:
// an encoder never needs a dictionary larger than the data it compresses.
inline constexpr std::uint64_t kMinDictionaryLimit = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kMaxDictionary = std::uint64_t{3} << 29;
// The most unpacked bytes decoded (and thrown away) ahead of a wanted member in its block.
inline constexpr std::uint64_t kMaxSolidSkip = std::uint64_t{4} << 30;

// One solid block ("folder"): a chain of coders whose output is its members' bytes, one after
// another.
struct SevenZipFolder {
    std::uint64_t unpackSize = 0; // the block's whole output
    // The largest LZMA/LZMA2 dictionary or PPMd model of its coders (0: none).
    std::uint64_t dictionary = 0;
    // The memory its decoders take together, about (every dictionary and model added up).
    std::uint64_t decoderMemory = 0;
};

struct SevenZipFile {
    std::string name; // UTF-8 from the stored UTF-16 (display and the name rule only)
    bool hasStream = false;
    std::size_t folder = 0; // with a stream: its block
    std::uint64_t skip = 0; // unpacked bytes before it in its block
    std::uint64_t size = 0; // its unpacked size
};

struct SevenZipHeader {
    std::vector<SevenZipFolder> folders;
    std::vector<SevenZipFile> files; // in the header's order, libarchive's entry order
};

// The header of the 7z archive `file` (named `path` in messages): the signature header and its
// CRC-32, the next header's range and CRC-32, an encoded header decoded with liblzma under
// kMaxSevenZipHeaderMemory, then the blocks, their coders and the file list. Throws core::Error
// ""%s" is not a readable 7z archive: <why>", or "Cannot read file "%s". %s" when a read fails.
SevenZipHeader readSevenZipHeader(const core::Stream& file, const std::string& path);

// The dictionary limit of a block unpacking to `unpackSize` bytes.
std::uint64_t dictionaryLimit(std::uint64_t unpackSize);

// The refusals made before libarchive sees the archive: a block whose dictionary is past
// dictionaryLimit, and a member `wanted` accepts lying more than kMaxSolidSkip
// unpacked bytes into its block. Throws core::Error naming the archive (and the member).
// Returns the memory one reader of the archive takes (the largest block's decoders plus
// libarchive's buffers), for whoever shares memory between several readers.
std::uint64_t checkSevenZip(const SevenZipHeader& header,
                            const std::function<bool(const SevenZipFile& file)>& wanted,
                            const std::string& path);

// The memory a 7z reader takes besides its decoders (libarchive's buffers), about.
inline constexpr std::uint64_t kSevenZipReaderOverhead = std::uint64_t{16} << 20;

} // namespace cartscope::archive
