#include "archive/zip_directory.h"

#include <algorithm>
#include <array>
#include <span>

#include "archive/archive_source.h"
#include "core/base/error.h"
#include "core/base/le.h"

namespace cartscope::archive::detail {

namespace {

constexpr std::uint64_t kEndSearch = 16 * 1024; // as far back as libarchive looks for the end
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kLocatorSize = 20;
constexpr std::size_t kZip64EndSize = 56;             // the fixed part of the zip64 end record
constexpr std::uint64_t kZip64EndLargest = 16 * 1024; // as large as libarchive reads one
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::uint32_t kMarker32 = 0xffffffff;
constexpr std::uint16_t kZip64Extra = 0x0001;
constexpr std::uint64_t kLargestValue = std::uint64_t{INT64_MAX};
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

// Where the search for the first central record starts and what it is measured against.
struct Start {
    std::uint64_t search = 0; // the search for the first record starts here
    std::uint64_t end = 0;    // the record the directory runs up to
    std::uint64_t cdOffset = 0;
    bool libarchive = false; // by libarchive's own rules
};

// The file's last 16 KiB and the last end record in it whose signature starts past their first
// byte, as libarchive takes it (an archive stored inside another can carry an end record of its
// own).
struct Tail {
    std::vector<std::uint8_t> bytes;
    std::uint64_t at = 0; // file offset of bytes[0]
    std::size_t end = 0;  // the end record in bytes
    bool locator = false; // a zip64 locator just before it
    std::span<const std::uint8_t> endRecord() const
    {
        return std::span<const std::uint8_t>(bytes).subspan(end, kEndRecordSize);
    }
    std::span<const std::uint8_t> locatorRecord() const
    {
        return std::span<const std::uint8_t>(bytes).subspan(end - kLocatorSize, kLocatorSize);
    }
};

std::optional<Tail> readTail(const core::Stream& file)
{
    const std::uint64_t size = file.size();
    const std::uint64_t tail = std::min(kEndSearch, size);
    if (tail < kEndRecordSize)
        return std::nullopt;
    Tail t;
    t.bytes.resize(static_cast<std::size_t>(tail));
    t.at = size - tail;
    if (file.pread(t.at, t.bytes) != t.bytes.size())
        return std::nullopt;
    std::size_t i = t.bytes.size() - kEndRecordSize;
    while (i > 0 && !signatureAt(t.bytes, i, 5, 6))
        --i;
    if (i == 0)
        return std::nullopt;
    t.end = i;
    t.locator = i >= kLocatorSize && signatureAt(t.bytes, i - kLocatorSize, 6, 7);
    return t;
}

// libarchive's directory offset from a zip64 end record, taken when the locator before the end
// record is sound: one disk, the record inside the file and of a size libarchive reads, the
// directory in one piece on disk 0. libarchive then looks for the first central record from
// that offset (no search for prepended bytes).
std::optional<Start> libarchiveZip64(const core::Stream& file, const Tail& t)
{
    const std::span<const std::uint8_t> locator = t.locatorRecord();
    if (core::le32(locator, 4) != 0 || core::le32(locator, 16) != 1)
        return std::nullopt;
    const std::uint64_t at = core::le64(locator, 8);
    const std::uint64_t size = file.size();
    if (at > size || size - at < kZip64EndSize)
        return std::nullopt;
    std::array<std::uint8_t, kZip64EndSize> fixed{};
    if (file.pread(at, fixed) != fixed.size())
        return std::nullopt;
    const std::uint64_t recordSize = core::le64(fixed, 4); // less its first 12 bytes
    if (recordSize < kZip64EndSize - 12 || recordSize > kZip64EndLargest - 12 ||
        size - at < recordSize + 12)
        return std::nullopt;
    if (core::le32(fixed, 16) != 0 || core::le32(fixed, 20) != 0 ||
        core::le64(fixed, 24) != core::le64(fixed, 32))
        return std::nullopt;
    const std::uint64_t offset = core::le64(fixed, 48);
    if (offset > kLargestValue)
        return std::nullopt;
    return Start{offset, t.at + t.end, offset, true};
}

// libarchive's rules: a sound zip64 record's values take precedence, else the end record's own,
// which must describe one disk and no zip64 marker.
std::optional<Start> libarchiveStart(const core::Stream& file, const Tail& t)
{
    if (t.locator) {
        if (auto zip64 = libarchiveZip64(file, t))
            return zip64;
    }
    const std::span<const std::uint8_t> end = t.endRecord();
    const std::uint64_t endAt = t.at + t.end;
    const std::uint16_t disk = core::le16(end, 4);
    if (disk != 0 || core::le16(end, 6) != disk || core::le16(end, 8) != core::le16(end, 10) ||
        core::le16(end, 10) == 0xffff)
        return std::nullopt;
    const std::uint64_t cdSize = core::le32(end, 12);
    const std::uint64_t cdOffset = core::le32(end, 16);
    if (cdSize == kMarker32 || cdOffset == kMarker32 || cdOffset + cdSize > endAt)
        return std::nullopt;
    // libarchive looks for the first record from where the directory must begin when nothing
    // was prepended (the end record's offset less the directory's size).
    return Start{endAt - cdSize, endAt, cdOffset, true};
}

// Where libarchive's rules decline, the directory as well as it can be found: the zip64 end
// record the locator names (or the one just before the locator), else the end record's values.
std::optional<Start> lenientStart(const core::Stream& file, const Tail& t)
{
    const std::span<const std::uint8_t> end = t.endRecord();
    std::uint64_t endAt = t.at + t.end;
    std::uint64_t cdSize = core::le32(end, 12);
    std::uint64_t cdOffset = core::le32(end, 16);
    if (t.locator) {
        const std::uint64_t locatorAt = endAt - kLocatorSize;
        std::array<std::uint8_t, kZip64EndSize> z{};
        const std::uint64_t recorded = core::le64(t.locatorRecord(), 8);
        std::uint64_t at = locatorAt >= kZip64EndSize ? locatorAt - kZip64EndSize : 0;
        if (recorded < file.size() && file.pread(recorded, z) == z.size() &&
            signatureAt(z, 0, 6, 6))
            at = recorded;
        else if (file.pread(at, z) != z.size() || !signatureAt(z, 0, 6, 6))
            return std::nullopt;
        endAt = at;
        cdSize = core::le64(z, 40);
        cdOffset = core::le64(z, 48);
    }
    if (cdSize > endAt)
        return std::nullopt;
    return Start{endAt - cdSize, endAt, cdOffset, false};
}

struct Located {
    std::uint64_t first = 0;     // the first central record
    std::uint64_t end = 0;       // where the records stop at the latest
    std::int64_t correction = 0; // added to each record's local header offset
    bool libarchive = false;
};

std::optional<Located> locate(Window& window, const Start& start)
{
    // Bounded by the end record, which stops the search at the latest (libarchive's search may
    // start past it, and then ends with the file).
    for (std::uint64_t first = start.search;; ++first) {
        if (first >= start.end && !start.libarchive)
            return std::nullopt;
        const auto b = window.at(first, 4);
        if (b.empty())
            return std::nullopt;
        if (signatureAt(b, 0, 1, 2))
            return Located{first, start.end,
                           static_cast<std::int64_t>(first) -
                               static_cast<std::int64_t>(start.cdOffset),
                           start.libarchive};
        if (signatureAt(b, 0, 5, 6) || signatureAt(b, 0, 6, 6))
            return std::nullopt; // no record, or a zip64 end record first
    }
}

// One central record at `record` (its whole length available).
DirectoryEntry entryOf(std::span<const std::uint8_t> record, std::int64_t correction)
{
    const std::size_t nameLength = core::le16(record, 28);
    const std::size_t extraLength = core::le16(record, 30);
    DirectoryEntry e;
    e.flags = core::le16(record, 8);
    e.method = core::le16(record, 10);
    e.crc32 = core::le32(record, 16);
    e.compressedSize = core::le32(record, 20);
    e.size = core::le32(record, 24);
    const std::uint32_t local = core::le32(record, 42);
    e.localOffset = local;
    const auto name = record.subspan(kCentralSize, nameLength);
    e.name.assign(name.begin(), name.end());
    // libarchive corrects the 32-bit field first, so a corrected marker is no longer one.
    const std::int64_t recorded = static_cast<std::int64_t>(local) + correction;
    constexpr std::uint64_t kNoOffset = UINT64_MAX;
    std::uint64_t libarchiveLocal = recorded < 0 ? kNoOffset : static_cast<std::uint64_t>(recorded);
    std::uint64_t size = e.size;
    std::uint64_t compressed = e.compressedSize;
    const auto extra = record.subspan(kCentralSize + nameLength, extraLength);
    e.zip64Sound = applyZip64(extra, size, compressed, libarchiveLocal);
    if (libarchiveLocal != kNoOffset)
        e.libarchiveOffset = libarchiveLocal;
    applyZip64(extra, e.size, e.compressedSize, e.localOffset);
    const std::int64_t corrected = static_cast<std::int64_t>(e.localOffset) + correction;
    e.localOffset = corrected < 0 ? 0 : static_cast<std::uint64_t>(corrected);
    return e;
}

} // namespace

bool applyZip64(std::span<const std::uint8_t> extra, std::uint64_t& size, std::uint64_t& compressed,
                std::uint64_t& localOffset)
{
    if (extra.size() < 4) // trailing zero bytes are tolerated, anything else is not
        return std::all_of(extra.begin(), extra.end(), [](std::uint8_t v) { return v == 0; });
    bool sound = true;
    std::size_t at = 0;
    // Bounded by the block: each step passes one field's 4-byte head at least.
    while (extra.size() - at >= 4) {
        const std::uint16_t id = core::le16(extra, at);
        const std::size_t length = core::le16(extra, at + 2);
        at += 4;
        if (length > extra.size() - at)
            return false;
        if (id == kZip64Extra) {
            std::size_t field = at;
            std::size_t left = length;
            for (std::uint64_t* value : {&size, &compressed, &localOffset}) {
                if (*value != kMarker32)
                    continue;
                if (left < 8) {
                    sound = false;
                    break;
                }
                *value = core::le64(extra, field);
                sound = sound && *value <= kLargestValue;
                field += 8;
                left -= 8;
            }
        }
        at += length;
    }
    return sound;
}

namespace {

// The records from the first one up to the end record. `complete`: the walk ended at the end
// record's signature, no record damaged or cut short on the way.
std::vector<DirectoryEntry> walk(Window& window, const Located& where, bool& complete)
{
    std::vector<DirectoryEntry> entries;
    complete = false;
    std::uint64_t at = where.first;
    // Bounded: each step passes one record of at least 46 bytes, up to the end record. The
    // records run to the end record's signature, whatever it says about the directory's size.
    while (at <= where.end) {
        const auto signature = window.at(at, 4);
        if (signature.empty())
            break;
        if (signatureAt(signature, 0, 5, 6) || signatureAt(signature, 0, 6, 6)) {
            complete = true;
            break;
        }
        if (at == where.end || !signatureAt(signature, 0, 1, 2))
            break;
        const auto head = window.at(at, kCentralSize);
        if (head.empty())
            break;
        const std::size_t recordSize =
            kCentralSize + core::le16(head, 28) + core::le16(head, 30) + core::le16(head, 32);
        const auto record = window.at(at, recordSize);
        if (record.empty())
            break;
        entries.push_back(entryOf(record, where.correction));
        at += recordSize;
    }
    return entries;
}

} // namespace

std::optional<Directory> readDirectory(const core::Stream& file)
{
    ++g_directoryReads;
    const std::optional<Tail> tail = readTail(file);
    if (!tail)
        return std::nullopt;
    Window window(file);
    Directory d;
    bool complete = false;
    // libarchive's own rules first; where they find no whole directory, the lenient ones.
    if (const auto start = libarchiveStart(file, *tail)) {
        if (const auto where = locate(window, *start)) {
            d.entries = walk(window, *where, complete);
            d.libarchiveLayout = complete;
        }
    }
    if (!d.libarchiveLayout) {
        const auto start = lenientStart(file, *tail);
        const auto where = start ? locate(window, *start) : std::nullopt;
        if (!where)
            return std::nullopt;
        d.entries = walk(window, *where, complete);
    }
    std::stable_sort(d.entries.begin(), d.entries.end(),
                     [](const DirectoryEntry& a, const DirectoryEntry& b) {
                         return a.localOffset < b.localOffset;
                     });
    return d;
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
