#include <algorithm>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/formats/sound/sbnk.h"
#include "core/formats/sound/sdat.h"
#include "core/formats/sound/sf2.h"
#include "core/formats/sound/sound_pieces.h"
#include "core/formats/sound/sseq.h"
#include "core/formats/sound/wave.h"
#include "core/io/stream.h"
#include "tests/fixture/sound_builder.h"

namespace {

using cartscope::core::Error;
using cartscope::core::MemoryStream;
using cartscope::core::PcmSound;
using cartscope::core::Sdat;
using cartscope::core::SoundKind;
using cartscope::fixture::Bytes;
using cartscope::fixture::SdatFields;
using cartscope::fixture::SoundEntryFields;
namespace fx = cartscope::fixture;
namespace core = cartscope::core;

// An IMA-ADPCM decoder written from the console's description, kept apart from the product's:
// its own step table (built from the standard formula's published values) and arithmetic.
std::vector<int> referenceAdpcm(const Bytes& block, std::size_t count)
{
    static const int steps[89] = {
        7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
        25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
        88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
        307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
        1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
        3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
        12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
    int pcm = static_cast<std::int16_t>(block[0] | (block[1] << 8));
    if (pcm < -32767)
        pcm = -32767;
    int index = block[2] & 0x7F;
    if (index > 88)
        index = 88;
    std::vector<int> out;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = block[4 + i / 2];
        const int code = i % 2 == 0 ? byte & 15 : byte / 16;
        const int step = steps[index];
        int diff = step / 8;
        diff += (code & 1) ? step / 4 : 0;
        diff += (code & 2) ? step / 2 : 0;
        diff += (code & 4) ? step : 0;
        pcm = (code & 8) ? pcm - diff : pcm + diff;
        pcm = pcm > 32767 ? 32767 : pcm < -32767 ? -32767 : pcm;
        const int moves[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
        index += moves[code & 7];
        index = index < 0 ? 0 : index > 88 ? 88 : index;
        out.push_back(pcm);
    }
    return out;
}

std::vector<int> samples16(const PcmSound& s, int channel)
{
    std::vector<int> out;
    for (std::uint64_t f = 0; f < s.frames; ++f)
        out.push_back(static_cast<std::int16_t>(
            core::le16(s.data, static_cast<std::size_t>((f * s.channels + channel) * 2))));
    return out;
}

Bytes randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& v : b)
        v = static_cast<std::uint8_t>(rng());
    return b;
}

TEST(SoundAdpcm, MatchesAnIndependentDecoderIncludingBothClamps)
{
    struct Case {
        const char* what;
        Bytes block;
    };
    Bytes high{0xF0, 0x7F, 80, 0}; // near +0x7FFF, large steps, codes push upwards
    high.resize(4 + 64, 0x77);
    Bytes low{0x10, 0x80, 88, 0}; // -0x7FF0 and the largest step: codes push down
    low.resize(4 + 64, 0xFF);
    Bytes index{0, 0, 0x7F, 0}; // a step index past 88 is taken as 88
    index.resize(4 + 16, 0x08);
    Bytes random = randomBytes(4 + 4096, 7);
    const std::vector<Case> cases = {
        {"upper clamp", high}, {"lower clamp", low}, {"index clamp", index}, {"random", random}};
    for (const Case& c : cases) {
        const std::size_t count = (c.block.size() - 4) * 2;
        std::vector<std::int16_t> got(count);
        core::decodeImaAdpcm(c.block, count, got.data());
        EXPECT_EQ(std::vector<int>(got.begin(), got.end()), referenceAdpcm(c.block, count))
            << c.what;
    }
    std::vector<std::int16_t> low16(128);
    core::decodeImaAdpcm(low, 128, low16.data());
    EXPECT_EQ(*std::min_element(low16.begin(), low16.end()), -0x7FFF);
    std::vector<std::int16_t> high16(128);
    core::decodeImaAdpcm(high, 128, high16.data());
    EXPECT_EQ(*std::max_element(high16.begin(), high16.end()), 0x7FFF);
}

