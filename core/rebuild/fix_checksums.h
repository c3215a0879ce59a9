#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/io/stream.h"
#include "core/rebuild/output_file.h"

// Setting the header CRC-16 and the banner's CRC-16s to the values their bytes give. The logo
// CRC-16 is left alone (the console checks the logo itself against its own copy) and so is the
// secure-area CRC-16 (it is over the encrypted form, which a decrypted dump does not hold).
namespace cartscope::core {

// One stored checksum that differs from its computed value.
struct ChecksumChange {
    // "HeaderCRC16", or "BannerCRC16[020-83F]" with the banner-relative range it covers.
    std::string field;
    std::uint64_t offset = 0; // where the value is stored in the image
    std::uint16_t stored = 0;
    std::uint16_t computed = 0;
};

struct ChecksumFix {
    std::vector<ChecksumChange> changes; // header first, then the banner's in version order
    // The bytes that differ, each at its image offset, in ascending order.
    std::vector<std::pair<std::uint64_t, std::uint8_t>> bytes;
    // The first signature the changes break, when any.
    std::optional<std::string> brokenSignature;
};

// What fixing the image's checksums changes. A banner CRC-16 whose range runs past the end of
// the file is left as it is (there are no bytes to compute it over). Throws when the file is too
// short to hold the header's CRC-16.
ChecksumFix planChecksumFix(const Stream& image);

// The image with the fix applied, written to `out` (which is not committed).
void writeChecksumFix(const Stream& image, const ChecksumFix& fix, OutputFile& out,
                      const Checkpoint& checkpoint = {});

} // namespace cartscope::core
