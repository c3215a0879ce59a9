// Writes the bundled sample image: a homebrew-style cartridge with a correct header, a banner
// with an icon and six titles, and a small directory tree.
#include <cstdio>
#include <string>

#include "tests/fixture/image_builder.h"

using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::Node;

namespace {
Bytes pattern(std::size_t n, unsigned seed)
{
    Bytes b(n);
    unsigned x = seed;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<std::uint8_t>(x >> 16);
    }
    return b;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample OUT.nds\n");
        return 2;
    }
    ImageBuilder b;
    b.title("CARTSCOPE")
        .gameCode("ACSE")
        .makerCode("01")
        .unitCode(0x00)
        .deviceType(0x00)
        .deviceCapacity(0x00)
        .romVersion(0x01)
        // A version 1 banner with its CRC-16 stamped, as a real build tool writes it.
        .rawBanner(cartscope::fixture::bannerBlock(cartscope::fixture::VersionedBanner{
            1, cartscope::fixture::sampleBanner(), {}, {}, {}, true}))
        .firstFileId(2)
        .root({
            Node::file("readme.txt",
                       std::string("Cartscope sample image.\nBuilt by tools/make_sample.\n")),
            Node::dir("data",
                      {
                          Node::file("level1.bin", pattern(3000, 1)),
                          Node::file("level2.bin", pattern(1500, 2)),
                          Node::dir("sound",
                                    {
                                        Node::file("bgm.sdat", pattern(4096, 3)),
                                        Node::file("se.sdat", pattern(700, 4)),
                                    }),
                      }),
            Node::dir("gfx",
                      {
                          Node::file("font.nftr", pattern(2048, 5)),
                          Node::file("title.nclr", pattern(512, 6)),
                      }),
            Node::file("empty.dat", Bytes{}),
        });
    try {
        b.writeTo(argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
