#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/io/stream.h"

namespace cartscope::core {

// The cartridge header block: 0x200 bytes for a DS image, 0x1000 with the DSi half.
inline constexpr std::size_t kRawHeaderSize = 0x1000;

struct HeaderRecord;

// The first kRawHeaderSize bytes of an image as the file holds them. Nothing but the header
// decoder can look at them: every other part of the program reads the decoded HeaderRecord.
class RawHeader {
public:
    // Reads the first `length` bytes of the block (all of it unless a caller needs only the DS
    // half); what the file does not hold, and what is not read, reads as zero.
    static RawHeader read(const Stream& image, std::size_t length = kRawHeaderSize)
    {
        RawHeader raw;
        raw.m_available =
            image.pread(0, std::span(raw.m_bytes).first(std::min(length, kRawHeaderSize)));
        return raw;
    }

    // The same from bytes already in hand (a whole-file read pass); bytes past kRawHeaderSize
    // are not part of the header, missing ones read as zero.
    static RawHeader fromBytes(std::span<const std::uint8_t> bytes)
    {
        RawHeader raw;
        raw.m_available = std::min(bytes.size(), kRawHeaderSize);
        std::copy_n(bytes.begin(), raw.m_available, raw.m_bytes.begin());
        return raw;
    }

    // How many of the block's bytes the file held.
    std::size_t available() const { return m_available; }

private:
    RawHeader() = default;

    std::array<std::uint8_t, kRawHeaderSize> m_bytes{};
    std::size_t m_available = 0;

    friend HeaderRecord decodeHeader(const RawHeader& raw);
};

} // namespace cartscope::core
