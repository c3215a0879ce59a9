#include "core/compress/compress.h"

#include <algorithm>
#include <cstring>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/compress/stream_decode.h"

namespace cartscope::core {

namespace {

using detail::DecodeEnd;
using detail::WindowedOutput;

constexpr std::size_t kTrialBytes = 4096;

enum class HeaderProblem { None, TooShort, UnknownType, OverCap, OverRatio };

struct HeaderCheck {
    CompressionHeader header;
    HeaderProblem problem = HeaderProblem::None;
    std::uint64_t cap = 0; // the cap that was exceeded
};

// The header at the start of `in`, judged against a file of `fileSize` bytes.
HeaderCheck examineHeader(std::span<const std::uint8_t> in, std::uint64_t fileSize)
{
    HeaderCheck c;
    std::size_t at = 0;
    if (in.size() >= 5 && std::memcmp(in.data(), "LZ77", 4) == 0 && in[4] == 0x10) {
        c.header.codec = Codec::Lz77Lz10;
        at = 4;
    }
    if (in.size() - at < 4) {
        c.problem = HeaderProblem::TooShort;
        return c;
    }
    if (at == 0) {
        switch (in[0]) { // 0x00 type byte
        case 0x10:
            c.header.codec = Codec::Lz10;
            break;
        case 0x11:
            c.header.codec = Codec::Lz11;
            break;
        case 0x24:
            c.header.codec = Codec::Huffman4;
            break;
        case 0x28:
            c.header.codec = Codec::Huffman8;
            break;
        case 0x30:
            c.header.codec = Codec::Rle;
            break;
        default:
            c.problem = HeaderProblem::UnknownType;
            return c;
        }
    }
    // 0x01 decompressed size (24 bits); 0 with more data after it: a 32-bit size at 0x04
    c.header.size = le32(in, at) >> 8;
    c.header.dataOffset = at + 4;
    c.cap = kMaxDeclared24;
    if (c.header.size == 0 && in.size() - at >= 8) {
        c.header.size = le32(in, at + 4);
        c.header.dataOffset = at + 8;
        c.cap = kMaxDeclared32;
    }
    if (c.header.size > c.cap) {
        c.problem = HeaderProblem::OverCap;
        return c;
    }
    if (const auto ratio = maxRatio(c.header.codec); ratio && c.header.size > *ratio * fileSize)
        c.problem = HeaderProblem::OverRatio;
    return c;
}

std::string quoted(const std::string& name)
{
    return "\"" + name + "\"";
}

[[noreturn]] void throwEnd(DecodeEnd end, const std::string& name)
{
    switch (end) {
    case DecodeEnd::InputEnded:
        throw Error(quoted(name) + ": compressed data ends early");
    case DecodeEnd::ReferenceBeforeStart:
        throw Error(quoted(name) + ": a back-reference points before the start of the data");
    case DecodeEnd::BadTree:
    case DecodeEnd::Done:
        break;
    }
    throw Error(quoted(name) + ": the Huffman tree points outside itself");
}

} // namespace

std::string_view codecName(Codec codec)
{
    switch (codec) {
    case Codec::Lz10:
        return "LZ10";
    case Codec::Lz11:
        return "LZ11";
    case Codec::Lz77Lz10:
        return "LZ77+LZ10";
    case Codec::Huffman4:
        return "Huffman4";
    case Codec::Huffman8:
        return "Huffman8";
    case Codec::Rle:
        return "RLE";
    }
    return "";
}

std::optional<std::uint64_t> maxRatio(Codec codec)
{
    switch (codec) {
    case Codec::Lz10:
    case Codec::Lz77Lz10:
        return 9;
    case Codec::Rle:
        return 66;
    case Codec::Huffman4:
    case Codec::Huffman8:
        return 8;
    case Codec::Lz11:
        break;
    }
    return std::nullopt;
}

CompressionHeader readCompressionHeader(std::span<const std::uint8_t> in, const std::string& name)
{
    const HeaderCheck c = examineHeader(in, in.size());
    const std::string declares =
        quoted(name) + " declares " + std::to_string(c.header.size) + " bytes decompressed, ";
    switch (c.problem) {
    case HeaderProblem::None:
        return c.header;
    case HeaderProblem::TooShort:
        throw Error(quoted(name) + ": compressed data ends early");
    case HeaderProblem::UnknownType: {
        static constexpr char kHex[] = "0123456789ABCDEF";
        throw Error(quoted(name) + " is not compressed data (type byte 0x" + kHex[in[0] >> 4] +
                    kHex[in[0] & 0xF] + ")");
    }
    case HeaderProblem::OverCap:
        throw Error(declares + "more than the " + std::to_string(c.cap >> 20) + " MiB limit");
    case HeaderProblem::OverRatio:
        break;
    }
    throw Error(declares + "more than " + std::string(codecName(c.header.codec)) +
                " can make from " + std::to_string(in.size()) + " bytes");
}

void decompressStream(std::span<const std::uint8_t> in, const std::string& name,
                      const ChunkSink& sink)
{
    const CompressionHeader h = readCompressionHeader(in, name);
    WindowedOutput out(h.size, sink);
    const DecodeEnd end = detail::decodeStream(h.codec, in.subspan(h.dataOffset), out);
    if (end != DecodeEnd::Done)
        throwEnd(end, name);
    out.finish();
}

std::vector<std::uint8_t> decompress(std::span<const std::uint8_t> in, const std::string& name)
{
    std::vector<std::uint8_t> result;
    decompressStream(in, name, [&result](std::span<const std::uint8_t> chunk) {
        result.insert(result.end(), chunk.begin(), chunk.end());
    });
    return result;
}

std::optional<CompressionHeader> plausibleCompression(std::span<const std::uint8_t> head,
                                                      std::uint64_t fileSize)
{
    const HeaderCheck c = examineHeader(head, std::max<std::uint64_t>(fileSize, head.size()));
    if (c.problem != HeaderProblem::None || c.header.size == 0)
        return std::nullopt;
    return c.header;
}

std::optional<TrialDecode> trialDecompress(std::span<const std::uint8_t> head,
                                           std::uint64_t fileSize)
{
    const auto h = plausibleCompression(head, fileSize);
    if (!h)
        return std::nullopt;
    const auto trial = head.first(std::min(head.size(), kTrialBytes));
    const bool cut = trial.size() < std::max<std::uint64_t>(fileSize, head.size());
    TrialDecode result{h->codec, {}};
    const ChunkSink keep = [&result](std::span<const std::uint8_t> chunk) {
        result.head.insert(result.head.end(), chunk.begin(), chunk.end());
    };
    WindowedOutput out(std::min<std::uint64_t>(h->size, kTrialBytes), keep);
    const DecodeEnd end = detail::decodeStream(h->codec, trial.subspan(h->dataOffset), out);
    if (end != DecodeEnd::Done && !(end == DecodeEnd::InputEnded && cut))
        return std::nullopt;
    out.finish();
    return result;
}

std::optional<Codec> identifyCompression(std::span<const std::uint8_t> head, std::uint64_t fileSize)
{
    const auto trial = trialDecompress(head, fileSize);
    if (!trial)
        return std::nullopt;
    return trial->codec;
}

} // namespace cartscope::core
