// File name table and file allocation table walk.
//
// Decisions (the table bytes are hostile; every loop below has a bound):
//
// * The directory count (root field at FNT + 6) is reduced to its low 12 bits, like the
//   directory IDs: at most 4095 main-table entries are visited (a count of 4096 reads as 0).
//   Each directory's first-file ID is used at its full 16 bits: images with more than 4096
//   files are common, and a 12-bit reduction would point their later directories at the FAT
//   entries of earlier ones.
// * A read that delivers nothing (end of the table; for an image, the end of the image) ends a
//   sub-table, as a zero type byte does. An entry whose name or directory ID the end cuts short
//   is dropped and ends the sub-table: completing a 2-byte ID with a zero would give the entry
//   another directory's ID (and its files that directory's path). A short parent field reads
//   its missing bytes as zero, so does an image's short FAT entry (a NARC's missing allocation
//   entry reads as 0xFF bytes instead, see narc.cpp).
// * Each main-table index is visited once, in order, and each sub-table offset is walked at most
//   once: when two main-table entries point at the same sub-table, the later one lists nothing.
//   Without this, 4095 entries sharing one long sub-table would list it 4095 times.
// * Every directory entry met is appended, also one whose ID an earlier entry carries: the later
//   one is the one paths resolve through (its name; the parent comes from the ID's main-table
//   entry either way), as the lookup takes the last match. Sub-tables are still walked once, so
//   repeated IDs cannot multiply the work. Each file ID (first-file ID + j) is accepted once; a
//   file entry whose ID was already met is skipped (it still takes its place in the counter j)
//   and hides only itself; the walk goes on with the next entry.
// * Bounds: a sub-table walk ends at the end of the table (every entry consumes at least its
//   type byte); overall at most kMaxEntries entries are examined (kMaxFiles file entries plus
//   kMaxDirs directory entries, accepted or skipped), so no image yields more than 65536 files
//   or 4095 directories, and a walk over a huge run of non-zero bytes stops after that many.
// * StartOffset / EndOffset are unsigned 32-bit values; Size is end - start as a signed 32-bit
//   difference (modulo 2^32 in two's complement: start 0 and end 0xFFFFFFFF give -1, the same
//   as end 0 and start 1). A negative Size copies nothing when extracted.
// * Reading: the walk runs over bytes in memory (walkTables). A NARC hands over its name block
//   and its allocation entries. An image's name table is read in one piece (from its offset, as
//   far as the header's FNT size says, capped by what a walk can ever examine), and after the
//   walk the allocation entries it needs in one piece (up to the highest file ID met, bounded by
//   the end of the image). The size field is a read-ahead hint only: a read that falls outside
//   the piece (a sub-table elsewhere in the image, a wrong size field) is served by a positioned
//   read of the image, with the same result.
// * Directory paths follow parent links at most dirs.size() steps and never revisit an entry.
//   A chain that comes back to an entry already on it (a cycle, a self-parent) gives "/" + the
//   names met (outermost first) + "/". A parent that no entry has gives Name + "/" (with the
//   names below it), without the leading "/". A path longer than kMaxPathBytes (Linux's
//   PATH_MAX) is never shortened silently: it is cut at the end and marked with a visible "…",
//   and the row that carries it cannot be extracted ("path too long").
#include "core/fs/fnt.h"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_set>

#include "core/base/le.h"

namespace cartscope::core {

namespace {

constexpr std::uint64_t kMainEntrySize = 8;
constexpr std::uint64_t kFatEntrySize = 8;
constexpr std::uint32_t kIdMask = 0xFFF;
constexpr std::size_t kMaxFiles = 65536;
constexpr std::size_t kMaxDirs = 4095;
constexpr std::size_t kMaxEntries = kMaxFiles + kMaxDirs;
constexpr std::size_t kMaxNameLength = 127;
static_assert(kNameTableReadAhead == 8 * (kIdMask + 1) + kMaxEntries * (1 + kMaxNameLength + 2));
// File IDs are first-file ID (16 bits) + j, j below kMaxEntries.
constexpr std::size_t kFileIdLimit = 0x10000 + kMaxEntries;

// A name table as the walk reads it: the held bytes where they cover a read, else the rest of
// the table read by position. Either way a read gives the bytes delivered, the rest zero, and
// the count delivered.
class TableReader {
public:
    explicit TableReader(const NameTableBytes& table)
        : m_held(table.held), m_rest(table.rest),
          m_size(table.rest ? table.rest->size() : table.held.size())
    {}

