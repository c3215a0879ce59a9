#include "archive/staged_zip.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

#include <zlib.h>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/checksum/crc32.h"
#include "core/io/stream.h"

namespace cartscope::archive {

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint16_t kVersionNeeded = 20;
constexpr std::uint16_t kMethodDeflate = 8;
// Bit 1: deflate's maximum compression; bit 11: the name is UTF-8.
constexpr std::uint16_t kFlagMaximum = 2;
constexpr std::uint16_t kFlagUtf8 = 0x800;
constexpr std::uint64_t kZip32Limit = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kOutBlock = std::size_t{64} << 10;
constexpr std::size_t kFillBlock = std::size_t{1} << 20;

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

bool lessIgnoringCase(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](unsigned char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
        };
        return lower(static_cast<unsigned char>(x)) < lower(static_cast<unsigned char>(y));
    });
}

// The fields a member's local and central records share, from the version needed to the name's
// length: 0x04..0x1B of the local header.
std::vector<std::uint8_t> sharedFields(const StagedMember& m)
{
    const bool ascii =
        std::all_of(m.name.begin(), m.name.end(), [](char c) { return (c & 0x80) == 0; });
    std::vector<std::uint8_t> b;
    put16(b, kVersionNeeded);
    put16(b, ascii ? kFlagMaximum : kFlagMaximum | kFlagUtf8);
    put16(b, kMethodDeflate);
    put16(b, kTorrentZipTime);
    put16(b, kTorrentZipDate);
    put32(b, m.data->crc());
    put32(b, static_cast<std::uint32_t>(m.data->compressedSize()));
    put32(b, static_cast<std::uint32_t>(m.data->size()));
    put16(b, static_cast<std::uint32_t>(m.name.size()));
    return b;
}

} // namespace

struct StagedDeflate::Compressor {
    z_stream z{};
    std::vector<std::uint8_t> out = std::vector<std::uint8_t>(kOutBlock);
    ~Compressor() { deflateEnd(&z); }
};

