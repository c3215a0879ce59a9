// NARC archives.
//
// Layout (little-endian): a 16-byte header ("NARC", byte-order mark 0xFFFE, version, archive
// size, header size, block count), then blocks, each "magic, size (header included), data":
// BTAF (file count at +8, then start/end pairs at +12, relative to the GMIF data), BTNF (a file
// name table in the image's FNT layout, offsets relative to its own data at +8) and GMIF (the
// member bytes from +8).
//
// The archive is as hostile as the image around it:
// * the block walk visits at most kMaxBlocks blocks, each at least its 8-byte header long; a block
//   that runs past the archive is cut at its end (and noted);
// * the file count is cut to the entries the BTAF block holds (and noted), at most 65535;
// * names come from the image's own FNT walk (walkTables), handed the BTNF data and the BTAF
//   entries, so every bound of that walk applies and nothing outside the two blocks is read as
//   a table; a name whose file ID has no entry is reported;
// * a member whose range leaves the GMIF data carries a problem and is never extracted;
// * nested archives are opened one level per path component, at most kNarcMaxDepth levels.
#include "core/fs/narc.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/base/le.h"
#include "core/base/paths.h"
#include "core/fs/fnt.h"

namespace cartscope::core {

namespace {

constexpr std::uint64_t kNarcHeaderSize = 0x10;
constexpr int kMaxBlocks = 16;

using Block = NarcBlock;

constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;

std::string notNarc(const std::string& label, const std::string& why)
{
    return "\"" + label + "\" is not a NARC archive" + (why.empty() ? "" : ": " + why);
}

std::string memberName(std::uint64_t index)
{
    char name[32];
    std::snprintf(name, sizeof name, "/file_%04llu", static_cast<unsigned long long>(index));
    return name;
}

void classify(const Stream& image, NarcMember& m)
{
    if (!m.problem.empty() || m.size == 0)
        return;
    std::array<std::uint8_t, 4> head{};
    const std::size_t got =
        image.pread(m.offset, std::span(head).first(std::min<std::size_t>(4, m.size)));
    m.compressed = got >= 1 && isLzCompressed(head[0]);
    m.narc = got == 4 && std::memcmp(head.data(), "NARC", 4) == 0;
    m.sdat = got == 4 && std::memcmp(head.data(), "SDAT", 4) == 0;
}

// The most compressed bytes read for one archive: what any codec needs for the 64 MiB cap, with
// room to spare; bytes past it are not read (a stream needing them ends early, an error).
constexpr std::uint64_t kMaxCompressedRead = 2 * kMaxDeclared32;

// The file `f` as its content: decompressed when its bytes carry a
// plausible compression header (the decoder's errors name it).
PlacedFile contentOf(const Stream& image, PlacedFile f)
{
    const Stream& source = f.stream(image);
    if (f.offset > source.size() || f.size > source.size() - f.offset)
        throw Error("\"" + f.path + "\" runs past the end of the image");
    f.storedOffset = f.offset;
    f.storedSize = f.size;
    f.codec.reset();
    std::array<std::uint8_t, 16> head{};
    const std::size_t got =
        source.pread(f.offset, std::span(head).first(std::min<std::uint64_t>(f.size, 16)));
    if (const auto h = plausibleCompression(std::span(head).first(got), f.size)) {
        std::vector<std::uint8_t> packed(
            static_cast<std::size_t>(std::min(f.size, kMaxCompressedRead)));
        source.readExact(f.offset, packed);
        f.decompressed =
            std::make_shared<const DecompressedArchive>(h->codec, decompress(packed, f.path));
        f.codec = h->codec;
        f.offset = 0;
        f.size = f.decompressed->bytes.size();
    }
    return f;
}

struct Blocks {
    std::optional<Block> btaf, btnf, gmif; // the first of each; btaf and gmif always found
};

// The header and the block walk. Throws "\"%s\" is not a NARC archive" (with `label`) when the
// magic, the allocation block or the data block is missing.
Blocks findBlocks(const Stream& archive, const std::string& label, std::vector<std::string>& notes)
{
    const std::uint64_t end = archive.size();
    std::array<std::uint8_t, kNarcHeaderSize> header{};
    if (archive.pread(0, header) != header.size() || std::memcmp(header.data(), "NARC", 4) != 0)
        throw Error(notNarc(label, ""));
    // 0x0C header size: the blocks follow it; a value below 16 would overlap the header.
    std::uint64_t pos = std::max<std::uint64_t>(le16(header, 0x0C), kNarcHeaderSize);
    Blocks blocks;
    for (int i = 0; i < kMaxBlocks && pos < end && end - pos >= kNarcBlockHeaderSize; ++i) {
        std::array<std::uint8_t, kNarcBlockHeaderSize> bh{};
        archive.pread(pos, bh);
        const std::string magic(reinterpret_cast<const char*>(bh.data()), 4);
        const std::uint64_t blockSize = le32(bh, 4); // +4 block size, header included
        if (blockSize < kNarcBlockHeaderSize) {
            notes.push_back("block " + magic + " is shorter than its own header");
            break;
        }
        Block b{pos, pos + blockSize};
        if (blockSize > end - pos) {
            notes.push_back("block " + magic + " runs past the end of the archive");
            b.end = end;
        }
        if (magic == "BTAF" && !blocks.btaf)
            blocks.btaf = b;
        else if (magic == "BTNF" && !blocks.btnf)
            blocks.btnf = b;
        else if (magic == "GMIF" && !blocks.gmif)
            blocks.gmif = b;
        pos = b.end;
    }
    if (!blocks.btaf)
        throw Error(notNarc(label, "it has no BTAF block"));
    if (!blocks.gmif)
        throw Error(notNarc(label, "it has no GMIF block"));
    return blocks;
}

// The allocation entries (count at +8, entries from +12), as many as the count claims and the
// block holds (at most 65535 of 8 bytes).
std::vector<std::uint8_t> readAllocations(const Stream& archive, const Block& btaf,
                                          std::vector<std::string>& notes)
{
    std::array<std::uint8_t, 2> countBytes{};
    const bool hasEntries = btaf.end - btaf.start >= kNarcEntriesAt;
    const bool countRead = hasEntries && archive.pread(btaf.start + kNarcBlockHeaderSize,
                                                       countBytes) == countBytes.size();
    const std::uint64_t claimed = countRead ? le16(countBytes) : 0;
    const std::uint64_t room =
        hasEntries ? (btaf.end - btaf.start - kNarcEntriesAt) / kNarcEntrySize : 0;
    const std::uint64_t count = std::min(claimed, room);
    if (count < claimed)
        notes.push_back("the allocation block holds " + std::to_string(room) +
                        " entries but claims " + std::to_string(claimed));
    std::vector<std::uint8_t> fat(static_cast<std::size_t>(count * kNarcEntrySize));
    if (!fat.empty())
        archive.pread(btaf.start + kNarcEntriesAt, fat);
    return fat;
}

// The name block walked as an image's file name table, over the allocation entries. A named
// file whose ID has no entry reads 0xFF bytes, so its range FFFFFFFF..FFFFFFFF is reported
// instead of read as empty.
void walkNames(const Stream& archive, const Block& btnf, std::span<const std::uint8_t> fat,
               std::vector<TFileEntry>& files, std::vector<TDirEntry>& dirs)
{
    // The block is held in one read as far as a walk can examine; past that (a sub-table at a
    // far offset) it is read by position, never past the block's end.
    const SubStream names(archive, btnf.start + kNarcBlockHeaderSize,
                          btnf.end - btnf.start - kNarcBlockHeaderSize);
    std::vector<std::uint8_t> held(
        static_cast<std::size_t>(std::min(names.size(), kNameTableReadAhead)));
    held.resize(names.pread(0, held));
    walkTables({held, &names}, {fat, 0xFF}, files, dirs);
}

// Where the members' bytes lie: the data block's content, in the image.
struct Data {
    const Stream& image;
    std::uint64_t at = 0;
    std::uint64_t size = 0;
};

NarcMember member(const Data& data, std::string path, std::uint32_t fileId, std::uint32_t start,
                  std::uint32_t stop)
{
    NarcMember m;
    m.path = std::move(path);
    m.fileId = fileId;
    m.offset = data.at + start;
    if (start == kNoEntry && stop == kNoEntry) {
        m.problem = "it has no allocation entry";
    } else if (stop < start) {
        m.problem = "its allocation entry ends before it starts";
    } else {
        m.size = stop - start;
        if (start > data.size || m.size > data.size - start)
            m.problem = "its range runs past the end of the archive's data";
    }
    classify(data.image, m);
    return m;
}

} // namespace

bool isLzCompressed(std::uint8_t firstByte)
{
    return firstByte == 0x10 || firstByte == 0x11;
}

Narc readNarc(const Stream& image, std::uint64_t offset, std::uint64_t size,
              const std::string& label)
{
    const SubStream archive(image, offset, size);
    Narc narc;
    narc.offset = offset;
    narc.size = archive.size();
    const Blocks blocks = findBlocks(archive, label, narc.notes);
    const std::vector<std::uint8_t> fat = readAllocations(archive, *blocks.btaf, narc.notes);
    narc.allocation = *blocks.btaf;
    narc.data = *blocks.gmif;
    narc.entries = fat.size() / kNarcEntrySize;
    const Data data{image, offset + blocks.gmif->start + kNarcBlockHeaderSize,
                    blocks.gmif->end - blocks.gmif->start - kNarcBlockHeaderSize};

    std::vector<TFileEntry> files;
    std::vector<TDirEntry> dirs;
    if (blocks.btnf)
        walkNames(archive, *blocks.btnf, fat, files, dirs);
    if (!files.empty()) {
        narc.named = true;
        for (const FileRow& row : ParseArraysToList(files, dirs)) {
            const std::uint32_t start = row.offset;
            const auto stop = static_cast<std::uint32_t>(start + row.size);
            narc.members.push_back(member(data, row.path, row.fileId, start, stop));
            if (row.pathTooLong)
                narc.members.back().problem = "path too long";
        }
    } else {
        const std::size_t count = fat.size() / kNarcEntrySize;
        narc.members.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::span<const std::uint8_t> e(fat.data() + i * kNarcEntrySize, kNarcEntrySize);
            narc.members.push_back(
                member(data, memberName(i), static_cast<std::uint32_t>(i), le32(e, 0), le32(e, 4)));
        }
    }
    return narc;
}