    // How far the table reaches: a walk reads nothing at or past it.
    std::uint64_t size() const { return m_size; }
    std::size_t bytesHeld() const { return m_held.size(); }

    // The n bytes at pos when the held bytes hold them all; null otherwise.
    const std::uint8_t* view(std::uint64_t pos, std::size_t n) const
    {
        if (pos <= m_held.size() && n <= m_held.size() - pos)
            return m_held.data() + pos;
        return nullptr;
    }

    std::size_t read(std::uint64_t pos, std::span<std::uint8_t> out) const
    {
        if (const std::uint8_t* held = view(pos, out.size())) {
            std::copy_n(held, out.size(), out.begin());
            return out.size();
        }
        std::fill(out.begin(), out.end(), std::uint8_t{0});
        if (!m_rest)
            return pos < m_held.size() ? copyHeld(pos, out) : 0;
        return m_rest->pread(pos, out);
    }

    std::uint16_t read16(std::uint64_t pos) const
    {
        if (const std::uint8_t* held = view(pos, 2))
            return le16({held, 2});
        std::array<std::uint8_t, 2> b{};
        read(pos, b);
        return le16(b);
    }

private:
    // The held bytes from pos (inside them) to their end: a read the end cuts short.
    std::size_t copyHeld(std::uint64_t pos, std::span<std::uint8_t> out) const
    {
        const auto n = std::min(out.size(), static_cast<std::size_t>(m_held.size() - pos));
        std::copy_n(m_held.data() + pos, n, out.begin());
        return n;
    }

    std::span<const std::uint8_t> m_held;
    const Stream* m_rest;
    std::uint64_t m_size;
};

// Bytes read in one piece, left unfilled until the read: only the bytes delivered are looked at.
struct Piece {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
    std::span<const std::uint8_t> span() const { return {bytes.get(), size}; }
};

// Up to `wanted` bytes of `stream` from `start`, never past its end.
Piece readPiece(const Stream& stream, std::uint64_t start, std::uint64_t wanted)
{
    Piece piece;
    const std::uint64_t size = stream.size();
    if (start >= size || wanted == 0)
        return piece;
    const auto n = static_cast<std::size_t>(std::min(wanted, size - start));
    piece.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(n);
    piece.size = stream.pread(start, std::span(piece.bytes.get(), n));
    return piece;
}

// The walk in two steps: the names, then the allocation entries of the files met (an image's
// are read only once the walk knows the highest file ID it needs).
class Walk {
public:
    Walk(const NameTableBytes& table, std::vector<TFileEntry>& files, std::vector<TDirEntry>& dirs)
        : m_table(table), m_files(files), m_dirs(dirs), m_seenFileIds(kFileIdLimit, false)
    {}

    void walkNames()
    {
        // Room for every file the held bytes can name (each file entry takes at least two
        // bytes), reserved once: growing by doubling would copy and touch the array again at
        // every step. Capacity never used is never touched, so it costs no memory.
        const std::size_t likely = std::min(kMaxFiles, m_table.bytesHeld() / 2 + 1);
        m_files.reserve(likely);
        m_fileIds.reserve(likely);
        const std::uint32_t count = m_table.read16(6) & kIdMask; // 0x06 root: directory count
        // Bounded by count <= 4095.
        for (std::uint32_t i = 0; i < count; ++i) {
            std::array<std::uint8_t, kMainEntrySize> entry{};
            m_table.read(kMainEntrySize * i, entry);
            const std::uint32_t subOffset = le32(entry, 0);   // 0x00 sub-table offset
            const std::uint32_t firstFileId = le16(entry, 4); // 0x04 first file ID, all 16 bits
            if (!m_walkedSubTables.insert(subOffset).second)
                continue;
            walkSubTable(subOffset, firstFileId, static_cast<std::int32_t>(i));
            if (m_examined >= kMaxEntries)
                break;
        }
    }

    // How many allocation entries the files met need: one past the highest file ID, at most
    // kFileIdLimit; none when no file was met.
    std::uint64_t entriesNeeded() const { return m_files.empty() ? 0 : m_highestFileId + 1; }

