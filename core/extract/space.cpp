#include "core/extract/space.h"

#include <set>

#include "core/base/units.h"

namespace cartscope::core {

Needs neededRoom(const std::vector<PlannedFile>& plan, std::uint64_t imageSize,
                 std::uint64_t blockSize)
{
    const std::uint64_t unit = blockSize ? blockSize : 1;
    Needs needs;
    std::set<std::string> folders;
    for (const PlannedFile& f : plan) {
        // A row the run refuses or one past the end of the image writes nothing.
        if (refusal(f.row) || !rangeInsideImage(f, imageSize))
            continue;
        // A size is below 2^31 and a block size far below 2^32: the rounding cannot overflow.
        const std::uint64_t size = f.size > 0 ? static_cast<std::uint64_t>(f.size) : 0;
        needs.bytes += (size + unit - 1) / unit * unit;
        ++needs.inodes;
        // Every folder on the way, the internal-name folder included, counted once.
        for (auto slash = f.relative.find('/'); slash != std::string::npos;
             slash = f.relative.find('/', slash + 1))
            folders.insert(f.relative.substr(0, slash));
    }
    needs.inodes += folders.size();
    return needs;
}

std::optional<std::string> shortOfRoom(const Needs& needs, const Room& room,
                                       const std::string& folder)
{
    if (needs.bytes > room.freeBytes)
        return notEnoughSpaceText(needs.bytes, room.freeBytes, folder);
    if (room.freeInodes && needs.inodes > *room.freeInodes)
        return "The files to extract need " + std::to_string(needs.inodes) +
               " files and folders but only " + std::to_string(*room.freeInodes) +
               " more can be made in \"" + folder + "\"";
    return std::nullopt;
}

std::string notEnoughSpaceText(std::uint64_t needed, std::uint64_t free, const std::string& folder)
{
    return "The files to extract need " + humanBytes(needed) + " but only " + humanBytes(free) +
           " is free in \"" + folder + "\"";
}

} // namespace cartscope::core
