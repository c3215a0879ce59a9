#include <cstdio>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "core/banner/banner_info.h"
#include "core/banner/png.h"
#include "core/base/error.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::TempDir;

// A reader written from the published APNG format, independent of the writer: it checks the
// signature, every chunk CRC, the chunk order, acTL's frame count, the shared sequence
// numbers of fcTL and fdAT (0, 1, 2, ... without gaps), each fcTL's geometry, then inflates
// each frame's data, undoes any of the five filters and prints per frame
// "delay_num delay_den dispose blend" and its 4096 RGBA samples.
constexpr const char* kReader = R"PY(
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "signature"
at, chunks = 8, []
while at < len(data):
    n, = struct.unpack(">I", data[at:at+4])
    kind, body = data[at+4:at+8], data[at+8:at+8+n]
    crc, = struct.unpack(">I", data[at+8+n:at+12+n])
    assert zlib.crc32(kind + body) & 0xffffffff == crc, "crc of " + kind.decode()
    chunks.append((kind.decode(), body))
    at += 12 + n
assert at == len(data), "trailing bytes"
kinds = [k for k, _ in chunks]
assert kinds[0] == "IHDR" and kinds[1] == "acTL" and kinds[-1] == "IEND", kinds
w, h, depth, ctype, comp, filt, inter = struct.unpack(">IIBBBBB", chunks[0][1])
assert (w, h, depth, ctype, comp, filt, inter) == (32, 32, 8, 6, 0, 0, 0)
count, plays = struct.unpack(">II", chunks[1][1])
expected_seq, frames, current = 0, [], None
for kind, body in chunks[2:-1]:
    if kind == "fcTL":
        seq, fw, fh, x, y, dn, dd, dispose, blend = struct.unpack(">IIIIIHHBB", body)
        assert seq == expected_seq, ("fcTL sequence", seq, expected_seq)
        expected_seq += 1
        assert (fw, fh, x, y) == (32, 32, 0, 0)
        current = [(dn, dd, dispose, blend), b""]
        frames.append(current)
    elif kind == "IDAT":
        assert len(frames) == 1, "IDAT belongs to the first frame"
        current[1] += body
    elif kind == "fdAT":
        seq, = struct.unpack(">I", body[:4])
        assert seq == expected_seq, ("fdAT sequence", seq, expected_seq)
        expected_seq += 1
        assert len(frames) > 1, "fdAT in the first frame"
        current[1] += body[4:]
    else:
        raise AssertionError("unexpected chunk " + kind)
assert len(frames) == count, ("acTL count", count, len(frames))
print(count, plays)
def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else (b if pb <= pc else c)
for (dn, dd, dispose, blend), z in frames:
    raw = zlib.decompress(z)
    assert len(raw) == 32 * (1 + 128)
    prev, out = [0] * 128, []
    for y in range(32):
        f, line = raw[y * 129], list(raw[y * 129 + 1:(y + 1) * 129])
        for i in range(128):
            a = line[i - 4] if i >= 4 else 0
            b, c = prev[i], (prev[i - 4] if i >= 4 else 0)
            line[i] = (line[i] + [0, a, b, (a + b) // 2, paeth(a, b, c)][f]) & 255
        out += line
        prev = line
    print(dn, dd, dispose, blend, *out)
)PY";

struct ReadBack {
    int count = -1, plays = -1;
    struct Frame {
        int delayNum = 0, delayDen = 0, dispose = -1, blend = -1;
        std::vector<int> rgba;
    };
    std::vector<Frame> frames;
    std::string output;
};

ReadBack readWithPython(const std::string& path, const TempDir& dir)
{
    const std::string script = dir.file("reader.py");
    fixture::writeFile(script,
                       fixture::Bytes(kReader, kReader + std::char_traits<char>::length(kReader)));
    const std::string command = "python3 '" + script + "' '" + path + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ReadBack r;
    if (pipe) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
            r.output.append(buffer, n);
    }
    std::istringstream in(r.output);
    std::string line;
    if (std::getline(in, line))
        std::istringstream(line) >> r.count >> r.plays;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        ReadBack::Frame f;
        fields >> f.delayNum >> f.delayDen >> f.dispose >> f.blend;
        for (int v; fields >> v;)
            f.rgba.push_back(v);
        r.frames.push_back(std::move(f));
    }
    return r;
}

