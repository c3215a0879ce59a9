#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Sampled sound: streams (STRM), single waves (SWAV) and the waves of a wave archive (SWAR),
// decoded to PCM and written as RIFF WAVE files.
namespace cartscope::core {

enum class WaveEncoding { Pcm8 = 0, Pcm16 = 1, ImaAdpcm = 2 };

struct PcmLoop {
    std::uint64_t start = 0; // first frame of the loop
    std::uint64_t end = 0;   // one past its last frame
};

// Decoded sound, ready for a WAV file: 8-bit unsigned (from PCM8) or 16-bit signed frames,
// channels interleaved, little-endian.
struct PcmSound {
    WaveEncoding encoding = WaveEncoding::Pcm16; // what the file held
    int channels = 1;
    std::uint32_t rate = 0;
    int bits = 16;
    std::uint64_t frames = 0;
    std::optional<PcmLoop> loop;
    std::vector<std::uint8_t> data;
};

// Decodes one IMA-ADPCM block the way the console does: a 4-byte header (initial sample,
// step index, clamped to 0..88), then 4-bit codes, low nibble first; each sample is clamped to
// -0x7FFF..0x7FFF. Writes `count` samples to `out` every `stride` places; the block must hold
// them (4 + ceil(count / 2) bytes).
void decodeImaAdpcm(std::span<const std::uint8_t> block, std::size_t count, std::int16_t* out,
                    std::size_t stride = 1);

// Where a decode of one IMA-ADPCM block stands: the next sample's index in the block and the
// decoder's state before it. Going on from it gives the samples a decode from the block's start
// gives, without decoding the ones before again.
struct AdpcmCursor {
    std::size_t at = 0;
    int sample = 0;
    int index = 0;
};
// The cursor at the start of a block (its header read).
AdpcmCursor adpcmStart(std::span<const std::uint8_t> block);
// Decodes `count` samples from the cursor on, advancing it; `out` null only steps over them.
// The block must hold them.
void decodeImaAdpcmFrom(std::span<const std::uint8_t> block, AdpcmCursor& cursor, std::size_t count,
                        std::int16_t* out, std::size_t stride = 1);

// A wave of a wave archive, or the DATA of an SWAV file: the 12-byte information (encoding,
// loop flag, rate, loop start and loop length in 32-bit words, the loop start counting the
// ADPCM header) and the samples. Throws "\"%s\" declares N samples but holds M" (with `label`)
// when the counts run past the bytes.
PcmSound decodeWave(std::span<const std::uint8_t> wave, const std::string& label);

// A whole SWAV file ("SWAV", a DATA block at 0x10).
PcmSound decodeSwav(std::span<const std::uint8_t> file, const std::string& label);

// A whole STRM file (a HEAD block at 0x10, the blocks of every channel interleaved in DATA).
PcmSound decodeStrm(std::span<const std::uint8_t> file, const std::string& label);

// An STRM file's HEAD, every count checked against the file's bytes: each block of each channel
// lies inside the data and holds its declared samples, and the declared frames are held.
struct StrmLayout {
    WaveEncoding encoding = WaveEncoding::Pcm16;
    int channels = 1;
    std::uint32_t rate = 0;
    std::uint64_t frames = 0;
    std::optional<PcmLoop> loop;
    std::uint64_t dataAt = 0;
    std::uint64_t blocks = 0, blockLength = 0, blockSamples = 0, lastLength = 0, lastSamples = 0;
};
StrmLayout strmLayout(std::span<const std::uint8_t> file, const std::string& label);

// The bytes of block `block` of one channel (the layout came from strmLayout over `file`).
std::span<const std::uint8_t> strmBlock(std::span<const std::uint8_t> file, const StrmLayout& l,
                                        std::uint64_t block, int channel);

// The RIFF WAVE file: a "fmt " chunk, a "smpl" chunk with one forward loop when the sound
// loops, and the data.
std::vector<std::uint8_t> wavFile(const PcmSound& sound);

// The format line: "STRM, IMA-ADPCM, stereo, 32728 Hz, 1:42, loops at 0:08" (`kind` first;
// "mono" for one channel; no loop part when the sound does not loop). A wave ("SWAV", mostly
// shorter than a second) gives its length and loop start in seconds to the hundredth instead:
// "SWAV, PCM8, mono, 16384 Hz, 0.35 s, loops at 0.10 s".
std::string describeSound(const std::string& kind, const PcmSound& sound);

// "PCM8", "PCM16", "IMA-ADPCM".
const char* encodingName(WaveEncoding encoding);

} // namespace cartscope::core
