// Sampled sound to PCM.
//
// Wave information (12 bytes, SWAV DATA at 0x18 and each wave of a wave archive): +0 encoding,
// +1 loop flag, +2 sample rate, +4 timer, +6 loop start and +8 loop length, both in 32-bit words
// of sample data (for IMA-ADPCM the start counts the 4-byte header), then the data.
//
// STRM HEAD (at 0x10): +0x18 encoding, +0x19 loop flag, +0x1A channels, +0x1C rate, +0x20 loop
// start (samples), +0x24 sample count, +0x28 data offset, +0x2C block count, +0x30 block length
// (bytes per channel), +0x34 samples per block, +0x38 last block's length, +0x3C its samples.
// The data holds block 0 of every channel, then block 1 of every channel, and so on; each
// IMA-ADPCM block starts with its own header.
//
// Every declared count is checked against the bytes before anything is allocated: the output is
// never more than four times the input.
#include "core/formats/sound/wave.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/base/error.h"
#include "core/base/le.h"

namespace cartscope::core {

namespace {

constexpr std::int16_t kStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int kIndexTable[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
constexpr std::size_t kWaveInfoSize = 12;
constexpr std::size_t kAdpcmHeader = 4;
constexpr std::size_t kStrmHeadEnd = 0x40;

std::string declares(const std::string& label, std::uint64_t declared, std::uint64_t held)
{
    return "\"" + label + "\" declares " + std::to_string(declared) + " samples but holds " +
           std::to_string(held);
}

// Samples that `bytes` of an encoding hold.
std::uint64_t samplesIn(WaveEncoding e, std::uint64_t bytes)
{
    switch (e) {
    case WaveEncoding::Pcm8:
        return bytes;
    case WaveEncoding::Pcm16:
        return bytes / 2;
    case WaveEncoding::ImaAdpcm:
        return bytes > kAdpcmHeader ? (bytes - kAdpcmHeader) * 2 : 0;
    }
    return 0;
}

WaveEncoding encodingOf(std::uint8_t v, const std::string& label)
{
    if (v > 2)
        throw Error("\"" + label + "\" has an unknown sample encoding " + std::to_string(v));
    return static_cast<WaveEncoding>(v);
}

void prepare(PcmSound& s, std::uint64_t frames)
{
    s.bits = s.encoding == WaveEncoding::Pcm8 ? 8 : 16;
    s.frames = frames;
    s.data.assign(static_cast<std::size_t>(frames * static_cast<std::uint64_t>(s.channels) *
                                           static_cast<std::uint64_t>(s.bits / 8)),
                  0);
}

// Decodes `count` samples of one channel's block into frame `first` of `s`.
void decodeBlock(PcmSound& s, int channel, std::span<const std::uint8_t> block, std::uint64_t first,
                 std::size_t count)
{
    const auto ch = static_cast<std::size_t>(s.channels);
    if (s.encoding == WaveEncoding::Pcm8) {
        std::uint8_t* out = s.data.data() + first * ch + static_cast<std::size_t>(channel);
        // DS PCM8 is signed; 8-bit WAV is unsigned: flipping the sign bit converts it.
        for (std::size_t i = 0; i < count; ++i)
            out[i * ch] = static_cast<std::uint8_t>(block[i] ^ 0x80);
        return;
    }
    std::uint8_t* out = s.data.data() + (first * ch + static_cast<std::size_t>(channel)) * 2;
    if (s.encoding == WaveEncoding::Pcm16) {
        for (std::size_t i = 0; i < count; ++i) {
            out[i * ch * 2] = block[2 * i];
            out[i * ch * 2 + 1] = block[2 * i + 1];
        }
        return;
    }
    std::vector<std::int16_t> samples(count);
    decodeImaAdpcm(block, count, samples.data());
    for (std::size_t i = 0; i < count; ++i)
        putLe16(std::span(out + i * ch * 2, 2), 0, static_cast<std::uint16_t>(samples[i]));
}

void putTag(std::vector<std::uint8_t>& b, const char* tag)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(tag[i]));
}

void put32(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    const std::size_t at = b.size();
    b.resize(at + 4);
    putLe32(b, at, v);
}

void put16(std::vector<std::uint8_t>& b, std::uint16_t v)
{
    const std::size_t at = b.size();
    b.resize(at + 2);
    putLe16(b, at, v);
}

} // namespace