    void allocate(const AllocationBytes& fat)
    {
        for (std::size_t k = 0; k < m_files.size(); ++k) {
            std::array<std::uint8_t, kFatEntrySize> entry;
            entry.fill(fat.missing);
            // File IDs are below kFileIdLimit: the position cannot overflow.
            const std::uint64_t pos = kFatEntrySize * m_fileIds[k];
            if (pos < fat.held.size())
                std::copy_n(fat.held.data() + pos,
                            std::min<std::uint64_t>(kFatEntrySize, fat.held.size() - pos),
                            entry.begin());
            const std::uint32_t start = le32(entry, 0); // 0x00 start offset
            const std::uint32_t end = le32(entry, 4);   // 0x04 end offset (first byte after)
            TFileEntry& f = m_files[k];
            f.StartOffset = start;
            f.EndOffset = end;
            f.Size = static_cast<std::int32_t>(end - start); // modulo 2^32, see the top of the file
        }
    }

private:
    void walkSubTable(std::uint64_t pos, std::uint32_t firstFileId, std::int32_t dirIndex)
    {
        std::uint64_t j = 0;
        // Each pass consumes at least the type byte, so the walk ends at the end of the table;
        // kMaxEntries bounds the whole walk on top of that. Positions stay below 2^33 (a 32-bit
        // sub-table offset plus at most kMaxEntries entries of at most 130 bytes).
        while (pos < m_table.size() && m_examined < kMaxEntries) {
            std::uint8_t type = 0;
            if (const std::uint8_t* held = m_table.view(pos, 1))
                type = *held;
            else if (m_table.read(pos, std::span(&type, 1)) == 0)
                return;
            if (type == 0)
                return;
            ++m_examined;
            pos += 1;
            const std::size_t n = type & 0x7F;
            // The name is taken where it lies when the held bytes hold it; otherwise read.
            std::array<std::uint8_t, kMaxNameLength> copied;
            const std::uint8_t* nameBytes = m_table.view(pos, n);
            if (!nameBytes) {
                if (m_table.read(pos, std::span(copied).first(n)) < n)
                    return; // cut by the end of the table
                nameBytes = copied.data();
            }
            const std::size_t length =
                static_cast<std::size_t>(std::find(nameBytes, nameBytes + n, 0) - nameBytes);
            std::string name(reinterpret_cast<const char*>(nameBytes), length);
            pos += n;

            if (type & 0x80) {
                std::array<std::uint8_t, 2> id{};
                if (m_table.read(pos, id) < id.size())
                    return;                                     // cut by the end of the table
                const std::uint32_t dirId = le16(id) & kIdMask; // 1 + n: directory ID
                pos += 2;
                addDir(std::move(name), dirId);
            } else {
                addFile(std::move(name), firstFileId + j, dirIndex);
                ++j;
            }
        }
    }

    void addDir(std::string name, std::uint32_t dirId)
    {
        if (m_dirs.size() >= kMaxDirs)
            return;
        // 0x06 of the directory's own main-table entry: parent ID.
        const std::uint32_t parent = m_table.read16(6 + kMainEntrySize * dirId) & kIdMask;
        m_dirs.push_back({std::move(name), static_cast<std::uint16_t>(dirId),
                          static_cast<std::uint16_t>(parent)});
    }

    // The allocation entry is looked up after the walk, with all the others.
    void addFile(std::string name, std::uint64_t fileId, std::int32_t dirIndex)
    {
        if (m_files.size() >= kMaxFiles || m_seenFileIds[fileId])
            return;
        m_seenFileIds[fileId] = true;
        TFileEntry& f = m_files.emplace_back();
        f.Name = std::move(name);
        f.DirIndex = dirIndex;
        f.FileId = static_cast<std::uint32_t>(fileId);
        m_fileIds.push_back(static_cast<std::uint32_t>(fileId));
        m_highestFileId = std::max(m_highestFileId, fileId);
    }

