#include "thumbnailer/thumbnail.h"

#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "core/banner/banner_info.h"
#include "core/banner/banner_record.h"
#include "core/base/error.h"
#include "core/io/stream.h"
#include "tests/fixture/image_builder.h"

namespace {

namespace fs = std::filesystem;
using cartscope::fixture::BannerFields;
using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::TempDir;
namespace thumb = cartscope::thumbnail;

// A decoded PNG of the kind the thumbnailer writes (8-bit RGBA, filter type 0 on every row),
// read back here independently of the writer.
struct Png {
    std::uint32_t width = 0, height = 0;
    int bitDepth = 0, colourType = 0;
    Bytes rgba;
    std::array<std::uint8_t, 4> at(std::uint32_t x, std::uint32_t y) const
    {
        const std::size_t p = (static_cast<std::size_t>(y) * width + x) * 4;
        return {rgba[p], rgba[p + 1], rgba[p + 2], rgba[p + 3]};
    }
};

std::uint32_t be32(const Bytes& b, std::size_t at)
{
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

Png decodePng(const Bytes& file)
{
    const Bytes signature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    EXPECT_TRUE(file.size() > 8 && std::equal(signature.begin(), signature.end(), file.begin()));
    Png png;
    Bytes idat;
    std::vector<std::string> order;
    for (std::size_t at = 8; at + 12 <= file.size();) {
        const std::uint32_t length = be32(file, at);
        const std::string type(file.begin() + static_cast<long>(at) + 4,
                               file.begin() + static_cast<long>(at) + 8);
        const auto data = file.begin() + static_cast<long>(at) + 8;
        const uLong crc = crc32(crc32(0, nullptr, 0), file.data() + at + 4, length + 4);
        EXPECT_EQ(be32(file, at + 8 + length), crc) << type;
        order.push_back(type);
        if (type == "IHDR") {
            png.width = be32(file, at + 8);
            png.height = be32(file, at + 12);
            png.bitDepth = file[at + 16];
            png.colourType = file[at + 17];
        } else if (type == "IDAT") {
            idat.insert(idat.end(), data, data + length);
        }
        at += 12 + length;
    }
    EXPECT_EQ(order.front(), "IHDR");
    EXPECT_EQ(order.back(), "IEND");
    const std::size_t stride = 1 + std::size_t{png.width} * 4;
    Bytes raw(stride * png.height);
    uLongf rawSize = raw.size();
    EXPECT_EQ(uncompress(raw.data(), &rawSize, idat.data(), idat.size()), Z_OK);
    EXPECT_EQ(rawSize, raw.size());
    for (std::uint32_t y = 0; y < png.height; ++y) {
        EXPECT_EQ(raw[y * stride], 0) << "row " << y;
        png.rgba.insert(png.rgba.end(), raw.begin() + static_cast<long>(y * stride + 1),
                        raw.begin() + static_cast<long>((y + 1) * stride));
    }
    return png;
}

// A banner whose icon shows each quadrant in one palette index: top-left 0 (transparent),
// top-right 1, bottom-left 2, bottom-right 3, with one pixel of index 4 at (31, 31).
BannerFields quadrantBanner()
{
    BannerFields b;
    b.head[0] = 1;
    b.palette[0] = 0x7C1F; // magenta, never drawn
    b.palette[1] = 0x001F; // red 31
    b.palette[2] = 0x03E0; // green 31
    b.palette[3] = 0x7C00; // blue 31
    b.palette[4] = 0x0421; // 1,1,1 -> 8,8,8
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            int index = (y < 16 ? 0 : 2) + (x < 16 ? 0 : 1);
            if (x == 31 && y == 31)
                index = 4;
            const int byte = ((y / 8) * 4 + x / 8) * 32 + (y % 8) * 4 + (x % 8) / 2;
            b.icon[byte] = static_cast<std::uint8_t>(
                x % 2 == 0 ? (b.icon[byte] & 0xF0) | index : (b.icon[byte] & 0x0F) | (index << 4));
        }
    }
    return b;
}

using Pixel = std::array<std::uint8_t, 4>;
const Pixel kClear = {0, 0, 0, 0};
const Pixel kRed = {248, 0, 0, 255};
const Pixel kGreen = {0, 248, 0, 255};
const Pixel kBlue = {0, 0, 248, 255};
const Pixel kGrey = {8, 8, 8, 255};

struct Outcome {
    int status = -1;
    std::string err;
};

