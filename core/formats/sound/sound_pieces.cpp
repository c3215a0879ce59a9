#include "core/formats/sound/sound_pieces.h"

#include <algorithm>

#include "core/base/le.h"

namespace cartscope::core {

SoundPieces SoundPieces::fromStrm(std::vector<std::uint8_t> file, const std::string& label)
{
    SoundPieces p;
    p.m_layout = strmLayout(file, label);
    p.m_file = std::move(file);
    return p;
}

SoundPieces SoundPieces::fromSound(const PcmSound& sound)
{
    SoundPieces p;
    p.m_layout.encoding = sound.encoding;
    p.m_layout.channels = sound.channels;
    p.m_layout.rate = sound.rate;
    p.m_layout.frames = sound.frames;
    p.m_layout.loop = sound.loop;
    const std::size_t n = static_cast<std::size_t>(sound.frames) *
                          static_cast<std::size_t>(std::max(sound.channels, 1));
    p.m_decoded.resize(n);
    // PCM8 was stored unsigned for WAV: its sign bit flips back.
    for (std::size_t i = 0; i < n; ++i)
        p.m_decoded[i] = sound.bits == 8 ? static_cast<std::int16_t>((sound.data[i] ^ 0x80) << 8)
                                         : static_cast<std::int16_t>(le16(sound.data, 2 * i));
    return p;
}

std::size_t SoundPieces::read(std::uint64_t first, std::span<std::int16_t> out) const
{
    Cursor cursor;
    return read(first, out, cursor);
}

std::size_t SoundPieces::read(std::uint64_t first, std::span<std::int16_t> out,
                              Cursor& cursor) const
{
    const auto ch = static_cast<std::size_t>(m_layout.channels);
    if (first >= m_layout.frames || out.size() < ch)
        return 0;
    if (m_file.empty()) {
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(out.size() / ch, m_layout.frames - first));
        std::copy_n(m_decoded.begin() + static_cast<std::ptrdiff_t>(first * ch), n * ch,
                    out.begin());
        return n;
    }
    return readStream(first, out, cursor);
}

// The asked frames of one block of every channel. PCM is read where it lies; IMA-ADPCM is
// decoded on from the cursor (each code depends on the ones before it), from the block's start
// when the cursor is elsewhere, straight into `out`: nothing past the asked frames is decoded
// or held, and reading a block through costs one decode of it.
std::size_t SoundPieces::readStream(std::uint64_t first, std::span<std::int16_t> out,
                                    Cursor& cursor) const
{
    const StrmLayout& l = m_layout;
    const auto ch = static_cast<std::size_t>(l.channels);
    // Every block but the last holds blockSamples frames; with none, the last holds them all.
    const std::uint64_t block =
        l.blockSamples ? std::min(first / l.blockSamples, l.blocks - 1) : l.blocks - 1;
    const std::uint64_t blockFirst = block * l.blockSamples;
    const bool last = block + 1 == l.blocks;
    const std::uint64_t inBlock =
        std::min(last ? l.lastSamples : l.blockSamples, l.frames - blockFirst);
    if (first - blockFirst >= inBlock)
        return 0;
    const auto skip = static_cast<std::size_t>(first - blockFirst);
    const std::size_t n = std::min(static_cast<std::size_t>(inBlock) - skip, out.size() / ch);
    if (l.encoding == WaveEncoding::ImaAdpcm &&
        (cursor.block != block || cursor.channels.size() != ch || cursor.channels[0].at > skip)) {
        cursor.block = block;
        cursor.channels.clear();
        for (std::size_t c = 0; c < ch; ++c)
            cursor.channels.push_back(adpcmStart(strmBlock(m_file, l, block, static_cast<int>(c))));
    }
    for (std::size_t c = 0; c < ch; ++c) {
        const std::span<const std::uint8_t> bytes =
            strmBlock(m_file, l, block, static_cast<int>(c));
        std::int16_t* to = out.data() + c;
        switch (l.encoding) {
        case WaveEncoding::Pcm8:
            for (std::size_t i = 0; i < n; ++i)
                to[i * ch] =
                    static_cast<std::int16_t>(static_cast<std::int8_t>(bytes[skip + i]) * 256);
            break;
        case WaveEncoding::Pcm16:
            for (std::size_t i = 0; i < n; ++i)
                to[i * ch] = static_cast<std::int16_t>(le16(bytes, 2 * (skip + i)));
            break;
        case WaveEncoding::ImaAdpcm: {
            AdpcmCursor& at = cursor.channels[c];
            decodeImaAdpcmFrom(bytes, at, skip - at.at, nullptr); // steps to `first`
            decodeImaAdpcmFrom(bytes, at, n, to, ch);
            break;
        }
        }
    }
    return n;
}

} // namespace cartscope::core
