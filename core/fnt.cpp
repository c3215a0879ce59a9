// File name table and file allocation table walk.
//
// Decisions (the table bytes are hostile; every loop below has a bound):
//
// * The directory count (root field at FNT + 6) is reduced to its low 12 bits, like the
//   directory IDs: at most 4095 main-table entries are visited (a count of 4096 reads as 0).
//   Each directory's first-file ID is used at its full 16 bits: images with more than 4096
//   files are common, and a 12-bit reduction would point their later directories at the FAT
//   entries of earlier ones.
// * A read that delivers nothing (end of the image) ends a sub-table, as a zero type byte does.
//   A short name read keeps the bytes delivered (the rest reads as zero, so the name ends
//   there); a short directory ID, parent field or FAT field reads its missing bytes as zero.
// * Each main-table index is visited once, in order, and each sub-table offset is walked at most
//   once: when two main-table entries point at the same sub-table, the later one lists nothing.
//   Without this, 4095 entries sharing one long sub-table would list it 4095 times.
// * Each directory ID is accepted once: a later directory entry with an ID already met is
//   skipped, not appended. Each file ID (first-file ID + j) is accepted once; a file entry whose
//   ID was already met is skipped (it still takes its place in the counter j). A skipped entry
//   hides only itself; the walk goes on with the next entry. Because IDs are unique,
//   DirEntries never holds two entries with one DirID, so "both resolve through the later one"
//   cannot arise from this walk; GetDirNameForDirID still takes the last match, for arrays built
//   some other way.
// * Bounds: a sub-table walk ends at the end of the image (every entry consumes at least its
//   type byte); overall at most kMaxEntries entries are examined (kMaxFiles file entries plus
//   kMaxDirs directory entries, accepted or skipped), so no image yields more than 65536 files
//   or 4095 directories, and a walk over a huge run of non-zero bytes stops after that many.
// * StartOffset / EndOffset are unsigned 32-bit values; Size is end - start as a signed 32-bit
//   difference (modulo 2^32 in two's complement: start 0 and end 0xFFFFFFFF give -1, the same
//   as end 0 and start 1). A negative Size copies nothing when extracted.
// * Directory paths follow parent links at most dirs.size() steps and never revisit an entry.
//   A chain that comes back to an entry already on it (a cycle, a self-parent) or grows past
//   kMaxPathLength gives "/" + the names met so far (outermost first) + "/". A parent that no
//   entry has gives Name + "/" (with the names below it), without the leading "/".
#include "core/fnt.h"

#include <array>
#include <limits>
#include <span>
#include <unordered_set>

#include "core/hex.h"
#include "core/le.h"

namespace cartscope::core {

namespace {

constexpr std::uint64_t kMainEntrySize = 8;
constexpr std::uint64_t kFatEntrySize = 8;
constexpr std::uint32_t kIdMask = 0xFFF;
constexpr std::size_t kMaxFiles = 65536;
constexpr std::size_t kMaxDirs = 4095;
constexpr std::size_t kMaxEntries = kMaxFiles + kMaxDirs;
constexpr std::size_t kMaxPathLength = 1024;

// Positions saturate instead of wrapping: a sum past 2^64 - 1 reads nothing, like any other
// position past the end of the image.
std::uint64_t at(std::uint64_t base, std::uint64_t offset)
{
    return offset > std::numeric_limits<std::uint64_t>::max() - base
               ? std::numeric_limits<std::uint64_t>::max()
               : base + offset;
}

std::uint16_t read16(Stream& s, std::uint64_t pos)
{
    std::array<std::uint8_t, 2> b{};
    s.readAt(pos, b);
    return le16(b);
}

class Walk {
public:
    Walk(Stream& image, std::uint64_t fnt, std::uint64_t fat, std::vector<TFileEntry>& files,
         std::vector<TDirEntry>& dirs)
        : m_image(image), m_fnt(fnt), m_fat(fat), m_files(files), m_dirs(dirs),
          m_imageSize(image.size())
    {}

    void run()
    {
        const std::uint32_t count = read16(m_image, at(m_fnt, 6)) & kIdMask; // 0x06 root: count
        // Bounded by count <= 4095.
        for (std::uint32_t i = 0; i < count; ++i) {
            std::array<std::uint8_t, kMainEntrySize> entry{};
            m_image.readAt(at(m_fnt, kMainEntrySize * i), entry);
            const std::uint32_t subOffset = le32(entry, 0);   // 0x00 sub-table offset
            const std::uint32_t firstFileId = le16(entry, 4); // 0x04 first file ID, all 16 bits
            if (!m_walkedSubTables.insert(subOffset).second)
                continue;
            walkSubTable(at(m_fnt, subOffset), firstFileId, static_cast<std::int32_t>(i));
            if (m_examined >= kMaxEntries)
                break;
        }
    }

private:
    void walkSubTable(std::uint64_t pos, std::uint32_t firstFileId, std::int32_t dirIndex)
    {
        std::uint64_t j = 0;
        // Each pass consumes at least the type byte, so the walk ends at the end of the image;
        // kMaxEntries bounds the whole walk on top of that.
        while (pos < m_imageSize && m_examined < kMaxEntries) {
            std::array<std::uint8_t, 1> type{};
            if (m_image.readAt(pos, type) == 0 || type[0] == 0)
                return;
            ++m_examined;
            pos = at(pos, 1);
            const std::size_t n = type[0] & 0x7F;
            std::array<std::uint8_t, 127> nameBytes{};
            m_image.readAt(pos, std::span(nameBytes).first(n));
            std::string name;
            for (std::size_t k = 0; k < n && nameBytes[k] != 0; ++k)
                name.push_back(static_cast<char>(nameBytes[k]));
            pos = at(pos, n);

            if (type[0] & 0x80) {
                const std::uint32_t dirId = read16(m_image, pos) & kIdMask; // 1 + n: directory ID
                pos = at(pos, 2);
                addDir(std::move(name), dirId);
            } else {
                addFile(std::move(name), firstFileId + j, dirIndex);
                ++j;
            }
        }
    }