TEST(SoundStream, StereoAdpcmBlocksDecodePerChannelWithTheirOwnHeaders)
{
    // Two blocks of 16 bytes per channel (24 samples each), the last of 8 bytes (8 samples).
    const Bytes b0l = randomBytes(16, 1), b0r = randomBytes(16, 2);
    const Bytes b1l = randomBytes(8, 3), b1r = randomBytes(8, 4);
    fx::StrmFields f;
    f.encoding = 2;
    f.channels = 2;
    f.loops = true;
    f.loopStart = 10;
    f.samples = 32;
    f.blocks = 2;
    f.blockLength = 16;
    f.blockSamples = 24;
    f.lastLength = 8;
    f.lastSamples = 8;
    for (const Bytes* part : {&b0l, &b0r, &b1l, &b1r})
        f.data.insert(f.data.end(), part->begin(), part->end());
    const PcmSound s = core::decodeStrm(fx::strmFile(f), "/a.strm");
    ASSERT_EQ(s.frames, 32u);
    EXPECT_EQ(s.channels, 2);
    EXPECT_EQ(s.rate, 32728u);
    std::vector<int> left = referenceAdpcm(b0l, 24), right = referenceAdpcm(b0r, 24);
    const std::vector<int> l1 = referenceAdpcm(b1l, 8), r1 = referenceAdpcm(b1r, 8);
    left.insert(left.end(), l1.begin(), l1.end());
    right.insert(right.end(), r1.begin(), r1.end());
    EXPECT_EQ(samples16(s, 0), left);
    EXPECT_EQ(samples16(s, 1), right);
    ASSERT_TRUE(s.loop);
    EXPECT_EQ(s.loop->start, 10u);
    EXPECT_EQ(s.loop->end, 32u);
    EXPECT_EQ(core::describeSound("STRM", s),
              "STRM, IMA-ADPCM, stereo, 32728 Hz, 0:00, loops at 0:00");
}

// Played a piece at a time, every encoding gives the whole decode's frames (PCM8 widened to 16
// bits), whatever the piece size and wherever a piece starts.
TEST(SoundStream, PiecesMatchTheWholeDecodeForEveryEncoding)
{
    struct Case {
        std::uint8_t encoding;
        std::uint8_t channels;
        std::uint32_t blockSamples, lastSamples, samples; // samples: fewer than the blocks hold
    };
    const Case cases[] = {
        {0, 1, 24, 8, 30}, {1, 2, 8, 5, 21}, {2, 2, 24, 8, 32}, {2, 1, 24, 6, 54}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.encoding) * 10 + c.channels);
        const auto bytesFor = [&c](std::uint32_t n) {
            return c.encoding == 0 ? n : c.encoding == 1 ? 2 * n : 4 + n / 2;
        };
        fx::StrmFields f;
        f.encoding = c.encoding;
        f.channels = c.channels;
        f.loops = true;
        f.loopStart = 3;
        f.samples = c.samples;
        f.blocks = 3;
        f.blockLength = bytesFor(c.blockSamples);
        f.blockSamples = c.blockSamples;
        f.lastLength = bytesFor(c.lastSamples);
        f.lastSamples = c.lastSamples;
        f.data = randomBytes((2 * f.blockLength + f.lastLength) * c.channels, c.encoding + 9u);
        const Bytes file = fx::strmFile(f);
        const PcmSound whole = core::decodeStrm(file, "/a.strm");
        std::vector<int> expected;
        for (std::size_t i = 0; i < whole.data.size() / (whole.bits / 8); ++i)
            expected.push_back(whole.bits == 8
                                   ? static_cast<std::int8_t>(whole.data[i] ^ 0x80) * 256
                                   : static_cast<std::int16_t>(core::le16(whole.data, 2 * i)));
        const auto pieces = core::SoundPieces::fromStrm(file, "/a.strm");
        EXPECT_EQ(pieces.frames(), whole.frames);
        ASSERT_TRUE(pieces.loop());
        EXPECT_EQ(pieces.loop()->start, 3u);
        for (std::size_t piece : {1u, 5u, 64u}) {
            std::vector<int> got;
            std::vector<std::int16_t> out(piece * c.channels);
            // Each read gives at least one frame until the end: the walk ends.
            for (std::uint64_t at = 0; at < pieces.frames();) {
                const std::size_t n = pieces.read(at, out);
                ASSERT_GT(n, 0u) << at;
                got.insert(got.end(), out.begin(), out.begin() + n * c.channels);
                at += n;
            }
            EXPECT_EQ(got, expected) << piece;
            EXPECT_EQ(pieces.read(pieces.frames(), out), 0u);
            // One reader's cursor carried from read to read, walking on, skipping ahead and
            // going back: the same frames as decoding each block from its start.
            core::SoundPieces::Cursor cursor;
            for (const std::uint64_t at : {0u, 1u, 2u, 7u, 3u, 0u, 9u, 8u, 20u, 11u}) {
                if (at >= pieces.frames())
                    continue;
                const std::size_t n = pieces.read(at, out, cursor);
                ASSERT_GT(n, 0u) << at;
                EXPECT_EQ(std::vector<int>(out.begin(), out.begin() + n * c.channels),
                          std::vector<int>(expected.begin() + at * c.channels,
                                           expected.begin() + (at + n) * c.channels))
                    << piece << " at " << at;
            }
        }
        // A decoded wave as pieces: the same frames.
        const auto held = core::SoundPieces::fromSound(whole);
        std::vector<std::int16_t> all(whole.frames * c.channels);
        EXPECT_EQ(held.read(0, all), whole.frames);
        EXPECT_EQ(std::vector<int>(all.begin(), all.end()), expected);
    }
}

