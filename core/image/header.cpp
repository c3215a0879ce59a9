#include "core/image/header.h"

#include <vector>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/checksum/crc16.h"
#include "core/image/header_record.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kHeaderCrcCopySize = 350;
static_assert(kHeaderCrcCopySize == kHeaderCrcSpan);
static_assert(kSecureAreaOffset + kSecureAreaSize == kMinImageSize);
static_assert(kBadDataBlockOffset + kBadDataBlockSize == kMinImageSize);

} // namespace

std::string SerialFromGameCode(const std::array<char, 4>& gameCode)
{
    struct Region {
        char letter;
        const char* suffix;
    };
    // Compared exactly: a lower-case letter is not a region. D and F both mean German.
    static constexpr std::array<Region, 11> kRegions = {{{'C', "-CHN"},
                                                         {'D', "-NOE"},
                                                         {'E', "-USA"},
                                                         {'F', "-NOE"},
                                                         {'H', "-HOL"},
                                                         {'I', "-ITA"},
                                                         {'J', "-JPN"},
                                                         {'K', "-KOR"},
                                                         {'P', "-EUR"},
                                                         {'S', "-SPA"},
                                                         {'X', "-EUU"}}};
    const std::string code = fieldText(gameCode);
    std::string suffix = "-???";
    // A code cut short by a NUL has no fourth character and keeps "-???".
    if (code.size() == 4) {
        for (const Region& region : kRegions) {
            if (code[3] == region.letter)
                suffix = region.suffix;
        }
    }
    return "NTR-" + code + suffix;
}

void PopulateNDSHeader(const Stream& image, HeaderRecord& header)
{
    // Plain fields tolerate a short read at the end of the image: bytes not delivered read as
    // zero. The three CRC copies need their full byte count: the logo (0x0C0..0x15B) and the
    // header (0x000..0x15D) inside the block, the secure area after it.
    header = decodeHeader(RawHeader::read(image));
    if (header.available < kHeaderCrcCopySize)
        throw Error(kStreamReadError);

    std::vector<std::uint8_t> secure(kSecureAreaSize);
    image.readExact(kSecureAreaOffset, secure);
    header.ds.SecureAreaCrcCalc = crc16::Crc16OfStream(secure);

    header.ds.FileSize = image.size();

    // 0x7E00..0x7FFF, one entry per byte; a short read leaves the rest zero (it cannot be short
    // once the secure-area copy above succeeded).
    std::array<std::uint8_t, kBadDataBlockSize> block{};
    image.pread(kBadDataBlockOffset, block);
    for (std::size_t i = 0; i < kBadDataBlockSize; ++i)
        header.ds.BadDataBlock[i] = block[i];
}

std::uint64_t headerOffsetPosition(std::uint32_t field)
{
    if (field >= 0x80000000u)
        return kPastEnd;
    return field;
}

} // namespace cartscope::core
