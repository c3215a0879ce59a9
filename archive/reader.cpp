#include "archive/reader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <locale.h>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

#include <zlib.h>

#include "archive/archive_source.h"
#include "archive/libarchive_api.h"
#include "archive/libarchive_util.h"
#include "archive/sevenz_header.h"
#include "archive/zip_directory.h"
#include "archive/zip_layout.h"
#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/base/paths.h"
#include "core/base/units.h"
#include "core/checksum/crc32_sink.h"
#include "core/extract/space.h"
#include "core/io/archive_kind.h"

namespace cartscope::archive {

namespace {

using detail::la;

constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 20;

using detail::ArchivePtr;
using detail::kCentralRecordSize;
using detail::Utf8Names;

// The archive file, opened by us so that a missing or unreadable file is reported with the
// system's reason, a FIFO cannot block the open (O_NONBLOCK) and anything but a regular file is
// refused before libarchive sees it; or a descriptor the caller opened and keeps.
struct OpenedArchive {
    core::UniqueFd owned;
    int fd = -1;
    std::uint64_t fileSize = 0;
    std::optional<detail::Directory> directory;         // the central directory, read once
    std::optional<SevenZipHeader> sevenZip;             // or a 7z archive's header, read once
    std::unique_ptr<detail::ArchiveSource> source;      // what libarchive reads through
    ArchivePtr reader{nullptr, la().archive_read_free}; // null: not a readable ZIP archive
    // Throws the read error that ended libarchive's work, when one did.
    void throwReadError(const std::string& path) const
    {
        if (source && source->readError())
            throw core::Error(source->readErrorMessage(path));
    }
};

// libarchive over the file, from its first entry.
void openReader(OpenedArchive& opened, const std::string& path)
{
    opened.reader.reset();
    ArchivePtr reader(la().archive_read_new(), la().archive_read_free);
    if (!reader)
        return;
    // The seekable reader works from the central directory, the archive's authoritative index:
    // it knows each member's type (the streaming reader takes a symbolic link for a regular
    // file), its sizes even when they follow the data in a descriptor, and its encryption; an
    // archive cut short has no end record and is refused as a whole instead of half-read.
    // Entries still arrive in the order of their data in the file.
    //
    // No stream filter is enabled: a ZIP archive compresses its members itself, and several of
    // libarchive's filters (lrzip, grzip, lzop) run an outside program found on PATH when the
    // first bytes of the file look like their stream.
    //
    // A 7z archive is read by libarchive's 7z reader once its header passed checkSevenZip.
    if (opened.sevenZip)
        la().archive_read_support_format_7zip(reader.get());
    else
        la().archive_read_support_format_zip_seekable(reader.get());
    opened.source = std::make_unique<detail::ArchiveSource>(opened.fd, opened.fileSize);
    if (opened.source->open(reader.get()) != ARCHIVE_OK) {
        opened.throwReadError(path);
        return;
    }
    opened.reader = std::move(reader);
}

// The member of a 7z archive the name rule takes (the first .nds/.ids file, else the first
// .dsi/.srl one), as its header lists it.
const SevenZipFile* imageOf(const SevenZipHeader& header)
{
    const SevenZipFile* fallback = nullptr;
    for (const SevenZipFile& f : header.files) {
        const core::ImageName kind = core::imageNameOf(f.name);
        if (kind == core::ImageName::Ds)
            return &f;
        if (kind == core::ImageName::Dsi && !fallback)
            fallback = &f;
    }
    return fallback;
}

// Over a regular file's descriptor: the directory (or the 7z header) read once, then libarchive.
void openOver(OpenedArchive& opened, const std::string& path)
{
    const core::DescriptorStream file(opened.fd, opened.fileSize, path);
    if (core::archiveKindOf(file) == core::ArchiveKind::SevenZip) {
        // The header is checked before libarchive sees it: the image member the name rule takes
        // may not lie too deep in its solid block, and no block's dictionary may be hostile.
        opened.sevenZip = readSevenZipHeader(file, path);
        const SevenZipFile* wanted = imageOf(*opened.sevenZip);
        checkSevenZip(
            *opened.sevenZip, [&](const SevenZipFile& f) { return &f == wanted; }, path);
        openReader(opened, path);
        return;
    }
    // Members that share bytes would have libarchive inflate the same data again and again.
    opened.directory = detail::readDirectory(file);
    if (opened.directory)
        detail::refuseZipBomb(opened.directory->entries, opened.fileSize, path);
    openReader(opened, path);
}

OpenedArchive openArchive(const std::string& path)
{
    OpenedArchive opened;
    opened.owned =
        core::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!opened.owned.valid())
        throw core::Error(core::cannotOpenMessage(path, errno));
    opened.fd = opened.owned.get();
    struct stat st {};
    if (::fstat(opened.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return opened;
    opened.fileSize = static_cast<std::uint64_t>(st.st_size);
    openOver(opened, path);
    return opened;
}

// The member's name, or null when libarchive could not decode it (an invalid UTF-8 name under
// the UTF-8 flag gives null from every accessor). UTF-8 first; the locale form is the raw bytes
// of a name stored in a legacy code page.
const char* memberName(archive_entry* entry)
{
    if (const char* utf8 = la().archive_entry_pathname_utf8(entry))
        return utf8;
    return la().archive_entry_pathname(entry);
}

// libarchive walks the central directory, so the loops below end with its entries; as a second
// bound no archive holds more entries than central records fit in the file.
std::uint64_t entryBound(const OpenedArchive& opened)
{
    if (opened.sevenZip)
        return opened.sevenZip->files.size() + 1;
    return opened.fileSize / kCentralRecordSize + 1;
}

// Headers: ARCHIVE_OK and ARCHIVE_WARN (a name that would not convert) give an entry;
// ARCHIVE_FAILED spoils only this entry; ARCHIVE_FATAL, ARCHIVE_RETRY and anything else end the
// walk.
enum class Step { Entry, Skip, End };
Step nextEntry(struct archive* reader, archive_entry** entry, bool* warned = nullptr)
{
    const int r = la().archive_read_next_header(reader, entry);
    if (warned)
        *warned = r == ARCHIVE_WARN;
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
constexpr std::size_t kReadSize = std::size_t{1} << 20;
struct alignas(kPageSize) WriteBlock {
    std::array<std::uint8_t, kWriteSize> bytes;
};

// Where an inflater puts its output: it fills space() in place, then commits what it filled.
class OutputSpace {
public:
    virtual ~OutputSpace() = default;
    virtual std::span<std::uint8_t> space() = 0;
    virtual void commit(std::size_t size) = 0;
    // After the last byte.
    virtual void flush() {}
};

class CoalescingWriter final : public OutputSpace {
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
    // The free end of the block, for a producer to fill in place and then commit().
    std::span<std::uint8_t> space() override
    {
        return {m_block->bytes.data() + m_used, kWriteSize - m_used};
    }
    void commit(std::size_t size) override
    {
        m_used += size;
        if (m_used == kWriteSize)
            flush();
    }
    void flush() override
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

core::Error crcMismatch(const std::string& archivePath, const Member& member)
{
    return core::Error("The archive is damaged: the data of " + memberText(archivePath, member) +
                       " does not match its stored CRC-32");
}

// libarchive checks each member's data against the CRC-32 stored in the archive and reports a
// mismatch as a warning at the end of the data, in this wording; that is the one data failure
// the user is told about (a damaged archive), the others end the extraction quietly.
bool isCrcMismatch(struct archive* reader)
{
    const char* text = la().archive_error_string(reader);
    return text && std::strstr(text, "bad CRC") != nullptr;
}

// Where the member's bytes go, whoever reads them: the copy (when there is one) in large
// writes, the sinks, and a progress notification after about every further MiB.
class Delivery {
public:
    // `writes`: deliver() writes the bytes to `out` (else the caller writes them itself).
    Delivery(PartialFile* out, std::uint64_t declared, const ExtractEvents& events,
             std::span<core::ReadSink* const> sinks, bool writes = true)
        : m_out(out), m_declared(declared), m_events(events), m_sinks(sinks)
    {
        if (out && writes)
            m_writer.emplace(*out);
    }
    std::uint64_t done() const { return m_done; }
    // Room left before the declared size.
    std::uint64_t room() const { return m_declared - m_done; }

    // The next bytes (at most room()); false when a progress notification asked to cancel.
    bool deliver(std::span<const std::uint8_t> bytes)
    {
        if (m_writer)
            m_writer->write(bytes.data(), bytes.size());
        for (core::ReadSink* sink : m_sinks)
            sink->consume(bytes, m_done);
        m_done += bytes.size();
        if (m_done - m_reported >= kProgressStep && m_done < m_declared) {
            m_reported = m_done;
            const int p = percent(m_done, m_declared);
            if (m_events.onProgress && m_events.onProgress(p, p))
                return false;
        }
        return true;
    }

    // After the last byte, once the data is checked: 1 when complete (the copy kept, the sinks
    // finished), 0 when short of the declared size or cancelled at the last notification.
    int complete()
    {
        if (m_done != m_declared)
            return 0;
        if (m_writer)
            m_writer->flush();
        if (m_events.onProgress && m_events.onProgress(100, 100))
            return 0;
        if (m_out)
            m_out->keep();
        for (core::ReadSink* sink : m_sinks)
            sink->finish(m_done);
        return 1;
    }

private:
    PartialFile* m_out;
    std::optional<CoalescingWriter> m_writer;
    std::uint64_t m_declared;
    const ExtractEvents& m_events;
    std::span<core::ReadSink* const> m_sinks;
    std::uint64_t m_done = 0;
    std::uint64_t m_reported = 0;
};

// Copies the current entry's data through libarchive. The loop ends at the declared size:
// libarchive hands out a member whose real size exceeds the declared one in full before it
// warns, so more data than declared is a failure as soon as it shows. After the last byte
// libarchive is asked once more, because a CRC or size error comes as ARCHIVE_WARN/FAILED in
// place of the end of data.
int copyData(struct archive* reader, const std::string& archivePath, const Member& member,
             Delivery& delivery)
{
    // Bounded: every round either ends the loop or makes libarchive consume the member's
    // compressed bytes, and the data it hands out may not pass the declared size.
    for (;;) {
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        const int r = la().archive_read_data_block(reader, &block, &size, &offset);
        if (r == ARCHIVE_EOF)
            break;
        if (r != ARCHIVE_OK) {
            if (isCrcMismatch(reader))
                throw crcMismatch(archivePath, member);
            return 0;
        }
        if (offset < 0 || static_cast<std::uint64_t>(offset) != delivery.done() ||
            size > delivery.room())
            return 0;
        if (!delivery.deliver(std::span(static_cast<const std::uint8_t*>(block), size)))
            return 0;
    }
    return delivery.complete();
}

struct alignas(kPageSize) ReadBlock {
    std::array<std::uint8_t, kReadSize> bytes;
};

// A stored member read straight from the archive file: one positioned read per MiB, checked
// against its CRC-32 at the end, with libarchive's verdicts (data cut short ends the copy
// quietly, data that does not match its CRC-32 is a damaged archive).
int readStored(const core::Stream& file, const detail::MemberData& data,
               const std::string& archivePath, const Member& member, Delivery& delivery)
{
    const auto block = std::make_unique_for_overwrite<ReadBlock>();
    core::Crc32Sink crc;
    // Bounded by the member's size: each round delivers at least one byte or ends.
    while (delivery.done() < data.size) {
        const auto want = static_cast<std::size_t>(
            std::min<std::uint64_t>(block->bytes.size(), data.size - delivery.done()));
        const std::span<std::uint8_t> bytes(block->bytes.data(), want);
        if (file.pread(data.offset + delivery.done(), bytes) != want)
            return 0;
        crc.consume(bytes, delivery.done());
        if (!delivery.deliver(bytes))
            return 0;
    }
    if (crc.value() != data.crc32)
        throw crcMismatch(archivePath, member);
    return delivery.complete();
}

// zlib's raw inflater, ended when the object goes.
class Inflater {
public:
    Inflater() { m_ok = inflateInit2(&m_stream, -MAX_WBITS) == Z_OK; }
    ~Inflater()
    {
        if (m_ok)
            inflateEnd(&m_stream);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    bool ok() const { return m_ok; }
    z_stream& stream() { return m_stream; }

private:
    z_stream m_stream{};
    bool m_ok = false;
};

// A deflated member inflated straight from the archive file into the copy's write blocks (no
// intermediate buffer, no second CRC-32 in zlib's slower code), with libarchive's inflater and
// rules: the compressed bytes are read up to the recorded compressed size and no further; a
// damaged stream, a stream that ends before or after its recorded compressed size, more data
// than declared or less all end the copy quietly; data of the right size that does not match
// its CRC-32 is a damaged archive. `delivery` hands the bytes to the sinks and reports
// progress; the copy is written here.
int inflateDeflated(const core::Stream& file, const detail::MemberData& data,
                    const std::string& archivePath, const Member& member, Delivery& delivery,
                    OutputSpace& writer)
{
    Inflater inflater;
    if (!inflater.ok())
        return 0;
    z_stream& z = inflater.stream();
    const auto in = std::make_unique_for_overwrite<ReadBlock>();
    core::Crc32Sink crc;
    std::uint64_t fed = 0; // compressed bytes handed to zlib
    // Bounded: zlib returns Z_BUF_ERROR for a round without progress, the input is the
    // recorded compressed size and the output may not pass the declared size.
    for (;;) {
        if (z.avail_in == 0 && fed < data.compressedSize) {
            const auto want = static_cast<std::size_t>(
                std::min<std::uint64_t>(in->bytes.size(), data.compressedSize - fed));
            if (file.pread(data.offset + fed, std::span(in->bytes.data(), want)) != want)
                return 0;
            z.next_in = in->bytes.data();
            z.avail_in = static_cast<uInt>(want);
            fed += want;
        }
        const std::span<std::uint8_t> space = writer.space();
        z.next_out = space.data();
        z.avail_out = static_cast<uInt>(space.size());
        const int r = inflate(&z, Z_NO_FLUSH);
        if (r != Z_OK && r != Z_STREAM_END)
            return 0;
        const std::size_t produced = space.size() - z.avail_out;
        if (produced > delivery.room())
            return 0;
        const std::span<const std::uint8_t> bytes = space.first(produced);
        crc.consume(bytes, delivery.done());
        if (!delivery.deliver(bytes))
            return 0;
        writer.commit(produced);
        if (r == Z_STREAM_END)
            break;
    }
    if (fed - z.avail_in != data.compressedSize || delivery.done() != data.size)
        return 0;
    if (crc.value() != data.crc32)
        throw crcMismatch(archivePath, member);
    writer.flush();
    return delivery.complete();
}

// The member's data as libarchive would read it, located from the archive's own records once
// libarchive has read its local header cleanly, so the reader can take the bytes itself;
// std::nullopt leaves them to libarchive.
std::optional<detail::MemberData> ownRead(const OpenedArchive& opened, struct archive* reader,
                                          std::uint64_t declared)
{
    const la_int64_t at = la().archive_filter_bytes(reader, 0);
    if (at < 0 || !opened.directory)
        return std::nullopt;
    try {
        const core::DescriptorStream file(opened.fd, opened.fileSize);
        auto data =
            detail::locateMemberData(file, *opened.directory, static_cast<std::uint64_t>(at));
        if (!data || data->size != declared)
            return std::nullopt;
        return data;
    } catch (const core::Error&) {
        return std::nullopt; // a read error: libarchive meets it again and decides
    }
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
    const std::string folder = folderOf(destinationPath);
    const std::optional<std::uint64_t> free =
        events.freeSpace ? events.freeSpace(folder) : core::freeBytes(folder);
    if (free && declared > *free)
        throw core::Error("Not enough free space to take " + memberText(archivePath, member) +
                          " out: it needs " + core::humanBytes(declared) + " but only " +
                          core::humanBytes(*free) + " is free in \"" + folder + "\"");
}

// A member chosen by position or by the name rule, its headers read by libarchive. `readable`:
// accepted as the listing accepts them (a regular file, not encrypted, its size known);
// `clean`: read without a warning; `data`: where its bytes lie when the reader can take them
// itself; `positioned`: libarchive stands at its data.
struct Selected {
    Member member;
    bool readable = false;
    bool clean = false;
    std::uint64_t declared = 0;
    std::optional<detail::MemberData> data;
    bool positioned = true;
};

// The member libarchive's current entry is (a regular file with a name, as listed).
Selected selectCurrent(const OpenedArchive& opened, archive_entry* entry, Member member,
                       bool warned)
{
    Selected s;
    s.member = std::move(member);
    s.clean = !warned;
    s.readable = !la().archive_entry_is_encrypted(entry) && la().archive_entry_size_is_set(entry) &&
                 la().archive_entry_size(entry) >= 0;
    if (!s.readable)
        return s;
    s.declared = static_cast<std::uint64_t>(la().archive_entry_size(entry));
    if (s.clean)
        s.data = ownRead(opened, opened.reader.get(), s.declared);
    return s;
}

// The member at member.index, walked to from libarchive's first entry. What the listing skips
// (no name, not a regular file) is never taken, even when asked for by position.
std::optional<Selected> selectMember(OpenedArchive& opened, const std::string& archivePath,
                                     const Member& member)
{
    if (!opened.reader || member.index >= entryBound(opened))
        return std::nullopt;
    const Utf8Names utf8Names;
    archive_entry* entry = nullptr;
    bool warned = false;
    // Bounded by member.index, itself below entryBound().
    for (std::size_t index = 0; index <= member.index; ++index) {
        const Step step = nextEntry(opened.reader.get(), &entry, &warned);
        if (step == Step::End)
            opened.throwReadError(archivePath);
        if (step == Step::End || (step == Step::Skip && index == member.index))
            return std::nullopt;
    }
    if (!memberName(entry) || la().archive_entry_filetype(entry) != AE_IFREG)
        return std::nullopt;
    return selectCurrent(opened, entry, member, warned);
}

// The image member by the one name rule (core::imageNameOf), in one walk: the walk stops at the
// first .nds/.ids member; a .dsi/.srl member is taken when the walk ends without one. The
// first .dsi/.srl member's data is located as the walk passes it, so it is read from the
// archive's records without libarchive; only when libarchive alone can decode it (another
// method, a header it warned about) does libarchive walk to it once more.
std::optional<Selected> findImage(OpenedArchive& opened, const std::string& archivePath)
{
    if (!opened.reader)
        return std::nullopt;
    std::optional<Selected> fallback;
    {
        const Utf8Names utf8Names;
        const std::uint64_t bound = entryBound(opened);
        for (std::size_t index = 0; index < bound; ++index) {
            archive_entry* entry = nullptr;
            bool warned = false;
            const Step step = nextEntry(opened.reader.get(), &entry, &warned);
            if (step == Step::End) {
                // An archive that could not be read to its end is not one without images.
                opened.throwReadError(archivePath);
                break;
            }
            const char* name = step == Step::Entry ? memberName(entry) : nullptr;
            if (!name || la().archive_entry_filetype(entry) != AE_IFREG)
                continue;
            const core::ImageName kind = core::imageNameOf(name);
            const la_int64_t size = la().archive_entry_size(entry);
            Member member{index, name, size > 0 ? static_cast<std::uint64_t>(size) : 0};
            if (kind == core::ImageName::Ds)
                return selectCurrent(opened, entry, std::move(member), warned);
            if (kind == core::ImageName::Dsi && !fallback) {
                fallback = selectCurrent(opened, entry, std::move(member), warned);
                fallback->positioned = false;
            }
        }
    }
    if (fallback && fallback->readable && !fallback->data) {
        openReader(opened, archivePath);
        return selectMember(opened, archivePath, fallback->member);
    }
    return fallback;
}

void requireImageSize(std::uint64_t declared, const std::string& archivePath, const Member& member)
{
    if (declared > kMaxMemberSize)
        throw core::Error("The member " + memberText(archivePath, member) + " declares " +
                          core::humanBytes(declared) + "; no DS or DSi image is larger than " +
                          core::humanBytes(kMaxMemberSize) + ", so it is not extracted");
}

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

// Raises onBegin before `work` and onEnd after it, also when it throws.
template <typename Work>
auto withEvents(const Member& member, const ExtractEvents& events, Work&& work)
{
    try {
        if (events.onBegin)
            events.onBegin(member.name, 1);
        auto result = work();
        if (events.onEnd)
            events.onEnd();
        return result;
    } catch (...) {
        if (events.onEnd)
            events.onEnd();
        throw;
    }
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
        OpenedArchive opened = openArchive(archivePath);
        const std::optional<Selected> s = selectMember(opened, archivePath, member);
        return extractSelected(opened, archivePath, s, destinationPath, events, sinks);
    });
}

std::uint64_t availableMemory()
{
    if (std::FILE* info = std::fopen("/proc/meminfo", "re")) {
        char line[256];
        unsigned long long kib = 0;
        bool found = false;
        // Bounded by the file's lines.
        while (!found && std::fgets(line, sizeof line, info))
            found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
        std::fclose(info);
        if (found)
            return static_cast<std::uint64_t>(kib) * 1024;
    }
    const long pages = ::sysconf(_SC_AVPHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0
               ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize)
               : 0;
}

MemberBytes::MemberBytes(std::uint64_t size)
{
    // A large image on a machine short of memory goes to the disk copy rather than into swap.
    if (size == 0 || size > kMaxMemberSize || size > availableMemory() / 2)
        return;
    // Only reserved here: the pages are filled as the inflater reaches them (MemorySpace), so a
    // member that declares more than its data holds never takes the memory it claims. No
    // MADV_HUGEPAGE: it saves more, but where memory is fragmented the kernel then compacts it
    // on the spot, which doubled the time in measurements.
    void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        return;
    m_bytes = {static_cast<std::uint8_t*>(p), static_cast<std::size_t>(size)};
}

MemberBytes::~MemberBytes()
{
    if (!m_bytes.empty())
        ::munmap(m_bytes.data(), m_bytes.size());
}

namespace {
// The inflater's output straight into a MemberBytes; no room past its end, so data beyond the
// declared size stops the inflater.
// The space is handed out 8 MiB at a time, each piece's pages populated in one call before the
// inflater writes into it (faster than a fault per page). While the inflater fills one piece,
// the next is populated on another thread, so the kernel's zeroing of the pages runs beside the
// inflation instead of between its steps. Memory follows the data: at most one piece ahead.
class MemorySpace final : public OutputSpace {
public:
    explicit MemorySpace(std::span<std::uint8_t> bytes) : m_bytes(bytes) {}
    MemorySpace(const MemorySpace&) = delete;
    MemorySpace& operator=(const MemorySpace&) = delete;
    ~MemorySpace() override
    {
        if (m_ahead.valid())
            m_ahead.wait();
    }

    std::span<std::uint8_t> space() override
    {
        if (m_used == m_populated && m_populated < m_bytes.size()) {
            const std::size_t piece = std::min(kPiece, m_bytes.size() - m_populated);
            if (m_ahead.valid())
                m_ahead.get(); // it was populating exactly this piece
            else
                populate(m_populated, piece);
            m_populated += piece;
            populateAhead();
        }
        return m_bytes.subspan(m_used, m_populated - m_used);
    }
    void commit(std::size_t size) override { m_used += size; }

private:
    static constexpr std::size_t kPiece = std::size_t{8} << 20; // a multiple of the page size

    // Only a speed-up: where the kernel lacks it the pages fault in one by one.
    void populate(std::size_t at, std::size_t size) const
    {
        ::madvise(m_bytes.data() + at, size, MADV_POPULATE_WRITE);
    }

    void populateAhead()
    {
        if (m_populated >= m_bytes.size())
            return;
        const std::size_t at = m_populated;
        const std::size_t piece = std::min(kPiece, m_bytes.size() - at);
        try {
            m_ahead = std::async(std::launch::async, [this, at, piece] { populate(at, piece); });
        } catch (const std::system_error&) {
            // No thread to be had: the piece is populated when the inflater reaches it.
        }
    }

    std::span<std::uint8_t> m_bytes;
    std::size_t m_used = 0;
    std::size_t m_populated = 0;
    std::future<void> m_ahead; // populating [m_populated, + one piece) when valid
};
} // namespace

namespace {

InPlace readSelected(const OpenedArchive& opened, const std::string& archivePath,
                     const std::optional<Selected>& s, const ExtractEvents& events,
                     std::span<core::ReadSink* const> sinks)
{
    // A member past the size limit is left to the copy, which refuses it with its message.
    if (!s || !s->data || s->declared > kMaxMemberSize)
        return {};
    const detail::MemberData& data = *s->data;
    std::shared_ptr<MemberBytes> held;
    if (data.deflated) {
        held = std::make_shared<MemberBytes>(s->declared);
        if (held->bytes().empty())
            return {}; // no memory for it: the copy goes to the disk
    }
    return withEvents(s->member, events, [&] {
        InPlace result;
        Delivery delivery(nullptr, s->declared, events, sinks, false);
        const core::DescriptorStream file(opened.fd, opened.fileSize,
                                          memberText(archivePath, s->member));
        int done = 0;
        if (held) {
            MemorySpace space(held->bytes());
            done = inflateDeflated(file, data, archivePath, s->member, delivery, space);
        } else {
            done = readStored(file, data, archivePath, s->member, delivery);
        }
        if (done != 1) {
            result.status = InPlace::Status::Failed;
            return result;
        }
        result.status = InPlace::Status::Read;
        result.crc32 = data.crc32;
        result.size = data.size;
        if (held)
            result.memory = std::move(held);
        else
            result.offset = data.offset;
        return result;
    });
}

// Copies each block libarchive hands out into the member's memory.
class MemoryCopy final : public core::ReadSink {
public:
    explicit MemoryCopy(std::span<std::uint8_t> bytes) : m_bytes(bytes) {}
    void consume(std::span<const std::uint8_t> bytes, std::uint64_t offset) override
    {
        // Delivery keeps every block within the declared size, the memory's size. An empty
        // block may come without a buffer at all.
        if (!bytes.empty())
            std::memcpy(m_bytes.data() + offset, bytes.data(), bytes.size());
    }
    void finish(std::uint64_t) override {}

private:
    std::span<std::uint8_t> m_bytes;
};

// A member only libarchive can decode (another method, a header it warned about), decoded into
// memory with extractMember's events and verdicts; NeedsCopy when no memory can be had.
InPlace decodeSelected(const OpenedArchive& opened, const std::string& archivePath,
                       const std::optional<Selected>& s, const ExtractEvents& events,
                       std::span<core::ReadSink* const> sinks)
{
    if (!s || !s->readable || !s->positioned || s->declared > kMaxMemberSize)
        return {};
    auto held = std::make_shared<MemberBytes>(s->declared);
    if (held->bytes().empty())
        return {};
    return withEvents(s->member, events, [&] {
        core::Crc32Sink crc;
        MemoryCopy copy(held->bytes());
        std::vector<core::ReadSink*> all{&copy, &crc};
        all.insert(all.end(), sinks.begin(), sinks.end());
        Delivery delivery(nullptr, s->declared, events, all, false);
        InPlace result;
        if (copyData(opened.reader.get(), archivePath, s->member, delivery) != 1) {
            if (opened.source->readError())
                throw core::Error("Cannot read " + memberText(archivePath, s->member) + ". " +
                                  std::strerror(opened.source->readError()));
            result.status = InPlace::Status::Failed;
            return result;
        }
        result.status = InPlace::Status::Read;
        result.crc32 = crc.value();
        result.size = s->declared;
        result.memory = std::move(held);
        return result;
    });
}

} // namespace

InPlace readInPlace(const std::string& archivePath, const Member& member,
                    const ExtractEvents& events, std::span<core::ReadSink* const> sinks)
{
    OpenedArchive opened = openArchive(archivePath);
    return readSelected(opened, archivePath, selectMember(opened, archivePath, member), events,
                        sinks);
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
    openOver(m->opened, path);
}

ZipImageReader::~ZipImageReader() = default;

std::optional<Member> ZipImageReader::findImage()
{
    m->selected = archive::findImage(m->opened, m->path);
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
