#include "core/compress/encode.h"

#include <algorithm>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/compress/huffman_encode.h"
#include "core/compress/lz_parse.h"

namespace cartscope::core {

namespace {

void putHeader(std::vector<std::uint8_t>& out, std::uint8_t type, std::size_t size)
{
    out.push_back(type);
    std::uint8_t b[4];
    if (size <= 0xFFFFFF) {
        putLe32(b, 0, static_cast<std::uint32_t>(size));
        out.insert(out.end(), b, b + 3);
        return;
    }
    out.insert(out.end(), {0, 0, 0});
    putLe32(b, 0, static_cast<std::uint32_t>(size));
    out.insert(out.end(), b, b + 4);
}

// Flag bytes (most significant bit first) each followed by the tokens of its 8 bits.
class FlagWriter {
public:
    explicit FlagWriter(std::vector<std::uint8_t>& out) : m_out(out) {}

    void literal(std::uint8_t b)
    {
        next(false);
        m_out.push_back(b);
    }
    void reference() { next(true); }

private:
    void next(bool isReference)
    {
        if (m_bit == 0) {
            m_flagAt = m_out.size();
            m_out.push_back(0);
            m_bit = 0x80;
        }
        if (isReference)
            m_out[m_flagAt] |= m_bit;
        m_bit >>= 1;
    }

    std::vector<std::uint8_t>& m_out;
    std::size_t m_flagAt = 0;
    unsigned m_bit = 0;
};

std::vector<std::uint8_t> compressLz(std::span<const std::uint8_t> data, bool lz11,
                                     const EncodeOptions& options)
{
    std::vector<std::uint8_t> out;
    out.reserve(data.size() / 2 + 16);
    putHeader(out, lz11 ? 0x11 : 0x10, data.size());
    detail::LzRules rules;
    rules.minDistance = options.vramSafe ? 2 : 1;
    rules.maxLength = lz11 ? 65808 : 18;
    rules.lz11Lengths = lz11;
    FlagWriter flags(out);
    std::size_t at = 0;
    detail::lzParse(data, rules, [&](std::span<const detail::LzToken> tokens) {
        for (const detail::LzToken& t : tokens) {
            if (t.distance == 0) {
                flags.literal(data[at]);
                at += 1;
                continue;
            }
            flags.reference();
            const std::uint32_t d = t.distance - 1;
            const std::uint32_t n = t.length;
            if (!lz11) {
                out.push_back(static_cast<std::uint8_t>(((n - 3) << 4) | (d >> 8)));
            } else if (n <= 16) {
                out.push_back(static_cast<std::uint8_t>(((n - 1) << 4) | (d >> 8)));
            } else if (n <= 272) {
                const std::uint32_t v = n - 0x11;
                out.push_back(static_cast<std::uint8_t>(v >> 4));
                out.push_back(static_cast<std::uint8_t>(((v & 0xF) << 4) | (d >> 8)));
            } else {
                const std::uint32_t v = n - 0x111;
                out.push_back(static_cast<std::uint8_t>(0x10 | (v >> 12)));
                out.push_back(static_cast<std::uint8_t>(v >> 4));
                out.push_back(static_cast<std::uint8_t>(((v & 0xF) << 4) | (d >> 8)));
            }
            out.push_back(static_cast<std::uint8_t>(d));
            at += n;
        }
    });
    return out;
}

// Runs of 3 to 130 equal bytes become 2-byte runs; the bytes between go as literal blocks of up
// to 128.
std::vector<std::uint8_t> compressRle(std::span<const std::uint8_t> data)
{
    std::vector<std::uint8_t> out;
    out.reserve(data.size() + data.size() / 128 + 16);
    putHeader(out, 0x30, data.size());
    std::size_t literalStart = 0;
    const auto flushLiterals = [&](std::size_t end) {
        while (literalStart < end) {
            const std::size_t n = std::min<std::size_t>(end - literalStart, 128);
            out.push_back(static_cast<std::uint8_t>(n - 1));
            out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(literalStart),
                       data.begin() + static_cast<std::ptrdiff_t>(literalStart + n));
            literalStart += n;
        }
    };
    std::size_t at = 0;
    while (at < data.size()) {
        std::size_t run = 1;
        while (run < 130 && at + run < data.size() && data[at + run] == data[at])
            ++run;
        if (run >= 3) {
            flushLiterals(at);
            out.push_back(static_cast<std::uint8_t>(0x80 | (run - 3)));
            out.push_back(data[at]);
            at += run;
            literalStart = at;
        } else {
            at += run;
        }
    }
    flushLiterals(data.size());
    return out;
}

} // namespace

std::vector<std::uint8_t> compress(Codec codec, std::span<const std::uint8_t> data,
                                   const EncodeOptions& options)
{
    if (data.size() > kMaxDeclared32)
        throw Error("Cannot compress more than 64 MiB");
    switch (codec) {
    case Codec::Lz10:
        return compressLz(data, false, options);
    case Codec::Lz11:
        return compressLz(data, true, options);
    case Codec::Lz77Lz10: {
        std::vector<std::uint8_t> out{'L', 'Z', '7', '7'};
        const std::vector<std::uint8_t> lz = compressLz(data, false, options);
        out.insert(out.end(), lz.begin(), lz.end());
        return out;
    }
    case Codec::Rle:
        return compressRle(data);
    case Codec::Huffman4:
        return detail::compressHuffman(data, 4);
    case Codec::Huffman8:
        return detail::compressHuffman(data, 8);
    }
    return {};
}

} // namespace cartscope::core