constexpr std::uint16_t token(int ticks, int bitmap, int palette, bool flipH, bool flipV)
{
    return static_cast<std::uint16_t>(ticks | (bitmap << 8) | (palette << 11) |
                                      (flipH ? 0x4000 : 0) | (flipV ? 0x8000 : 0));
}

std::vector<AnimationFrame> sampleFrames()
{
    AnimatedIcon icon;
    for (std::size_t b = 0; b < 8; ++b) {
        for (std::size_t i = 0; i < 512; ++i)
            icon.bitmaps[b][i] = static_cast<std::uint8_t>((i * 7 + b * 13) & 0xFF);
        for (std::size_t c = 0; c < 16; ++c)
            icon.palettes[b][c] = static_cast<std::uint16_t>(c * 0x0843 + b * 0x0421);
    }
    for (std::uint16_t raw : {token(6, 0, 0, false, false), token(0, 1, 5, true, false),
                              token(255, 7, 3, true, true)}) {
        AnimationToken t;
        t.raw = raw;
        t.ticks = raw & 0xFF;
        t.bitmap = (raw >> 8) & 7;
        t.palette = (raw >> 11) & 7;
        t.flipH = raw & 0x4000;
        t.flipV = raw & 0x8000;
        icon.sequence.push_back(t);
    }
    return decodeAnimation(icon);
}

TEST(AnimatedPng, EveryChunkSequenceAndFrameReadsBack)
{
    if (std::system("python3 -c 'import zlib' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 is missing";
    TempDir dir;
    const auto frames = sampleFrames();
    const std::string path = dir.file("game-Animated.png");
    writeAnimatedPng(path, frames);

    const ReadBack r = readWithPython(path, dir);
    ASSERT_EQ(r.count, 3) << r.output;
    EXPECT_EQ(r.plays, 0);
    ASSERT_EQ(r.frames.size(), frames.size()) << r.output;
    const int expectedDelays[] = {6, 1, 255}; // a zero duration is shown for one tick
    for (std::size_t f = 0; f < frames.size(); ++f) {
        SCOPED_TRACE(f);
        const auto& got = r.frames[f];
        EXPECT_EQ(got.delayNum, expectedDelays[f]);
        EXPECT_EQ(got.delayDen, 60);
        EXPECT_EQ(got.dispose, 0);
        EXPECT_EQ(got.blend, 0); // source: a clear pixel never shows the previous frame
        std::vector<int> expected;
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 32; ++x) {
                const Rgb c = frames[f].picture.at(x, y);
                expected.insert(expected.end(), {c.r, c.g, c.b, frames[f].isClear(x, y) ? 0 : 255});
            }
        }
        EXPECT_EQ(got.rgba, expected);
    }
    // The frames differ, and each has clear pixels (index 0) as well as opaque ones.
    EXPECT_NE(r.frames[0].rgba, r.frames[1].rgba);
    EXPECT_NE(r.frames[1].rgba, r.frames[2].rgba);
}

TEST(AnimatedPng, NoFrameIsAnError)
{
    EXPECT_THROW(encodeAnimatedPng({}), Error);
    EXPECT_EQ(animatedIconName("/a.b/game.png"), "/a.b/game-Animated.png");
    EXPECT_EQ(animatedIconName("/a.b/game"), "/a.b/game-Animated.png");
}

TEST(AnimatedPng, UnwritablePathFailsWithTheUsersMessage)
{
    TempDir dir;
    const std::string path = dir.file("missing/x-Animated.png");
    try {
        writeAnimatedPng(path, sampleFrames());
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"" + path + "\".", 0), 0u)
            << e.what();
    }
}

} // namespace
} // namespace cartscope::core
