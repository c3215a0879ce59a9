#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/formats/bmg.h"
#include "core/formats/font.h"
#include "core/formats/graphics.h"
#include "tests/fixture/formats_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;
using Decode = std::function<void(const Bytes&)>;

Bytes poked16(Bytes b, std::size_t at, std::uint16_t v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    return b;
}

Bytes poked32(Bytes b, std::size_t at, std::uint32_t v)
{
    b = poked16(std::move(b), at, static_cast<std::uint16_t>(v));
    return poked16(std::move(b), at + 2, static_cast<std::uint16_t>(v >> 16));
}

Bytes shortened(Bytes b, std::size_t by)
{
    b.resize(b.size() - by);
    return b;
}

const Bytes kTile = fixture::pattern(32, 1);
const Palette& palette()
{
    static const Palette p =
        decodeNclr(fixture::nclrFile(4, std::vector<std::uint16_t>(16, 0x7FFF)), "p");
    return p;
}
const Graphics& graphics()
{
    static const Graphics g = decodeNcgr(fixture::ncgrFile(4, 1, 1, false, 0x10, kTile), "g");
    return g;
}

const Decode nclr = [](const Bytes& b) { decodeNclr(b, "x.NCLR"); };
const Decode ncgr = [](const Bytes& b) { renderGraphics(decodeNcgr(b, "x.NCGR"), palette()); };
const Decode nscr = [](const Bytes& b) {
    renderScreen(decodeNscr(b, "x.NSCR"), graphics(), palette());
};
const Decode ncer = [](const Bytes& b) {
    renderCellSheet(decodeNcer(b, "x.NCER"), graphics(), palette());
};
const Decode nanr = [](const Bytes& b) {
    const Cells cells = decodeNcer(fixture::ncerFile({{{}}}), "c");
    renderSequence(decodeNanr(b, "x.NANR"), 0, cells, graphics(), palette());
};
const Decode nftr = [](const Bytes& b) { renderGlyphSheet(decodeNftr(b, "x.NFTR")); };
const Decode bmg = [](const Bytes& b) { bmgTexts(readBmg(b, "x.bmg"), true); };

// PLTT at 0x10 (data 0x18), PCMP at 0x48 (data 0x50, its table at 0x58).
const Bytes kNclr = fixture::nclrFile(4, std::vector<std::uint16_t>(16, 0x1234), {0});
const Bytes kNcgr = fixture::ncgrFile(4, 1, 1, false, 0x10, kTile);
const Bytes kNscr = fixture::nscrFile(8, 8, {0x0000});
const Bytes kNcer = fixture::ncerFile({{{0, 0, 0}}});
const Bytes kNanr = fixture::nanrFile({{{0, 1}}});

fixture::FontFields fontFields()
{
    fixture::FontFields f;
    f.glyphs.assign(2, Bytes(16, 0x5A));
    f.maps = {{0, 0x20, 0x21, {0}}, {1, 0x30, 0x31, {1, 0}}};
    return f;
}
// FINF at 0x10, CGLP at 0x2C (data 0x34), the direct CMAP at 0x5C (data 0x64), the table CMAP
// at 0x72 (data 0x7A).
const Bytes kNftr = fixture::nftrFile(fontFields());

fixture::BmgFields bmgFields()
{
    fixture::BmgFields s;
    s.encoding = 1;
    s.messages = {Bytes{'h', 'i'}};
    return s;
}
const Bytes kBmg = fixture::bmgFile(bmgFields());

Bytes cellBomb()
{
    // Five cells, each naming the same 65,535 objects.
    std::vector<std::vector<fixture::OamFields>> cells(5);
    cells[0].assign(65535, fixture::OamFields{});
    Bytes b = fixture::ncerFile(cells);
    for (std::size_t c = 1; c < 5; ++c) {
        b = poked16(std::move(b), 0x30 + 8 * c, 65535);
        b = poked32(std::move(b), 0x30 + 8 * c + 4, 0);
    }
    return b;
}

Bytes mapBomb()
{
    fixture::FontFields f = fontFields();
    f.maps.assign(40, fixture::CmapFields{0, 0, 0xFFFF, {0}});
    return fixture::nftrFile(f);
}

Bytes hugeFont()
{
    // 259 glyphs of 255 x 255 one-bit pixels: just past 4096 x 4096 pixels in all.
    fixture::FontFields f;
    f.cellWidth = 255;
    f.cellHeight = 255;
    f.bitsPerPixel = 1;
    f.glyphBytes = (255 * 255 + 7) / 8;
    f.glyphs.assign(259, Bytes(f.glyphBytes, 0));
    return fixture::nftrFile(f);
}

Bytes bmgWithoutEnd()
{
    Bytes b = kBmg;
    // DAT1 at 0x40: its data (from 0x48) filled with letters, no zero anywhere.
    std::fill(b.begin() + 0x48, b.begin() + 0x60, 'a');
    return poked32(std::move(b), 0x30, 0);
}

Bytes bmgEscapePastEnd()
{
    Bytes b = kBmg;
    b[0x49] = 0x1A; // the message "hi" at DAT1 offset 1 becomes an escape of length 0xF0
    b[0x4A] = 0xF0;
    return b;
}

struct Row {
    const char* name;
    Bytes bytes;
    Decode run;
    std::string error;
};

