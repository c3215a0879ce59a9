#include "archive/zip_directory.h"

#include <algorithm>
#include <array>
#include <span>

#include "core/base/error.h"
#include "core/base/le.h"

namespace cartscope::archive::detail {

namespace {

constexpr std::uint64_t kEndSearch = 16 * 1024; // as far back as libarchive looks for the end
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kLocatorSize = 20;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::uint32_t kMarker32 = 0xffffffff;
constexpr std::uint16_t kZip64Extra = 0x0001;
constexpr std::size_t kWindow = std::size_t{1} << 20;
// The largest central record: its fixed part and three fields of at most 65,535 bytes.
constexpr std::size_t kMaxRecord = kCentralSize + 3 * 0xffff;
static_assert(kMaxRecord <= kWindow);

bool signatureAt(std::span<const std::uint8_t> b, std::size_t at, std::uint8_t third,
                 std::uint8_t fourth)
{
    return at <= b.size() && b.size() - at >= 4 && b[at] == 'P' && b[at + 1] == 'K' &&
           b[at + 2] == third && b[at + 3] == fourth;
}

// Sequential reads through the file in 1 MiB pieces: the bytes [at, at + length) while they
// lie in the file, the piece refilled when they do not lie in it yet.
class Window {
public:
    explicit Window(const core::Stream& file) : m_file(file), m_bytes(kWindow) {}
    // Empty when the file ends first.
    std::span<const std::uint8_t> at(std::uint64_t offset, std::size_t length)
    {
        if (offset < m_start || offset - m_start > m_size || m_size - (offset - m_start) < length) {
            m_start = offset;
            m_size = m_file.pread(offset, m_bytes);
            if (m_size < length)
                return {};
        }
        return std::span<const std::uint8_t>(m_bytes).subspan(
            static_cast<std::size_t>(offset - m_start), length);
    }

private:
    const core::Stream& m_file;
    std::vector<std::uint8_t> m_bytes;
    std::uint64_t m_start = 0;
    std::size_t m_size = 0;
};

struct Located {
    std::uint64_t start = 0;     // the first central record
    std::uint64_t end = 0;       // where the records stop at the latest
    std::int64_t correction = 0; // added to each record's local header offset
};

std::optional<Located> locate(const core::Stream& file)
{
    const std::uint64_t size = file.size();
    const std::uint64_t tail = std::min(kEndSearch, size);
    if (tail < kEndRecordSize)
        return std::nullopt;
    std::vector<std::uint8_t> last(static_cast<std::size_t>(tail));
    if (file.pread(size - tail, last) != last.size())
        return std::nullopt;
    // The last end record whose signature starts past the first byte looked at.
    std::size_t i = last.size() - kEndRecordSize;
    while (i > 0 && !signatureAt(last, i, 5, 6))
        --i;
    if (i == 0)
        return std::nullopt;
    const std::span<const std::uint8_t> end = std::span<const std::uint8_t>(last).subspan(i);
    std::uint64_t endAt = size - tail + i; // the record the directory runs up to
    std::uint64_t cdSize = core::le32(end, 12);
    std::uint64_t cdOffset = core::le32(end, 16);
    if (i >= kLocatorSize && signatureAt(last, i - kLocatorSize, 6, 7)) {
        // zip64: the locator names the zip64 end record, which holds the real values. It
        // normally sits just before the locator; the offset recorded is taken when it points
        // at one instead.
        const std::uint64_t locatorAt = endAt - kLocatorSize;
        std::array<std::uint8_t, kZip64EndSize> z{};
        const std::uint64_t recorded =
            core::le64(std::span<const std::uint8_t>(last).subspan(i - kLocatorSize), 8);
        std::uint64_t at = locatorAt >= kZip64EndSize ? locatorAt - kZip64EndSize : 0;
        if (recorded < size && file.pread(recorded, z) == z.size() && signatureAt(z, 0, 6, 6))
            at = recorded;
        else if (file.pread(at, z) != z.size() || !signatureAt(z, 0, 6, 6))
            return std::nullopt;
        endAt = at;
        cdSize = core::le64(z, 40);
        cdOffset = core::le64(z, 48);
    }
    if (cdSize > endAt)
        return std::nullopt;
    // libarchive looks for the first record from where the directory must begin when nothing
    // was prepended (the end record's offset less the directory's size).
    const std::uint64_t adjusted = endAt - cdSize;
    Window window(file);
    std::uint64_t first = adjusted;
    // Bounded by the end record, which stops the search at the latest.
    for (;; ++first) {
        if (first >= endAt)
            return std::nullopt;
        const auto b = window.at(first, 4);
        if (b.empty())
            return std::nullopt;
        if (signatureAt(b, 0, 1, 2))
            break;
        if (signatureAt(b, 0, 5, 6) || signatureAt(b, 0, 6, 6))
            return std::nullopt;
    }
    return Located{first, endAt,
                   static_cast<std::int64_t>(first) - static_cast<std::int64_t>(cdOffset)};
}

// The zip64 extra field's values for the central fields set to all ones, in its order: size,
// compressed size, local header offset.
void applyZip64(std::span<const std::uint8_t> extra, bool sizeMarked, bool compressedMarked,
                bool offsetMarked, DirectoryEntry& e)
{
    std::size_t at = 0;
    // Bounded by the extra field: each step passes one block.
    while (extra.size() - at >= 4) {
        const std::uint16_t id = core::le16(extra, at);
        const std::size_t length = core::le16(extra, at + 2);
        if (extra.size() - at - 4 < length)
            return;
        if (id == kZip64Extra) {
            const std::span<const std::uint8_t> v = extra.subspan(at + 4, length);
            std::size_t p = 0;
            const auto next = [&](std::uint64_t& field) {
                if (v.size() - p >= 8) {
                    field = core::le64(v, p);
                    p += 8;
                }
            };
            if (sizeMarked)
                next(e.size);
            if (compressedMarked)
                next(e.compressedSize);
            if (offsetMarked)
                next(e.localOffset);
            return;
        }
        at += 4 + length;
    }
}

} // namespace

std::optional<std::vector<DirectoryEntry>> readDirectory(const core::Stream& file)
{
    const std::optional<Located> where = locate(file);
    if (!where)
        return std::nullopt;
    std::vector<DirectoryEntry> entries;
    Window window(file);
    std::uint64_t at = where->start;
    // Bounded: each step passes one record of at least 46 bytes, up to the end record.
    while (at < where->end) {
        const auto head = window.at(at, kCentralSize);
        if (head.empty() || !signatureAt(head, 0, 1, 2))
            break;
        const std::size_t nameLength = core::le16(head, 28);
        const std::size_t extraLength = core::le16(head, 30);
        const std::size_t commentLength = core::le16(head, 32);
        const std::size_t recordSize = kCentralSize + nameLength + extraLength + commentLength;
        const auto record = window.at(at, recordSize);
        if (record.empty())
            break;
        DirectoryEntry e;
        e.method = core::le16(record, 10);
        const std::uint32_t compressed = core::le32(record, 20);
        const std::uint32_t size = core::le32(record, 24);
        const std::uint32_t local = core::le32(record, 42);
        e.compressedSize = compressed;
        e.size = size;
        e.localOffset = local;
        const auto name = record.subspan(kCentralSize, nameLength);
        e.name.assign(name.begin(), name.end());
        applyZip64(record.subspan(kCentralSize + nameLength, extraLength), size == kMarker32,
                   compressed == kMarker32, local == kMarker32, e);
        const std::int64_t corrected = static_cast<std::int64_t>(e.localOffset) + where->correction;
        e.localOffset = corrected < 0 ? 0 : static_cast<std::uint64_t>(corrected);
        entries.push_back(std::move(e));
        at += recordSize;
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const DirectoryEntry& a, const DirectoryEntry& b) {
                         return a.localOffset < b.localOffset;
                     });
    return entries;
}

void refuseZipBomb(const std::vector<DirectoryEntry>& entries, std::uint64_t fileSize,
                   const std::string& path)
{
    // Sorted by local header: each member's range must end before the next one's begins. A
    // range is at least the local header's fixed part and the compressed bytes (its name and
    // extra field only add to it), so an honest archive never trips this.
    std::uint64_t reach = 0; // the furthest byte any earlier member's range covers
    std::uint64_t declared = 0;
    for (const DirectoryEntry& e : entries) {
        if (e.localOffset < reach)
            throw core::Error("\"" + path + "\": overlapping members (a zip bomb)");
        const std::uint64_t span = kLocalSize + std::min(e.compressedSize, fileSize);
        reach = std::max(reach, e.localOffset + std::min(span, UINT64_MAX - e.localOffset));
        if (e.method == 0 || e.method == 8) // stored, deflate
            declared += std::min(e.size, UINT64_MAX - declared);
    }
    if (fileSize <= UINT64_MAX / kMaxDeclaredRatio && declared > fileSize * kMaxDeclaredRatio)
        throw core::Error("\"" + path + "\": members declaring more than " +
                          std::to_string(kMaxDeclaredRatio) +
                          " times the archive's size (a zip bomb)");
}

} // namespace cartscope::archive::detail
