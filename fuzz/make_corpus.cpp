// Writes the seed inputs of the fuzz targets with the fixture builder, one folder per target
// (DIR/load, DIR/fnt, DIR/banner, DIR/dsi, DIR/archive, DIR/sevenz, DIR/graphics, DIR/nftr,
// DIR/bmg). The
// checked-in corpus grew from these seeds and was minimised with -merge=1; run this only to start a
// corpus afresh.
#include <cstdio>
#include <string>

#include "tests/archive/zip_builder.h"
#include "tests/fixture/formats_builder.h"
#include "tests/fixture/image_builder.h"
#include "tests/fixture/sound_builder.h"

using namespace cartscope::fixture;

namespace {

std::vector<Node> plainTree()
{
    return {
        Node::file("a.bin", std::string("hello")),
        Node::dir("d", {Node::file("b.bin", std::string("x")),
                        Node::dir("e", {Node::file("c.bin", std::string(""))})}),
    };
}

void put32(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The input of fuzz_fnt for an image's tables: FNT and FAT positions, a 12-byte internal name,
// then the FNT and FAT bytes copied out of the built image.
Bytes tablesInput(const ImageBuilder& builder, const std::string& internal)
{
    const Bytes image = builder.build();
    const auto layout = builder.layout();
    const std::size_t fntSize = layout.fatOffset - layout.fntOffset;
    const std::size_t fatSize = 8 * std::size_t{layout.fileCount};
    Bytes out(20, 0);
    put32(out, 0, 20);
    put32(out, 4, static_cast<std::uint32_t>(20 + fntSize));
    for (std::size_t k = 0; k < internal.size() && k < 12; ++k)
        out[8 + k] = static_cast<std::uint8_t>(internal[k]);
    out.insert(out.end(), image.begin() + layout.fntOffset,
               image.begin() + layout.fntOffset + fntSize + fatSize);
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    ImageBuilder plain;
    plain.title("PLAIN").banner(sampleBanner()).root(plainTree());
    ImageBuilder hostile;
    hostile.title("../..").root(escapingTree());
    ImageBuilder bare;

    writeFile(dir + "/load/plain.nds", plain.build());
    writeFile(dir + "/load/hostile.nds", hostile.build());
    writeFile(dir + "/load/bare.nds", bare.build());

    writeFile(dir + "/fnt/plain.bin", tablesInput(plain, "PLAIN"));
    writeFile(dir + "/fnt/hostile.bin", tablesInput(hostile, "../.."));

    const Bytes withBanner = plain.build();
    const auto at = plain.layout().bannerOffset;
    writeFile(dir + "/banner/sample.bin",
              Bytes(withBanner.begin() + at, withBanner.begin() + at + 0x840));
    writeFile(dir + "/banner/short.bin",
              Bytes(withBanner.begin() + at, withBanner.begin() + at + 0x240));

    writeFile(dir + "/narc/named.narc",
              narcArchive({{"a.bin", Bytes{1, 2, 3}}, {"d/b.bin", Bytes{0x10, 5}}}, true));
    writeFile(dir + "/narc/plain.narc", narcArchive({{"", Bytes{'N', 'A', 'R', 'C'}}}, false));

    // fuzz_sdat: an archive with one file of each kind; fuzz_sseq: a looping two-track sequence.
    {
        SdatFields f;
        const auto entry = [](const std::string& name, Bytes file) {
            SoundEntryFields e;
            e.name = name;
            e.file = std::move(file);
            return e;
        };
        const Bytes seq{0x93, 0x01, 0x0D, 0x00, 0x00, 0xE1, 0x78, 0x00, 0x3C,
                        0x64, 0x30, 0x94, 0x08, 0x00, 0x00, 0xC1, 0x64, 0xFF};
        f.sequences = {entry("BGM", sseqFile(seq))};
        f.sequenceArchives = {entry("", ssarFile({0xFF, 0x40, 0x50, 0x10, 0xFF}, {0, 1}))};
        f.banks = {entry("BANK", sbnkFile({{1, noteDefinition(0, 0, 60)}}))};
        f.waveArchives = {entry("WA", swarFile({waveBytes(2, true, 8000, 1, 2, Bytes(12, 0x37))}))};
        StrmFields s;
        s.encoding = 2;
        s.samples = 8;
        s.blocks = 1;
        s.blockLength = s.lastLength = 8;
        s.blockSamples = s.lastSamples = 8;
        s.data = Bytes(8, 0x19);
        f.streams = {entry("MUSIC", strmFile(s))};
        writeFile(dir + "/sdat/sample.sdat", sdatArchive(f));
        writeFile(dir + "/sseq/loop.bin", seq);
    }

    // fuzz_dsi: a DSi-only image with an animated banner, a DS image with a version 3 banner.
    VersionedBanner animated;
    animated.version = 0x0103;
    animated.base = sampleBanner();
    animated.korean = u"\uCE74";
    animated.animation.sequence = {0x0105, 0x4A02, 0x8B00};
    ImageBuilder dsi;
    dsi.unitCode(0x03).poke32(0x1B0, 0x21).poke8(0x1BF, 0x0B).poke32(0x234, 0x00030004);
    dsi.rawBanner(bannerBlock(animated));
    writeFile(dir + "/dsi/animated.nds", dsi.build());
    VersionedBanner korean = animated;
    korean.version = 0x0003;
    writeFile(dir + "/dsi/korean.nds", ImageBuilder().rawBanner(bannerBlock(korean)).build());

    using cartscope::testzip::Entry;
    cartscope::testzip::Options stored;
    stored.deflate = false;
    const Bytes small(4096, 0x5A);
    writeFile(dir + "/archive/stored.zip",
              cartscope::testzip::buildZip(
                  {Entry::file("readme.txt", std::string("hi")), Entry::file("game.nds", small)},
                  stored));
    writeFile(dir + "/archive/deflated.zip",
              cartscope::testzip::buildZip({Entry::file("dir/game.ids", bare.build())}));
    // fuzz_sevenz: a solid LZMA2 block with an encoded header, and a stored one.
    for (const char* compression : {"lzma2", "copy"})
        writeFile(
            dir + "/sevenz/" + compression + ".7z",
            cartscope::testzip::buildSevenZip({Entry::dir("d/"), Entry::file("d/a.nds", small),
                                               Entry::file("b.dsi", std::string("b"))},
                                              compression));

    // fuzz_graphics: one file of each kind, a compressed palette and an 8-bit linear picture.
    const Bytes tiles = pattern(4 * 32, 7);
    writeFile(dir + "/graphics/palette.nclr",
              nclrFile(4, std::vector<std::uint16_t>(32, 0x1234), {1, 3}));
    writeFile(dir + "/graphics/tiles.ncgr", ncgrFile(4, 2, 2, false, 0x10, tiles));
    writeFile(dir + "/graphics/linear.ncgr", ncgrFile(8, 0xFFFF, 0xFFFF, true, 0, tiles));
    writeFile(dir + "/graphics/screen.nscr", nscrFile(16, 16, {0x0000, 0x0401, 0x1802, 0xF003}));
    writeFile(
        dir + "/graphics/cells.ncer",
        ncerFile({{{0x0000, 0x4000, 0x0001}, {0x00F8, 0x11F8, 0x1002}}, {{0x8000, 0, 0}}}, 1));
    writeFile(dir + "/graphics/anim.nanr",
              nanrFile({{{0, 4, 0, 0}, {1, 8, 3, -2}}, {{1, 2}}}, true));

    // fuzz_nftr: a 2-bit font with widths and all three map forms.
    FontFields font;
    font.glyphs.assign(4, pattern(16, 3));
    font.widths = {{0, 6, 7}, {1, 5, 6}};
    font.maps = {{0, 0x41, 0x42, {0}}, {1, 0x61, 0x62, {2, 0xFFFF}}, {2, 0, 0, {0x3042, 3}}};
    writeFile(dir + "/nftr/font.nftr", nftrFile(font));

    // fuzz_bmg: UTF-16 with an escape and IDs, Shift-JIS big-endian.
    BmgFields utf16;
    utf16.messages = {Bytes{'H', 0, 'i', 0}, Bytes{0x1A, 0, 6, 1, 2, 3, '!', 0}, {}};
    utf16.ids = {1, 2, 3};
    writeFile(dir + "/bmg/utf16.bmg", bmgFile(utf16));
    BmgFields sjis;
    sjis.bigEndian = true;
    sjis.encoding = 3;
    sjis.messages = {Bytes{0x82, 0xA0, '{'}, Bytes{0x1A, 3, 9, 0xED, 0x40}};
    writeFile(dir + "/bmg/sjis.bmg", bmgFile(sjis));
    return 0;
}
