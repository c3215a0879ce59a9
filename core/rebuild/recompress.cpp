#include "core/rebuild/recompress.h"

#include <algorithm>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/compress/code.h"
#include "core/compress/encode.h"
#include "core/fs/system_files.h"

namespace cartscope::core::rebuild {

bool decompressedEdited(const Region& r, const struct stat& st, int fd, const std::string& full,
                        bool rehash)
{
    const std::uint64_t size = r.decompressed ? r.decompressed->size : r.size;
    if (static_cast<std::uint64_t>(st.st_size) != size)
        return true;
    const std::int64_t mtime = std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    if (!rehash && mtime != r.mtimeNs)
        return true;
    if (!rehash && !r.sha1)
        return false;
    return !r.decompressed || sha1OfFile(fd, full) != r.decompressed->sha1;
}

std::uint64_t maxRepackInput(const Region& r)
{
    return r.decompressed && !r.decompressed->codec ? kMaxCodeSize : kMaxDeclared32;
}

Repacked repack(const Region& r, std::span<const std::uint8_t> data, std::uint32_t arm9Ram,
                bool vramSafe, const std::string& name)
{
    if (!r.decompressed)
        return {{data.begin(), data.end()}, false};
    if (r.decompressed->codec)
        return {compress(*r.decompressed->codec, data, EncodeOptions{vramSafe}), true};
    if (r.kind == RegionKind::Arm9)
        return {compressArm9(data, arm9Ram, name), true};
    std::optional<std::vector<std::uint8_t>> packed = compressCode(data);
    if (!packed)
        return {{data.begin(), data.end()}, false};
    return {std::move(*packed), true};
}

bool setOverlayPacking(std::vector<std::uint8_t>& table, std::uint32_t fileId, bool compressed,
                       std::uint64_t size)
{
    if (compressed && size > 0xFFFFFF)
        throw Error("An overlay packed again is larger than its table entry can say");
    const std::uint32_t word = compressed ? 0x01000000 | static_cast<std::uint32_t>(size) : 0;
    bool changed = false;
    // Bounded by the table: one pass per whole entry.
    for (std::size_t at = 0; at + kOverlayEntrySize <= table.size(); at += kOverlayEntrySize) {
        if (le32(table, at + 0x18) != fileId || le32(table, at + 0x1C) == word) // file ID, word
            continue;
        putLe32(table, at + 0x1C, word);
        changed = true;
    }
    return changed;
}

} // namespace cartscope::core::rebuild
