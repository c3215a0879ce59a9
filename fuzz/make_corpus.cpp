// Writes the seed corpora for the fuzz targets with the fixture builder.
#include <cstdio>
#include <string>

#include "tests/fixture/image_builder.h"

using namespace cartscope::fixture;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    auto tree = std::vector<Node>{
        Node::file("a.bin", std::string("hello")),
        Node::dir("d", {Node::file("b.bin", std::string("x")),
                        Node::dir("e", {Node::file("c.bin", std::string(""))})}),
    };
    ImageBuilder plain;
    plain.banner(sampleBanner()).root(tree);
    writeFile(dir + "/load/plain.nds", plain.build());
    writeFile(dir + "/plan/plain.nds", plain.build());
    ImageBuilder hostile;
    hostile.title("../..").root({Node::file("..", std::string("x")),
                                 Node::file("a/b", std::string("y")),
                                 Node::dir(".", {Node::file("", std::string("z"))})});
    writeFile(dir + "/load/hostile.nds", hostile.build());
    writeFile(dir + "/plan/hostile.nds", hostile.build());
    ImageBuilder bare;
    writeFile(dir + "/load/bare.nds", bare.build());
    const Bytes banner = plain.build();
    const auto at = plain.layout().bannerOffset;
    writeFile(dir + "/png/sample.bin",
              Bytes(banner.begin() + at + 0x20, banner.begin() + at + 0x241));
    writeFile(dir + "/narc/named.narc",
              narcArchive({{"a.bin", Bytes{1, 2, 3}}, {"d/b.bin", Bytes{0x10, 5}}}, true));
    writeFile(dir + "/narc/plain.narc", narcArchive({{"", Bytes{'N', 'A', 'R', 'C'}}}, false));
    writeFile(dir + "/narc/system.nds", systemImage({.dsi = true}).build());
    return 0;
}