TEST(SoundStream, FormatLinesForStreamsAndWaves)
{
    PcmSound s;
    s.encoding = core::WaveEncoding::ImaAdpcm;
    s.channels = 2;
    s.rate = 32728;
    s.frames = 32728ull * 102 + 100;
    s.loop = core::PcmLoop{32728ull * 8 + 5, s.frames};
    EXPECT_EQ(core::describeSound("STRM", s),
              "STRM, IMA-ADPCM, stereo, 32728 Hz, 1:42, loops at 0:08");
    s.encoding = core::WaveEncoding::Pcm8;
    s.channels = 1;
    s.loop.reset();
    EXPECT_EQ(core::describeSound("STRM", s), "STRM, PCM8, mono, 32728 Hz, 1:42");
    s.encoding = core::WaveEncoding::Pcm16;
    s.rate = 16000;
    s.frames = 5600;
    s.loop = core::PcmLoop{1600, 5600};
    EXPECT_EQ(core::describeSound("SWAV", s),
              "SWAV, PCM16, mono, 16000 Hz, 0.35 s, loops at 0.10 s");
}

// The WAV's fields read back, for round trips.
struct WavBack {
    int channels = 0, bits = 0;
    std::uint32_t rate = 0;
    Bytes data;
    bool hasLoop = false;
    std::uint32_t loopStart = 0, loopEnd = 0;
};

WavBack readWav(const Bytes& w)
{
    WavBack r;
    EXPECT_EQ(std::string(w.begin(), w.begin() + 4), "RIFF");
    EXPECT_EQ(core::le32(w, 4), w.size() - 8);
    for (std::size_t at = 12; at + 8 <= w.size();) {
        const std::string tag(w.begin() + static_cast<std::ptrdiff_t>(at),
                              w.begin() + static_cast<std::ptrdiff_t>(at + 4));
        const std::uint32_t size = core::le32(w, at + 4);
        const std::size_t body = at + 8;
        if (tag == "fmt ") {
            r.channels = core::le16(w, body + 2);
            r.rate = core::le32(w, body + 4);
            r.bits = core::le16(w, body + 14);
        } else if (tag == "smpl") {
            r.hasLoop = core::le32(w, body + 28) == 1;
            r.loopStart = core::le32(w, body + 36 + 8);
            r.loopEnd = core::le32(w, body + 36 + 12);
        } else if (tag == "data") {
            r.data.assign(w.begin() + static_cast<std::ptrdiff_t>(body),
                          w.begin() + static_cast<std::ptrdiff_t>(body + size));
        }
        at = body + size + (size & 1);
    }
    return r;
}

TEST(SoundWave, PcmSamplesRoundTripThroughWavAndPcm8FlipsItsSign)
{
    const Bytes pcm16 = randomBytes(40, 9);
    const PcmSound s16 = core::decodeWave(fx::waveBytes(1, true, 22050, 2, 8, pcm16), "w");
    const WavBack w16 = readWav(core::wavFile(s16));
    EXPECT_EQ(w16.data, pcm16);
    EXPECT_EQ(w16.bits, 16);
    EXPECT_EQ(w16.rate, 22050u);
    EXPECT_TRUE(w16.hasLoop);
    EXPECT_EQ(w16.loopStart, 4u); // 2 words of 16-bit samples
    EXPECT_EQ(w16.loopEnd, 19u);  // the last of 20 frames

    const Bytes pcm8{0x00, 0x7F, 0x80, 0xFF, 0x01, 0x02, 0x03};
    const WavBack w8 =
        readWav(core::wavFile(core::decodeWave(fx::waveBytes(0, false, 8000, 0, 1, pcm8), "w")));
    EXPECT_EQ(w8.bits, 8);
    EXPECT_EQ(w8.data, (Bytes{0x80, 0xFF, 0x00, 0x7F}));
    EXPECT_FALSE(w8.hasLoop);
}

TEST(SoundWave, LoopWordsBecomeFramesByEncoding)
{
    struct Case {
        std::uint8_t encoding;
        std::uint16_t loopWords;
        std::uint32_t lengthWords;
        std::uint64_t loopStart, frames;
    };
    // The ADPCM loop start counts the header word: one word past it is 8 samples in.
    const Case cases[] = {{0, 3, 5, 12, 32}, {1, 3, 5, 6, 16}, {2, 1, 4, 0, 32}, {2, 2, 4, 8, 40}};
    for (const Case& c : cases) {
        const Bytes data((c.loopWords + c.lengthWords) * 4u, 0x11);
        const PcmSound s = core::decodeWave(
            fx::waveBytes(c.encoding, true, 8000, c.loopWords, c.lengthWords, data), "w");
        EXPECT_EQ(s.frames, c.frames) << int(c.encoding);
        ASSERT_TRUE(s.loop);
        EXPECT_EQ(s.loop->start, c.loopStart) << int(c.encoding);
    }
}

