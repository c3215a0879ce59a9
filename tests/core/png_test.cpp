#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include "core/banner/png.h"
#include "core/base/error.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;
using fixture::TempDir;

// The PNG chunk CRC written out bit by bit, independent of zlib's table.
std::uint32_t isoCrc32(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

std::uint32_t be32(const Bytes& b, std::size_t at)
{
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

struct Chunk {
    std::string type;
    Bytes data;
};

// Splits a PNG into its chunks, checking the signature and every chunk CRC on the way.
std::vector<Chunk> chunksOf(const Bytes& png)
{
    const Bytes signature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    EXPECT_TRUE(png.size() >= 8 && std::equal(signature.begin(), signature.end(), png.begin()));
    std::vector<Chunk> chunks;
    std::size_t at = 8;
    while (at + 12 <= png.size()) {
        const std::uint32_t length = be32(png, at);
        if (length > png.size() - at - 12) {
            ADD_FAILURE() << "chunk runs past the end";
            break;
        }
        Chunk c;
        c.type.assign(png.begin() + static_cast<std::ptrdiff_t>(at + 4),
                      png.begin() + static_cast<std::ptrdiff_t>(at + 8));
        c.data.assign(png.begin() + static_cast<std::ptrdiff_t>(at + 8),
                      png.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
        EXPECT_EQ(be32(png, at + 8 + length), isoCrc32(png.data() + at + 4, length + 4)) << c.type;
        chunks.push_back(std::move(c));
        at += 12 + length;
    }
    EXPECT_EQ(at, png.size()) << "bytes after the last chunk";
    return chunks;
}

std::vector<std::string> typesOf(const std::vector<Chunk>& chunks)
{
    std::vector<std::string> types;
    for (const auto& c : chunks)
        types.push_back(c.type);
    return types;
}

Bytes inflateAll(const Bytes& stream)
{
    Bytes out(64 * 1024);
    uLongf size = static_cast<uLongf>(out.size());
    EXPECT_EQ(uncompress(out.data(), &size, stream.data(), static_cast<uLong>(stream.size())),
              Z_OK);
    out.resize(size);
    return out;
}

// A picture with every channel different, a colour that repeats and a key pixel that is not
// black.
IconPicture testPicture()
{
    IconPicture p;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            p.set(x, y,
                  Rgb{static_cast<std::uint8_t>((x * 8) % 256),
                      static_cast<std::uint8_t>((y * 8) % 256),
                      static_cast<std::uint8_t>(((x + y) * 8) % 256)});
    p.set(0, 31, Rgb{8, 16, 24});
    p.set(17, 5, Rgb{8, 16, 24});
    return p;
}

TEST(EncodeIconPng, WritesFixedChunksInOrder)
{
    const IconPicture picture = testPicture();
    const auto opaque = chunksOf(encodeIconPng(picture, false));
    EXPECT_EQ(typesOf(opaque), (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    const auto trans = chunksOf(encodeIconPng(picture, true));
    EXPECT_EQ(typesOf(trans), (std::vector<std::string>{"IHDR", "tRNS", "IDAT", "IEND"}));

    const Bytes ihdr = {0, 0, 0, 32, 0, 0, 0, 32, 8, 2, 0, 0, 0};
    EXPECT_EQ(opaque[0].data, ihdr);
    EXPECT_TRUE(opaque.back().data.empty());
    // The key is the bottom-left pixel's colour as three 16-bit samples.
    EXPECT_EQ(trans[1].data, (Bytes{0, 8, 0, 16, 0, 24}));
}

TEST(EncodeIconPng, AllBlackIconHasAllZeroTransparentColour)
{
    const auto chunks = chunksOf(encodeIconPng(IconPicture{}, true));
    ASSERT_EQ(chunks[1].type, "tRNS");
    EXPECT_EQ(chunks[1].data, Bytes(6, 0));
}

TEST(EncodeIconPng, ImageDataIsSubFilteredRowsInOneLevel7Stream)
{
    const IconPicture picture = testPicture();
    const auto chunks = chunksOf(encodeIconPng(picture, false));
    const Bytes& stream = chunks[1].data;
    // zlib header: 32 KiB window, deflate, and the level bits of a level above 6.
    ASSERT_GE(stream.size(), 2u);
    EXPECT_EQ(stream[0], 0x78);
    EXPECT_EQ(stream[1], 0xDA);

    Bytes expected;
    for (int y = 0; y < 32; ++y) {
        expected.push_back(1);
        for (int x = 0; x < 32; ++x) {
            const Rgb c = picture.at(x, y);
            const Rgb left = x == 0 ? Rgb{} : picture.at(x - 1, y);
            expected.push_back(static_cast<std::uint8_t>(c.r - left.r));
            expected.push_back(static_cast<std::uint8_t>(c.g - left.g));
            expected.push_back(static_cast<std::uint8_t>(c.b - left.b));
        }
    }
    EXPECT_EQ(inflateAll(stream), expected);

    // The same rows through zlib's one-call compressor (window bits 15, memory level 8, default
    // strategy) at level 7 give the very same stream.
    Bytes reference(compressBound(static_cast<uLong>(expected.size())));
    uLongf size = static_cast<uLongf>(reference.size());
    ASSERT_EQ(
        compress2(reference.data(), &size, expected.data(), static_cast<uLong>(expected.size()), 7),
        Z_OK);
    reference.resize(size);
    EXPECT_EQ(stream, reference);
}

TEST(AppendIdatChunks, SplitsLongStreamsAt65535Bytes)
{
    const auto split = [](std::size_t length) {
        Bytes stream(length);
        for (std::size_t i = 0; i < length; ++i)
            stream[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
        Bytes png(8, 0); // a stand-in signature so chunksOf can walk it
        const Bytes sig = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
        std::copy(sig.begin(), sig.end(), png.begin());
        detail::appendIdatChunks(png, stream);
        std::vector<std::size_t> sizes;
        Bytes joined;
        for (const auto& c : chunksOf(png)) {
            EXPECT_EQ(c.type, "IDAT");
            sizes.push_back(c.data.size());
            joined.insert(joined.end(), c.data.begin(), c.data.end());
        }
        EXPECT_EQ(joined, stream);
        return sizes;
    };
    EXPECT_EQ(split(1), (std::vector<std::size_t>{1}));
    EXPECT_EQ(split(65535), (std::vector<std::size_t>{65535}));
    EXPECT_EQ(split(65536), (std::vector<std::size_t>{65535, 1}));
    EXPECT_EQ(split(2 * 65535 + 10), (std::vector<std::size_t>{65535, 65535, 10}));
}

// A Python with the pure-Python PNG decoder, or nothing. The system interpreter is tried first
// since a user-level one on PATH may lack the Debian module.
std::optional<std::string> pythonWithPng()
{
    for (const char* python : {"/usr/bin/python3", "python3"}) {
        const std::string probe = std::string(python) + " -c \"import png\" >/dev/null 2>&1";
        if (std::system(probe.c_str()) == 0)
            return python;
    }
    return std::nullopt;
}

struct Decoded {
    int width = 0, height = 0;
    std::optional<Rgb> transparent;
    std::vector<int> samples;
};

Decoded decodeWithPython(const std::string& python, const std::string& path)
{
    const std::string script = "import png,sys\n"
                               "w,h,rows,info=png.Reader(filename=sys.argv[1]).read()\n"
                               "t=info.get(\"transparent\")\n"
                               "print(w,h,*(t if t else [-1]))\n"
                               "print(*[v for row in rows for v in row])\n";
    const std::string command = python + " -c '" + script + "' '" + path + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    if (pipe) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
            output.append(buffer, n);
    }
    std::istringstream in(output);
    Decoded d;
    int first = -1;
    in >> d.width >> d.height >> first;
    if (first >= 0) {
        int g = 0, b = 0;
        in >> g >> b;
        d.transparent = Rgb{static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(g),
                            static_cast<std::uint8_t>(b)};
    }
    for (int v; in >> v;)
        d.samples.push_back(v);
    if (d.width != 32)
        ADD_FAILURE() << "decoder said: " << output;
    return d;
}

TEST(ExportIcon, FilesDecodeInARealDecoder)
{
    const auto python = pythonWithPng();
    if (!python)
        GTEST_SKIP() << "python3 with the png module is not available";
    TempDir dir;
    const IconPicture picture = testPicture();
    const auto written = exportIcon(dir.file("game.png"), picture, true);
    ASSERT_EQ(written.size(), 2u);

    std::vector<int> expected;
    for (const Rgb& c : picture.pixels) {
        expected.push_back(c.r);
        expected.push_back(c.g);
        expected.push_back(c.b);
    }
    const Decoded trans = decodeWithPython(*python, written[0]);
    EXPECT_EQ(trans.width, 32);
    EXPECT_EQ(trans.height, 32);
    ASSERT_TRUE(trans.transparent.has_value());
    EXPECT_EQ(*trans.transparent, (Rgb{8, 16, 24}));
    EXPECT_EQ(trans.samples, expected);

    const Decoded opaque = decodeWithPython(*python, written[1]);
    EXPECT_FALSE(opaque.transparent.has_value());
    EXPECT_EQ(opaque.samples, expected);
}

bool hasTrns(const std::string& path)
{
    const auto types = typesOf(chunksOf(fixture::readFile(path)));
    return std::find(types.begin(), types.end(), "tRNS") != types.end();
}

std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ExportIcon, NamesFollowTheExtensionRule)
{
    const IconPicture picture = testPicture();
    {
        TempDir dir;
        const auto written = exportIcon(dir.file("game.png"), picture, true);
        EXPECT_EQ(written, (std::vector<std::string>{dir.file("game-Trans.png"),
                                                     dir.file("game-NoTrans.png")}));
        EXPECT_EQ(namesIn(dir.path()),
                  (std::vector<std::string>{"game-NoTrans.png", "game-Trans.png"}));
        EXPECT_TRUE(hasTrns(dir.file("game-Trans.png")));
        EXPECT_FALSE(hasTrns(dir.file("game-NoTrans.png")));
    }
    {
        TempDir dir;
        exportIcon(dir.file("game"), picture, true);
        EXPECT_EQ(namesIn(dir.path()),
                  (std::vector<std::string>{"game-NoTrans.png", "game-Trans.png"}));
    }
    {
        TempDir dir;
        EXPECT_EQ(exportIcon(dir.file("game.bmp"), picture, false),
                  (std::vector<std::string>{dir.file("game.png")}));
        EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"game.png"}));
        EXPECT_FALSE(hasTrns(dir.file("game.png")));
    }
    {
        TempDir dir;
        std::filesystem::create_directory(dir.file("a.b"));
        exportIcon(dir.file("a.b/game"), picture, false);
        EXPECT_EQ(namesIn(dir.file("a.b")), (std::vector<std::string>{"game.png"}));
    }
}

TEST(WriteIconPng, ReplacesAnExistingFile)
{
    TempDir dir;
    fixture::writeFile(dir.file("game.png"), Bytes(100000, 0xAB));
    std::filesystem::permissions(dir.file("game.png"), std::filesystem::perms::owner_read |
                                                           std::filesystem::perms::owner_write);
    writeIconPng(dir.file("game.png"), IconPicture{}, false);
    EXPECT_EQ(fixture::readFile(dir.file("game.png")), encodeIconPng(IconPicture{}, false));
    // Replaced whole, it keeps its permissions.
    EXPECT_EQ(std::filesystem::status(dir.file("game.png")).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    // A link is followed: the file it names is replaced, the link stays.
    std::filesystem::create_symlink("game.png", dir.file("link.png"));
    writeIconPng(dir.file("link.png"), IconPicture{}, true);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.png")));
    EXPECT_EQ(fixture::readFile(dir.file("game.png")), encodeIconPng(IconPicture{}, true));
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"game.png", "link.png"}));
}

