#include "core/rebuild/signed_regions.h"

#include <algorithm>
#include <string_view>

#include "core/banner/banner_info.h"

namespace cartscope::core {

namespace {

// The RSA signature at 0xF80 signs the header's first 0xE00 bytes.
constexpr std::uint64_t kRsaSignedSize = 0xE00;
// The NDS whitelist's first phase covers the DS half of the header (up to its CRC-16).
constexpr std::uint64_t kWhitelistHeaderSize = 0x160;

ByteRange range(std::uint32_t offset, std::uint32_t size)
{
    return {offset, size};
}

bool meets(const ByteRange& a, const ByteRange& b)
{
    // Both ends widened to 64 bits: no sum can overflow.
    return a.size > 0 && b.size > 0 && a.offset < b.offset + b.size && b.offset < a.offset + a.size;
}

} // namespace

std::vector<SignedRegion> signedRegions(const HeaderRecord& header, std::uint64_t imageSize)
{
    const TNDSHeader& ds = header.ds;
    const DsiInfo& dsi = header.dsi;
    std::vector<SignedRegion> out;
    if (!dsi.isDsi && ds.HeaderSize < kDsiHeaderSize)
        return out;
    if (dsi.rsaPresent)
        out.push_back({"RSA signature", {{0, kRsaSignedSize}}});

    const ByteRange arm9 = range(ds.Arm9RomOffset, ds.Arm9Size);
    const ByteRange arm7 = range(ds.Arm7RomOffset, ds.Arm7Size);
    const std::uint64_t bannerSize = dsi.bannerSize != 0 ? dsi.bannerSize : kBannerSizeAnimated;
    const ByteRange banner{ds.BannerOffset, ds.BannerOffset != 0 ? bannerSize : 0};
    // The digest tables hash every sector of the used area; which sectors exactly is a matter
    // of fields this program does not decode, so the whole used area past the header counts.
    const std::uint64_t usedEnd = std::min<std::uint64_t>(
        imageSize, std::max<std::uint64_t>(ds.TotalUsedRomSize, dsi.isDsi ? dsi.dsiUsedSize : 0));
    const ByteRange usedArea{kDsiHeaderSize,
                             usedEnd > kDsiHeaderSize ? usedEnd - kDsiHeaderSize : 0};

    for (const SignaturePresence& hmac : dsi.hmacs) {
        if (!hmac.present)
            continue;
        const std::string_view key = hmac.key;
        std::vector<ByteRange> covers;
        if (key == "arm9" || key == "arm9NoSecureArea")
            covers = {arm9};
        else if (key == "arm7")
            covers = {arm7};
        else if (key == "banner")
            covers = {banner};
        else if (key == "arm9i")
            covers = {range(dsi.arm9iRomOffset, dsi.arm9iSize)};
        else if (key == "arm7i")
            covers = {range(dsi.arm7iRomOffset, dsi.arm7iSize)};
        else if (key == "whitelistPhase1")
            covers = {{0, kWhitelistHeaderSize}, arm9, arm7};
        else // the digest master and the whitelist's second phase
            covers = {usedArea};
        out.push_back({hmac.name, std::move(covers)});
    }
    return out;
}

std::optional<std::string> brokenSignature(const HeaderRecord& header, std::uint64_t imageSize,
                                           std::span<const ByteRange> changed)
{
    for (const SignedRegion& region : signedRegions(header, imageSize))
        for (const ByteRange& covered : region.covers)
            for (const ByteRange& c : changed)
                if (meets(covered, c))
                    return region.signature;
    return std::nullopt;
}

} // namespace cartscope::core
