#include "core/compress/stream_decode.h"

#include <algorithm>
#include <cstring>

namespace cartscope::core::detail {

namespace {

// Copies `length` bytes from `distance` back. Eight bytes at a time when the distance allows
// (up to 7 past the end, into the slack); each block is read before the bytes it overlaps are
// written.
[[gnu::always_inline]] inline void copyBack(std::uint8_t* const to, std::size_t distance,
                                            std::size_t length)
{
    const std::uint8_t* const from = to - distance;
    if (distance >= 8) {
        for (std::size_t i = 0; i < length; i += 8)
            std::memcpy(to + i, from + i, 8);
    } else {
        for (std::size_t i = 0; i < length; ++i)
            to[i] = from[i];
    }
}

} // namespace

WindowedOutput::WindowedOutput(std::uint64_t target, const ChunkSink& sink)
    : m_target(target), m_sink(sink)
{
    // A small output never slides: it needs only its own size.
    const auto size = static_cast<std::size_t>(
        std::min<std::uint64_t>(target, kWindow + kChunk + kMaxToken) + kSlack);
    m_buf.reset(new std::uint8_t[size]);
}

void WindowedOutput::slide()
{
    m_sink({m_buf.get() + m_flushed, m_pos - m_flushed});
    std::memmove(m_buf.get(), m_buf.get() + m_pos - kWindow, kWindow);
    m_start += m_pos - kWindow;
    m_pos = kWindow;
    m_flushed = kWindow;
}

void WindowedOutput::finish()
{
    if (m_pos > m_flushed)
        m_sink({m_buf.get() + m_flushed, m_pos - m_flushed});
    m_flushed = m_pos;
}

void WindowedOutput::copy(std::size_t distance, std::size_t length)
{
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, remaining()));
    copyBack(m_buf.get() + m_pos, distance, length);
    m_pos += length;
}

void WindowedOutput::fill(std::uint8_t b, std::size_t length)
{
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, remaining()));
    std::memset(m_buf.get() + m_pos, b, length);
    m_pos += length;
}

void WindowedOutput::append(const std::uint8_t* from, std::size_t length)
{
    std::memcpy(m_buf.get() + m_pos, from, length);
    m_pos += length;
}