    TableReader m_table;
    std::vector<TFileEntry>& m_files;
    std::vector<TDirEntry>& m_dirs;
    std::size_t m_examined = 0;
    std::unordered_set<std::uint32_t> m_walkedSubTables;
    std::vector<bool> m_seenFileIds;      // by file ID, below kFileIdLimit
    std::vector<std::uint32_t> m_fileIds; // the file ID of each entry of m_files (< kFileIdLimit)
    std::uint64_t m_highestFileId = 0;
};

} // namespace

void walkTables(const NameTableBytes& fnt, const AllocationBytes& fat,
                std::vector<TFileEntry>& files, std::vector<TDirEntry>& dirs)
{
    Walk walk(fnt, files, dirs);
    walk.walkNames();
    walk.allocate(fat);
}

void ParseFNT(const Stream& image, std::uint64_t fntPosition, std::uint64_t fatPosition,
              std::vector<TFileEntry>& files, std::vector<TDirEntry>& dirs,
              std::uint64_t fntSizeHint)
{
    // The table reaches as far as the image: its size field only says how much to hold.
    const SubStream rest(image, fntPosition, std::numeric_limits<std::uint64_t>::max());
    const Piece names =
        readPiece(image, fntPosition, std::min<std::uint64_t>(fntSizeHint, kNameTableReadAhead));
    Walk walk({names.span(), &rest}, files, dirs);
    walk.walkNames();
    // At most kFileIdLimit entries of 8 bytes (about 1 MiB), and never past the image; an entry
    // the end of the image cuts short reads its missing bytes as zero.
    const Piece entries = readPiece(image, fatPosition, kFatEntrySize * walk.entriesNeeded());
    walk.allocate({entries.span(), 0x00});
}

DirPaths::DirPaths(const std::vector<TDirEntry>& dirs)
    : m_dirs(dirs), m_byId(kDirIdCount, kNoParent)
{
    // IDs from the walk are below kDirIdCount; any other (a hand-made array) is never found.
    for (std::size_t k = 0; k < dirs.size(); ++k)
        if (dirs[k].DirID < kDirIdCount)
            m_byId[dirs[k].DirID] = k; // the last entry with a DirID wins
    m_parent.resize(dirs.size(), kNoParent);
    for (std::size_t k = 0; k < dirs.size(); ++k) {
        if (dirs[k].ParentID == 0)
            m_parent[k] = kRootParent;
        else if (dirs[k].ParentID < kDirIdCount)
            m_parent[k] = m_byId[dirs[k].ParentID];
    }
}

bool capPath(std::string& path)
{
    if (path.size() <= kMaxPathBytes)
        return false;
    static constexpr std::string_view kMarker = "\xE2\x80\xA6"; // "…"
    std::size_t cut = kMaxPathBytes - kMarker.size();
    // Never inside a UTF-8 sequence: back over at most three continuation bytes.
    for (int k = 0; k < 3 && cut > 0 && (static_cast<unsigned char>(path[cut]) & 0xC0) == 0x80; ++k)
        --cut;
    path.resize(cut);
    path += kMarker;
    return true;
}

DirPaths::Resolved DirPaths::resolve(std::uint16_t dirId) const
{
    if (dirId >= kDirIdCount || m_byId[dirId] == kNoParent)
        return {};
    std::vector<bool> onChain(m_dirs.size(), false);
    std::vector<std::size_t> chain; // innermost first
    std::size_t k = m_byId[dirId];
    bool leadingSlash = true;
    // Each step visits a new entry, so at most dirs.size() steps.
    while (true) {
        onChain[k] = true;
        chain.push_back(k);
        const std::size_t parent = m_parent[k];
        if (parent == kRootParent)
            break;
        if (parent == kNoParent) {
            leadingSlash = false;
            break;
        }
        if (onChain[parent])
            break;
        k = parent;
    }
    // Built outermost first and never much past the cap, whatever the depth: 4095 nested
    // 127-byte names would otherwise make half-megabyte paths for every directory.
    Resolved out;
    if (leadingSlash)
        out.path.push_back('/');
    for (auto c = chain.rbegin(); c != chain.rend() && out.path.size() <= kMaxPathBytes; ++c) {
        out.path += m_dirs[*c].Name;
        out.path.push_back('/');
    }
    out.cut = capPath(out.path);
    return out;
}

std::string DirPaths::path(std::uint16_t dirId) const
{
    return resolve(dirId).path;
}

std::string GetDirNameForDirID(const std::vector<TDirEntry>& dirs, std::uint16_t dirId)
{
    return DirPaths(dirs).path(dirId);
}

} // namespace cartscope::core
