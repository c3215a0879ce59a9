#include "core/compress/code.h"

#include <algorithm>
#include <array>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/compress/lz_parse.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kFooterSize = 8;
// The module parameters' magic words 0xDEC00621, 0x2106C0DE as stored (little-endian).
constexpr std::array<std::uint8_t, 8> kModuleParamsMagic = {0x21, 0x06, 0xC0, 0xDE,
                                                            0xDE, 0xC0, 0x06, 0x21};
constexpr std::size_t kMagicAt = 0x1C;
constexpr std::size_t kCompressedEndAt = 0x14;
constexpr std::size_t kModuleParamsSize = 0x24;

std::string quoted(const std::string& name)
{
    return "\"" + name + "\"";
}

std::optional<std::size_t> findModuleParams(std::span<const std::uint8_t> arm9)
{
    // One pass over the binary; the first match at or after 0x1C wins.
    auto it = arm9.begin();
    while (true) {
        it = std::search(it, arm9.end(), kModuleParamsMagic.begin(), kModuleParamsMagic.end());
        if (it == arm9.end())
            return std::nullopt;
        const auto at = static_cast<std::size_t>(it - arm9.begin());
        if (at >= kMagicAt)
            return at - kMagicAt;
        ++it;
    }
}

} // namespace

std::vector<std::uint8_t> decompressCode(std::span<const std::uint8_t> file,
                                         const std::string& name)
{
    const std::size_t size = file.size();
    if (size < kFooterSize)
        throw Error(quoted(name) + ": compressed data ends early");
    const std::uint32_t word = le32(file, size - 8); // end-8 region length, footer length
    const std::size_t regionLength = word & 0xFFFFFF;
    const std::size_t footerLength = word >> 24;
    const std::uint64_t extra = le32(file, size - 4); // end-4 extra size
    if (extra == 0)
        return {file.begin(), file.end()};
    if (footerLength < kFooterSize || footerLength > regionLength || regionLength > size)
        throw Error(quoted(name) + ": the code-compression footer does not fit the file");
    const std::uint64_t total = size + extra;
    if (total > kMaxCodeSize)
        throw Error(quoted(name) + " declares " + std::to_string(total) +
                    " bytes decompressed, more than the 16 MiB limit");
    const std::size_t inBottom = size - regionLength;
    const std::size_t inputLength = regionLength - footerLength;
    // As LZ10: 17 input bytes make at most 144.
    if (regionLength + extra > 9 * static_cast<std::uint64_t>(inputLength))
        throw Error(quoted(name) + " declares " + std::to_string(total) +
                    " bytes decompressed, more than code compression can make from " +
                    std::to_string(size) + " bytes");

    std::vector<std::uint8_t> out(static_cast<std::size_t>(total));
    std::copy(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(inBottom), out.begin());
    // Both ends move down: r over the input, w over the output; every pass reads input.
    std::size_t r = size - footerLength;
    std::size_t w = out.size();
    const std::size_t outBottom = inBottom;
    while (w > outBottom) {
        if (r == inBottom)
            throw Error(quoted(name) + ": compressed data ends early");
        unsigned flags = file[--r];
        for (int bit = 0; bit < 8 && w > outBottom; ++bit, flags <<= 1) {
            if (!(flags & 0x80)) {
                if (r == inBottom)
                    throw Error(quoted(name) + ": compressed data ends early");
                out[--w] = file[--r];
                continue;
            }
            if (r - inBottom < 2)
                throw Error(quoted(name) + ": compressed data ends early");
            const unsigned b1 = file[--r];
            const unsigned b2 = file[--r];
            const std::size_t length = std::min<std::size_t>((b1 >> 4) + 3, w - outBottom);
            const std::size_t distance = (((b1 & 0xF) << 8) | b2) + 3;
            if (distance > out.size() - w)
                throw Error(quoted(name) +
                            ": a back-reference points before the start of the data");
            for (std::size_t k = 0; k < length; ++k) {
                --w;
                out[w] = out[w + distance];
            }
        }
    }
    return out;
}

namespace {

// The body's stream in reading order (the flag bits as LZ10's), and where to stop it: the
// in-place decode writes below the byte it reads as long as, after each token, (bytes made -
// bytes read) is at most the same difference at the end. So the stream ends at the token where
// that difference peaks; what lies below stays stored as it is.
struct BackwardStream {
    std::vector<std::uint8_t> bytes;
    std::ptrdiff_t bestGain = 0;
    std::size_t bestCovered = 0; // body bytes the stream up to the peak makes
    std::size_t bestStream = 0;  // stream bytes up to the peak
};

// `reversed` is the body read from its end, parsed as forward LZ.
BackwardStream encodeReversed(std::span<const std::uint8_t> reversed)
{
    detail::LzRules rules;
    rules.minDistance = 3;
    rules.maxDistance = 0x1002;
    rules.maxLength = 18;
    BackwardStream s;
    std::vector<std::uint8_t>& stream = s.bytes;
    std::size_t flagAt = 0;
    unsigned bit = 0;
    std::size_t covered = 0;
    detail::lzParse(reversed, rules, [&](std::span<const detail::LzToken> tokens) {
        for (const detail::LzToken& t : tokens) {
            if (bit == 0) {
                flagAt = stream.size();
                stream.push_back(0);
                bit = 0x80;
            }
            if (t.distance == 0) {
                stream.push_back(reversed[covered]);
            } else {
                stream[flagAt] |= static_cast<std::uint8_t>(bit);
                const std::uint32_t d = t.distance - 3;
                stream.push_back(static_cast<std::uint8_t>(((t.length - 3) << 4) | (d >> 8)));
                stream.push_back(static_cast<std::uint8_t>(d));
            }
            bit >>= 1;
            covered += t.length;
            const auto gain =
                static_cast<std::ptrdiff_t>(covered) - static_cast<std::ptrdiff_t>(stream.size());
            if (gain > s.bestGain) {
                s.bestGain = gain;
                s.bestCovered = covered;
                s.bestStream = stream.size();
            }
        }
    });
    return s;
}

} // namespace