// The real program, as a file manager runs it.
Outcome thumbnailer(const std::vector<std::string>& args, const std::string& log)
{
    const std::string binary = CARTSCOPE_BINARY_DIR "/thumbnailer/cartscope-thumbnailer";
    const pid_t pid = fork();
    if (pid < 0)
        return {};
    if (pid == 0) {
        if (!freopen(log.c_str(), "w", stderr) || !freopen("/dev/null", "w", stdout))
            _exit(99);
        std::vector<char*> argv{const_cast<char*>(binary.c_str())};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(98);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const Bytes err = cartscope::fixture::readFile(log);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(err.begin(), err.end())};
}

class Thumbnailer : public ::testing::Test {
protected:
    TempDir m_dir;
    std::string image(const ImageBuilder& b, const std::string& name = "game.nds")
    {
        const std::string path = m_dir.file(name);
        b.writeTo(path);
        return path;
    }
    Outcome run(const std::vector<std::string>& args)
    {
        return thumbnailer(args, m_dir.file("log"));
    }
    // Every name in the folder but the inputs and the log: what the program left behind.
    std::vector<std::string> leftovers() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_dir.path())) {
            const std::string n = e.path().filename().string();
            if (n != "log" && n.find(".nds") == std::string::npos)
                names.push_back(n);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(Thumbnailer, ScalesTheIconWithNearestNeighbourAndIndexZeroTransparent)
{
    const auto path = image(ImageBuilder().banner(quadrantBanner()));
    const std::string out = m_dir.file("out.png");
    const Outcome r = run({"-s", "128", path, out});
    ASSERT_EQ(r.status, 0) << r.err;
    const Png png = decodePng(cartscope::fixture::readFile(out));
    EXPECT_EQ(png.width, 128u);
    EXPECT_EQ(png.height, 128u);
    EXPECT_EQ(png.bitDepth, 8);
    EXPECT_EQ(png.colourType, 6);
    EXPECT_EQ(png.at(0, 0), kClear);
    EXPECT_EQ(png.at(63, 63), kClear);
    EXPECT_EQ(png.at(64, 0), kRed);
    EXPECT_EQ(png.at(0, 64), kGreen);
    EXPECT_EQ(png.at(64, 64), kBlue);
    // Icon pixel (31, 31) becomes a sharp 4x4 block: no blending with its neighbours.
    EXPECT_EQ(png.at(123, 123), kBlue);
    for (std::uint32_t y = 124; y < 128; ++y)
        for (std::uint32_t x = 124; x < 128; ++x)
            EXPECT_EQ(png.at(x, y), kGrey) << x << "," << y;
    EXPECT_EQ(leftovers(), std::vector<std::string>{"out.png"});
}

TEST_F(Thumbnailer, SizesThatAreNoMultipleOf32StillSampleEveryQuadrant)
{
    const thumb::IconFrame frame = [&] {
        cartscope::core::FileStream s(image(ImageBuilder().banner(quadrantBanner())));
        return thumb::readIconFrame(s);
    }();
    for (int size : {1, 16, 33, 48, 100, 256}) {
        SCOPED_TRACE(size);
        const Png png = decodePng(thumb::encodeRgbaPng(thumb::renderRgba(frame, size), size));
        ASSERT_EQ(png.width, static_cast<std::uint32_t>(size));
        const auto last = static_cast<std::uint32_t>(size - 1);
        EXPECT_EQ(png.at(0, 0), kClear);
        if (size >= 2) {
            EXPECT_EQ(png.at(last, 0), kRed);
            EXPECT_EQ(png.at(0, last), kGreen);
        }
        // The bottom-right output pixel always samples icon pixel (31, 31) once size >= 32.
        if (size >= 32) {
            EXPECT_EQ(png.at(last, last), kGrey);
        }
    }
    EXPECT_THROW(thumb::renderRgba(frame, 0), cartscope::core::Error);
    EXPECT_THROW(thumb::renderRgba(frame, 2049), cartscope::core::Error);
}

TEST_F(Thumbnailer, TheSampleIconKeepsItsColoursAndTransparentField)
{
    const auto path = image(ImageBuilder().banner(cartscope::fixture::sampleBanner()));
    const std::string out = m_dir.file("sample.png");
    ASSERT_EQ(run({"-s", "32", path, out}).status, 0);
    const Png png = decodePng(cartscope::fixture::readFile(out));
    // Frame of index 1 (0x4100: blue 16, green 8), field of index 0, diagonal of index 2
    // (0x03FF: red 31, green 31); the bottom-left pixel has index 0.
    EXPECT_EQ(png.at(5, 0), (Pixel{0, 64, 128, 255}));
    EXPECT_EQ(png.at(0, 31), kClear);
    EXPECT_EQ(png.at(5, 5), (Pixel{248, 248, 0, 255}));
    EXPECT_EQ(png.at(3, 6), kClear);
}

TEST_F(Thumbnailer, NoBannerMeansNoOutputAndAFailingStatus)
{
    struct Case {
        const char* what;
        ImageBuilder builder;
    };
    std::vector<Case> cases;
    cases.push_back({"offset 0", ImageBuilder().noBanner()});
    cases.push_back({"offset at the end", ImageBuilder().noBanner().poke32(0x68, 0x8000)});
    cases.push_back({"offset far past the end", ImageBuilder().poke32(0x68, 0x7FFFFFF0)});
    cases.push_back({"negative offset", ImageBuilder().poke32(0x68, 0x80000000)});
    cases.push_back({"all ones", ImageBuilder().poke32(0x68, 0xFFFFFFFF)});
    // The palette would end 0x20 bytes past the end of the image.
    cases.push_back({"palette cut off", ImageBuilder().poke32(0x68, 0x8000 - 0x220)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto path = image(c.builder);
        const Outcome r = run({"-s", "128", path, m_dir.file("out.png")});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("banner"), std::string::npos) << r.err;
        EXPECT_TRUE(leftovers().empty());
    }
    // The last byte of the palette inside the image is enough.
    const auto path = image(ImageBuilder().poke32(0x68, 0x8000 - 0x240));
    EXPECT_EQ(run({"-s", "128", path, m_dir.file("out.png")}).status, 0);
}

TEST_F(Thumbnailer, HostileInputsAndBadArgumentsFailCleanly)
{
    const auto good = image(ImageBuilder().banner(quadrantBanner()));
    const std::string out = m_dir.file("out.png");
    // A file too short for a header, an empty file, a folder, a missing file.
    cartscope::fixture::writeFile(m_dir.file("short.nds"), Bytes(0x60, 0xFF));
    cartscope::fixture::writeFile(m_dir.file("empty.nds"), Bytes{});
    fs::create_directory(m_dir.file("folder.nds"));
    for (const char* input : {"short.nds", "empty.nds", "folder.nds", "missing.nds"}) {
        SCOPED_TRACE(input);
        EXPECT_EQ(run({"-s", "64", m_dir.file(input), out}).status, 1);
        EXPECT_TRUE(leftovers().empty());
    }
    // A FIFO is refused before it is read, so nothing waits for a writer.
    ASSERT_EQ(mkfifo(m_dir.file("fifo.nds").c_str(), 0600), 0);
    EXPECT_EQ(run({"-s", "64", m_dir.file("fifo.nds"), out}).status, 1);
    EXPECT_TRUE(leftovers().empty());

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{good, out},
                                               {"-s", "0", good, out},
                                               {"-s", "2049", good, out},
                                               {"-s", "12x", good, out},
                                               {"-s", "-5", good, out},
                                               {"-s", "64", good},
                                               {"-s", "64", good, out, out},
                                               {"-s"},
                                               {"--bogus", "-s", "64", good, out}}) {
        EXPECT_EQ(run(args).status, 2) << ::testing::PrintToString(args);
        EXPECT_TRUE(leftovers().empty());
    }
    // OUTPUT in a folder that does not exist: nothing is created anywhere.
    const Outcome r = run({"-s", "64", good, m_dir.file("no/such/out.png")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot create file"), std::string::npos) << r.err;
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Thumbnailer, AnExistingOutputIsReplacedWholeAndKeptOnFailure)
{
    const std::string out = m_dir.file("out.png");
    cartscope::fixture::writeFile(out, Bytes(10, 'x'));
    ASSERT_EQ(run({"-s", "16", image(ImageBuilder().banner(quadrantBanner())), out}).status, 0);
    EXPECT_EQ(decodePng(cartscope::fixture::readFile(out)).width, 16u);
    EXPECT_EQ(leftovers(), std::vector<std::string>{"out.png"}); // no temporary left

    // A failing run leaves the previous thumbnail as it was.
    const Bytes before = cartscope::fixture::readFile(out);
    EXPECT_EQ(run({"-s", "16", image(ImageBuilder().noBanner(), "bad.nds"), out}).status, 1);
    EXPECT_EQ(cartscope::fixture::readFile(out), before);

    // OUTPUT that is a symbolic link: the link is replaced, its target never written.
    const std::string target = m_dir.file("target");
    cartscope::fixture::writeFile(target, Bytes(3, 't'));
    fs::remove(out);
    fs::create_symlink(target, out);
    ASSERT_EQ(run({"-s", "16", image(ImageBuilder().banner(quadrantBanner())), out}).status, 0);
    EXPECT_FALSE(fs::is_symlink(out));
    EXPECT_EQ(cartscope::fixture::readFile(target), Bytes(3, 't'));
}

// Counts what is read, to show that only the header field and the banner are touched.
class CountingStream final : public cartscope::core::Stream {
public:
    explicit CountingStream(std::uint64_t size) : m_size(size) {}
    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override
    {
        {
            const std::lock_guard lock(m_mutex);
            ranges.emplace_back(position, out.size());
        }
        std::fill(out.begin(), out.end(), 0);
        if (position <= 0x68 && 0x68 + 4 <= position + out.size())
            out[0x68 - position + 1] = 0x40; // banner offset 0x4000
        if (position >= m_size)
            return 0;
        return static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), m_size - position));
    }
    std::uint64_t size() const override { return m_size; }
    mutable std::vector<std::pair<std::uint64_t, std::size_t>> ranges;

