#include "archive/reader.h"

#include <cstring>

#include "archive/libarchive_api.h"
#include "archive/libarchive_util.h"
#include "archive/member_copy.h"
#include "archive/opened_archive.h"
#include "archive/selected_member.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/base/units.h"
#include "core/extract/space.h"

namespace cartscope::archive {

namespace detail {

namespace {

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A member is refused before anything is written when it declares more than any image holds or
// more than the cache can take: the declared size is what the copy will write at most.
void requireRoom(std::uint64_t declared, const std::string& archivePath, const Member& member,
                 const std::string& destinationPath, const ExtractEvents& events)
{
    const std::string folder = folderOf(destinationPath);
    const std::optional<std::uint64_t> free =
        events.freeSpace ? events.freeSpace(folder) : core::freeBytes(folder);
    if (free && declared > *free)
        throw core::Error("Not enough free space to take " + memberText(archivePath, member) +
                          " out: it needs " + core::humanBytes(declared) + " but only " +
                          core::humanBytes(*free) + " is free in \"" + folder + "\"");
}

void requireImageSize(std::uint64_t declared, const std::string& archivePath, const Member& member)
{
    if (declared > kMaxMemberSize)
        throw core::Error("The member " + memberText(archivePath, member) + " declares " +
                          core::humanBytes(declared) + "; no DS or DSi image is larger than " +
                          core::humanBytes(kMaxMemberSize) + ", so it is not extracted");
}

} // namespace

int extractSelected(const OpenedArchive& opened, const std::string& archivePath,
                    const std::optional<Selected>& s, const std::string& destinationPath,
                    const ExtractEvents& events, std::span<core::ReadSink* const> sinks)
{
    if (!s || !s->readable)
        return 0;
    const Member& member = s->member;
    requireImageSize(s->declared, archivePath, member);
    requireRoom(s->declared, archivePath, member, destinationPath, events);
    PartialFile out(destinationPath);
    if (const auto& data = s->data) {
        const core::DescriptorStream file(opened.fd, opened.fileSize,
                                          memberText(archivePath, member));
        // The inflater writes the copy itself, straight from its output.
        Delivery delivery(&out, s->declared, events, sinks, !data->deflated);
        if (!data->deflated)
            return readStored(file, *data, archivePath, member, delivery);
        CoalescingWriter writer(out);
        return inflateDeflated(file, *data, archivePath, member, delivery, writer);
    }
    Delivery delivery(&out, s->declared, events, sinks);
    const int copied = copyData(opened.reader.get(), archivePath, member, delivery);
    if (copied == 0 && opened.source->readError())
        throw core::Error("Cannot read " + memberText(archivePath, member) + ". " +
                          std::strerror(opened.source->readError()));
    return copied;
}

} // namespace detail

using detail::decodeSelected;
using detail::entryBound;
using detail::extractSelected;
using detail::la;
using detail::memberName;
using detail::nextEntry;
using detail::OpenedArchive;
using detail::readSelected;
using detail::Selected;
using detail::Step;
using detail::Utf8Names;
using detail::withEvents;

std::vector<Member> listImageMembers(const std::string& archivePath)
{
    std::vector<Member> members;
    detail::OpenedArchive opened = detail::openArchive(archivePath);
    if (!opened.reader)
        return members;
    const Utf8Names utf8Names;
    const std::uint64_t bound = entryBound(opened);
    for (std::size_t index = 0; index < bound; ++index) {
        archive_entry* entry = nullptr;
        const Step step = nextEntry(opened.reader.get(), &entry);
        if (step == Step::End) {
            // An archive that could not be read to its end is not one without images.
            opened.throwReadError(archivePath);
            break;
        }
        if (step == Step::Skip)
            continue;
        const char* name = memberName(entry);
        if (!name || la().archive_entry_filetype(entry) != AE_IFREG ||
            core::imageNameOf(name) != core::ImageName::Ds)
            continue;
        const la_int64_t size = la().archive_entry_size(entry);
        members.push_back({index, name, size > 0 ? static_cast<std::uint64_t>(size) : 0});
    }
    return members;
}

int extractMember(const std::string& archivePath, const Member& member,
                  const std::string& destinationPath, const ExtractEvents& events,
                  std::span<core::ReadSink* const> sinks)
{
    return withEvents(member, events, [&] {
        detail::OpenedArchive opened = detail::openArchive(archivePath);
        const std::optional<Selected> s = selectMember(opened, archivePath, member);
        return extractSelected(opened, archivePath, s, destinationPath, events, sinks);
    });
}

struct ZipImageReader::Impl {
    OpenedArchive opened;
    std::string path;
    std::optional<Selected> selected;
};

ZipImageReader::ZipImageReader(int fd, std::uint64_t size, const std::string& path)
    : m(std::make_unique<Impl>())
{
    m->opened.fd = fd;
    m->opened.fileSize = size;
    m->path = path;
    detail::openOver(m->opened, path);
}

ZipImageReader::~ZipImageReader() = default;

std::optional<Member> ZipImageReader::findImage(const std::optional<Member>& wanted)
{
    m->selected = detail::findImage(m->opened, m->path, wanted);
    if (!m->selected)
        return std::nullopt;
    return m->selected->member;
}

InPlace ZipImageReader::readInPlace(const ExtractEvents& events,
                                    std::span<core::ReadSink* const> sinks)
{
    const InPlace in = readSelected(m->opened, m->path, m->selected, events, sinks);
    if (in.status != InPlace::Status::NeedsCopy || (m->selected && m->selected->data))
        return in;
    return decodeSelected(m->opened, m->path, m->selected, events, sinks);
}

int ZipImageReader::extract(const std::string& destinationPath, const ExtractEvents& events,
                            std::span<core::ReadSink* const> sinks)
{
    const Member member = m->selected ? m->selected->member : Member{};
    return withEvents(member, events, [&] {
        return extractSelected(m->opened, m->path, m->selected, destinationPath, events, sinks);
    });
}

} // namespace cartscope::archive
