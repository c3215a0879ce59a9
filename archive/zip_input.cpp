#include "archive/zip_input.h"

#include <utility>
#include <vector>

#include "core/checksum/crc32_sink.h"

namespace cartscope::archive {

namespace {

std::optional<ExtractedImage> extractImage(const std::string& archivePath, const Member& first,
                                           const ExtractEvents& events,
                                           std::span<core::ReadSink* const> extraSinks)
{
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

// The archive's first image member, the one both forms take.
std::optional<Member> firstImageMember(const std::string& archivePath)
{
    std::vector<Member> members = listImageMembers(archivePath);
    if (members.empty())
        return std::nullopt;
    return std::move(members.front());
}

} // namespace

std::optional<ExtractedImage> extractFirstImage(const std::string& archivePath,
                                                const ExtractEvents& events,
                                                std::span<core::ReadSink* const> extraSinks)
{
    const std::optional<Member> first = firstImageMember(archivePath);
    if (!first)
        return std::nullopt;
    return extractImage(archivePath, *first, events, extraSinks);
}

std::optional<ArchiveImage> openFirstImage(const std::string& archivePath,
                                           const ExtractEvents& events,
                                           std::span<core::ReadSink* const> extraSinks)
{
    const std::optional<Member> member = firstImageMember(archivePath);
    if (!member)
        return std::nullopt;
    const Member& first = *member;
    const InPlace in = readInPlace(archivePath, first, events, extraSinks);
    if (in.status == InPlace::Status::Failed || (events.cancelled && events.cancelled()))
        return std::nullopt;
    if (in.status == InPlace::Status::Read)
        return ArchiveImage{first.name, in.crc32, std::nullopt, in.offset, in.size, in.memory};
    std::optional<ExtractedImage> copy = extractImage(archivePath, first, events, extraSinks);
    if (!copy)
        return std::nullopt;
    const std::uint32_t crc = copy->crc32;
    return ArchiveImage{first.name, crc, std::move(copy), 0, 0, nullptr};
}

} // namespace cartscope::archive
