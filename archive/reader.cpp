#include "archive/reader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include <archive.h>
#include <archive_entry.h>

#include "archive/libarchive_util.h"
#include "core/error.h"
#include "core/fd.h"
#include "core/paths.h"
#include "core/space.h"
#include "core/units.h"

namespace cartscope::archive {

namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 20;
constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 20;

using detail::ArchivePtr;
using detail::kCentralRecordSize;
using detail::Utf8Names;

// The archive file, opened by us so that a missing or unreadable file is reported with the
// system's reason, a FIFO cannot block the open (O_NONBLOCK) and anything but a regular file is
// refused before libarchive sees it.
struct OpenedArchive {
    core::UniqueFd file;
    std::uint64_t fileSize = 0;
    ArchivePtr reader{nullptr, &archive_read_free}; // null: not a readable ZIP archive
};

OpenedArchive openArchive(const std::string& path)
{
    OpenedArchive opened;
    opened.file =
        core::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!opened.file.valid())
        throw core::Error(core::cannotOpenMessage(path, errno));
    struct stat st {};
    if (::fstat(opened.file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return opened;
    opened.fileSize = static_cast<std::uint64_t>(st.st_size);

    ArchivePtr reader(archive_read_new(), &archive_read_free);
    if (!reader)
        return opened;
    // The seekable reader works from the central directory, the archive's authoritative index:
    // it knows each member's type (the streaming reader takes a symbolic link for a regular
    // file), its sizes even when they follow the data in a descriptor, and its encryption; an
    // archive cut short has no end record and is refused as a whole instead of half-read.
    // Entries still arrive in the order of their data in the file.
    //
    // No stream filter is enabled: a ZIP archive compresses its members itself, and several of
    // libarchive's filters (lrzip, grzip, lzop) run an outside program found on PATH when the
    // first bytes of the file look like their stream.
    archive_read_support_format_zip_seekable(reader.get());
    if (archive_read_open_fd(reader.get(), opened.file.get(), kBlockSize) != ARCHIVE_OK)
        return opened;
    opened.reader = std::move(reader);
    return opened;
}

// The member's name, or null when libarchive could not decode it (an invalid UTF-8 name under
// the UTF-8 flag gives null from every accessor). UTF-8 first; the locale form is the raw bytes
// of a name stored in a legacy code page.
const char* memberName(archive_entry* entry)
{
    if (const char* utf8 = archive_entry_pathname_utf8(entry))
        return utf8;
    return archive_entry_pathname(entry);
}

bool isImageName(const std::string& name)
{
    if (name.size() < 4)
        return false;
    const std::string ext = name.substr(name.size() - 4);
    return core::equalsIgnoreCase(ext, ".nds") || core::equalsIgnoreCase(ext, ".ids");
}

// libarchive walks the central directory, so the loops below end with its entries; as a second
// bound no archive holds more entries than central records fit in the file.
std::uint64_t entryBound(const OpenedArchive& opened)
{
    return opened.fileSize / kCentralRecordSize + 1;
}

// Headers: ARCHIVE_OK and ARCHIVE_WARN (a name that would not convert) give an entry;
// ARCHIVE_FAILED spoils only this entry; ARCHIVE_FATAL, ARCHIVE_RETRY and anything else end the
// walk.
enum class Step { Entry, Skip, End };
Step nextEntry(struct archive* reader, archive_entry** entry)
{
    const int r = archive_read_next_header(reader, entry);
    if (r == ARCHIVE_OK || r == ARCHIVE_WARN)
        return Step::Entry;
    if (r == ARCHIVE_FAILED)
        return Step::Skip;
    return Step::End;
}

// The destination file: deleted when the object goes unless kept.
class PartialFile {
public:
    explicit PartialFile(const std::string& path)
        : m_path(path),
          m_fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600))
    {
        if (!m_fd.valid())
            throw core::Error(core::cannotCreateMessage(path, errno));
    }
    ~PartialFile()
    {
        m_fd = core::UniqueFd();
        if (!m_kept)
            ::unlink(m_path.c_str());
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    void write(const void* data, std::size_t size)
    {
        const auto* p = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = ::write(m_fd.get(), p, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw core::Error(core::kStreamWriteError);
            p += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    void keep()
    {
        if (::close(m_fd.release()) != 0 && errno != EINTR)
            throw core::Error(core::kStreamWriteError);
        m_kept = true;
    }

private:
    std::string m_path;
    core::UniqueFd m_fd;
    bool m_kept = false;
};

int percent(std::uint64_t done, std::uint64_t total)
{
    if (total == 0 || done >= total)
        return 100;
    return static_cast<int>(done * 100 / total); // done <= 1 GiB: no overflow
}

// Large writes: libarchive hands out a deflated member in 256 KiB pieces (and a stored one in
// whatever its read buffer holds), so pieces are gathered into 1 MiB writes; a piece that is
// already that large goes out as it is.
constexpr std::size_t kWriteSize = std::size_t{1} << 20;
constexpr std::size_t kPageSize = 4096;
struct alignas(kPageSize) WriteBlock {
    std::array<std::uint8_t, kWriteSize> bytes;
};

class CoalescingWriter {
public:
    explicit CoalescingWriter(PartialFile& out) : m_out(out) {}
    void write(const std::uint8_t* data, std::size_t size)
    {
        if (m_used == 0 && size >= kWriteSize) {
            m_out.write(data, size);
            return;
        }
        // Bounded: each round copies at least one byte or flushes a full block.
        while (size > 0) {
            const std::size_t n = std::min(size, kWriteSize - m_used);
            std::memcpy(m_block->bytes.data() + m_used, data, n);
            m_used += n;
            data += n;
            size -= n;
            if (m_used == kWriteSize)
                flush();
        }
    }
    void flush()
    {
        if (m_used > 0)
            m_out.write(m_block->bytes.data(), m_used);
        m_used = 0;
    }

private:
    PartialFile& m_out;
    std::unique_ptr<WriteBlock> m_block = std::make_unique_for_overwrite<WriteBlock>();
    std::size_t m_used = 0;
};

std::string memberText(const std::string& archivePath, const Member& member)
{
    return "\"" + member.name + "\" in the archive \"" + archivePath + "\"";
}

// libarchive checks each member's data against the CRC-32 stored in the archive and reports a
// mismatch as a warning at the end of the data, in this wording; that is the one data failure
// the user is told about (a damaged archive), the others end the extraction quietly.
bool isCrcMismatch(struct archive* reader)
{
    const char* text = archive_error_string(reader);
    return text && std::strstr(text, "bad CRC") != nullptr;
}

// Copies the current entry's data. The loop ends at the declared size: libarchive hands out a
// member whose real size exceeds the declared one in full before it warns, so more data than
// declared is a failure as soon as it shows. After the last byte libarchive is asked once more,
// because a CRC or size error comes as ARCHIVE_WARN/FAILED in place of the end of data.
int copyData(struct archive* reader, std::uint64_t declared, const std::string& archivePath,
             const Member& member, const std::string& destination, const ExtractEvents& events,
             std::span<core::ReadSink* const> sinks)
{
    PartialFile out(destination);
    CoalescingWriter writer(out);
    std::uint64_t done = 0;
    std::uint64_t reported = 0;
    // Bounded: every round either ends the loop or makes libarchive consume the member's
    // compressed bytes, and the data it hands out may not pass the declared size.
    for (;;) {
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        const int r = archive_read_data_block(reader, &block, &size, &offset);
        if (r == ARCHIVE_EOF)
            break;
        if (r != ARCHIVE_OK) {
            if (isCrcMismatch(reader))
                throw core::Error("The archive is damaged: the data of " +
                                  memberText(archivePath, member) +
                                  " does not match its stored CRC-32");
            return 0;
        }
        if (offset < 0 || static_cast<std::uint64_t>(offset) != done || size > declared - done)
            return 0;
        const std::span bytes(static_cast<const std::uint8_t*>(block), size);
        writer.write(bytes.data(), bytes.size());
        for (core::ReadSink* sink : sinks)
            sink->consume(bytes, done);
        done += size;
        if (done - reported >= kProgressStep && done < declared) {
            reported = done;
            const int p = percent(done, declared);
            if (events.onProgress && events.onProgress(p, p))
                return 0;
        }
    }
    if (done != declared)
        return 0;
    writer.flush();
    if (events.onProgress && events.onProgress(100, 100))
        return 0;
    out.keep();
    for (core::ReadSink* sink : sinks)
        sink->finish(done);
    return 1;
}

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
    if (declared > kMaxMemberSize)
        throw core::Error("The member " + memberText(archivePath, member) + " declares " +
                          core::humanBytes(declared) + "; no DS or DSi image is larger than " +
                          core::humanBytes(kMaxMemberSize) + ", so it is not extracted");
    const std::string folder = folderOf(destinationPath);
    const std::optional<std::uint64_t> free =
        events.freeSpace ? events.freeSpace(folder) : core::freeBytes(folder);
    if (free && declared > *free)
        throw core::Error("Not enough free space to take " + memberText(archivePath, member) +
                          " out: it needs " + core::humanBytes(declared) + " but only " +
                          core::humanBytes(*free) + " is free in \"" + folder + "\"");
}

int extractFromArchive(const std::string& archivePath, const Member& member,
                       const std::string& destinationPath, const ExtractEvents& events,
                       std::span<core::ReadSink* const> sinks)
{
    OpenedArchive opened = openArchive(archivePath);
    if (!opened.reader || member.index >= entryBound(opened))
        return 0;
    struct archive* reader = opened.reader.get();

    archive_entry* entry = nullptr;
    {
        const Utf8Names utf8Names;
        // Bounded by member.index, itself below entryBound().
        for (std::size_t index = 0; index <= member.index; ++index) {
            const Step step = nextEntry(reader, &entry);
            if (step == Step::End || (step == Step::Skip && index == member.index))
                return 0;
        }
        // What the listing skips is never extracted, even when asked for by position.
        if (!memberName(entry))
            return 0;
    }
    if (archive_entry_filetype(entry) != AE_IFREG || archive_entry_is_encrypted(entry) ||
        !archive_entry_size_is_set(entry) || archive_entry_size(entry) < 0)
        return 0;
    const auto declared = static_cast<std::uint64_t>(archive_entry_size(entry));
    requireRoom(declared, archivePath, member, destinationPath, events);
    return copyData(reader, declared, archivePath, member, destinationPath, events, sinks);
}

} // namespace

std::vector<Member> listImageMembers(const std::string& archivePath)
{
    std::vector<Member> members;
    OpenedArchive opened = openArchive(archivePath);
    if (!opened.reader)
        return members;
    const Utf8Names utf8Names;
    const std::uint64_t bound = entryBound(opened);
    for (std::size_t index = 0; index < bound; ++index) {
        archive_entry* entry = nullptr;
        const Step step = nextEntry(opened.reader.get(), &entry);
        if (step == Step::End)
            break;
        if (step == Step::Skip)
            continue;
        const char* name = memberName(entry);
        if (!name || archive_entry_filetype(entry) != AE_IFREG || !isImageName(name))
            continue;
        const la_int64_t size = archive_entry_size(entry);
        members.push_back({index, name, size > 0 ? static_cast<std::uint64_t>(size) : 0});
    }
    return members;
}

int extractMember(const std::string& archivePath, const Member& member,
                  const std::string& destinationPath, const ExtractEvents& events,
                  std::span<core::ReadSink* const> sinks)
{
    int extracted = 0;
    try {
        if (events.onBegin)
            events.onBegin(member.name, 1);
        extracted = extractFromArchive(archivePath, member, destinationPath, events, sinks);
    } catch (...) {
        if (events.onEnd)
            events.onEnd();
        throw;
    }
    if (events.onEnd)
        events.onEnd();
    return extracted;
}

} // namespace cartscope::archive
