#include "core/extract/space.h"

#include <string_view>

#include "core/base/units.h"
#include "core/extract/view_set.h"

namespace cartscope::core {

Needs neededRoom(const std::vector<PlannedFile>& plan, std::uint64_t imageSize,
                 std::uint64_t blockSize)
{
    const std::uint64_t unit = blockSize ? blockSize : 1;
    Needs needs;
    detail::ViewSet folders; // views into the plan's paths
    std::size_t folderCount = 0;
    std::string_view previous; // the folder of the row before (rows of one folder come together)
    for (const PlannedFile& f : plan) {
        // A row the run refuses or one past the end of the image writes nothing.
        if (refusal(f.row) || !rangeInsideImage(f, imageSize))
            continue;
        // A size is below 2^31 and a block size far below 2^32: the rounding cannot overflow.
        const std::uint64_t size = f.size > 0 ? static_cast<std::uint64_t>(f.size) : 0;
        needs.bytes += (size + unit - 1) / unit * unit;
        ++needs.inodes;
        // Every folder on the way, the internal-name folder included, counted once.
        const std::string_view relative = f.relative;
        const std::string_view folder = relative.substr(0, relative.rfind('/') + 1);
        if (folder == previous)
            continue;
        previous = folder;
        for (auto slash = relative.find('/'); slash != std::string_view::npos;
             slash = relative.find('/', slash + 1)) {
            if (folders.insert(relative.substr(0, slash)))
                ++folderCount;
        }
    }
    needs.inodes += folderCount;
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