namespace {

// Per step index and the code's three magnitude bits: the difference the console adds (its
// shifts of the step, summed) and the next step index (clamped to 0..88). Looked up, they take
// the shifts, the bit tests and the index clamp out of the per-sample work.
struct AdpcmTables {
    std::int32_t diff[89][8];
    std::uint8_t next[89][8];
};

constexpr AdpcmTables makeAdpcmTables()
{
    AdpcmTables t{};
    for (int index = 0; index < 89; ++index) {
        const int step = kStepTable[index];
        for (int code = 0; code < 8; ++code) {
            int diff = step >> 3;
            if (code & 1)
                diff += step >> 2;
            if (code & 2)
                diff += step >> 1;
            if (code & 4)
                diff += step;
            t.diff[index][code] = diff;
            t.next[index][code] =
                static_cast<std::uint8_t>(std::clamp(index + kIndexTable[code], 0, 88));
        }
    }
    return t;
}

constexpr AdpcmTables kAdpcm = makeAdpcmTables();

} // namespace

AdpcmCursor adpcmStart(std::span<const std::uint8_t> block)
{
    AdpcmCursor cursor;
    cursor.sample =
        std::clamp(static_cast<int>(static_cast<std::int16_t>(le16(block, 0))), -0x7FFF, 0x7FFF);
    cursor.index = std::min<int>(block[2] & 0x7F, 88);
    return cursor;
}

void decodeImaAdpcmFrom(std::span<const std::uint8_t> block, AdpcmCursor& cursor, std::size_t count,
                        std::int16_t* out, std::size_t stride)
{
    int sample = cursor.sample;
    int index = cursor.index;
    const std::uint8_t* codes = block.data() + kAdpcmHeader;
    // The sign bit negates the difference without a branch (codes are random in real data, so a
    // branch guesses wrong half the time); sample - diff can never pass +0x7FFF, nor
    // sample + diff -0x7FFF, so one clamp to both bounds is the console's clamp.
    const auto next = [&](int code) {
        const int diff = kAdpcm.diff[index][code & 7];
        const int negate = -(code >> 3);
        sample = std::clamp(sample + ((diff ^ negate) - negate), -0x7FFF, 0x7FFF);
        index = kAdpcm.next[index][code & 7];
        return static_cast<std::int16_t>(sample);
    };
    std::size_t i = cursor.at;
    const std::size_t end = i + count;
    std::int16_t* to = out;
    const auto put = [&](std::int16_t v) {
        if (to) {
            *to = v;
            to += stride;
        }
    };
    if (i < end && (i & 1) != 0) { // a high nibble first
        put(next(codes[i >> 1] >> 4));
        ++i;
    }
    if (to) {
        for (; i + 1 < end; i += 2) {
            const int byte = codes[i >> 1];
            to[0] = next(byte & 0xF); // low nibble first
            to[stride] = next(byte >> 4);
            to += 2 * stride;
        }
    } else {
        for (; i + 1 < end; i += 2) {
            const int byte = codes[i >> 1];
            next(byte & 0xF);
            next(byte >> 4);
        }
    }
    if (i < end) {
        put(next(codes[i >> 1] & 0xF));
        ++i;
    }
    cursor = {i, sample, index};
}

void decodeImaAdpcm(std::span<const std::uint8_t> block, std::size_t count, std::int16_t* out,
                    std::size_t stride)
{
    AdpcmCursor cursor = adpcmStart(block);
    decodeImaAdpcmFrom(block, cursor, count, out, stride);
}

PcmSound decodeWave(std::span<const std::uint8_t> wave, const std::string& label)
{
    if (wave.size() < kWaveInfoSize)
        throw Error("\"" + label + "\" is cut short before its wave information");
    PcmSound s;
    s.encoding = encodingOf(wave[0], label); // +0 encoding
    const bool loops = wave[1] != 0;         // +1 loop flag
    s.rate = le16(wave, 2);                  // +2 sample rate
    const std::uint64_t loopWords = le16(wave, 6);
    const std::uint64_t lengthWords = le32(wave, 8);
    const std::span<const std::uint8_t> data = wave.subspan(kWaveInfoSize);
    const std::uint64_t bytes = (loopWords + lengthWords) * 4;
    const std::uint64_t frames = samplesIn(s.encoding, bytes);
    if (bytes > data.size())
        throw Error(declares(label, frames, samplesIn(s.encoding, data.size())));
    prepare(s, frames);
    if (frames)
        decodeBlock(s, 0, data, 0, static_cast<std::size_t>(frames));
    if (loops) {
        // The loop start counts words, the ADPCM header among them.
        const std::uint64_t loopBytes = loopWords * 4;
        const std::uint64_t start =
            s.encoding == WaveEncoding::ImaAdpcm
                ? (loopBytes > kAdpcmHeader ? (loopBytes - kAdpcmHeader) * 2 : 0)
                : samplesIn(s.encoding, loopBytes);
        if (start < frames)
            s.loop = PcmLoop{start, frames};
    }
    return s;
}

