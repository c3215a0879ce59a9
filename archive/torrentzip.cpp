#include "archive/torrentzip.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <memory>

#include <zlib.h>

#include "core/base/error.h"
#include "core/checksum/crc32.h"

namespace cartscope::archive {

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kCommentSize = sizeof(kTorrentZipCommentPrefix) - 1 + 8;
constexpr std::uint16_t kVersionNeeded = 20;
constexpr std::uint16_t kMethodDeflate = 8;
// Bit 1: deflate's maximum compression; bit 11: the name is UTF-8.
constexpr std::uint16_t kFlagMaximum = 2;
constexpr std::uint16_t kFlagUtf8 = 0x800;
constexpr std::uint64_t kZip32Limit = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kBlock = std::size_t{1} << 20;

void put16(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

std::uint32_t get16(std::span<const std::uint8_t> b, std::size_t at)
{
    return b[at] | (std::uint32_t{b[at + 1]} << 8);
}

std::uint32_t get32(std::span<const std::uint8_t> b, std::size_t at)
{
    return get16(b, at) | (get16(b, at + 2) << 16);
}

std::uint16_t flagsFor(const std::string& name)
{
    const bool ascii =
        std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; });
    return ascii ? kFlagMaximum : kFlagMaximum | kFlagUtf8;
}

struct Written {
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    std::uint64_t compressed = 0;
};

struct DeflateEnd {
    void operator()(z_stream* z) const { deflateEnd(z); }
};

// Deflates what the source hands over straight into the file.
Written deflateInto(core::OutputFile& out, const ZipMember& member,
                    const core::Checkpoint& checkpoint)
{
    z_stream z{};
    // Level 9, a raw 15-bit window and memory level 8: the parameters every TorrentZip writer
    // uses, so the same zlib gives the same bytes.
    if (deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw core::Error("Cannot start the deflate compressor");
    const std::unique_ptr<z_stream, DeflateEnd> guard(&z);
    std::vector<std::uint8_t> buffer(kBlock);
    Written w;
    const auto pump = [&](std::span<const std::uint8_t> in, int flush) {
        z.next_in = const_cast<Bytef*>(in.data());
        z.avail_in = static_cast<uInt>(in.size());
        // Bounded: each pass either consumes input or, at the end, emits output until
        // deflate says it is done.
        for (;;) {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            const int rc = deflate(&z, flush);
            if (rc == Z_STREAM_ERROR)
                throw core::Error("Cannot deflate member \"" + member.name + "\"");
            const std::size_t produced = buffer.size() - z.avail_out;
            out.write(std::span(buffer).first(produced));
            w.compressed += produced;
            if (flush == Z_FINISH ? rc == Z_STREAM_END : z.avail_in == 0 && z.avail_out != 0)
                break;
        }
    };
    member.bytes([&](std::span<const std::uint8_t> block) {
        if (checkpoint)
            checkpoint();
        w.crc = core::crc32::crc32Of(block, w.crc);
        w.size += block.size();
        // Bounded: each pass hands deflate at most kBlock bytes.
        while (!block.empty()) {
            const std::size_t n = std::min(block.size(), kBlock);
            pump(block.first(n), Z_NO_FLUSH);
            block = block.subspan(n);
        }
    });
    pump({}, Z_FINISH);
    if (w.size >= kZip32Limit || w.compressed >= kZip32Limit)
        throw core::Error("Member \"" + member.name + "\" is too large for a zip archive");
    return w;
}

bool lessIgnoringCase(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](unsigned char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
        };
        return lower(static_cast<unsigned char>(x)) < lower(static_cast<unsigned char>(y));
    });
}

std::string upperHex(std::uint32_t v)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(v));
    return text;
}

// The CRC-32 and the compressed and plain sizes, as the local and central records hold them.
std::vector<std::uint8_t> sumsOf(std::uint32_t crc, std::uint64_t compressed, std::uint64_t size)
{
    std::vector<std::uint8_t> sums;
    put32(sums, crc);
    put32(sums, static_cast<std::uint32_t>(compressed));
    put32(sums, static_cast<std::uint32_t>(size));
    return sums;
}

// A member's local header with the given sums (zeros when they are filled in afterwards, so no
// data descriptor is needed).
std::vector<std::uint8_t> localHeader(const std::string& name, std::uint16_t flags,
                                      std::span<const std::uint8_t> sums)
{
    std::vector<std::uint8_t> local;
    put32(local, kLocalSignature);
    put16(local, kVersionNeeded);
    put16(local, flags);
    put16(local, kMethodDeflate);
    put16(local, kTorrentZipTime);
    put16(local, kTorrentZipDate);
    local.insert(local.end(), sums.begin(), sums.end()); // 0x0E CRC-32, compressed size, size
    put16(local, static_cast<std::uint32_t>(name.size()));
    put16(local, 0); // 0x1C extra field length
    local.insert(local.end(), name.begin(), name.end());
    return local;
}

// The member's record in the central directory; `sums` its CRC-32 and sizes as written.
void appendCentral(std::vector<std::uint8_t>& central, const std::string& name, std::uint16_t flags,
                   std::span<const std::uint8_t> sums, std::uint64_t offset)
{
    put32(central, kCentralSignature);
    put16(central, 0); // version made by
    put16(central, kVersionNeeded);
    put16(central, flags);
    put16(central, kMethodDeflate);
    put16(central, kTorrentZipTime);
    put16(central, kTorrentZipDate);
    central.insert(central.end(), sums.begin(), sums.end());
    put16(central, static_cast<std::uint32_t>(name.size()));
    put16(central, 0); // extra field length
    put16(central, 0); // comment length
    put16(central, 0); // disk number
    put16(central, 0); // internal attributes
    put32(central, 0); // external attributes
    put32(central, static_cast<std::uint32_t>(offset));
    central.insert(central.end(), name.begin(), name.end());
}

