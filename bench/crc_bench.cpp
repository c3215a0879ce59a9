// Times the whole-file CRC-32 routines on one file: `crc_bench fast|reference FILE [repeats]`.
// Prints "<mode> <crc> <seconds> <MiB/s>" for the best of the repeats.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/crc32.h"
#include "core/error.h"
#include "core/stream.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: crc_bench fast|reference FILE [repeats]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string path = argv[2];
    const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    if (mode != "fast" && mode != "reference") {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    try {
        const double mib =
            static_cast<double>(cartscope::core::FileStream(path).size()) / 1048576.0;
        double best = 1e300;
        std::string crc;
        for (int i = 0; i < repeats; ++i) {
            const auto start = std::chrono::steady_clock::now();
            crc = mode == "fast" ? cartscope::core::crc32::FileCrc32(path)
                                 : cartscope::core::crc32::FileCrc32Reference(path);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            best = std::min(best, took.count());
        }
        std::printf("%s %s %.4f %.1f\n", mode.c_str(), crc.c_str(), best, mib / best);
    } catch (const cartscope::core::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
