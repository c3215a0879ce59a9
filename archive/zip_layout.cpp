#include "archive/zip_layout.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "core/le.h"

namespace cartscope::archive::detail {

namespace {

constexpr std::uint64_t kEndSearch = 16 * 1024; // as far back as libarchive looks for the end
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::uint64_t kMaxDirectory = std::uint64_t{64} << 20; // read in one piece at most
constexpr std::uint32_t kZip64Marker = 0xffffffff;
constexpr std::uint16_t kEncrypted = 0x0001;       // traditional or other encryption
constexpr std::uint16_t kStrongEncrypted = 0x0040; // strong encryption
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

struct Directory {
    Bytes bytes;                 // from the first central record to the end of the file
    std::uint64_t start = 0;     // file offset of bytes[0]
    std::int64_t correction = 0; // added to each record's local header offset
};

std::optional<Directory> findDirectory(const core::Stream& file)
{
    const std::uint64_t size = file.size();
    const std::uint64_t tail = std::min(kEndSearch, size);
    if (tail < kEndRecordSize)
        return std::nullopt;
    const auto last = readRange(file, size - tail, tail);
    if (!last)
        return std::nullopt;
    // The last end record whose signature starts past the first byte looked at, as libarchive
    // takes it (an archive stored inside another can carry an end record of its own).
    std::size_t i = static_cast<std::size_t>(tail) - kEndRecordSize;
    while (i > 0 && !signatureAt(*last, i, 5, 6))
        --i;
    if (i == 0)
        return std::nullopt;
    if (i >= 20 && signatureAt(*last, i - 20, 6, 7))
        return std::nullopt; // a zip64 locator: its values would take precedence
    const std::span end = std::span<const std::uint8_t>(*last).subspan(i, kEndRecordSize);
    const std::uint64_t endAt = size - tail + i;
    const std::uint16_t disk = core::le16(end, 4);
    if (disk != 0 || core::le16(end, 6) != disk || core::le16(end, 8) != core::le16(end, 10) ||
        core::le16(end, 10) == 0xffff)
        return std::nullopt;
    const std::uint64_t cdSize = core::le32(end, 12);
    const std::uint64_t cdOffset = core::le32(end, 16);
    if (cdSize == kZip64Marker || cdOffset == kZip64Marker || cdOffset + cdSize > endAt)
        return std::nullopt;
    // libarchive looks for the first record from where the directory must begin when nothing
    // was prepended (the end record's offset less the directory's size).
    const std::uint64_t adjusted = endAt - cdSize;
    if (size - adjusted > kMaxDirectory)
        return std::nullopt;
    auto region = readRange(file, adjusted, size - adjusted);
    if (!region)
        return std::nullopt;
    // Bounded by the region; the end record itself stops the search at the latest.
    std::size_t first = 0;
    while (first < region->size() && !signatureAt(*region, first, 1, 2) &&
           !signatureAt(*region, first, 5, 6) && !signatureAt(*region, first, 6, 6))
        ++first;
    if (!signatureAt(*region, first, 1, 2))
        return std::nullopt; // no record, or a zip64 end record first
    Directory d;
    d.start = adjusted + first;
    d.correction = static_cast<std::int64_t>(d.start) - static_cast<std::int64_t>(cdOffset);
    region->erase(region->begin(), region->begin() + static_cast<std::ptrdiff_t>(first));
    d.bytes = std::move(*region);
    return d;
}

struct Header {
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t compressed = 0;
    std::uint32_t size = 0;
};

Header headerAt(std::span<const std::uint8_t> b, std::size_t fieldsAt)
{
    // Flags, method, time, date, CRC-32, sizes: the same run in both kinds of header.
    return {core::le16(b, fieldsAt), core::le16(b, fieldsAt + 2), core::le32(b, fieldsAt + 8),
            core::le32(b, fieldsAt + 12), core::le32(b, fieldsAt + 16)};
}

// libarchive takes a local value when it is set and the central one otherwise; set values that
// differ make it warn, and the caller never gets here then, but the rule is kept all the same.
std::optional<std::uint32_t> agreed(std::uint32_t local, std::uint32_t central)
{
    if (local == 0)
        return central;
    if (local != central)
        return std::nullopt;
    return local;
}

} // namespace

std::optional<MemberData> locateMemberData(const core::Stream& file, std::uint64_t dataOffset)
{
    const std::uint64_t fileSize = file.size();
    if (dataOffset > fileSize)
        return std::nullopt;
    const std::optional<Directory> dir = findDirectory(file);
    if (!dir)
        return std::nullopt;
    const std::span<const std::uint8_t> b(dir->bytes);

    // Records up to the end record (libarchive walks them the same way, whatever the end record
    // says about the directory's size). Bounded: each step moves past at least one record.
    // Only a local header ending at dataOffset can be the member's: its name and extra field
    // take at most 2 x 65,535 bytes, so every candidate lies in the bytes just before the data,
    // read once when the first candidate shows.
    constexpr std::uint64_t kLocalReach = kLocalSize + 2 * 0xffff;
    const std::uint64_t windowStart = dataOffset - std::min(dataOffset, kLocalReach);
    std::optional<Bytes> window;
    std::optional<Header> central;
    int matches = 0;
    std::size_t at = 0;
    for (;;) {
        if (signatureAt(b, at, 5, 6) || signatureAt(b, at, 6, 6))
            break;
        if (!signatureAt(b, at, 1, 2) || b.size() - at < kCentralSize)
            return std::nullopt;
        const std::size_t nameLength = core::le16(b, at + 28);
        const std::size_t extraLength = core::le16(b, at + 30);
        const std::size_t commentLength = core::le16(b, at + 32);
        const std::uint32_t recordedLocal = core::le32(b, at + 42);
        const std::int64_t local = static_cast<std::int64_t>(recordedLocal) + dir->correction;
        if (recordedLocal != kZip64Marker && local >= 0 &&
            static_cast<std::uint64_t>(local) + kLocalSize <= dataOffset &&
            dataOffset - static_cast<std::uint64_t>(local) <= kLocalReach) {
            if (!window)
                window = readRange(file, windowStart, dataOffset - windowStart);
            if (!window)
                return std::nullopt; // the file no longer holds those bytes
            const auto localAt = static_cast<std::uint64_t>(local);
            const std::span<const std::uint8_t> h = std::span<const std::uint8_t>(*window).subspan(
                static_cast<std::size_t>(localAt - windowStart), kLocalSize);
            if (signatureAt(h, 0, 3, 4) &&
                localAt + kLocalSize + core::le16(h, 26) + core::le16(h, 28) == dataOffset) {
                if (++matches > 1)
                    return std::nullopt;
                const Header c = headerAt(b, at + 8);
                const Header l = headerAt(h, 6);
                const auto crc = agreed(l.crc32, c.crc32);
                const auto compressed = agreed(l.compressed, c.compressed);
                const auto size = agreed(l.size, c.size);
                if (!crc || !compressed || !size || l.method != c.method ||
                    ((l.flags | c.flags) & (kEncrypted | kStrongEncrypted)) != 0 ||
                    l.compressed == kZip64Marker || l.size == kZip64Marker ||
                    c.compressed == kZip64Marker || c.size == kZip64Marker)
                    return std::nullopt;
                central = Header{c.flags, c.method, *crc, *compressed, *size};
            }
        }
        const std::size_t next = kCentralSize + nameLength + extraLength + commentLength;
        if (b.size() - at < next)
            return std::nullopt;
        at += next;
    }
    if (matches != 1 || (central->method != kStored && central->method != kDeflated))
        return std::nullopt;
    MemberData data;
    data.offset = dataOffset;
    data.compressedSize = central->compressed;
    data.size = central->size;
    data.crc32 = central->crc32;
    data.deflated = central->method == kDeflated;
    if ((!data.deflated && data.compressedSize != data.size) ||
        data.compressedSize > fileSize - dataOffset)
        return std::nullopt;
    return data;
}

} // namespace cartscope::archive::detail