// The end of central directory record, with TorrentZip's comment (the directory's CRC-32) when
// asked for.
std::vector<std::uint8_t> endRecord(std::size_t members, const std::vector<std::uint8_t>& central,
                                    std::uint64_t centralOffset, ZipStyle style)
{
    std::vector<std::uint8_t> end;
    put32(end, kEndSignature);
    put16(end, 0); // this disk
    put16(end, 0); // the central directory's disk
    put16(end, static_cast<std::uint32_t>(members));
    put16(end, static_cast<std::uint32_t>(members));
    put32(end, static_cast<std::uint32_t>(central.size()));
    put32(end, static_cast<std::uint32_t>(centralOffset));
    if (style == ZipStyle::TorrentZip) {
        const std::string comment =
            kTorrentZipCommentPrefix + upperHex(core::crc32::crc32Of(central));
        put16(end, static_cast<std::uint32_t>(comment.size()));
        end.insert(end.end(), comment.begin(), comment.end());
    } else {
        put16(end, 0);
    }
    return end;
}

// The archive: the members in case-insensitive name order, each written by `body(member, flags,
// offset)` (its local header and data; it returns the sums written), then the central directory
// and the end record.
template <class Member, class Body>
void writeArchive(core::OutputFile& out, std::vector<Member> members, ZipStyle style,
                  const Body& body)
{
    std::stable_sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
        return lessIgnoringCase(a.name, b.name);
    });
    std::vector<std::uint8_t> central;
    for (const Member& member : members) {
        if (member.name.empty() || member.name.size() > 0xFFFF)
            throw core::Error("Member name \"" + member.name + "\" cannot be stored in a zip");
        const std::uint64_t offset = out.size();
        if (offset >= kZip32Limit)
            throw core::Error("The archive is too large for a zip without zip64");
        const std::uint16_t flags = flagsFor(member.name);
        const std::vector<std::uint8_t> sums = body(member, flags, offset);
        appendCentral(central, member.name, flags, sums, offset);
    }
    const std::uint64_t centralOffset = out.size();
    if (members.size() > 0xFFFF || centralOffset >= kZip32Limit ||
        central.size() >= kZip32Limit - centralOffset)
        throw core::Error("The archive is too large for a zip without zip64");
    const std::vector<std::uint8_t> end = endRecord(members.size(), central, centralOffset, style);
    out.write(central);
    out.write(end);
}

} // namespace

void writeZip(core::OutputFile& out, std::vector<ZipMember> members, ZipStyle style,
              const core::Checkpoint& checkpoint)
{
    writeArchive(out, std::move(members), style,
                 [&](const ZipMember& member, std::uint16_t flags, std::uint64_t offset) {
                     out.write(localHeader(member.name, flags, sumsOf(0, 0, 0)));
                     const Written w = deflateInto(out, member, checkpoint);
                     const std::vector<std::uint8_t> sums = sumsOf(w.crc, w.compressed, w.size);
                     out.writeAt(offset + 0x0E, sums);
                     return sums;
                 });
}

void writeDeflatedZip(core::OutputFile& out, std::vector<DeflatedMember> members, ZipStyle style)
{
    writeArchive(out, std::move(members), style,
                 [&](const DeflatedMember& member, std::uint16_t flags, std::uint64_t) {
                     if (member.size >= kZip32Limit || member.compressedSize >= kZip32Limit)
                         throw core::Error("Member \"" + member.name +
                                           "\" is too large for a zip archive");
                     const std::vector<std::uint8_t> sums =
                         sumsOf(member.crc, member.compressedSize, member.size);
                     out.write(localHeader(member.name, flags, sums));
                     member.writeDeflated(out);
                     return sums;
                 });
}

bool isTorrentZipped(const core::Stream& file)
{
    constexpr std::size_t kTail = kEndRecordSize + kCommentSize;
    if (file.size() < kTail)
        return false;
    std::array<std::uint8_t, kTail> tail{};
    if (file.pread(file.size() - kTail, tail) != kTail)
        return false;
    const std::span<const std::uint8_t> t(tail);
    // 0x00 signature, 0x0C directory size, 0x10 its offset, 0x14 comment length.
    if (get32(t, 0) != kEndSignature || get16(t, 0x14) != kCommentSize)
        return false;
    const std::string comment(tail.begin() + kEndRecordSize, tail.end());
    const std::string prefix = kTorrentZipCommentPrefix;
    if (comment.compare(0, prefix.size(), prefix) != 0)
        return false;
    const std::uint64_t size = get32(t, 0x0C);
    const std::uint64_t offset = get32(t, 0x10);
    const std::uint64_t end = file.size() - kTail;
    if (offset > end || size != end - offset)
        return false;
    std::uint32_t crc = 0;
    std::vector<std::uint8_t> block(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kBlock)));
    // Bounded by the directory's size, which lies inside the file.
    for (std::uint64_t done = 0; done < size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kBlock));
        if (file.pread(offset + done, std::span(block).first(n)) != n)
            return false;
        crc = core::crc32::crc32Of(std::span(block).first(n), crc);
        done += n;
    }
    return comment.substr(prefix.size()) == upperHex(crc);
}

} // namespace cartscope::archive