PcmSound decodeSwav(std::span<const std::uint8_t> file, const std::string& label)
{
    constexpr std::size_t kInfoAt = 0x18;
    if (file.size() < kInfoAt || std::memcmp(file.data(), "SWAV", 4) != 0 ||
        std::memcmp(file.data() + 0x10, "DATA", 4) != 0)
        throw Error("\"" + label + "\" is not an SWAV wave");
    return decodeWave(file.subspan(kInfoAt), label);
}

StrmLayout strmLayout(std::span<const std::uint8_t> file, const std::string& label)
{
    if (file.size() < kStrmHeadEnd || std::memcmp(file.data(), "STRM", 4) != 0 ||
        std::memcmp(file.data() + 0x10, "HEAD", 4) != 0)
        throw Error("\"" + label + "\" is not an STRM stream");
    StrmLayout l;
    l.encoding = encodingOf(file[0x18], label);
    const bool loops = file[0x19] != 0;
    l.channels = file[0x1A];
    l.rate = le16(file, 0x1C);
    const std::uint64_t loopStart = le32(file, 0x20);
    l.frames = le32(file, 0x24);
    l.dataAt = le32(file, 0x28);
    l.blocks = le32(file, 0x2C);
    l.blockLength = le32(file, 0x30);
    l.blockSamples = le32(file, 0x34);
    l.lastLength = le32(file, 0x38);
    l.lastSamples = le32(file, 0x3C);
    if (l.channels < 1 || l.channels > 2)
        throw Error("\"" + label + "\" has " + std::to_string(l.channels) +
                    " channels (1 or 2 can be converted)");
    if (l.dataAt > file.size())
        throw Error("\"" + label + "\" has its data past the end of the file");
    const std::uint64_t dataSize = file.size() - l.dataAt;
    const auto ch = static_cast<std::uint64_t>(l.channels);
    // Every block of every channel in the data (checked per channel, so nothing overflows),
    // and every block's samples inside its block.
    const std::uint64_t fullBlocks = l.blocks ? l.blocks - 1 : 0;
    const std::uint64_t perChannel = dataSize / ch;
    const bool blocksFit =
        l.blocks == 0 || ((l.blockLength == 0 || fullBlocks <= perChannel / l.blockLength) &&
                          l.lastLength <= perChannel - fullBlocks * l.blockLength);
    if (!blocksFit)
        throw Error(declares(label, l.frames, samplesIn(l.encoding, perChannel)));
    if (l.blockSamples > samplesIn(l.encoding, l.blockLength) ||
        l.lastSamples > samplesIn(l.encoding, l.lastLength))
        throw Error("\"" + label + "\" declares more samples per block than a block holds");
    const std::uint64_t held = l.blocks ? fullBlocks * l.blockSamples + l.lastSamples : 0;
    if (l.frames > held)
        throw Error(declares(label, l.frames, held));
    if (loops && loopStart < l.frames)
        l.loop = PcmLoop{loopStart, l.frames};
    return l;
}

std::span<const std::uint8_t> strmBlock(std::span<const std::uint8_t> file, const StrmLayout& l,
                                        std::uint64_t block, int channel)
{
    const bool last = block + 1 == l.blocks;
    const std::uint64_t length = last ? l.lastLength : l.blockLength;
    // The last block of each channel is as long as the last block is.
    const std::uint64_t at = l.dataAt +
                             block * static_cast<std::uint64_t>(l.channels) * l.blockLength +
                             static_cast<std::uint64_t>(channel) * length;
    return file.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(length));
}

