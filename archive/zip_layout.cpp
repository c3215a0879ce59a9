#include "archive/zip_layout.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/base/le.h"

namespace cartscope::archive::detail {

namespace {

constexpr std::size_t kLocalSize = 30;
constexpr std::uint32_t kZip64Marker = 0xffffffff;
constexpr std::uint16_t kEncrypted = 0x0001;       // traditional or other encryption
constexpr std::uint16_t kStrongEncrypted = 0x0040; // strong encryption
constexpr std::uint16_t kDescriptor = 0x0008;      // CRC-32 and sizes follow the data
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;

using Bytes = std::vector<std::uint8_t>;

bool signatureAt(std::span<const std::uint8_t> b, std::size_t at, std::uint8_t third,
                 std::uint8_t fourth)
{
    return at <= b.size() && b.size() - at >= 4 && b[at] == 'P' && b[at + 1] == 'K' &&
           b[at + 2] == third && b[at + 3] == fourth;
}

std::optional<Bytes> readRange(const core::Stream& file, std::uint64_t at, std::uint64_t length)
{
    Bytes bytes(static_cast<std::size_t>(length));
    if (file.pread(at, bytes) != bytes.size())
        return std::nullopt;
    return bytes;
}

struct Header {
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc32 = 0;
    std::uint64_t compressed = 0;
    std::uint64_t size = 0;
};

Header headerAt(std::span<const std::uint8_t> b, std::size_t fieldsAt)
{
    // Flags, method, time, date, CRC-32, sizes: the same run in both kinds of header.
    return {core::le16(b, fieldsAt), core::le16(b, fieldsAt + 2), core::le32(b, fieldsAt + 8),
            core::le32(b, fieldsAt + 12), core::le32(b, fieldsAt + 16)};
}

// libarchive takes a local value when it is set and the central one otherwise; set values that
// differ make it warn, and the caller never gets here then, but the rule is kept all the same.
// An uncompressed size left at the zip64 marker counts as unset, as libarchive counts it.
std::optional<std::uint64_t> agreed(std::uint64_t local, std::uint64_t central,
                                    bool markerUnset = false)
{
    if (local == 0 || (markerUnset && local == kZip64Marker))
        return central;
    if (local != central)
        return std::nullopt;
    return local;
}

// The data descriptor a writer put after the data (general purpose flag bit 3), in any of its
// forms: with or without its signature, with 4- or 8-byte sizes. libarchive's reader of the
// central directory never looks at it; a descriptor that says anything else than the central
// record marks an archive not to be read by other rules than libarchive's.
bool descriptorAgrees(const core::Stream& file, std::uint64_t at, const MemberData& data)
{
    std::array<std::uint8_t, 24> d{};
    const std::size_t n = at <= file.size() ? file.pread(at, d) : 0;
    const auto matches = [&](std::size_t crcAt, bool wide) {
        const std::size_t end = crcAt + (wide ? 20 : 12);
        if (n < end || core::le32(d, crcAt) != data.crc32)
            return false;
        return wide ? core::le64(d, crcAt + 4) == data.compressedSize &&
                          core::le64(d, crcAt + 12) == data.size
                    : core::le32(d, crcAt + 4) == data.compressedSize &&
                          core::le32(d, crcAt + 8) == data.size;
    };
    const bool withSignature = signatureAt(d, 0, 7, 8);
    return (withSignature && (matches(4, false) || matches(4, true))) || matches(0, false) ||
           matches(0, true);
}

// The member's data once its one record is found: stored or deflated, inside the file, its
// descriptor (when it has one) agreeing.
std::optional<MemberData> checked(const core::Stream& file, std::uint64_t dataOffset,
                                  const std::optional<Header>& central)
{
    if (!central || (central->method != kStored && central->method != kDeflated))
        return std::nullopt;
    MemberData data;
    data.offset = dataOffset;
    data.compressedSize = central->compressed;
    data.size = central->size;
    data.crc32 = central->crc32;
    data.deflated = central->method == kDeflated;
    if ((!data.deflated && data.compressedSize != data.size) ||
        data.compressedSize > file.size() - dataOffset)
        return std::nullopt;
    if ((central->flags & kDescriptor) != 0 &&
        !descriptorAgrees(file, dataOffset + data.compressedSize, data))
        return std::nullopt;
    return data;
}

} // namespace

std::optional<MemberData> locateMemberData(const core::Stream& file, const Directory& dir,
                                           std::uint64_t dataOffset)
{
    const std::uint64_t fileSize = file.size();
    if (dataOffset > fileSize || !dir.libarchiveLayout)
        return std::nullopt;
    // Only a local header ending at dataOffset can be the member's: its name and extra field
    // take at most 2 x 65,535 bytes, so every candidate lies in the bytes just before the data,
    // read once when the first candidate shows.
    constexpr std::uint64_t kLocalReach = kLocalSize + 2 * 0xffff;
    const std::uint64_t windowStart = dataOffset - std::min(dataOffset, kLocalReach);
    std::optional<Bytes> window;
    std::optional<Header> central;
    int matches = 0;
    // Bounded by the directory's records.
    for (const DirectoryEntry& c : dir.entries) {
        if (!c.zip64Sound)
            return std::nullopt;
        const std::optional<std::uint64_t> local = c.libarchiveOffset;
        if (!local || *local + kLocalSize > dataOffset || dataOffset - *local > kLocalReach)
            continue;
        if (!window)
            window = readRange(file, windowStart, dataOffset - windowStart);
        if (!window)
            return std::nullopt; // the file no longer holds those bytes
        const std::span<const std::uint8_t> h = std::span<const std::uint8_t>(*window).subspan(
            static_cast<std::size_t>(*local - windowStart));
        const std::size_t localName = core::le16(h, 26);
        const std::size_t localExtra = core::le16(h, 28);
        if (!signatureAt(h, 0, 3, 4) || *local + kLocalSize + localName + localExtra != dataOffset)
            continue;
        if (++matches > 1)
            return std::nullopt;
        Header l = headerAt(h, 6);
        // The local zip64 field's third value is the central record's offset.
        std::uint64_t localAgain = *local;
        if (!applyZip64(h.subspan(kLocalSize + localName, localExtra), l.size, l.compressed,
                        localAgain))
            return std::nullopt;
        const auto crc = agreed(l.crc32, c.crc32);
        const auto compressed = agreed(l.compressed, c.compressedSize);
        const auto size = agreed(l.size, c.size, true);
        if (!crc || !compressed || !size || l.method != c.method ||
            ((l.flags | c.flags) & (kEncrypted | kStrongEncrypted)) != 0)
            return std::nullopt;
        central = Header{static_cast<std::uint16_t>(l.flags | c.flags), c.method,
                         static_cast<std::uint32_t>(*crc), *compressed, *size};
    }
    return checked(file, dataOffset, matches == 1 ? central : std::nullopt);
}

} // namespace cartscope::archive::detail