PlacedFile placeFile(const Stream& image, const std::vector<FileRow>& treeRows,
                     const std::string& path)
{
    // The tree row that is the path, or else the longest one that leads it as a folder would.
    const FileRow* base = nullptr;
    for (const FileRow& row : treeRows) {
        if (row.system)
            continue;
        if (row.path == path) {
            base = &row;
            break;
        }
        if (path.size() > row.path.size() && path.compare(0, row.path.size(), row.path) == 0 &&
            path[row.path.size()] == '/' && (!base || row.path.size() > base->path.size()))
            base = &row;
    }
    if (!base)
        throw Error("No file \"" + path + "\" in the image");
    if (!base->problem.empty())
        throw Error("Cannot open \"" + base->path + "\": " + base->problem);
    PlacedFile f;
    f.path = base->path;
    f.offset = base->offset;
    f.size = static_cast<std::uint64_t>(std::max<std::int64_t>(base->size, 0));
    std::string rest = path.substr(base->path.size());
    // Each level consumes at least one component of the path.
    for (int depth = 0;; ++depth) {
        f = contentOf(image, std::move(f));
        if (rest.empty())
            return f;
        std::array<std::uint8_t, 4> head{};
        if (f.size < 4 || f.stream(image).pread(f.offset, head) != 4 ||
            std::memcmp(head.data(), "NARC", 4) != 0)
            return f; // not an archive: the caller reads the rest of the path inside it
        if (depth >= kNarcMaxDepth)
            throw Error("\"" + path + "\" is nested too deeply");
        const Narc narc = readNarc(f.stream(image), f.offset, f.size, f.path);
        const NarcMember* inner = nullptr;
        for (const NarcMember& m : narc.members) {
            const bool exact = m.path == rest;
            const bool leads = rest.size() > m.path.size() &&
                               rest.compare(0, m.path.size(), m.path) == 0 &&
                               rest[m.path.size()] == '/';
            if ((exact || leads) && (!inner || m.path.size() > inner->path.size()))
                inner = &m;
        }
        if (!inner)
            throw Error("No file \"" + path + "\" in the image");
        const std::string innerPath = f.path + inner->path;
        if (!inner->problem.empty())
            throw Error("Cannot open \"" + innerPath + "\": " + inner->problem);
        f.path = innerPath;
        f.offset = inner->offset;
        f.size = inner->size;
        rest = rest.substr(inner->path.size());
    }
}

Narc openNarc(const Stream& image, const std::vector<FileRow>& treeRows, const std::string& path)
{
    const PlacedFile f = placeFile(image, treeRows, path);
    // A file that is not an archive, whether named or leading the path, is refused here.
    Narc narc = readNarc(f.stream(image), f.offset, f.size, f.path);
    narc.path = f.path;
    narc.decompressed = f.decompressed;
    if (f.codec) {
        // Compressed itself: where its stored bytes lie.
        narc.offset = f.storedOffset;
        narc.size = f.storedSize;
    }
    return narc;
}

std::vector<FileRow> narcRows(const Narc& narc)
{
    std::vector<FileRow> rows;
    rows.reserve(narc.members.size());
    for (const NarcMember& m : narc.members) {
        FileRow row;
        row.path = m.path;
        row.offset = static_cast<std::uint32_t>(m.offset);
        row.size = static_cast<std::int64_t>(m.size);
        row.problem = m.problem;
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string narcFolderName(const std::string& path)
{
    return replaceExtension(namePart(path), "");
}

} // namespace cartscope::core
