#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "core/rebuild/layout.h"

// The files extract wrote decompressed, on the way back into an image: whether one was edited,
// and an edited one packed again as the image had it (the same stream codec, or the code
// compression with the ARM9's module parameters or the overlay table following).
namespace cartscope::core::rebuild {

// Whether the tree file of a decompressed region (open as `fd`, `st` its status) differs from what
// extract wrote: its size, then its modification time, or its digest with `rehash` (or where the
// region shares its range with another, as for any such file).
bool decompressedEdited(const Region& r, const struct stat& st, int fd, const std::string& full,
                        bool rehash);

// The image bytes for an edited tree file `data` of region `r`. The ARM9 is packed behind its
// first 0x4000 bytes with its compressed end set from `arm9Ram`; an overlay that packing would
// not shrink is stored as it is (its table entry then says so, see setOverlayPacking).
struct Repacked {
    std::vector<std::uint8_t> bytes;
    bool packed = false; // false: stored as it is
};
Repacked repack(const Region& r, std::span<const std::uint8_t> data, std::uint32_t arm9Ram,
                bool vramSafe, const std::string& name);

// The largest tree file repack() takes for a region (what its codec can declare).
std::uint64_t maxRepackInput(const Region& r);

// Sets the compression word (0x1C) of every overlay table entry naming `fileId` to `size` with
// the compressed flag, or to 0 (stored as it is) when `compressed` is false. Returns whether a
// byte changed.
bool setOverlayPacking(std::vector<std::uint8_t>& table, std::uint32_t fileId, bool compressed,
                       std::uint64_t size);

} // namespace cartscope::core::rebuild
