#include "core/rebuild/fix_checksums.h"

#include <algorithm>

#include "core/banner/banner_record.h"
#include "core/base/error.h"
#include "core/base/le.h"
#include "core/image/header_record.h"
#include "core/image/raw_header.h"
#include "core/rebuild/signed_regions.h"
#include "core/verify/trim.h"

namespace cartscope::core {

namespace {

constexpr std::uint64_t kHeaderCrcAt = kHeaderCrcSpan; // 0x15E header CRC-16

std::string bannerField(const BannerCrc& crc)
{
    return "BannerCRC16[" + crc.rangeText() + "]";
}

} // namespace

ChecksumFix planChecksumFix(const Stream& image)
{
    const std::uint64_t size = image.size();
    if (size < kNotAnImageBelow)
        throw Error("The file is too short to hold a cartridge header (" + std::to_string(size) +
                    " bytes)");
    ChecksumFix fix;
    HeaderRecord header = decodeHeader(RawHeader::read(image));
    std::vector<ByteRange> changed;

    if (header.ds.HeaderCrc != header.ds.HeaderCrcCalc) {
        fix.changes.push_back(
            {"HeaderCRC16", kHeaderCrcAt, header.ds.HeaderCrc, header.ds.HeaderCrcCalc});
        HeaderRecord fixed = header;
        fixed.ds.HeaderCrc = header.ds.HeaderCrcCalc;
        const std::vector<std::uint8_t> encoded = encodeHeader(fixed);
        const std::size_t length = std::min(encoded.size(), header.available);
        std::vector<std::uint8_t> original(length);
        if (image.pread(0, original) != length)
            throw Error(kStreamReadError);
        for (std::size_t i = 0; i < length; ++i)
            if (encoded[i] != original[i]) {
                fix.bytes.emplace_back(i, encoded[i]);
                changed.push_back({i, 1});
            }
    }

    // A banner inside the header block is no banner: its CRC-16s would move the header's.
    const std::uint64_t bannerAt = headerOffsetPosition(header.ds.BannerOffset);
    if (header.ds.BannerOffset != 0 && bannerAt >= headerBlockSize(header) && bannerAt < size) {
        const BannerRecord banner = decodeBanner(RawBanner::read(image, bannerAt));
        for (const BannerCrc& crc : banner.info.crcs) {
            if (!crc.complete || crc.stored == crc.computed)
                continue;
            const std::uint64_t at = bannerAt + crc.at;
            fix.changes.push_back({bannerField(crc), at, crc.stored, crc.computed});
            std::array<std::uint8_t, 2> value{};
            putLe16(value, 0, crc.computed);
            fix.bytes.emplace_back(at, value[0]);
            fix.bytes.emplace_back(at + 1, value[1]);
            changed.push_back({at, 2});
        }
    }
    std::sort(fix.bytes.begin(), fix.bytes.end());
    fix.brokenSignature = brokenSignature(header, size, changed);
    return fix;
}

void writeChecksumFix(const Stream& image, const ChecksumFix& fix, OutputFile& out,
                      const Checkpoint& checkpoint)
{
    std::uint64_t at = 0;
    // Bounded by the changed bytes: each is written once, with the unchanged run before it.
    for (const auto& [offset, value] : fix.bytes) {
        if (offset < at)
            continue;
        out.copyFrom(image, at, offset - at, checkpoint);
        out.write(std::span(&value, 1));
        at = offset + 1;
    }
    out.copyFrom(image, at, image.size() - at, checkpoint);
}

} // namespace cartscope::core