std::string errorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "no error";
}

TEST(ExportIcon, FailureNamesThePathAndStops)
{
    TempDir dir;
    const IconPicture picture = testPicture();
    const std::string missing = dir.file("missing/game.png");
    EXPECT_EQ(errorOf([&] { exportIcon(missing, picture, true); }),
              "Cannot create file \"" + dir.file("missing/game-Trans.png") +
                  "\". No such file or directory");
    EXPECT_TRUE(namesIn(dir.path()).empty());

    // The first file is written, the second cannot be created: the error propagates.
    std::filesystem::create_directory(dir.file("game-NoTrans.png"));
    EXPECT_EQ(errorOf([&] { exportIcon(dir.file("game.png"), picture, true); }),
              "Cannot create file \"" + dir.file("game-NoTrans.png") + "\". Is a directory");
    EXPECT_TRUE(hasTrns(dir.file("game-Trans.png")));
}

TEST(WriteIconPng, WriteFailureNamesTheFile)
{
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_EQ(errorOf([] { writeIconPng("/dev/full", IconPicture{}, false); }),
                  "Cannot write file \"/dev/full\". No space left on device");
        EXPECT_TRUE(std::filesystem::exists("/dev/full")); // a device is never removed
    }
}

// In a child process, so the file size limit binds nothing else: the write fails part way, the
// error names the file, and the icon that was there stays as it was, with nothing beside it.
int writeBeyondFileSizeLimit(const std::string& path)
{
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100, 100};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            std::_Exit(3);
        const std::string message = errorOf([&] { writeIconPng(path, testPicture(), true); });
        std::_Exit(message == "Cannot write file \"" + path + "\". File too large" ? 0 : 1);
    }
    int status = -1;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(WriteIconPng, AFailedWriteKeepsThePreviousFile)
{
    TempDir dir;
    const Bytes previous(60, 0x5A);
    fixture::writeFile(dir.file("cut.png"), previous);
    EXPECT_EQ(writeBeyondFileSizeLimit(dir.file("cut.png")), 0);
    EXPECT_EQ(fixture::readFile(dir.file("cut.png")), previous);
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"cut.png"});
    // Nor is a file left where there was none.
    EXPECT_EQ(writeBeyondFileSizeLimit(dir.file("new.png")), 0);
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"cut.png"});
}

} // namespace
} // namespace cartscope::core