std::unique_ptr<StagedDeflate> StagedDeflate::create(int folder)
{
    // Read and written: the zip copies the deflated bytes out of it. Never named, so 0600.
    core::UniqueFd fd(::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd.valid())
        return nullptr;
    auto compressor = std::make_unique<Compressor>();
    // The parameters writeZip deflates with, so the same zlib gives the same bytes.
    if (deflateInit2(&compressor->z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return nullptr;
    return std::unique_ptr<StagedDeflate>(new StagedDeflate(std::move(fd), std::move(compressor)));
}

StagedDeflate::StagedDeflate(core::UniqueFd fd, std::unique_ptr<Compressor> compressor)
    : m_fd(std::move(fd)), m_compressor(std::move(compressor))
{}

StagedDeflate::~StagedDeflate() = default;

void StagedDeflate::deflateBlock(std::span<const std::uint8_t> block, bool last)
{
    z_stream& z = m_compressor->z;
    std::vector<std::uint8_t>& out = m_compressor->out;
    z.next_in = const_cast<Bytef*>(block.data());
    z.avail_in = static_cast<uInt>(block.size());
    // Bounded: each pass either consumes input or, at the end, emits output until deflate says
    // it is done.
    for (;;) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        const int rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
        const std::size_t produced = out.size() - z.avail_out;
        if (rc == Z_STREAM_ERROR ||
            core::writeAll(m_fd.get(), std::span(out).first(produced)) != 0) {
            m_failed = true;
            return;
        }
        m_compressed += produced;
        if (last ? rc == Z_STREAM_END : z.avail_in == 0 && z.avail_out != 0)
            return;
    }
}

void StagedDeflate::consume(std::span<const std::uint8_t> block, std::uint64_t position)
{
    if (m_failed || !m_compressor || position != m_size) {
        m_failed = true;
        return;
    }
    m_crc = core::crc32::crc32Of(block, m_crc);
    m_size += block.size();
    // Bounded: each pass hands deflate at most a read block.
    while (!block.empty() && !m_failed) {
        const std::size_t n = std::min(block.size(), kFillBlock);
        deflateBlock(block.first(n), false);
        block = block.subspan(n);
    }
}

void StagedDeflate::finish(std::uint64_t total)
{
    m_total = total;
}

bool StagedDeflate::complete(std::uint64_t size, std::optional<std::uint8_t> pad)
{
    if (m_failed || !m_compressor || !m_total || *m_total != m_size || size < m_size ||
        (size > m_size && !pad)) {
        discard();
        return false;
    }
    if (size > m_size) {
        const std::vector<std::uint8_t> fill(
            static_cast<std::size_t>(std::min<std::uint64_t>(size - m_size, kFillBlock)), *pad);
        // Bounded by the padded size: every pass adds a block or ends the member.
        while (!m_failed && m_size < size)
            consume(std::span(fill).first(static_cast<std::size_t>(
                        std::min<std::uint64_t>(size - m_size, fill.size()))),
                    m_size);
    }
    if (!m_failed)
        deflateBlock({}, true);
    m_compressor.reset();
    m_completed = !m_failed && m_size < kZip32Limit && m_compressed < kZip32Limit;
    if (!m_completed)
        discard();
    return m_completed;
}

bool StagedDeflate::holds(std::uint64_t size, std::optional<std::uint32_t> crc) const
{
    return m_fd.valid() && m_completed && m_size == size && (!crc || m_crc == *crc);
}

void StagedDeflate::discard()
{
    m_compressor.reset();
    m_completed = false;
    m_fd = core::UniqueFd();
}

void writeStagedZip(core::OutputFile& out, std::vector<StagedMember> members, ZipStyle style)
{
    std::stable_sort(members.begin(), members.end(),
                     [](const auto& a, const auto& b) { return lessIgnoringCase(a.name, b.name); });
    std::vector<std::uint8_t> central;
    for (const StagedMember& m : members) {
        if (m.name.empty() || m.name.size() > 0xFFFF)
            throw core::Error("Member name \"" + m.name + "\" cannot be stored in a zip");
        const std::uint64_t offset = out.size();
        if (offset >= kZip32Limit)
            throw core::Error("The archive is too large for a zip without zip64");
        const std::vector<std::uint8_t> shared = sharedFields(m);
        std::vector<std::uint8_t> local;
        put32(local, kLocalSignature);
        local.insert(local.end(), shared.begin(), shared.end());
        put16(local, 0); // 0x1C extra field length
        local.insert(local.end(), m.name.begin(), m.name.end());
        out.write(local);
        out.copyFrom(core::DescriptorStream(m.data->fd(), m.data->compressedSize()), 0,
                     m.data->compressedSize());

        put32(central, kCentralSignature);
        put16(central, 0); // version made by
        central.insert(central.end(), shared.begin(), shared.end());
        put16(central, 0); // extra field length
        put16(central, 0); // comment length
        put16(central, 0); // disk number
        put16(central, 0); // internal attributes
        put32(central, 0); // external attributes
        put32(central, static_cast<std::uint32_t>(offset));
        central.insert(central.end(), m.name.begin(), m.name.end());
    }
    const std::uint64_t centralOffset = out.size();
    if (members.size() > 0xFFFF || centralOffset >= kZip32Limit ||
        central.size() >= kZip32Limit - centralOffset)
        throw core::Error("The archive is too large for a zip without zip64");
    std::vector<std::uint8_t> end;
    put32(end, kEndSignature);
    put16(end, 0); // this disk
    put16(end, 0); // the central directory's disk
    put16(end, static_cast<std::uint32_t>(members.size()));
    put16(end, static_cast<std::uint32_t>(members.size()));
    put32(end, static_cast<std::uint32_t>(central.size()));
    put32(end, static_cast<std::uint32_t>(centralOffset));
    if (style == ZipStyle::TorrentZip) {
        char crc[9];
        std::snprintf(crc, sizeof crc, "%08X",
                      static_cast<unsigned>(core::crc32::crc32Of(central)));
        const std::string comment = kTorrentZipCommentPrefix + std::string(crc);
        put16(end, static_cast<std::uint32_t>(comment.size()));
        end.insert(end.end(), comment.begin(), comment.end());
    } else {
        put16(end, 0);
    }
    out.write(central);
    out.write(end);
}

} // namespace cartscope::archive