TEST(SoundWave, DeclaredSamplesPastTheDataAreAnErrorNamingTheFile)
{
    struct Case {
        const char* what;
        Bytes file;
        bool stream;
        const char* message;
    };
    fx::StrmFields tooMany;
    tooMany.samples = 100; // one block of 8 samples
    tooMany.blocks = 1;
    tooMany.blockLength = 16;
    tooMany.blockSamples = 8;
    tooMany.lastLength = 16;
    tooMany.lastSamples = 8;
    tooMany.data = Bytes(16, 0);
    fx::StrmFields pastData = tooMany;
    pastData.samples = 8;
    pastData.blocks = 0x10000000; // blocks far past the data
    fx::StrmFields fatBlock = tooMany;
    fatBlock.samples = 8;
    fatBlock.blockSamples = 9; // 9 PCM16 samples do not fit 16 bytes
    fx::StrmFields channels = tooMany;
    channels.channels = 0;
    const std::vector<Case> cases = {
        {"wave", fx::waveBytes(1, false, 8000, 0, 1000, Bytes(8, 0)), false,
         "\"/s/w.swav\" declares 2000 samples but holds 4"},
        {"stream count", fx::strmFile(tooMany), true,
         "\"/s/w.swav\" declares 100 samples but holds 8"},
        {"stream blocks", fx::strmFile(pastData), true,
         "\"/s/w.swav\" declares 8 samples but holds 8"},
        {"stream block samples", fx::strmFile(fatBlock), true,
         "\"/s/w.swav\" declares more samples per block than a block holds"},
        {"no channels", fx::strmFile(channels), true,
         "\"/s/w.swav\" has 0 channels (1 or 2 can be converted)"},
        {"encoding", fx::waveBytes(3, false, 8000, 0, 0, {}), false,
         "\"/s/w.swav\" has an unknown sample encoding 3"},
        {"short", Bytes(5, 0), false, "\"/s/w.swav\" is cut short before its wave information"},
    };
    for (const Case& c : cases) {
        try {
            if (c.stream)
                core::decodeStrm(c.file, "/s/w.swav");
            else
                core::decodeWave(c.file, "/s/w.swav");
            ADD_FAILURE() << c.what << " was accepted";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), c.message) << c.what;
        }
    }
}

// The sequence fixture: track 0 opens track 1, sets tempo, plays a note, calls a subroutine
// twice through a counted loop, then loops back with a jump; track 1 sets volume, pan and
// program, bends, and ends.
Bytes sampleSequence()
{
    Bytes s{
        0xFE, 0x03, 0x00,             // 0x00 track mask
        0x93, 0x01, 0x20, 0x00, 0x00, // 0x03 open track 1 at 0x20
        0xE1, 0x78, 0x00,             // 0x08 tempo 120
        0x3C, 0x64, 0x30,             // 0x0B note 60 vel 100, 48 ticks      (loop target)
        0xD4, 0x02,                   // 0x0E loop twice
        0x95, 0x1A, 0x00, 0x00,       // 0x10 call 0x1A
        0xFC,                         // 0x14 loop end
        0x94, 0x0B, 0x00, 0x00,       // 0x15 jump back to 0x0B
        0xFF,                         // 0x19
        0x40, 0x50, 0x18,             // 0x1A note 64 vel 80, 24 ticks
        0xFD,                         // 0x1D return
        0xFF, 0xFF,                   // 0x1E
        0xC1, 0x64,                   // 0x20 volume 100
        0xC0, 0x20,                   // 0x22 pan 32
        0x81, 0x05,                   // 0x24 program 5
        0xC4, 0x10,                   // 0x26 pitch bend +16
        0x80, 0x10,                   // 0x28 rest 16
        0x43, 0x7F, 0x0C,             // 0x2A note 67 vel 127, 12 ticks
        0xFF,                         // 0x2D end
    };
    return s;
}

