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

constexpr std::uint64_t kEndSearch = 16 * 1024; // as far back as libarchive looks for the end
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::uint64_t kMaxDirectory = std::uint64_t{64} << 20; // read in one piece at most
constexpr std::uint32_t kZip64Marker = 0xffffffff;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndSize = 56;             // the fixed part of the zip64 end record
constexpr std::uint64_t kZip64EndLargest = 16 * 1024; // as large as libarchive reads one
constexpr std::uint16_t kZip64Field = 0x0001;         // the zip64 extended information field
constexpr std::uint64_t kLargestValue = std::uint64_t{INT64_MAX};
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

struct Directory {
    Bytes bytes;                 // from the first central record to the end of the file
    std::uint64_t start = 0;     // file offset of bytes[0]
    std::int64_t correction = 0; // added to each record's local header offset
};

// The directory's offset from a zip64 end record, as libarchive takes it when the locator before
// the end record is sound: one disk, the record inside the file and of a size libarchive reads,
// the directory in one piece on disk 0. libarchive then looks for the first central record from
// that offset (no search for prepended bytes).
std::optional<std::uint64_t> zip64DirectoryOffset(const core::Stream& file,
                                                  std::span<const std::uint8_t> locator)
{
    if (core::le32(locator, 4) != 0 || core::le32(locator, 16) != 1)
        return std::nullopt;
    const std::uint64_t at = core::le64(locator, 8);
    const std::uint64_t size = file.size();
    if (at > size || size - at < kZip64EndSize)
        return std::nullopt;
    const auto fixed = readRange(file, at, kZip64EndSize);
    if (!fixed)
        return std::nullopt;
    const std::uint64_t recordSize = core::le64(*fixed, 4); // less its first 12 bytes
    if (recordSize < kZip64EndSize - 12 || recordSize > kZip64EndLargest - 12 ||
        size - at < recordSize + 12)
        return std::nullopt;
    if (core::le32(*fixed, 16) != 0 || core::le32(*fixed, 20) != 0 ||
        core::le64(*fixed, 24) != core::le64(*fixed, 32))
        return std::nullopt;
    const std::uint64_t offset = core::le64(*fixed, 48);
    if (offset > kLargestValue)
        return std::nullopt;
    return offset;
}

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
    std::optional<std::uint64_t> zip64Offset;
    if (i >= kZip64LocatorSize && signatureAt(*last, i - kZip64LocatorSize, 6, 7)) {
        // A sound zip64 record's values take precedence; else the end record's count.
        zip64Offset = zip64DirectoryOffset(file, std::span<const std::uint8_t>(*last).subspan(
                                                     i - kZip64LocatorSize, kZip64LocatorSize));
    }
    std::uint64_t cdOffset = 0;
    std::uint64_t adjusted = 0; // where the search for the first record starts
    if (zip64Offset) {
        cdOffset = *zip64Offset;
        adjusted = cdOffset;
    } else {
        const std::span end = std::span<const std::uint8_t>(*last).subspan(i, kEndRecordSize);
        const std::uint64_t endAt = size - tail + i;
        const std::uint16_t disk = core::le16(end, 4);
        if (disk != 0 || core::le16(end, 6) != disk || core::le16(end, 8) != core::le16(end, 10) ||
            core::le16(end, 10) == 0xffff)
            return std::nullopt;
        const std::uint64_t cdSize = core::le32(end, 12);
        cdOffset = core::le32(end, 16);
        if (cdSize == kZip64Marker || cdOffset == kZip64Marker || cdOffset + cdSize > endAt)
            return std::nullopt;
        // libarchive looks for the first record from where the directory must begin when
        // nothing was prepended (the end record's offset less the directory's size).
        adjusted = endAt - cdSize;
    }
    if (adjusted > size || size - adjusted > kMaxDirectory)
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
    std::uint64_t compressed = 0;
    std::uint64_t size = 0;
};