namespace {

// One back-reference of LZ10 or LZ11 at `in`: its length and distance, and `in` moved past it.
// False, with nothing moved, when the input ends inside it.
template <bool kLz11>
[[gnu::always_inline]] inline bool readReference(const std::uint8_t*& in,
                                                 const std::uint8_t* const end, std::size_t& length,
                                                 std::size_t& distance)
{
    if (end - in < 2)
        return false;
    const unsigned b0 = in[0];
    const unsigned b1 = in[1];
    if (!kLz11 || b0 >= 0x20) {
        // LZ10: 4-bit length + 3; LZ11's short form: 4-bit length + 1 (2..15 -> 3..16)
        length = (b0 >> 4) + (kLz11 ? 1 : 3);
        distance = (((b0 & 0xF) << 8) | b1) + 1;
        in += 2;
    } else if (b0 < 0x10) {
        // 8-bit length + 17
        if (end - in < 3)
            return false;
        length = (((b0 & 0xF) << 4) | (b1 >> 4)) + 0x11;
        distance = (((b1 & 0xF) << 8) | in[2]) + 1;
        in += 3;
    } else {
        // 16-bit length + 273
        if (end - in < 4)
            return false;
        length = (((b0 & 0xF) << 12) | (b1 << 4) | (in[2] >> 4)) + 0x111;
        distance = (((in[2] & 0xF) << 8) | in[3]) + 1;
        in += 4;
    }
    return true;
}

// LZ10 and LZ11: a flag byte (most significant bit first) says per token whether a literal byte
// or a back-reference follows. Every pass of the loops reads input or ends, so the input bounds
// the work. The output position and the bytes left live in locals, synced at a slide and at the
// end.
template <bool kLz11> DecodeEnd decodeLz(std::span<const std::uint8_t> data, WindowedOutput& out)
{
    constexpr std::size_t kSlideAt = WindowedOutput::kWindow + WindowedOutput::kChunk;
    const std::uint8_t* in = data.data();
    const std::uint8_t* const end = in + data.size();
    std::uint8_t* buf = out.buffer();
    std::size_t pos = out.position();
    std::uint64_t made = out.produced();
    std::uint64_t left = out.remaining();
    DecodeEnd result = DecodeEnd::Done;
    while (left > 0 && result == DecodeEnd::Done) {
        if (in == end) {
            result = DecodeEnd::InputEnded;
            break;
        }
        unsigned flags = *in++;
        for (int bit = 0; bit < 8 && left > 0; ++bit, flags <<= 1) {
            if (pos >= kSlideAt) {
                out.setPosition(pos);
                out.slide();
                pos = out.position();
            }
            if (!(flags & 0x80)) {
                if (in == end) {
                    result = DecodeEnd::InputEnded;
                    break;
                }
                buf[pos++] = *in++;
                ++made;
                --left;
                continue;
            }
            std::size_t length = 0;
            std::size_t distance = 0;
            if (!readReference<kLz11>(in, end, length, distance)) {
                result = DecodeEnd::InputEnded;
                break;
            }
            if (distance > made) {
                result = DecodeEnd::ReferenceBeforeStart;
                break;
            }
            if (length > left)
                length = static_cast<std::size_t>(left);
            copyBack(buf + pos, distance, length);
            pos += length;
            made += length;
            left -= length;
        }
    }
    out.setPosition(pos);
    return result;
}

// RLE: a flag byte, then a run (bit 7 set: one byte, length + 3) or literal bytes (length + 1).
DecodeEnd decodeRle(std::span<const std::uint8_t> data, WindowedOutput& out)
{
    std::size_t at = 0;
    while (!out.full()) {
        out.makeRoom();
        if (at == data.size())
            return DecodeEnd::InputEnded;
        const unsigned flag = data[at++];
        if (flag & 0x80) {
            if (at == data.size())
                return DecodeEnd::InputEnded;
            out.fill(data[at++], (flag & 0x7F) + 3);
        } else {
            const std::size_t length = static_cast<std::size_t>(
                std::min<std::uint64_t>((flag & 0x7F) + 1, out.remaining()));
            if (data.size() - at < length)
                return DecodeEnd::InputEnded;
            out.append(data.data() + at, length);
            at += length;
        }
    }
    return DecodeEnd::Done;
}

// Huffman: a tree-size byte, the tree (root first), then 32-bit words read from bit 31 down; each
// bit steps to child 0 or 1, and a child marked as data gives one unit of `bits` (4-bit units
// fill a byte low half first). Positions are counted from the tree-size byte, which the format
// places at an even address (a child pair starts at (node AND NOT 1) + offset * 2 + 2).
DecodeEnd decodeHuffman(std::span<const std::uint8_t> data, unsigned bits, WindowedOutput& out)
{
    if (data.empty())
        return DecodeEnd::InputEnded;
    const std::size_t streamStart = (static_cast<std::size_t>(data[0]) + 1) * 2;
    if (streamStart > data.size())
        return DecodeEnd::InputEnded;
    const std::size_t root = 1;
    std::size_t node = root;
    unsigned pending = 0; // a low nibble waiting for its high half
    bool half = false;
    std::size_t at = streamStart;
    while (!out.full()) {
        if (data.size() - at < 4)
            return DecodeEnd::InputEnded;
        const std::uint32_t word = static_cast<std::uint32_t>(data[at]) |
                                   (static_cast<std::uint32_t>(data[at + 1]) << 8) |
                                   (static_cast<std::uint32_t>(data[at + 2]) << 16) |
                                   (static_cast<std::uint32_t>(data[at + 3]) << 24);
        at += 4;
        out.makeRoom(); // a word makes at most 32 bytes
        for (int b = 31; b >= 0 && !out.full(); --b) {
            const unsigned bit = (word >> b) & 1;
            const unsigned n = data[node];
            const std::size_t child = (node & ~std::size_t{1}) + (n & 0x3F) * 2 + 2 + bit;
            if (child >= streamStart)
                return DecodeEnd::BadTree;
            if (!(n & (bit ? 0x40 : 0x80))) {
                node = child;
                continue;
            }
            node = root;
            const unsigned value = data[child] & ((1u << bits) - 1);
            if (bits == 8) {
                out.put(static_cast<std::uint8_t>(value));
            } else if (!half) {
                pending = value;
                half = true;
            } else {
                out.put(static_cast<std::uint8_t>(pending | (value << 4)));
                half = false;
            }
        }
    }
    return DecodeEnd::Done;
}

} // namespace

DecodeEnd decodeStream(Codec codec, std::span<const std::uint8_t> data, WindowedOutput& out)
{
    DecodeEnd end = DecodeEnd::Done;
    switch (codec) {
    case Codec::Lz10:
    case Codec::Lz77Lz10:
        end = decodeLz<false>(data, out);
        break;
    case Codec::Lz11:
        end = decodeLz<true>(data, out);
        break;
    case Codec::Huffman4:
        end = decodeHuffman(data, 4, out);
        break;
    case Codec::Huffman8:
        end = decodeHuffman(data, 8, out);
        break;
    case Codec::Rle:
        end = decodeRle(data, out);
        break;
    }
    return end;
}

} // namespace cartscope::core::detail
