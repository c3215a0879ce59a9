#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/base/le.h"
#include "core/io/stream.h"

// The pieces of a 7z header shared by its readers: the checked cursor over the header's bytes,
// the streams records (packed streams, blocks and their coders, substreams) and the decoding of
// an encoded header. Not for use outside the 7z header reader.
namespace cartscope::archive::sevenz {

inline constexpr std::size_t kSignatureHeaderSize = 32;

// Property ids of the header.
enum Id : std::uint8_t {
    kEnd = 0x00,
    kHeader = 0x01,
    kArchiveProperties = 0x02,
    kAdditionalStreamsInfo = 0x03,
    kMainStreamsInfo = 0x04,
    kFilesInfo = 0x05,
    kPackInfo = 0x06,
    kUnpackInfo = 0x07,
    kSubStreamsInfo = 0x08,
    kSize = 0x09,
    kCrc = 0x0A,
    kFolder = 0x0B,
    kCodersUnpackSize = 0x0C,
    kNumUnpackStream = 0x0D,
    kEmptyStream = 0x0E,
    kEmptyFile = 0x0F,
    kName = 0x11,
    kEncodedHeader = 0x17,
};

// Why the header cannot be read; turned into the user's message at the top.
struct Damaged {
    std::string why;
};

[[noreturn]] inline void damaged(const char* why = "its header is damaged")
{
    throw Damaged{why};
}

// The header's bytes, read front to back; every read checked against what is left.
class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    std::uint64_t left() const { return m_bytes.size() - m_at; }

    std::uint8_t byte()
    {
        if (m_at >= m_bytes.size())
            damaged();
        return m_bytes[m_at++];
    }

    std::span<const std::uint8_t> take(std::uint64_t n)
    {
        if (n > left())
            damaged();
        const auto s = m_bytes.subspan(m_at, static_cast<std::size_t>(n));
        m_at += static_cast<std::size_t>(n);
        return s;
    }

    std::uint32_t u32() { return core::le32(take(4)); }

    // 7z's variable-length number: the leading one bits of the first byte count the bytes that
    // follow (low byte first); the first byte's remaining bits are the value's top.
    std::uint64_t number();

    // A count of things each taking at least `bytesEach` of the bytes left (or bits, when
    // `bytesEach` is 0: one bit each): a count that could not fit is damage, not an allocation.
    std::size_t count(std::uint64_t bytesEach = 1);

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_at = 0;
};

// `n` flags, most significant bit of each byte first.
std::vector<bool> bits(Cursor& c, std::size_t n);

struct Coder {
    std::vector<std::uint8_t> id;
    std::vector<std::uint8_t> properties;
    std::uint64_t inStreams = 1;
    std::uint64_t outStreams = 1;
};

inline constexpr std::array<std::uint8_t, 1> kCopyId = {0x00};
inline constexpr std::array<std::uint8_t, 3> kLzmaId = {0x03, 0x01, 0x01};
inline constexpr std::array<std::uint8_t, 1> kLzma2Id = {0x21};
inline constexpr std::array<std::uint8_t, 3> kPpmdId = {0x03, 0x04, 0x01};
inline constexpr std::array<std::uint8_t, 4> kAesId = {0x06, 0xF1, 0x07, 0x01};

bool isId(const Coder& c, std::span<const std::uint8_t> id);

// The memory a coder's decoder takes for its window or model (0 for the others).
std::uint64_t dictionaryOf(const Coder& c);

struct Folder {
    std::vector<Coder> coders;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> bindPairs; // in index, out index
    std::uint64_t packedStreams = 0;
    std::vector<std::uint64_t> unpackSizes; // one per out stream
    std::optional<std::uint32_t> crc;
    std::uint64_t outStreams = 0;

    // The out stream no bind pair consumes: the block's output.
    std::uint64_t unpackSize() const;
};

struct Streams {
    std::uint64_t packPosition = 0;
    std::vector<std::uint64_t> packSizes;
    std::vector<Folder> folders;
    std::vector<std::uint64_t> substreams;     // per folder
    std::vector<std::uint64_t> substreamSizes; // every substream, in order
};

// A streams-info record (pack info, blocks, substreams), up to and including its end id.
Streams readStreamsInfo(Cursor& c);

// `size` bytes of `file` at `at`, all of them or damage.
std::vector<std::uint8_t> readAt(const core::Stream& file, std::uint64_t at, std::uint64_t size);

// The encoded header: one block of one coder (LZMA, LZMA2 or stored), decoded with liblzma
// under kMaxSevenZipHeaderMemory into at most kMaxSevenZipHeaderSize bytes.
std::vector<std::uint8_t> decodeHeader(const core::Stream& file, const Streams& s);

} // namespace cartscope::archive::sevenz
