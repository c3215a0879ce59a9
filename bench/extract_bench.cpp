// Whole-tree extraction throughput, driven by extract_bench.sh.
//   extract_bench tree OUT.nds [FILES] [DIRS]   image with FILES files of 4-64 KiB in DIRS folders
//   extract_bench big OUT.nds [MIB]             image with one file of MIB MiB
//   extract_bench extract IMAGE DIR             parse, plan and extractAll into DIR/<name>/
//   extract_bench plain IMAGE DIR               the same files, by plain open + copy_file_range
// The two copy modes print "<mode> <files> <bytes> <seconds>". `plain` is the floor: the same
// paths (planned, untimed) written with create_directories, open and a copy_file_range loop,
// without the safety walk; `extract` times everything, the table walk included.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/error.h"
#include "core/extract.h"
#include "core/filelist.h"
#include "core/fnt.h"
#include "core/le.h"
#include "core/stream.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::Node;
namespace core = cartscope::core;

Bytes filler(std::size_t n, std::uint32_t seed)
{
    Bytes b(n);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (std::size_t k = 0; k < n; k += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        for (std::size_t j = 0; j < 8 && k + j < n; ++j)
            b[k + j] = static_cast<std::uint8_t>(x >> (8 * j));
    }
    return b;
}

int makeTree(const std::string& out, std::size_t files, std::size_t dirs)
{
    std::vector<Node> folders;
    std::uint32_t seed = 1;
    for (std::size_t d = 0; d < dirs; ++d) {
        std::vector<Node> children;
        for (std::size_t f = d; f < files; f += dirs) {
            const std::size_t size = 4096 + (seed * 2654435761u) % (60 * 1024 + 1);
            children.push_back(Node::file("file" + std::to_string(f) + ".bin", filler(size, seed)));
            ++seed;
        }
        folders.push_back(Node::dir("dir" + std::to_string(d), std::move(children)));
    }
    ImageBuilder b;
    b.title("BENCHTREE").root({Node::dir("data", std::move(folders))});
    b.writeTo(out);
    return 0;
}

int makeBig(const std::string& out, std::size_t mib)
{
    ImageBuilder b;
    b.title("BENCHBIG").root({Node::file("big.bin", filler(mib << 20, 7))});
    b.writeTo(out);
    return 0;
}

std::vector<core::FileRow> rowsOf(core::Stream& image)
{
    std::uint8_t head[0x50] = {};
    image.seek(0);
    image.read(head);
    std::vector<core::TFileEntry> files;
    std::vector<core::TDirEntry> dirs;
    core::ParseFNT(image, core::le32(head, 0x40), core::le32(head, 0x48), files, dirs);
    return core::ParseArraysToList(files, dirs);
}

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int extract(const std::string& imagePath, const std::string& dir)
{
    const auto start = std::chrono::steady_clock::now();
    core::FileStream image(imagePath);
    const auto plan = core::planExtraction(dir, "BENCH", rowsOf(image));
    const auto summary = core::extractAll(image, plan, {});
    std::printf("extract %zu %llu %.4f\n", summary.files,
                static_cast<unsigned long long>(summary.bytes), seconds(start));
    return 0;
}

int plain(const std::string& imagePath, const std::string& dir)
{
    core::FileStream image(imagePath);
    const auto plan = core::planExtraction(dir, "BENCH", rowsOf(image));
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t bytes = 0;
    for (std::size_t k = 0; k < plan.size(); ++k) {
        const std::string& path = plan[k].full;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (out < 0) {
            std::perror(path.c_str());
            return 1;
        }
        auto in = static_cast<loff_t>(plan[k].offset);
        std::uint64_t left = plan[k].size > 0 ? static_cast<std::uint64_t>(plan[k].size) : 0;
        while (left > 0) {
            const ssize_t n = ::copy_file_range(image.fd(), &in, out, nullptr, left, 0);
            if (n <= 0) {
                std::perror("copy_file_range");
                return 1;
            }
            left -= static_cast<std::uint64_t>(n);
            bytes += static_cast<std::uint64_t>(n);
        }
        ::close(out);
    }
    std::printf("plain %zu %llu %.4f\n", plan.size(), static_cast<unsigned long long>(bytes),
                seconds(start));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() >= 2 && args[0] == "tree")
            return makeTree(args[1], args.size() > 2 ? std::stoul(args[2]) : 3000,
                            args.size() > 3 ? std::stoul(args[3]) : 100);
        if (args.size() >= 2 && args[0] == "big")
            return makeBig(args[1], args.size() > 2 ? std::stoul(args[2]) : 256);
        if (args.size() == 3 && args[0] == "extract")
            return extract(args[1], args[2]);
        if (args.size() == 3 && args[0] == "plain")
            return plain(args[1], args[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: extract_bench tree|big OUT.nds [N...] | extract|plain IMAGE DIR\n");
    return 2;
}