// The events of an SMF track as "tick: hex bytes", in order.
std::vector<std::vector<std::string>> midiEvents(const Bytes& m)
{
    std::vector<std::vector<std::string>> tracks;
    EXPECT_EQ(std::string(m.begin(), m.begin() + 4), "MThd");
    EXPECT_EQ((m[12] << 8) | m[13], 48);
    std::size_t at = 14;
    while (at + 8 <= m.size()) {
        const std::size_t len =
            (std::size_t{m[at + 4]} << 24) | (m[at + 5] << 16) | (m[at + 6] << 8) | m[at + 7];
        std::size_t p = at + 8;
        const std::size_t end = p + len;
        std::uint64_t tick = 0;
        std::vector<std::string> events;
        while (p < end) {
            std::uint64_t delta = 0;
            do
                delta = (delta << 7) | (m[p] & 0x7F);
            while (m[p++] & 0x80);
            tick += delta;
            std::size_t n = 3;
            if (m[p] == 0xFF)
                n = 3 + m[p + 2];
            else if ((m[p] & 0xF0) == 0xC0)
                n = 2;
            std::string text = std::to_string(tick) + ":";
            for (std::size_t i = 0; i < n; ++i) {
                char h[4];
                std::snprintf(h, sizeof h, " %02X", m[p + i]);
                text += h;
            }
            events.push_back(text);
            p += n;
        }
        tracks.push_back(events);
        at = end;
    }
    return tracks;
}

TEST(SoundSequence, LoopsCallsAndJumpsBecomeAKnownEventList)
{
    const core::MidiConversion c = core::sequenceToMidi(sampleSequence(), 0, "/s.sseq");
    EXPECT_EQ(c.tracks, 2);
    EXPECT_TRUE(c.looped);
    EXPECT_TRUE(c.stops.empty());
    const auto tracks = midiEvents(c.midi);
    ASSERT_EQ(tracks.size(), 2u);
    const std::vector<std::string> track0 = {
        "0: FF 51 03 07 A1 20",
        "0: FF 06 09 6C 6F 6F 70 53 74 61 72 74", // loopStart where the jump lands
        "0: 90 3C 64",
        "48: 80 3C 00",
        "48: 90 40 50",
        "72: 80 40 00",
        "72: 90 40 50",
        "96: 80 40 00",
        "96: FF 06 07 6C 6F 6F 70 45 6E 64", // loopEnd at the jump
        "96: FF 2F 00",
    };
    EXPECT_EQ(tracks[0], track0);
    const std::vector<std::string> track1 = {
        "0: B1 07 64", "0: B1 0A 20",  "0: B1 00 00",  "0: C1 05",
        "0: E1 00 48", "16: 91 43 7F", "28: 81 43 00", "28: FF 2F 00",
    };
    EXPECT_EQ(tracks[1], track1);
    // The same events as text, cut after a count.
    EXPECT_EQ(core::sequenceText(c, 3), "track 0: 9 events\n"
                                        "       0  tempo 120 bpm\n"
                                        "       0  marker loopStart\n"
                                        "       0  note on 60 velocity 100\n"
                                        "track 1: 7 events\n"
                                        "… 13 more events\n");
    const std::string all = core::sequenceText(c, 100);
    EXPECT_NE(all.find("      96  marker loopEnd\n"), std::string::npos) << all;
    EXPECT_NE(all.find("       0  pitch bend 1024\n"), std::string::npos) << all;
    EXPECT_EQ(all.find("more events"), std::string::npos);
}

TEST(SoundSequence, EndlessAndBrokenSequencesStopWithinTheBudget)
{
    struct Case {
        const char* what;
        Bytes data;
        bool looped;
        const char* stop; // empty: a plain end
    };
    const std::vector<Case> cases = {
        {"jump to itself", {0x94, 0x00, 0x00, 0x00}, true, ""},
        {"endless counted loop", {0xD4, 0x00, 0x80, 0x01, 0xFC}, true, ""},
        // A jump back inside a call is not a loop of the track's own: the budget ends it.
        {"loop inside a call",
         {0x95, 0x05, 0x00, 0x00, 0xFF, 0x80, 0x01, 0x94, 0x05, 0x00, 0x00},
         false,
         "track 0: the sequence runs more than 262144 commands"},
        {"runs off the end",
         {0x80, 0x01},
         false,
         "track 0: it runs past the end of the sequence data"},
        {"unknown command", {0xF0}, false, "track 0: it holds an unknown command 240"},
        {"cut argument", {0x3C, 0x64}, false, "track 0: it runs past the end of the sequence data"},
    };
    for (const Case& c : cases) {
        const core::MidiConversion m = core::sequenceToMidi(c.data, 0, "s");
        EXPECT_EQ(m.looped, c.looped) << c.what;
        const std::vector<std::string> stops =
            *c.stop ? std::vector<std::string>{c.stop} : std::vector<std::string>{};
        EXPECT_EQ(m.stops, stops) << c.what;
    }
    EXPECT_THROW(core::sequenceToMidi(Bytes{}, 0, "s"), Error);
    EXPECT_THROW(core::sseqData(Bytes(0x1C, 0), "s"), Error);
}

