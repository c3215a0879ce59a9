#include "archive/zip_input.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/checksum/crc32_sink.h"

namespace cartscope::archive {

namespace {

std::optional<ExtractedImage> copyImage(ZipImageReader& reader, const Member& member,
                                        const ExtractEvents& events,
                                        std::span<core::ReadSink* const> extraSinks)
{
    TempImage temp;
    std::string path = temp.filePathFor(member.name);
    core::Crc32Sink crc;
    std::vector<core::ReadSink*> sinks{&crc};
    sinks.insert(sinks.end(), extraSinks.begin(), extraSinks.end());
    const int extracted = reader.extract(path, events, sinks);
    if (extracted != 1 || (events.cancelled && events.cancelled()))
        return std::nullopt; // temp's folder goes with it
    return ExtractedImage{std::move(temp), std::move(path), member.name, crc.value()};
}

// The archive at `path`, opened as the reader opens archives: a FIFO cannot block the open, and
// anything but a regular file holds no image.
template <typename Take>
auto withArchive(const std::string& path, Take&& take) -> decltype(take(0, 0))
{
    const core::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file.valid())
        throw core::Error(core::cannotOpenMessage(path, errno));
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return take(file.get(), static_cast<std::uint64_t>(st.st_size));
}

} // namespace

std::optional<ArchiveImage> takeImage(int fd, std::uint64_t size, const std::string& archivePath,
                                      Placement placement, const ExtractEvents& events,
                                      std::span<core::ReadSink* const> extraSinks,
                                      const std::optional<Member>& wanted)
{
    ZipImageReader reader(fd, size, archivePath);
    const std::optional<Member> member = reader.findImage(wanted);
    if (!member)
        return std::nullopt;
    if (placement == Placement::InPlace) {
        const InPlace in = reader.readInPlace(events, extraSinks);
        if (in.status == InPlace::Status::Failed || (events.cancelled && events.cancelled()))
            return std::nullopt;
        if (in.status == InPlace::Status::Read)
            return ArchiveImage{member->name, in.crc32, std::nullopt,
                                in.offset,    in.size,  in.memory};
    }
    std::optional<ExtractedImage> copy = copyImage(reader, *member, events, extraSinks);
    if (!copy)
        return std::nullopt;
    const std::uint32_t crc = copy->crc32;
    return ArchiveImage{member->name, crc, std::move(copy), 0, 0, nullptr};
}

namespace {

std::optional<ExtractedImage> extractImage(const std::string& archivePath,
                                           const std::optional<Member>& wanted,
                                           const ExtractEvents& events,
                                           std::span<core::ReadSink* const> extraSinks)
{
    std::optional<ArchiveImage> image = withArchive(archivePath, [&](int fd, std::uint64_t size) {
        return takeImage(fd, size, archivePath, Placement::Copy, events, extraSinks, wanted);
    });
    if (!image)
        return std::nullopt;
    return std::move(image->copy);
}

} // namespace

std::optional<ExtractedImage> extractFirstImage(const std::string& archivePath,
                                                const ExtractEvents& events,
                                                std::span<core::ReadSink* const> extraSinks)
{
    return extractImage(archivePath, std::nullopt, events, extraSinks);
}

std::optional<ExtractedImage> extractImageMember(const std::string& archivePath,
                                                 const Member& wanted, const ExtractEvents& events,
                                                 std::span<core::ReadSink* const> extraSinks)
{
    return extractImage(archivePath, wanted, events, extraSinks);
}

std::optional<ArchiveImage> openFirstImage(const std::string& archivePath,
                                           const ExtractEvents& events,
                                           std::span<core::ReadSink* const> extraSinks)
{
    return withArchive(archivePath, [&](int fd, std::uint64_t size) {
        return takeImage(fd, size, archivePath, Placement::InPlace, events, extraSinks);
    });
}

} // namespace cartscope::archive
