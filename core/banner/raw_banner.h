#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/banner/banner_info.h"
#include "core/base/le.h"
#include "core/io/stream.h"

namespace cartscope::core {

struct BannerRecord;

// The banner block as the file holds it, as large as the largest version (the animated one).
// Nothing but the banner decoder can look at the bytes: every other part of the program reads
// the decoded BannerRecord.
class RawBanner {
public:
    // Reads the block at `position`, which may be anything up to 2^62 (offsets that do not fit
    // are placed there): the version word, then as much as that version's block holds, nothing
    // after it. What lies past the end of the file reads as zero.
    static RawBanner read(const Stream& image, std::uint64_t position)
    {
        RawBanner raw;
        const std::uint64_t size = image.size();
        const std::uint64_t inFile = position < size ? size - position : 0;
        if (inFile == 0)
            return raw;
        const std::span<std::uint8_t> bytes(raw.m_bytes);
        image.pread(position, bytes.first(2)); // 0x000 version word
        const std::uint64_t length = bannerSizeForVersion(le16(bytes));
        raw.m_available = inFile < length ? inFile : length;
        image.pread(position, bytes.first(static_cast<std::size_t>(length)));
        return raw;
    }

    // How many of the block's bytes lie inside the file.
    std::uint64_t available() const { return m_available; }

private:
    RawBanner() = default;

    std::array<std::uint8_t, kBannerSizeAnimated> m_bytes{};
    std::uint64_t m_available = 0;

    friend BannerRecord decodeBanner(const RawBanner& raw);
};

} // namespace cartscope::core