// A stream that records which ranges were read.
class RecordingStream final : public core::Stream {
public:
    explicit RecordingStream(const Bytes& b) : m_inner(b) {}
    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override
    {
        const std::lock_guard lock(m_mutex);
        reads.emplace_back(position, out.size());
        return m_inner.pread(position, out);
    }
    std::uint64_t size() const override { return m_inner.size(); }
    mutable std::vector<std::pair<std::uint64_t, std::size_t>> reads;

private:
    MemoryStream m_inner;
    mutable std::mutex m_mutex;
};

SoundEntryFields entry(const std::string& name, Bytes file)
{
    SoundEntryFields e;
    e.name = name;
    e.file = std::move(file);
    return e;
}

SdatFields sampleArchive()
{
    SdatFields f;
    const Bytes seq = fx::sseqFile(sampleSequence());
    f.sequences.resize(4);
    f.sequences[0].name = f.sequences[2].name = "BGM_TITLE";
    f.sequences[0].file = seq;
    f.sequences[1].file = fx::sseqFile({0xFF});
    f.sequences[3].name = "x";
    f.sequences[3].emptySlot = true;
    f.sequences[2].sharedWith = 0;
    f.sequenceArchives = {
        entry("SE/ARC", fx::ssarFile(Bytes{0xFF, 0x3C, 0x40, 0x01, 0xFF}, {0, 1}))};
    f.sequenceArchives[0].memberNames = {"SE_A"};
    f.banks = {entry("BANK_PIANO", fx::sbnkFile({{1, fx::noteDefinition(1, 0, 60)},
                                                 {},
                                                 {1, fx::noteDefinition(0, 0, 48, 0)}}))};
    f.banks[0].waveArchives = {0, 0xFFFF, 0xFFFF, 0xFFFF};
    f.waveArchives = {
        entry("WAVE_PIANO", fx::swarFile({fx::waveBytes(1, false, 8000, 0, 2, Bytes(8, 1)),
                                          fx::waveBytes(0, true, 8000, 1, 1, Bytes(8, 2))}))};
    f.streams = {entry("", fx::strmFile({}))};
    return f;
}

TEST(SoundArchive, ListsEveryEntryByTheNamingRules)
{
    const Bytes bytes = fx::sdatArchive(sampleArchive());
    const MemoryStream stream(bytes);
    const Sdat sdat = core::readSdat(stream, 0, bytes.size(), "/s.sdat");
    std::vector<std::string> paths;
    for (const auto& e : sdat.entries)
        paths.push_back(e.path + (e.problem.empty() ? "" : " !" + e.problem));
    const std::vector<std::string> expected = {
        "/sequences/BGM_TITLE.sseq",
        "/sequences/SEQ_0001.sseq",
        "/sequences/BGM_TITLE (2).sseq",
        "/sequenceArchives/SE_ARC.ssar",
        "/banks/BANK_PIANO.sbnk",
        "/waveArchives/WAVE_PIANO.swar",
        "/streams/STRM_0000.strm",
        "/sequenceArchives/SE_ARC.ssar/SE_A.sseq",
        "/sequenceArchives/SE_ARC.ssar/SEQ_0001.sseq",
        "/waveArchives/WAVE_PIANO.swar/0000.swav",
        "/waveArchives/WAVE_PIANO.swar/0001.swav",
    };
    EXPECT_EQ(paths, expected);
    EXPECT_TRUE(sdat.notes.empty());
    // A shared file is listed under each entry; the empty slot (index 3) is not listed.
    EXPECT_EQ(sdat.entries[0].offset, sdat.entries[2].offset);
    EXPECT_EQ(sdat.entries[0].size, sdat.entries[2].size);
    EXPECT_EQ(sdat.entries[4].waveArchives[0], 0);
    // Members: the sequence at 1 runs to the data's end; the waves lie back to back.
    const auto& member = sdat.entries[8];
    EXPECT_EQ(member.start, 1u);
    EXPECT_EQ(member.size, 4u);
    EXPECT_EQ(sdat.entries[9].size, 20u);
    EXPECT_EQ(sdat.entries[10].offset, sdat.entries[9].offset + 20);
    EXPECT_EQ(core::readSoundEntry(stream, sdat, member, 1 << 20),
              (Bytes{0xFF, 0x3C, 0x40, 0x01, 0xFF}));
    // Extraction leaves the members out: their archive's file holds them.
    EXPECT_EQ(core::sdatExtractRows(sdat).size(), 7u);
}

TEST(SoundArchive, ListingReadsOnlyTheTablesAndTheMemberTables)
{
    SdatFields f = sampleArchive();
    // Large files whose contents must not be read.
    f.streams[0].file.resize(1 << 20, 0xAA);
    f.sequences[1].file.resize(1 << 20, 0xFF);
    const Bytes bytes = fx::sdatArchive(f);
    const RecordingStream stream(bytes);
    const Sdat sdat = core::readSdat(stream, 0, bytes.size(), "/s.sdat");
    std::uint64_t total = 0;
    for (const auto& [at, n] : stream.reads)
        total += n;
    const std::uint64_t tables = core::le32(bytes, 0x24) + core::le32(bytes, 0x20);
    // The header, SYMB, INFO and FAT end where FILE begins; member tables are a few words each.
    EXPECT_LE(total, tables + 256) << stream.reads.size() << " reads";
    for (const auto& [at, n] : stream.reads) {
        if (at >= core::le32(bytes, 0x28)) { // in FILE: only the two member tables' words
            EXPECT_LE(n, 24u) << at;
        }
    }
}