private:
    mutable std::mutex m_mutex; // reads may come from any thread
    std::uint64_t m_size;
};

TEST(ThumbnailReads, OnlyTheBannerOffsetAndTheBannerWhateverTheImageSize)
{
    for (std::uint64_t size : {std::uint64_t{0x8000}, std::uint64_t{1} << 32}) {
        CountingStream image(size);
        thumb::readIconFrame(image);
        std::size_t total = 0;
        for (const auto& [position, length] : image.ranges) {
            EXPECT_TRUE((position + length <= 0x200) ||
                        (position >= 0x4000 && position + length <= 0x4000 + 0x840))
                << position << "+" << length;
            total += length;
        }
        EXPECT_LE(total, 0x200u + 2u + 0x840u); // DS header, version word, banner
    }
}

TEST(ThumbnailFrames, AnAnimatedIconShowsItsFirstTokensBitmapPaletteAndFlips)
{
    cartscope::fixture::VersionedBanner wanted;
    wanted.version = 0x0103;
    wanted.base = cartscope::fixture::sampleBanner();
    // The static icon is all index 1; the first token shows bitmap 5 with palette 6, flipped
    // both ways, so a thumbnail of the static icon or of an unflipped frame cannot pass.
    for (auto& b : wanted.base.icon)
        b = 0x11;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            cartscope::fixture::setIconIndex(wanted.animation.bitmaps[5], x, y, (x + 2 * y) % 16);
    for (int i = 0; i < 16; ++i)
        wanted.animation.palettes[6][static_cast<std::size_t>(i)] =
            static_cast<std::uint16_t>(0x7FFF - i * 0x0421);
    wanted.animation.sequence = {static_cast<std::uint16_t>(0xC000 | (6 << 11) | (5 << 8) | 10),
                                 0x0105, 0x0000};
    const Bytes bytes = ImageBuilder().rawBanner(cartscope::fixture::bannerBlock(wanted)).build();
    cartscope::core::MemoryStream image(bytes);
    const thumb::IconFrame frame = thumb::readIconFrame(image);

    // The reference: the banner decoder's own first animation frame.
    const std::uint64_t at = bytes[0x68] | bytes[0x69] << 8 | bytes[0x6A] << 16 |
                             static_cast<std::uint64_t>(bytes[0x6B]) << 24;
    const auto banner =
        cartscope::core::decodeBanner(cartscope::core::RawBanner::read(image, at)).info;
    ASSERT_TRUE(banner.animated);
    const auto frames = cartscope::core::decodeAnimation(banner.animation);
    ASSERT_FALSE(frames.empty());
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const std::uint8_t index = frame.index[static_cast<std::size_t>(y * 32 + x)];
            EXPECT_EQ(index, (31 - x + 2 * (31 - y)) % 16) << x << "," << y;
            EXPECT_EQ(index == 0, frames[0].isClear(x, y)) << x << "," << y;
            if (index != 0) {
                EXPECT_EQ(frame.palette[index], frames[0].picture.at(x, y)) << x << "," << y;
            }
        }
    }
}

} // namespace
