#include "archive/member_copy.h"

#include <algorithm>

#include <zlib.h>

#include "archive/libarchive_api.h"
#include "archive/libarchive_util.h"
#include "core/checksum/crc32_sink.h"

namespace cartscope::archive::detail {

namespace {

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