TEST(SoundArchive, HostileArchivesAreBoundedNotedOrRefused)
{
    const Bytes good = fx::sdatArchive(sampleArchive());
    const auto patched = [&good](std::size_t at, std::uint32_t v) {
        Bytes b = good;
        core::putLe32(b, at, v);
        return b;
    };
    const std::uint32_t infoAt = core::le32(good, 0x18);
    const std::uint32_t fatAt = core::le32(good, 0x20);
    const std::uint32_t symbAt = core::le32(good, 0x10);
    const std::uint32_t seqRecord = infoAt + core::le32(good, infoAt + 8);
    SdatFields badId = sampleArchive();
    badId.streams[0].fileId = 999;
    SdatFields hugeSwar = sampleArchive();
    hugeSwar.waveArchives[0].file = fx::swarFile({});
    core::putLe32(hugeSwar.waveArchives[0].file, 0x38, 0xFFFFFFFF);
    struct Case {
        const char* what;
        Bytes archive;
        const char* error; // the message, or null when read with a note or problem
        const char* note;  // part of a note or an entry's problem
    };
    const std::vector<Case> cases = {
        {"empty", {}, "\"/s.sdat\" is not an SDAT sound archive", nullptr},
        {"magic", patched(0, 0x54414453 + 1), "\"/s.sdat\" is not an SDAT sound archive", nullptr},
        {"no INFO", patched(0x18, 0),
         "\"/s.sdat\" is not an SDAT sound archive: it has no INFO block", nullptr},
        {"FAT past end", patched(0x20, 0x7FFFFFFF),
         "\"/s.sdat\" is not an SDAT sound archive: it has no FAT block", nullptr},
        {"FAT count", patched(fatAt + 8, 0xFFFFFFFF), nullptr,
         "the FAT block claims 4294967295 entries"},
        {"INFO count", patched(seqRecord, 0x40000000), nullptr, "claims 1073741824 entries"},
        {"INFO past end", patched(0x1C, 0x7FFFFFFF), nullptr, "INFO block runs past the end"},
        {"SYMB record offset", patched(symbAt + 8, 0xFFFFFFF0), nullptr, nullptr},
        {"SYMB name offset", patched(symbAt + 0x40 + 4, 0xFFFFFFFF), nullptr, nullptr},
        {"file ID", fx::sdatArchive(badId), nullptr, "its file ID 999 has no FAT entry"},
        {"FAT range", patched(fatAt + 12 + 4, 0x7FFFFFFF), nullptr, "its range runs past the end"},
        {"SWAR count", fx::sdatArchive(hugeSwar), nullptr, "its member table claims 4294967295"},
    };
    for (const Case& c : cases) {
        const MemoryStream stream(c.archive);
        try {
            const Sdat sdat = core::readSdat(stream, 0, c.archive.size(), "/s.sdat");
            EXPECT_EQ(c.error, nullptr) << c.what << " was read";
            std::string said;
            for (const auto& n : sdat.notes)
                said += n + "\n";
            for (const auto& e : sdat.entries)
                said += e.problem + "\n";
            if (c.note) {
                EXPECT_NE(said.find(c.note), std::string::npos) << c.what << ": " << said;
            }
        } catch (const Error& e) {
            ASSERT_NE(c.error, nullptr) << c.what << ": " << e.what();
            EXPECT_STREQ(e.what(), c.error) << c.what;
        }
    }
}

