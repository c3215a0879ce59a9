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

std::size_t streamMembers(int fd, const std::string& archivePath,
                          const std::function<bool(const std::string& name)>& accept,
                          const MemberEvents& events)
{
    const core::UniqueFd file(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!file.valid())
        throw core::Error(core::cannotOpenMessage(archivePath, errno));
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        throw core::Error(core::cannotOpenMessage(archivePath, errno));
    if (!S_ISREG(st.st_mode))
        throw core::Error(core::notRegularMessage(archivePath, st.st_mode));
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    const core::DescriptorStream stream(file.get(), fileSize, archivePath);
    std::optional<detail::Directory> read;
    std::uint64_t bound = fileSize / kCentralRecordSize + 1;
    const bool sevenZip = core::archiveKindOf(stream) == core::ArchiveKind::SevenZip;
    if (sevenZip) {
        // The header is checked before libarchive sees it: no hostile dictionary, no wanted
        // member too deep in its solid block. Its file list bounds the walk.
        const SevenZipHeader header = readSevenZipHeader(stream, archivePath);
        const std::uint64_t memory = checkSevenZip(
            header, [&](const SevenZipFile& f) { return accept(f.name); }, archivePath);
        if (events.onMemory)
            events.onMemory(memory);
        bound = header.files.size() + 1;
    } else {
        // The directory as the file records it: members that share bytes are refused before
        // any is read, and it names the members libarchive cannot hand out.
        read = detail::readDirectory(stream);
        if (read)
            detail::refuseZipBomb(read->entries, fileSize, archivePath);
    }
    const std::vector<detail::DirectoryEntry>* directory = read ? &read->entries : nullptr;
    const std::string notZip =
        "\"" + archivePath + "\" is not a readable " + (sevenZip ? "7z" : "ZIP") + " archive";
    ArchivePtr reader(la().archive_read_new(), la().archive_read_free);
    if (!reader)
        throw core::Error(notZip);
    // The seekable reader works from the central directory (types, sizes, encryption) and no
    // stream filter is enabled, so no outside program can ever be started.
    if (sevenZip)
        la().archive_read_support_format_7zip(reader.get());
    else
        la().archive_read_support_format_zip_seekable(reader.get());
    detail::ArchiveSource source(file.get(), fileSize);
    if (source.open(reader.get()) != ARCHIVE_OK)
        throw core::Error(source.readError() ? source.readErrorMessage(archivePath) : notZip);

    std::size_t begun = 0;
    // A member that cannot be read still counts: it is reported with its reason.
    const auto refuse = [&](StreamedMember member, const std::string& error) {
        events.onBegin(member);
        ++begun;
        events.onEnd(member, error);
    };
    std::string damaged; // why libarchive stopped before the end, when it did
    // Bounded by the central directory (or the 7z file list), and by the records that fit in
    // the file.
    std::size_t index = 0;
    for (; index < bound; ++index) {
        archive_entry* entry = nullptr;
        int r = 0;
        const char* name = nullptr;
        {
            const Utf8Names utf8Names;
            r = la().archive_read_next_header(reader.get(), &entry);
            if (r == ARCHIVE_OK || r == ARCHIVE_WARN) {
                name = la().archive_entry_pathname_utf8(entry);
                if (!name)
                    name = la().archive_entry_pathname(entry);
            }
        }
        if (r == ARCHIVE_FAILED)
            continue;
        if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
            if (r != ARCHIVE_EOF)
                damaged = "Damaged archive: " +
                          libarchiveError(reader.get(), "a member's header cannot be read");
            break;
        }
        if (!name) {
            // libarchive gives no name for one that is not UTF-8 under the UTF-8 flag; the
            // directory still has its bytes.
            if (directory && index < directory->size() && accept((*directory)[index].name))
                refuse({index, (*directory)[index].name, (*directory)[index].size},
                       "The member's name is not valid UTF-8");
            continue;
        }
        if (la().archive_entry_filetype(entry) != AE_IFREG || !accept(name))
            continue;
        StreamedMember member;
        member.index = index;
        member.name = name;
        const la_int64_t size = la().archive_entry_size(entry);
        member.declaredSize = size > 0 ? static_cast<std::uint64_t>(size) : 0;
        const auto sinks = events.onBegin(member);
        ++begun;
        std::string error;
        bool cancelled = false;
        if (la().archive_entry_is_encrypted(entry))
            error = "The member is encrypted";
        else if (!la().archive_entry_size_is_set(entry) || size < 0)
            error = "Damaged archive: the member has no size";
        else if (member.declaredSize > kMaxMemberSize)
            error = "The member declares " + std::to_string(member.declaredSize) +
                    " bytes, more than the 1 GiB (" + std::to_string(kMaxMemberSize) +
                    " bytes) a DS or DSi image can be";
        else
            error = streamData(reader.get(), member.declaredSize, sinks, events, cancelled);
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
    if (!ended.empty() && directory) {
        // Bounded by the directory's records.
        for (; index < directory->size(); ++index) {
            const detail::DirectoryEntry& e = (*directory)[index];
            if (!e.name.empty() && e.name.back() != '/' && accept(e.name))
                refuse({index, e.name, e.size}, ended);
        }
    } else if (source.readError()) {
        throw core::Error(source.readErrorMessage(archivePath));
    }
    return begun;
}

} // namespace cartscope::archive
