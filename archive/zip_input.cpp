#include "archive/zip_input.h"

#include <utility>
#include <vector>

namespace cartscope::archive {

std::optional<ExtractedImage> extractFirstImage(const std::string& archivePath,
                                                const ExtractEvents& events,
                                                std::span<core::ReadSink* const> extraSinks)
{
    const std::vector<Member> members = listImageMembers(archivePath);
    if (members.empty())
        return std::nullopt;
    const Member& first = members.front();
    TempImage temp;
    std::string path = temp.filePathFor(first.name);
    core::Crc32Sink crc;
    std::vector<core::ReadSink*> sinks{&crc};
    sinks.insert(sinks.end(), extraSinks.begin(), extraSinks.end());
    const int extracted = extractMember(archivePath, first, path, events, sinks);
    if (extracted != 1 || (events.cancelled && events.cancelled()))
        return std::nullopt; // temp's folder goes with it
    return ExtractedImage{std::move(temp), std::move(path), first.name, crc.value()};
}

} // namespace cartscope::archive
