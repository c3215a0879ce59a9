#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/formats/sound/wave.h"

// Sound decoded a piece at a time to signed 16-bit frames, for playing: a long stream is held as
// its file (a quarter of its decoded size for IMA-ADPCM) and decoded block by block as it plays,
// never whole.
namespace cartscope::core {

class SoundPieces {
public:
    // A whole STRM file, checked as decodeStrm checks it; the bytes are held.
    static SoundPieces fromStrm(std::vector<std::uint8_t> file, const std::string& label);
    // A sound decoded whole (a wave: short), held as 16-bit frames.
    static SoundPieces fromSound(const PcmSound& sound);

    int channels() const { return m_layout.channels; }
    std::uint32_t rate() const { return m_layout.rate; }
    std::uint64_t frames() const { return m_layout.frames; }
    const std::optional<PcmLoop>& loop() const { return m_layout.loop; }
    // The STRM file, when the sound is one (for an export); empty otherwise.
    const std::vector<std::uint8_t>& file() const { return m_file; }

    // Where the last read of an IMA-ADPCM stream stopped, kept by one reader between reads so
    // that reading on through a block does not decode it from its start each time.
    struct Cursor {
        std::uint64_t block = ~std::uint64_t{0};
        std::vector<AdpcmCursor> channels;
    };

    // Decodes frames from `first` on into `out` (channels interleaved): at most
    // out.size() / channels() frames, never past the end of the block `first` lies in or the
    // sound's end. Returns the frames written (0 at or past the end). With a cursor, an
    // IMA-ADPCM block is decoded on from where the cursor's last read stopped when `first` is
    // at or after it; otherwise from the block's start.
    std::size_t read(std::uint64_t first, std::span<std::int16_t> out) const;
    std::size_t read(std::uint64_t first, std::span<std::int16_t> out, Cursor& cursor) const;

private:
    SoundPieces() = default;
    std::size_t readStream(std::uint64_t first, std::span<std::int16_t> out, Cursor& cursor) const;

    StrmLayout m_layout;
    std::vector<std::uint8_t> m_file;    // an STRM file
    std::vector<std::int16_t> m_decoded; // or the frames themselves
};

} // namespace cartscope::core