PcmSound decodeStrm(std::span<const std::uint8_t> file, const std::string& label)
{
    const StrmLayout l = strmLayout(file, label);
    PcmSound s;
    s.encoding = l.encoding;
    s.channels = l.channels;
    s.rate = l.rate;
    s.loop = l.loop;
    prepare(s, l.frames);
    std::uint64_t frame = 0;
    // Bounded by the block count, each block inside the data (checked by strmLayout); the
    // frames stop at the declared count.
    for (std::uint64_t b = 0; b < l.blocks && frame < l.frames; ++b) {
        const bool last = b + 1 == l.blocks;
        const std::uint64_t count =
            std::min(last ? l.lastSamples : l.blockSamples, l.frames - frame);
        for (int c = 0; c < l.channels; ++c)
            decodeBlock(s, c, strmBlock(file, l, b, c), frame, static_cast<std::size_t>(count));
        frame += count;
    }
    return s;
}

std::vector<std::uint8_t> wavFile(const PcmSound& s)
{
    const auto blockAlign = static_cast<std::uint16_t>(s.channels * (s.bits / 8));
    const std::size_t smplSize = s.loop ? 60 : 0;
    std::vector<std::uint8_t> b;
    b.reserve(44 + smplSize + 8 + s.data.size() + 1);
    putTag(b, "RIFF");
    put32(b, static_cast<std::uint32_t>(4 + 24 + (smplSize ? 8 + smplSize : 0) + 8 + s.data.size() +
                                        (s.data.size() & 1)));
    putTag(b, "WAVE");
    putTag(b, "fmt ");
    put32(b, 16);
    put16(b, 1); // PCM
    put16(b, static_cast<std::uint16_t>(s.channels));
    put32(b, s.rate);
    put32(b, s.rate * blockAlign);
    put16(b, blockAlign);
    put16(b, static_cast<std::uint16_t>(s.bits));
    if (s.loop) {
        putTag(b, "smpl");
        put32(b, static_cast<std::uint32_t>(smplSize));
        put32(b, 0);                                 // manufacturer
        put32(b, 0);                                 // product
        put32(b, s.rate ? 1000000000u / s.rate : 0); // sample period, nanoseconds
        put32(b, 60);                                // unity note
        put32(b, 0);                                 // pitch fraction
        put32(b, 0);                                 // SMPTE format
        put32(b, 0);                                 // SMPTE offset
        put32(b, 1);                                 // one loop
        put32(b, 0);                                 // no sampler data
        put32(b, 0);                                 // cue point ID
        put32(b, 0);                                 // forward
        put32(b, static_cast<std::uint32_t>(s.loop->start));
        put32(b, static_cast<std::uint32_t>(s.loop->end - 1)); // the last frame played
        put32(b, 0);                                           // fraction
        put32(b, 0);                                           // endless
    }
    putTag(b, "data");
    put32(b, static_cast<std::uint32_t>(s.data.size()));
    b.insert(b.end(), s.data.begin(), s.data.end());
    if (s.data.size() & 1)
        b.push_back(0); // chunks are padded to an even size
    return b;
}

namespace {

// m:ss, seconds rounded down.
std::string minutes(std::uint64_t frames, std::uint32_t rate)
{
    const std::uint64_t seconds = rate ? frames / rate : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
    return text;
}

// s.ss with " s", hundredths rounded down.
std::string seconds(std::uint64_t frames, std::uint32_t rate)
{
    const std::uint64_t hundredths = rate ? frames * 100 / rate : 0;
    char text[40];
    std::snprintf(text, sizeof text, "%llu.%02llu s",
                  static_cast<unsigned long long>(hundredths / 100),
                  static_cast<unsigned long long>(hundredths % 100));
    return text;
}

} // namespace

std::string describeSound(const std::string& kind, const PcmSound& s)
{
    const bool wave = kind == "SWAV";
    const auto length = [&](std::uint64_t frames) {
        return wave ? seconds(frames, s.rate) : minutes(frames, s.rate);
    };
    std::string text = kind + ", " + encodingName(s.encoding) + ", " +
                       (s.channels == 1 ? "mono" : "stereo") + ", " + std::to_string(s.rate) +
                       " Hz, " + length(s.frames);
    if (s.loop)
        text += ", loops at " + length(s.loop->start);
    return text;
}

const char* encodingName(WaveEncoding encoding)
{
    switch (encoding) {
    case WaveEncoding::Pcm8:
        return "PCM8";
    case WaveEncoding::Pcm16:
        return "PCM16";
    case WaveEncoding::ImaAdpcm:
        return "IMA-ADPCM";
    }
    return "?";
}

} // namespace cartscope::core