    void addDir(std::string name, std::uint32_t dirId)
    {
        if (m_dirs.size() >= kMaxDirs || m_seenDirIds[dirId])
            return;
        m_seenDirIds[dirId] = true;
        // 0x06 of the directory's own main-table entry: parent ID.
        const std::uint32_t parent =
            read16(m_image, at(m_fnt, 6 + kMainEntrySize * dirId)) & kIdMask;
        m_dirs.push_back({std::move(name), std::to_string(dirId), std::to_string(parent)});
    }

    void addFile(std::string name, std::uint64_t fileId, std::int32_t dirIndex)
    {
        if (m_files.size() >= kMaxFiles || !m_seenFileIds.insert(fileId).second)
            return;
        std::array<std::uint8_t, kFatEntrySize> fat{};
        m_image.readAt(at(m_fat, kFatEntrySize * fileId), fat);
        const std::uint32_t start = le32(fat, 0); // 0x00 start offset
        const std::uint32_t end = le32(fat, 4);   // 0x04 end offset (first byte after)
        TFileEntry f;
        f.Name = std::move(name);
        f.StartOffset = hex8(start);
        f.EndOffset = hex8(end);
        f.Size = static_cast<std::int32_t>(end - start); // modulo 2^32, see the top of the file
        f.DirIndex = dirIndex;
        m_files.push_back(std::move(f));
    }

    Stream& m_image;
    std::uint64_t m_fnt;
    std::uint64_t m_fat;
    std::vector<TFileEntry>& m_files;
    std::vector<TDirEntry>& m_dirs;
    std::uint64_t m_imageSize;
    std::size_t m_examined = 0;
    std::unordered_set<std::uint32_t> m_walkedSubTables;
    std::unordered_set<std::uint64_t> m_seenFileIds;
    std::array<bool, kIdMask + 1> m_seenDirIds{};
};

} // namespace

void ParseFNT(Stream& image, std::uint64_t fntPosition, std::uint64_t fatPosition,
              std::vector<TFileEntry>& files, std::vector<TDirEntry>& dirs)
{
    Walk(image, fntPosition, fatPosition, files, dirs).run();
}

DirPaths::DirPaths(const std::vector<TDirEntry>& dirs) : m_dirs(dirs)
{
    for (std::size_t k = 0; k < dirs.size(); ++k)
        m_byId[dirs[k].DirID] = k; // the last entry with a DirID wins
    m_parent.resize(dirs.size(), kNoParent);
    for (std::size_t k = 0; k < dirs.size(); ++k) {
        if (dirs[k].ParentID == "0") {
            m_parent[k] = kRootParent;
            continue;
        }
        const auto it = m_byId.find(dirs[k].ParentID);
        if (it != m_byId.end())
            m_parent[k] = it->second;
    }
}

std::string DirPaths::path(const std::string& dirId) const
{
    const auto it = m_byId.find(dirId);
    if (it == m_byId.end())
        return {};
    std::vector<bool> onChain(m_dirs.size(), false);
    std::vector<std::size_t> chain; // innermost first
    std::size_t length = 0;
    std::size_t k = it->second;
    bool leadingSlash = true;
    // Each step visits a new entry, so at most dirs.size() steps.
    while (true) {
        onChain[k] = true;
        chain.push_back(k);
        length += m_dirs[k].Name.size() + 1;
        const std::size_t parent = m_parent[k];
        if (parent == kRootParent)
            break;
        if (parent == kNoParent) {
            leadingSlash = false;
            break;
        }
        if (onChain[parent] || length > kMaxPathLength)
            break;
        k = parent;
    }
    std::string out;
    out.reserve(length + 1);
    if (leadingSlash)
        out.push_back('/');
    for (auto c = chain.rbegin(); c != chain.rend(); ++c) {
        out += m_dirs[*c].Name;
        out.push_back('/');
    }
    return out;
}

std::string GetDirNameForDirID(const std::vector<TDirEntry>& dirs, const std::string& dirId)
{
    return DirPaths(dirs).path(dirId);
}

} // namespace cartscope::core
