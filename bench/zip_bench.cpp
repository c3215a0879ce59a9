// Taking an image out of a .zip, driven by zip_bench.sh.
//   zip_bench image OUT.nds [MIB]   a MIB MiB image (default 256) whose one big file holds
//                                   compressible, never-repeating data
//   zip_bench extract X.zip         extractFirstImage into the private temporary area, then
//                                   delete the copy; prints "extract <bytes> <seconds>"
//   zip_bench check X.zip IMAGE     extractFirstImage and compare the copy with IMAGE
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "archive/zip_input.h"
#include "core/error.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::Node;

// Text-like data: "words" of 2-9 letters from a 32-letter alphabet, a third of them repeated
// from a small recent window, so deflate finds matches without the data ever turning into a
// run. zlib's default level shrinks it to about a quarter.
Bytes compressible(std::size_t n)
{
    Bytes b;
    b.reserve(n);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    while (b.size() < n) {
        const std::uint64_t r = next();
        if (r % 3 == 0 && b.size() > 4096) {
            const std::size_t length = 8 + (r >> 8) % 56;
            const std::size_t from = b.size() - 1 - (r >> 16) % 4000;
            for (std::size_t i = 0; i < length && b.size() < n; ++i)
                b.push_back(b[from + i]);
        } else {
            const std::size_t length = 2 + (r >> 8) % 8;
            for (std::size_t i = 0; i < length && b.size() < n; ++i)
                b.push_back(static_cast<std::uint8_t>('a' + ((r >> (12 + 5 * i)) & 31)));
            if (b.size() < n)
                b.push_back(' ');
        }
    }
    return b;
}

int makeImage(const std::string& out, std::size_t mib)
{
    const std::size_t total = mib << 20;
    // The tables, banner and alignment take well under 64 KiB of the image.
    ImageBuilder builder;
    builder.title("ZIPBENCH")
        .gameCode("ZBCE")
        .root({Node::file("big.bin", compressible(total - (64 << 10)))})
        .totalSize(total);
    builder.writeTo(out);
    return 0;
}

bool sameFile(const std::string& a, const std::string& b)
{
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (fa && fb) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() ||
            !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
    }
    return fa.eof() && fb.eof();
}

int extract(const std::string& zip, const std::string* compareWith)
{
    const auto start = std::chrono::steady_clock::now();
    auto image = cartscope::archive::extractFirstImage(zip, {});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!image) {
        std::fprintf(stderr, "no image extracted from %s\n", zip.c_str());
        return 1;
    }
    std::ifstream copy(image->path, std::ios::binary | std::ios::ate);
    const auto bytes = static_cast<long long>(copy.tellg());
    if (compareWith) {
        const bool same = sameFile(image->path, *compareWith);
        std::printf("%s\n", same ? "same" : "DIFFERENT");
        return same ? 0 : 1;
    }
    std::printf("extract %lld %.3f\n", bytes, seconds);
    return 0; // the copy and its folder go with `image`
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        if (args.size() >= 2 && args[0] == "image")
            return makeImage(args[1], args.size() > 2 ? std::stoul(args[2]) : 256);
        if (args.size() == 2 && args[0] == "extract")
            return extract(args[1], nullptr);
        if (args.size() == 3 && args[0] == "check")
            return extract(args[1], &args[2]);
        std::fprintf(stderr, "usage: zip_bench image OUT.nds [MIB] | extract X.zip | "
                             "check X.zip IMAGE\n");
        return 2;
    } catch (const cartscope::core::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
