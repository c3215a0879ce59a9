#include "archive/member_stream.h"

#include <cerrno>
#include <fcntl.h>
#include <locale.h>
#include <memory>
#include <optional>
#include <sys/stat.h>

#include "archive/archive_source.h"
#include "archive/libarchive_api.h"
#include "archive/libarchive_util.h"
#include "archive/reader.h"
#include "archive/sevenz_header.h"
#include "archive/zip_directory.h"
#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/base/paths.h"
#include "core/io/archive_kind.h"

namespace cartscope::archive {

namespace {

using detail::la;

using detail::ArchivePtr;
using detail::kCentralRecordSize;
using detail::Utf8Names;

std::string libarchiveError(struct archive* a, const char* fallback)
{
    return detail::errorText(a, fallback);
}

// Streams the current entry's data into the sinks. Empty on success.
std::string streamData(struct archive* reader, std::uint64_t declared,
                       std::span<core::ReadSink* const> sinks, const MemberEvents& events,
                       bool& cancelled)
{
    std::uint64_t done = 0;
    // Bounded: every round ends the loop or consumes compressed bytes, and the data handed
    // out may not pass the declared size.
    for (;;) {
        if (events.cancelled && events.cancelled()) {
            cancelled = true;
            return "cancelled";
        }
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        const int r = la().archive_read_data_block(reader, &block, &size, &offset);
        if (r == ARCHIVE_EOF)
            break;
        if (r != ARCHIVE_OK)
            // libarchive checks each member's CRC-32 against the stored one and says so here.
            return "Damaged archive: " + libarchiveError(reader, "the member cannot be read");
        if (offset < 0 || static_cast<std::uint64_t>(offset) != done || size > declared - done)
            return "Damaged archive: the member's data does not match its declared size";
        const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(block), size);
        for (core::ReadSink* sink : sinks)
            sink->consume(bytes, done);
        done += size;
    }
    if (done != declared)
        return "Damaged archive: the member's data is shorter than its declared size";
    for (core::ReadSink* sink : sinks)
        sink->finish(done);
    return {};
}

} // namespace

std::size_t streamMembers(const std::string& archivePath,
                          const std::function<bool(const std::string& name)>& accept,
                          const MemberEvents& events)
{
    // Opened by us: a missing file is reported with the system's reason, and a FIFO or a
    // device never reaches libarchive.
    const core::UniqueFd file(
        ::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file.valid())
        throw core::Error(core::cannotOpenMessage(archivePath, errno));
    return streamMembers(file.get(), archivePath, accept, events);
}

namespace {

using Accept = std::function<bool(const std::string& name)>;

// The archive opened for one walk: its own descriptor, the directory (or the 7z file list) read
// once, and libarchive over it.
struct Walk {
    core::UniqueFd file;
    std::uint64_t fileSize = 0;
    std::optional<detail::Directory> directory; // a ZIP archive's, when it could be read
    std::uint64_t bound = 0;                    // no archive holds more entries
    std::unique_ptr<detail::ArchiveSource> source;
    ArchivePtr reader{nullptr, la().archive_read_free};

