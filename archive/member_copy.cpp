#include "archive/member_copy.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <zlib.h>

#include "archive/libarchive_api.h"
#include "archive/libarchive_util.h"
#include "core/base/error.h"
#include "core/checksum/crc32_sink.h"

namespace cartscope::archive::detail {

namespace {

constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 20;
constexpr std::size_t kWriteSize = std::size_t{1} << 20;
constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kReadSize = std::size_t{1} << 20;

int percent(std::uint64_t done, std::uint64_t total)
{
    if (total == 0 || done >= total)
        return 100;
    return static_cast<int>(done * 100 / total); // done <= 1 GiB: no overflow
}

// libarchive checks each member's data against the CRC-32 stored in the archive and reports a
// mismatch as a warning at the end of the data, in this wording; that is the one data failure
// the user is told about (a damaged archive), the others end the extraction quietly.
bool isCrcMismatch(struct archive* reader)
{
    const char* text = la().archive_error_string(reader);
    return text && std::strstr(text, "bad CRC") != nullptr;
}

struct alignas(kPageSize) ReadBlock {
    std::array<std::uint8_t, kReadSize> bytes;
};

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

} // namespace

struct alignas(kPageSize) WriteBlock {
    std::array<std::uint8_t, kWriteSize> bytes;
};

PartialFile::PartialFile(const std::string& path)
    : m_path(path),
      m_fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600))
{
    if (!m_fd.valid())
        throw core::Error(core::cannotCreateMessage(path, errno));
}

PartialFile::~PartialFile()
{
    m_fd = core::UniqueFd();
    if (!m_kept)
        ::unlink(m_path.c_str());
}

void PartialFile::write(const void* data, std::size_t size)
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

void PartialFile::keep()
{
    if (::close(m_fd.release()) != 0 && errno != EINTR)
        throw core::Error(core::kStreamWriteError);
    m_kept = true;
}

CoalescingWriter::CoalescingWriter(PartialFile& out)
    : m_out(out), m_block(std::make_unique_for_overwrite<WriteBlock>())
{}

CoalescingWriter::~CoalescingWriter() = default;

void CoalescingWriter::write(const std::uint8_t* data, std::size_t size)
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

std::span<std::uint8_t> CoalescingWriter::space()
{
    return {m_block->bytes.data() + m_used, kWriteSize - m_used};
}

void CoalescingWriter::commit(std::size_t size)
{
    m_used += size;
    if (m_used == kWriteSize)
        flush();
}

void CoalescingWriter::flush()
{
    if (m_used > 0)
        m_out.write(m_block->bytes.data(), m_used);
    m_used = 0;
}

Delivery::Delivery(PartialFile* out, std::uint64_t declared, const ExtractEvents& events,
                   std::span<core::ReadSink* const> sinks, bool writes)
    : m_out(out), m_declared(declared), m_events(events), m_sinks(sinks)
{
    if (out && writes)
        m_writer.emplace(*out);
}

bool Delivery::deliver(std::span<const std::uint8_t> bytes)
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

int Delivery::complete()
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

std::string memberText(const std::string& archivePath, const Member& member)
{
    return "\"" + member.name + "\" in the archive \"" + archivePath + "\"";
}

core::Error crcMismatch(const std::string& archivePath, const Member& member)
{
    return core::Error("The archive is damaged: the data of " + memberText(archivePath, member) +
                       " does not match its stored CRC-32");
}

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

// A stored member read straight from the archive file: one positioned read per MiB, checked
// against its CRC-32 at the end, with libarchive's verdicts (data cut short ends the copy
// quietly, data that does not match its CRC-32 is a damaged archive).
int readStored(const core::Stream& file, const MemberData& data, const std::string& archivePath,
               const Member& member, Delivery& delivery)
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

// A deflated member inflated straight from the archive file into the copy's write blocks (no
// intermediate buffer, no second CRC-32 in zlib's slower code), with libarchive's inflater and
// rules: the compressed bytes are read up to the recorded compressed size and no further; a
// damaged stream, a stream that ends before or after its recorded compressed size, more data
// than declared or less all end the copy quietly; data of the right size that does not match
// its CRC-32 is a damaged archive. `delivery` hands the bytes to the sinks and reports
// progress; the copy is written here.
int inflateDeflated(const core::Stream& file, const MemberData& data,
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

} // namespace cartscope::archive::detail
