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

// A zip without zip64 holds members below 4 GiB.
constexpr std::uint64_t kZip32Limit = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kOutBlock = std::size_t{64} << 10;
constexpr std::size_t kFillBlock = std::size_t{1} << 20;

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
    std::vector<DeflatedMember> deflated;
    deflated.reserve(members.size());
    for (StagedMember& m : members) {
        const StagedDeflate* data = m.data;
        deflated.push_back({std::move(m.name), data->crc(), data->size(), data->compressedSize(),
                            [data](core::OutputFile& to) {
                                to.copyFrom(
                                    core::DescriptorStream(data->fd(), data->compressedSize()), 0,
                                    data->compressedSize());
                            }});
    }
    writeDeflatedZip(out, std::move(deflated), style);
}

} // namespace cartscope::archive