    const std::vector<detail::DirectoryEntry>* entries() const
    {
        return directory ? &directory->entries : nullptr;
    }
};

// The descriptor duplicated for the walk, checked to be a regular file.
core::UniqueFd duplicateRegular(int fd, const std::string& archivePath, std::uint64_t& size)
{
    core::UniqueFd file(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!file.valid())
        throw core::Error(core::cannotOpenMessage(archivePath, errno));
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        throw core::Error(core::cannotOpenMessage(archivePath, errno));
    if (!S_ISREG(st.st_mode))
        throw core::Error(core::notRegularMessage(archivePath, st.st_mode));
    size = static_cast<std::uint64_t>(st.st_size);
    return file;
}

Walk openWalk(int fd, const std::string& archivePath, const Accept& accept,
              const MemberEvents& events)
{
    Walk walk;
    walk.file = duplicateRegular(fd, archivePath, walk.fileSize);
    const core::DescriptorStream stream(walk.file.get(), walk.fileSize, archivePath);
    walk.bound = walk.fileSize / kCentralRecordSize + 1;
    const bool sevenZip = core::archiveKindOf(stream) == core::ArchiveKind::SevenZip;
    if (sevenZip) {
        // The header is checked before libarchive sees it: no hostile dictionary, no wanted
        // member too deep in its solid block. Its file list bounds the walk.
        const SevenZipHeader header = readSevenZipHeader(stream, archivePath);
        const std::uint64_t memory = checkSevenZip(
            header, [&](const SevenZipFile& f) { return accept(f.name); }, archivePath);
        if (events.onMemory)
            events.onMemory(memory);
        walk.bound = header.files.size() + 1;
    } else {
        // The directory as the file records it: members that share bytes are refused before
        // any is read, and it names the members libarchive cannot hand out.
        walk.directory = detail::readDirectory(stream);
        if (walk.directory)
            detail::refuseZipBomb(walk.directory->entries, walk.fileSize, archivePath);
    }
    const std::string notZip =
        "\"" + archivePath + "\" is not a readable " + (sevenZip ? "7z" : "ZIP") + " archive";
    walk.reader.reset(la().archive_read_new());
    if (!walk.reader)
        throw core::Error(notZip);
    // The seekable reader works from the central directory (types, sizes, encryption) and no
    // stream filter is enabled, so no outside program can ever be started.
    if (sevenZip)
        la().archive_read_support_format_7zip(walk.reader.get());
    else
        la().archive_read_support_format_zip_seekable(walk.reader.get());
    walk.source = std::make_unique<detail::ArchiveSource>(walk.file.get(), walk.fileSize);
    if (walk.source->open(walk.reader.get()) != ARCHIVE_OK)
        throw core::Error(walk.source->readError() ? walk.source->readErrorMessage(archivePath)
                                                   : notZip);
    return walk;
}

// The next header: its result, and the entry's name (null when libarchive could not decode it).
int nextHeader(struct archive* reader, archive_entry** entry, const char** name)
{
    const Utf8Names utf8Names;
    const int r = la().archive_read_next_header(reader, entry);
    *name = nullptr;
    if (r == ARCHIVE_OK || r == ARCHIVE_WARN) {
        *name = la().archive_entry_pathname_utf8(*entry);
        if (!*name)
            *name = la().archive_entry_pathname(*entry);
    }
    return r;
}

// Why a member cannot be streamed at all; empty when it can.
std::string refusal(archive_entry* entry, const StreamedMember& member)
{
    const la_int64_t size = la().archive_entry_size(entry);
    if (la().archive_entry_is_encrypted(entry))
        return "The member is encrypted";
    if (!la().archive_entry_size_is_set(entry) || size < 0)
        return "Damaged archive: the member has no size";
    if (member.declaredSize > kMaxMemberSize)
        return "The member declares " + std::to_string(member.declaredSize) +
               " bytes, more than the 1 GiB (" + std::to_string(kMaxMemberSize) +
               " bytes) a DS or DSi image can be";
    return {};
}

// A member that cannot be read still counts: it is begun and ended with its reason.
void refuse(const MemberEvents& events, const StreamedMember& member, const std::string& error)
{
    events.onBegin(member);
    events.onEnd(member, error);
}

// The directory's members from `index` on that the walk did not reach, each refused with the
// reason the walk ended; returns how many.
std::size_t refuseUnreached(const std::vector<detail::DirectoryEntry>& directory, std::size_t index,
                            const std::string& ended, const Accept& accept,
                            const MemberEvents& events)
{
    std::size_t refused = 0;
    // Bounded by the directory's records.
    for (; index < directory.size(); ++index) {
        const detail::DirectoryEntry& e = directory[index];
        if (!e.name.empty() && e.name.back() != '/' && accept(e.name)) {
            refuse(events, {index, e.name, e.size}, ended);
            ++refused;
        }
    }
    return refused;
}

} // namespace

std::size_t streamMembers(int fd, const std::string& archivePath, const Accept& accept,
                          const MemberEvents& events)
{
    Walk walk = openWalk(fd, archivePath, accept, events);
    const detail::ArchiveSource& source = *walk.source;
    const std::vector<detail::DirectoryEntry>* directory = walk.entries();
    std::size_t begun = 0;
    std::string damaged; // why libarchive stopped before the end, when it did
    // Bounded by the central directory (or the 7z file list), and by the records that fit in
    // the file.
    std::size_t index = 0;
    for (; index < walk.bound; ++index) {
        archive_entry* entry = nullptr;
        const char* name = nullptr;
        const int r = nextHeader(walk.reader.get(), &entry, &name);
        if (r == ARCHIVE_FAILED)
            continue;
        if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
            if (r != ARCHIVE_EOF)
                damaged = "Damaged archive: " +
                          libarchiveError(walk.reader.get(), "a member's header cannot be read");
            break;
        }
        if (!name) {
            // libarchive gives no name for one that is not UTF-8 under the UTF-8 flag; the
            // directory still has its bytes.
            if (directory && index < directory->size() && accept((*directory)[index].name)) {
                refuse(events, {index, (*directory)[index].name, (*directory)[index].size},
                       "The member's name is not valid UTF-8");
                ++begun;
            }
            continue;
        }
        if (la().archive_entry_filetype(entry) != AE_IFREG || !accept(name))
            continue;
        const la_int64_t size = la().archive_entry_size(entry);
        const StreamedMember member{index, name, size > 0 ? static_cast<std::uint64_t>(size) : 0};
        const auto sinks = events.onBegin(member);
        ++begun;
        bool cancelled = false;
        std::string error = refusal(entry, member);
        if (error.empty())
            error = streamData(walk.reader.get(), member.declaredSize, sinks, events, cancelled);
        if (cancelled)
            return begun;
        if (source.readError())
            error = source.readErrorMessage(archivePath);
        events.onEnd(member, error);
        if (source.readError()) {
            ++index;
            break;
        }
    }
    // A read error or a damaged header ends the walk early: the members it did not reach are
    // reported with it, so the count stays whole.
    const std::string ended = source.readError() ? source.readErrorMessage(archivePath) : damaged;
    if (!ended.empty() && directory)
        begun += refuseUnreached(*directory, index, ended, accept, events);
    else if (source.readError())
        throw core::Error(source.readErrorMessage(archivePath));
    return begun;
}

} // namespace cartscope::archive