Header headerAt(std::span<const std::uint8_t> b, std::size_t fieldsAt)
{
    // Flags, method, time, date, CRC-32, sizes: the same run in both kinds of header.
    return {core::le16(b, fieldsAt), core::le16(b, fieldsAt + 2), core::le32(b, fieldsAt + 8),
            core::le32(b, fieldsAt + 12), core::le32(b, fieldsAt + 16)};
}

// The zip64 extended information fields of a header's extra block, read as libarchive reads
// them: each field replaces the values still at 0xffffffff, in the order uncompressed size,
// compressed size, local header offset. false where libarchive refuses the block (a field
// running past the block, a value it lacks, a value past 2^63).
bool applyZip64(std::span<const std::uint8_t> extra, std::uint64_t& size, std::uint64_t& compressed,
                std::uint64_t& localOffset)
{
    if (extra.size() < 4) // trailing zero bytes are tolerated, anything else is not
        return std::all_of(extra.begin(), extra.end(), [](std::uint8_t v) { return v == 0; });
    // Bounded by the block: each step moves past a field's 4-byte head at least.
    std::size_t at = 0;
    while (extra.size() - at >= 4) {
        const std::uint16_t id = core::le16(extra, at);
        std::size_t length = core::le16(extra, at + 2);
        at += 4;
        if (length > extra.size() - at)
            return false;
        if (id == kZip64Field) {
            std::size_t field = at;
            for (std::uint64_t* value : {&size, &compressed, &localOffset}) {
                if (*value != kZip64Marker)
                    continue;
                if (length < 8 || core::le64(extra, field) > kLargestValue)
                    return false;
                *value = core::le64(extra, field);
                field += 8;
                length -= 8;
            }
        }
        at += core::le16(extra, at - 2);
    }
    return true;
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
        const std::size_t next = kCentralSize + nameLength + extraLength + commentLength;
        if (b.size() - at < next)
            return std::nullopt;
        Header c = headerAt(b, at + 8);
        const std::int64_t recordedLocal =
            static_cast<std::int64_t>(core::le32(b, at + 42)) + dir->correction;
        // An offset before the file is never a candidate (kNoOffset is past any real one).
        constexpr std::uint64_t kNoOffset = UINT64_MAX;
        std::uint64_t local =
            recordedLocal < 0 ? kNoOffset : static_cast<std::uint64_t>(recordedLocal);
        if (!applyZip64(b.subspan(at + kCentralSize + nameLength, extraLength), c.size,
                        c.compressed, local))
            return std::nullopt;
        if (local != kNoOffset && local + kLocalSize <= dataOffset &&
            dataOffset - local <= kLocalReach) {
            if (!window)
                window = readRange(file, windowStart, dataOffset - windowStart);
            if (!window)
                return std::nullopt; // the file no longer holds those bytes
            const std::span<const std::uint8_t> h = std::span<const std::uint8_t>(*window).subspan(
                static_cast<std::size_t>(local - windowStart));
            const std::size_t localName = core::le16(h, 26);
            const std::size_t localExtra = core::le16(h, 28);
            if (signatureAt(h, 0, 3, 4) &&
                local + kLocalSize + localName + localExtra == dataOffset) {
                if (++matches > 1)
                    return std::nullopt;
                Header l = headerAt(h, 6);
                // The local zip64 field's third value is the central record's offset.
                std::uint64_t localAgain = local;
                if (!applyZip64(h.subspan(kLocalSize + localName, localExtra), l.size, l.compressed,
                                localAgain))
                    return std::nullopt;
                const auto crc = agreed(l.crc32, c.crc32);
                const auto compressed = agreed(l.compressed, c.compressed);
                const auto size = agreed(l.size, c.size, true);
                if (!crc || !compressed || !size || l.method != c.method ||
                    ((l.flags | c.flags) & (kEncrypted | kStrongEncrypted)) != 0)
                    return std::nullopt;
                central = Header{static_cast<std::uint16_t>(l.flags | c.flags), c.method,
                                 static_cast<std::uint32_t>(*crc), *compressed, *size};
            }
        }
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
    if ((central->flags & kDescriptor) != 0 &&
        !descriptorAgrees(file, dataOffset + data.compressedSize, data))
        return std::nullopt;
    return data;
}

} // namespace cartscope::archive::detail
