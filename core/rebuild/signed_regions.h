#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/image/header_record.h"

// Which bytes of an image the DSi header's signatures cover. A DSi image (and a DS image made
// after the DSi launch) carries SHA-1 HMACs of its binaries and banner and an RSA signature of
// its header; the DSi and the 3DS check them before they start a cartridge, flash cards and
// emulators do not. Nothing here computes or checks a signature: only whether a change falls
// under one.
namespace cartscope::core {

inline constexpr const char* kSignedRegionWarning =
    "the image no longer boots from a cartridge slot on a DSi or 3DS; flash cards and emulators "
    "are unaffected";

struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// One signature present in the header and the bytes it covers.
struct SignedRegion {
    std::string signature; // "RSA signature", "ARM9 HMAC (with secure area)", ...
    std::vector<ByteRange> covers;
};

// The signatures present and what each covers. Only a DSi image, or a DS image whose header
// is DSi-sized (the header-size field at least 0x1000), has the DSi half: in a homebrew DS image
// those bytes may be code. `imageSize` bounds the used-area coverage of the digest HMACs.
std::vector<SignedRegion> signedRegions(const HeaderRecord& header, std::uint64_t imageSize);

// The first signature (in header order) covering any byte of `changed`.
std::optional<std::string> brokenSignature(const HeaderRecord& header, std::uint64_t imageSize,
                                           std::span<const ByteRange> changed);

} // namespace cartscope::core