std::optional<std::vector<std::uint8_t>> compressCode(std::span<const std::uint8_t> data,
                                                      const CodeOptions& options)
{
    if (data.size() > kMaxCodeSize)
        throw Error("Cannot compress code of more than 16 MiB");
    const std::size_t prefix = std::min(options.rawPrefix, data.size());
    const std::size_t bodySize = data.size() - prefix;
    // The decoder reads from the end: parse the body reversed, as forward LZ.
    const std::vector<std::uint8_t> reversed(data.rbegin(),
                                             data.rbegin() + static_cast<std::ptrdiff_t>(bodySize));
    const BackwardStream s = encodeReversed(reversed);

    const std::size_t stored = data.size() - s.bestCovered; // prefix and the uncompressed bottom
    const std::size_t padding = (4 - (stored + s.bestStream) % 4) % 4;
    const std::size_t footerLength = kFooterSize + padding;
    if (s.bestGain <= static_cast<std::ptrdiff_t>(footerLength))
        return std::nullopt;

    std::vector<std::uint8_t> out(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(stored));
    out.insert(out.end(), s.bytes.rend() - static_cast<std::ptrdiff_t>(s.bestStream),
               s.bytes.rend());
    out.insert(out.end(), padding, 0xFF);
    std::uint8_t footer[kFooterSize];
    putLe32(footer, 0,
            static_cast<std::uint32_t>(s.bestStream + footerLength) |
                static_cast<std::uint32_t>(footerLength << 24));
    putLe32(footer, 4,
            static_cast<std::uint32_t>(s.bestGain) - static_cast<std::uint32_t>(footerLength));
    out.insert(out.end(), footer, footer + kFooterSize);
    return out;
}

Arm9CodeState arm9CodeState(std::span<const std::uint8_t> arm9, std::uint32_t ramAddress,
                            const std::string& name)
{
    Arm9CodeState s;
    const auto params = findModuleParams(arm9);
    if (!params || arm9.size() - *params < kModuleParamsSize)
        return s;
    s.hasModuleParams = true;
    s.paramsOffset = *params;
    const std::uint32_t end = le32(arm9, *params + kCompressedEndAt); // +0x14 compressed end
    if (end == 0)
        return s;
    if (end <= ramAddress || end - ramAddress > arm9.size())
        throw Error(quoted(name) + ": the compressed end lies outside the binary");
    s.compressed = true;
    s.compressedEnd = end - ramAddress;
    return s;
}

std::vector<std::uint8_t> decompressArm9(std::span<const std::uint8_t> arm9,
                                         std::uint32_t ramAddress, const std::string& name)
{
    const Arm9CodeState s = arm9CodeState(arm9, ramAddress, name);
    if (!s.compressed)
        return {arm9.begin(), arm9.end()};
    std::vector<std::uint8_t> out = decompressCode(arm9.first(s.compressedEnd), name);
    out.insert(out.end(), arm9.begin() + static_cast<std::ptrdiff_t>(s.compressedEnd), arm9.end());
    // Found again in the output: the parameters normally lie in the part stored as it is, but the
    // footer decides that, not the finder.
    if (const auto params = findModuleParams(out);
        params && out.size() - *params >= kModuleParamsSize)
        putLe32(out, *params + kCompressedEndAt, 0);
    return out;
}

std::vector<std::uint8_t> compressArm9(std::span<const std::uint8_t> arm9, std::uint32_t ramAddress,
                                       const std::string& name)
{
    const Arm9CodeState s = arm9CodeState(arm9, ramAddress, name);
    if (!s.hasModuleParams)
        throw Error(quoted(name) + " has no module parameters; it cannot be compressed");
    if (s.compressed)
        throw Error(quoted(name) + " is already compressed");
    CodeOptions options;
    options.rawPrefix = std::max(kArm9RawPrefix, s.paramsOffset + kModuleParamsSize);
    auto packed = compressCode(arm9, options);
    if (!packed)
        return {arm9.begin(), arm9.end()};
    const std::uint64_t end = std::uint64_t{ramAddress} + packed->size();
    if (end > 0xFFFFFFFF)
        throw Error(quoted(name) + ": the compressed end lies outside the address space");
    putLe32(*packed, s.paramsOffset + kCompressedEndAt, static_cast<std::uint32_t>(end));
    return std::move(*packed);
}

OverlayCompression overlayCompression(std::uint32_t word)
{
    return {(word & 0x01000000) != 0, word & 0xFFFFFF};
}

bool hasCodeFooter(std::span<const std::uint8_t> file)
{
    const std::size_t size = file.size();
    if (size < kFooterSize)
        return false;
    const std::uint32_t word = le32(file, size - 8); // end-8 region length, footer length
    const std::size_t regionLength = word & 0xFFFFFF;
    const std::size_t footerLength = word >> 24;
    const std::uint64_t extra = le32(file, size - 4); // end-4 extra size
    return extra != 0 && footerLength >= kFooterSize && footerLength <= regionLength &&
           regionLength <= size && size + extra <= kMaxCodeSize &&
           regionLength + extra <= 9 * static_cast<std::uint64_t>(regionLength - footerLength);
}

} // namespace cartscope::core