TEST(FormatsHostile, EveryMalformedFieldIsTheUsersError)
{
    const std::vector<Row> rows = {
        {"empty NCLR", {}, nclr, "\"x.NCLR\" is not an NCLR file"},
        {"wrong BOM", poked16(kNclr, 4, 0xFFFE), nclr, "is not an NCLR file"},
        {"NCGR read as NCLR", kNcgr, nclr, "is not an NCLR file"},
        {"one byte short", shortened(kNclr, 1), nclr, "is damaged: it is cut short"},
        {"header size 8", poked16(kNclr, 0x0C, 8), nclr, "the header size 8 does not fit"},
        {"nine blocks", poked16(kNclr, 0x0E, 9), nclr, "block 3 of 9 lies past the end"},
        {"block size 4", poked32(kNclr, 0x14, 4), nclr, "the PLTT block's size 4 does not fit"},
        {"block past the end", poked32(kNclr, 0x14, 0xFFFFFFF0), nclr, "size 4294967280 does"},
        {"palette depth 5", poked16(kNclr, 0x18, 5), nclr, "the bit depth value 5 is unknown"},
        {"colours past PLTT", poked32(kNclr, 0x24, 0x10000), nclr, "colours lie past"},
        {"PCMP palette 40", poked16(kNclr, 0x58, 40), nclr, "names palette 40"},
        {"PCMP table past", poked16(kNclr, 0x50, 900), nclr, "PCMP table runs past"},
        {"no CHAR block", poked32(kNcgr, 0x10, 0x41414141), ncgr, "it has no CHAR block"},
        {"pixel data past", poked32(kNcgr, 0x28, 33), ncgr, "pixel data runs past the CHAR"},
        {"huge NCGR", poked32(kNcgr, 0x18, 0xFFFEFFFE), ncgr,
         "The picture is too large (524272 x 524272 pixels; at most 4096 x 4096)"},
        {"huge NSCR", poked32(kNscr, 0x18, 0xFFF8FFF8), nscr, "The picture is too large"},
        {"screen data past", poked32(kNscr, 0x20, 4), nscr, "screen data runs past"},
        {"65535 cells", poked16(kNcer, 0x18, 0xFFFF), ncer, "cell table runs past"},
        {"objects past", poked32(kNcer, 0x34, 0x7FFFFFFF), ncer, "cell 0's objects run past"},
        {"cells sharing objects", cellBomb(), ncer, "more than 262144 objects"},
        {"65535 sequences", poked16(kNanr, 0x18, 0xFFFF), nanr, "sequence table runs past"},
        {"frame form 7", poked16(kNanr, 0x34, 7), nanr, "unknown frame form 7"},
        {"frames past", poked32(kNanr, 0x3C, 0xFFFFFFF8), nanr, "sequence 0's frames run past"},
        {"frame data past", poked32(kNanr, 0x40, 0x1000), nanr, "frame 0 of sequence 0 lies past"},
        {"frame shows cell 9", poked16(kNanr, 0x48, 9), nanr,
         "There is no cell 9 (the file has 1)"},
        {"glyph of 0 bytes", poked16(kNftr, 0x36, 0), nftr, "a glyph of 0 bytes cannot hold"},
        {"glyph depth 3",
         [] {
             Bytes b = kNftr;
             b[0x3A] = 3;
             return b;
         }(),
         nftr, "the glyphs' depth of 3 bits is unknown"},
        {"map form 9", poked16(kNftr, 0x68, 9), nftr, "unknown form 9"},
        {"map table past", poked16(kNftr, 0x7C, 0x7FFF), nftr, "CMAP table runs past"},
        {"maps of every code, 40 times", mapBomb(), nftr, "map more than 2097152 codes"},
        {"huge font", hugeFont(), nftr, "The picture is too large (259 glyphs"},
        {"empty BMG", {}, bmg, "\"x.bmg\" is not a BMG message file"},
        {"BMG size past", poked32(kBmg, 8, 0x7FFFFFFF), bmg,
         "its declared size and block count do not fit"},
        {"encoding 9",
         [] {
             Bytes b = kBmg;
             b[0x10] = 9;
             return b;
         }(),
         bmg, "the encoding value 9 is unknown"},
        {"1000 blocks", poked32(kBmg, 0x0C, 1000), bmg, "block 3 of 1000 lies past the end"},
        {"65536 blocks", poked32(kBmg, 0x0C, 0x10000), bmg, "block count do not fit"},
        {"INF1 size 0", poked32(kBmg, 0x24, 0), bmg, "the INF1 block's size 0 does not fit"},
        {"no DAT1",
         [] {
             Bytes b = kBmg;
             b[0x40] = 'X';
             return b;
         }(),
         bmg, "it has no DAT1 block"},
        {"INF1 entries past", poked16(kBmg, 0x28, 900), bmg, "INF1 entries do not fit"},
        {"entry size 2", poked16(kBmg, 0x2A, 2), bmg, "INF1 entries do not fit"},
        {"message past DAT1", poked32(kBmg, 0x30, 0x100), bmg, "message 0 lies past the DAT1"},
        {"message without end", bmgWithoutEnd(), bmg, "message 0 has no end in DAT1"},
        {"escape past the end", bmgEscapePastEnd(), bmg, "escape sequence that runs past"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        try {
            row.run(row.bytes);
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
        }
    }
}

TEST(FormatsHostile, EveryCutOfAValidFileDecodesOrFailsWithTheUsersError)
{
    const std::vector<std::pair<Bytes, Decode>> files = {
        {kNclr, nclr}, {kNcgr, ncgr}, {kNscr, nscr}, {kNcer, ncer},
        {kNanr, nanr}, {kNftr, nftr}, {kBmg, bmg},
    };
    for (const auto& [bytes, run] : files) {
        EXPECT_NO_THROW(run(bytes));
        for (std::size_t n = 0; n < bytes.size(); ++n) {
            const Bytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
            try {
                run(cut);
            } catch (const Error&) {
            }
        }
    }
}

} // namespace
} // namespace cartscope::core
