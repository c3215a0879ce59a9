#include <algorithm>
#include <array>
#include <cstdlib>
#include <lzma.h>

#include "archive/sevenz_header.h"
#include "archive/sevenz_streams.h"
#include "core/checksum/crc32.h"

// The encoded 7z header: read from its packed stream and decoded with liblzma under a memory
// limit, never grown past the bytes actually decoded.
namespace cartscope::archive::sevenz {

namespace {

// liblzma's stream, ended when the object goes.
struct LzmaStream {
    lzma_stream strm = LZMA_STREAM_INIT;
    ~LzmaStream() { lzma_end(&strm); }
};

// The filter's options as liblzma decodes them from 7z's properties; freed with the object.
struct Filters {
    std::array<lzma_filter, 2> list{{{LZMA_VLI_UNKNOWN, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}}};
    ~Filters() { std::free(list[0].options); }
};

// The one coder of the encoded header's one block, once the block's shape and sizes are
// checked.
const Coder& headerCoder(const Streams& s)
{
    if (s.folders.size() != 1 || s.packSizes.size() != 1)
        damaged();
    const Folder& f = s.folders[0];
    if (f.coders.size() != 1 || f.packedStreams != 1 || f.outStreams != 1)
        damaged("its header is stored in a way Cartscope does not decode");
    const Coder& coder = f.coders[0];
    if (isId(coder, kAesId))
        damaged("its file list is encrypted");
    if (f.unpackSizes[0] > kMaxSevenZipHeaderSize)
        damaged("its header is larger than 64 MiB");
    if (s.packPosition > UINT64_MAX - kSignatureHeaderSize)
        damaged("its header lies past the end of the file");
    if (s.packSizes[0] > kMaxSevenZipHeaderSize)
        damaged("its header is larger than 64 MiB");
    return coder;
}

// `in` through liblzma's raw LZMA or LZMA2 decoder, exactly `unpacked` bytes out.
std::vector<std::uint8_t> lzmaDecode(const Coder& coder, std::span<const std::uint8_t> in,
                                     std::uint64_t unpacked)
{
    Filters filters;
    if (isId(coder, kLzmaId))
        filters.list[0].id = LZMA_FILTER_LZMA1;
    else if (isId(coder, kLzma2Id))
        filters.list[0].id = LZMA_FILTER_LZMA2;
    else
        damaged("its header is stored in a way Cartscope does not decode");
    if (lzma_properties_decode(&filters.list[0], nullptr, coder.properties.data(),
                               coder.properties.size()) != LZMA_OK)
        damaged();
    if (lzma_raw_decoder_memusage(filters.list.data()) > kMaxSevenZipHeaderMemory)
        damaged("its header needs more than 64 MiB of memory to decode");
    LzmaStream z;
    if (lzma_raw_decoder(&z.strm, filters.list.data()) != LZMA_OK)
        damaged("its header needs more than 64 MiB of memory to decode");
    z.strm.next_in = in.data();
    z.strm.avail_in = in.size();
    std::vector<std::uint8_t> out;
    // Grown as the output comes, never to the declared size ahead of it.
    constexpr std::size_t kStep = std::size_t{1} << 20;
    // Bounded: every round produces output (or ends), and the output stops at `unpacked`.
    while (out.size() < unpacked) {
        const std::size_t have = out.size();
        const std::size_t inBefore = z.strm.avail_in;
        const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(kStep, unpacked - have));
        out.resize(have + step);
        z.strm.next_out = out.data() + have;
        z.strm.avail_out = step;
        const lzma_ret r = lzma_code(&z.strm, LZMA_RUN);
        out.resize(have + step - z.strm.avail_out);
        if (r == LZMA_STREAM_END)
            break;
        if (r != LZMA_OK || (out.size() == have && z.strm.avail_in == inBefore))
            damaged();
    }
    if (out.size() != unpacked)
        damaged();
    return out;
}

} // namespace

std::vector<std::uint8_t> readAt(const core::Stream& file, std::uint64_t at, std::uint64_t size)
{
    if (at > file.size() || size > file.size() - at)
        damaged("its header lies past the end of the file");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (file.pread(at, bytes) != bytes.size())
        damaged("its header lies past the end of the file");
    return bytes;
}

std::vector<std::uint8_t> decodeHeader(const core::Stream& file, const Streams& s)
{
    const Coder& coder = headerCoder(s);
    const Folder& f = s.folders[0];
    const std::uint64_t unpacked = f.unpackSizes[0];
    const std::uint64_t packed = s.packSizes[0];
    std::vector<std::uint8_t> in = readAt(file, kSignatureHeaderSize + s.packPosition, packed);
    std::vector<std::uint8_t> out;
    if (isId(coder, kCopyId)) {
        if (packed != unpacked)
            damaged();
        out = std::move(in);
    } else {
        out = lzmaDecode(coder, in, unpacked);
    }
    if (f.crc && core::crc32::crc32Of(out) != *f.crc)
        damaged("its header does not match its CRC-32");
    return out;
}

} // namespace cartscope::archive::sevenz