// Drum sets and key splits: one region per key or per split, or a note when the instrument's
// ranges or definitions do not fit.
TEST(SoundBank, DrumSetsAndKeySplitsGiveTheirRegionsOrANote)
{
    // Per region its 2-byte type, then a definition; `cut` drops bytes from the end.
    const auto regions = [](Bytes head, std::initializer_list<std::uint8_t> types,
                            std::size_t cut = 0) {
        std::uint16_t wave = 0;
        for (const std::uint8_t t : types) {
            const Bytes d = fx::noteDefinition(wave++, 0, 60);
            head.insert(head.end(), {t, 0});
            head.insert(head.end(), d.begin(), d.end());
        }
        head.resize(head.size() - cut);
        return head;
    };
    const auto tops = [](std::initializer_list<std::uint8_t> keys) {
        Bytes t(keys);
        t.resize(8, 0);
        return t;
    };
    struct Case {
        const char* what;
        std::uint8_t type;
        Bytes data;
        const char* regions; // "low-high/type ..." or "" when the instrument is left out
    };
    const Case cases[] = {
        {"drum set of two keys", 16, regions({36, 37}, {1, 2}), "36-36/1 37-37/2"},
        {"drum set of one key", 16, regions({127, 127}, {3}), "127-127/3"},
        {"drum set, low above high", 16, regions({37, 36}, {1, 1}), ""},
        {"drum set past key 127", 16, regions({127, 128}, {1, 1}), ""},
        {"drum set, last definition cut", 16, regions({36, 37}, {1, 1}, 1), ""},
        {"drum set without its range", 16, Bytes{36}, ""},
        {"key split of two", 17, regions(tops({59, 127}), {1, 2}), "0-59/1 60-127/2"},
        {"key split, a top past 127 ends it", 17, regions(tops({10, 200, 50}), {1, 1}),
         "0-10/1 11-127/1"},
        {"key split, second region cut", 17, regions(tops({59, 127}), {1, 1}, 1), ""},
        {"key split without its tops", 17, Bytes(7, 1), ""},
        {"unknown instrument type", 18, fx::noteDefinition(0, 0, 60), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> notes;
        const cartscope::core::Bank bank =
            cartscope::core::readSbnk(fx::sbnkFile({{c.type, c.data}}), "b", notes);
        std::string got;
        for (const auto& inst : bank.instruments)
            for (const auto& r : inst.regions)
                got += (got.empty() ? "" : " ") + std::to_string(r.lowKey) + "-" +
                       std::to_string(r.highKey) + "/" + std::to_string(r.type);
        EXPECT_EQ(got, c.regions);
        EXPECT_EQ(notes.size(), *c.regions ? 0u : 1u);
    }
}

TEST(SoundBank, ListsRegionsAndBuildsASoundFontOfItsWaves)
{
    Bytes split(8, 0);
    split[0] = 59;
    split[1] = 127;
    for (int r = 0; r < 2; ++r) {
        const Bytes d = fx::noteDefinition(static_cast<std::uint16_t>(r), 0, 60);
        split.insert(split.end(), {1, 0});
        split.insert(split.end(), d.begin(), d.end());
    }
    const Bytes file = fx::sbnkFile({{1, fx::noteDefinition(1, 0, 60)},
                                     {},
                                     {17, split},
                                     {2, fx::noteDefinition(0, 0, 60)},
                                     {1, Bytes{}}});
    std::vector<std::string> notes;
    const core::Bank bank = core::readSbnk(file, "b", notes);
    ASSERT_EQ(bank.instruments.size(), 3u);
    EXPECT_EQ(core::bankText(bank),
              "program 0: keys 0-127 wave archive 0 wave 1, base key 60, envelope 127/127/127/127, "
              "pan 64\n"
              "program 2: keys 0-59 wave archive 0 wave 0, base key 60, envelope 127/127/127/127, "
              "pan 64\n"
              "program 2: keys 60-127 wave archive 0 wave 1, base key 60, envelope "
              "127/127/127/127, pan 64\n"
              "program 3: keys 0-127 square, base key 60, envelope 127/127/127/127, pan 64\n");
    // The last record's data lies past the file.
    EXPECT_EQ(notes, std::vector<std::string>{"instrument 4 does not fit the bank"});

    core::WaveSet waves;
    waves.push_back(core::decodeWave(fx::waveBytes(1, false, 8000, 0, 2, Bytes(8, 1)), "w0"));
    waves.push_back(core::decodeWave(fx::waveBytes(0, true, 8000, 1, 1, Bytes(8, 2)), "w1"));
    const core::SoundFont sf = core::soundFont(bank, {waves}, "bank");
    EXPECT_EQ(sf.presets, 2);
    EXPECT_EQ(sf.samples, 2);         // wave 1 is stored once for both programs
    EXPECT_EQ(sf.skippedRegions, 1u); // the square wave
    EXPECT_EQ(std::string(sf.bytes.begin() + 8, sf.bytes.begin() + 12), "sfbk");
    EXPECT_EQ(core::le32(sf.bytes, 4), sf.bytes.size() - 8);
    // smpl: 4 PCM16 points + 46 silent, then 8 PCM8 points + 46 silent.
    const std::string_view smplTag = "smpl";
    const auto smpl = std::search(sf.bytes.begin(), sf.bytes.end(), smplTag.begin(), smplTag.end());
    ASSERT_NE(smpl, sf.bytes.end());
    EXPECT_EQ(core::le32(sf.bytes, static_cast<std::size_t>(smpl - sf.bytes.begin()) + 4),
              2u * (4 + 46 + 8 + 46));
}

} // namespace
