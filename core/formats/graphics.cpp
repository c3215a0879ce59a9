#include "core/formats/graphics.h"

#include <algorithm>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/formats/nitro.h"

namespace cartscope::core {

namespace {

// A bit depth field: 3 for 4 bits per pixel, 4 for 8.
int bitsPerPixel(std::uint32_t field, const std::string& label)
{
    if (field == 3)
        return 4;
    if (field == 4)
        return 8;
    throw damaged(label, "the bit depth value " + std::to_string(field) + " is unknown");
}

void requireSize(std::span<const std::uint8_t> block, std::size_t size, const char* name,
                 const std::string& label)
{
    if (block.size() < size)
        throw damaged(label, std::string("the ") + name + " block is cut short");
}

constexpr int sizes[3][4][2] = {
    {{8, 8}, {16, 16}, {32, 32}, {64, 64}}, // square
    {{16, 8}, {32, 8}, {32, 16}, {64, 32}}, // wide
    {{8, 16}, {8, 32}, {16, 32}, {32, 64}}, // tall
};

CellObject decodeObject(std::span<const std::uint8_t> oam)
{
    const std::uint16_t attr0 = le16(oam, 0);
    const std::uint16_t attr1 = le16(oam, 2);
    const std::uint16_t attr2 = le16(oam, 4);
    CellObject o;
    o.y = static_cast<std::int8_t>(attr0 & 0xFF);
    const bool affine = (attr0 & 0x0100) != 0;
    // Without rotation and scale, bit 9 disables the object; with them it doubles its area,
    // which a picture without the transformation does not need.
    o.hidden = !affine && (attr0 & 0x0200) != 0;
    o.eightBit = (attr0 & 0x2000) != 0;
    const unsigned shape = attr0 >> 14;
    const int x9 = attr1 & 0x1FF;
    o.x = x9 >= 0x100 ? x9 - 0x200 : x9;
    if (!affine) {
        o.hflip = (attr1 & 0x1000) != 0;
        o.vflip = (attr1 & 0x2000) != 0;
    }
    const unsigned size = attr1 >> 14;
    if (shape == 3) {
        o.hidden = true; // a shape the hardware does not draw
    } else {
        o.width = static_cast<std::uint32_t>(sizes[shape][size][0]);
        o.height = static_cast<std::uint32_t>(sizes[shape][size][1]);
    }
    o.tile = attr2 & 0x3FF;
    o.palette = static_cast<std::uint8_t>(attr2 >> 12);
    return o;
}

// Caps on what a hostile table can make the decoders hold: cells may share their objects and
// sequences their frames, so the totals are bounded on their own.
constexpr std::size_t kMaxObjects = std::size_t{1} << 18;
constexpr std::size_t kMaxSteps = std::size_t{1} << 18;

} // namespace

Palette decodeNclr(std::span<const std::uint8_t> bytes, const std::string& label)
{
    const NitroFile file = readNitro(bytes, "NCLR", label);
    const auto d = requireBlock(file, "PLTT", label).data;
    requireSize(d, 0x10, "PLTT", label);
    Palette palette;
    palette.bitsPerPixel = bitsPerPixel(le16(d, 0x00), label); // 0x00 bit depth
    const std::uint32_t dataSize = le32(d, 0x08);              // 0x08 colour bytes
    const std::uint32_t dataOffset = le32(d, 0x0C);            // 0x0C from the block's data
    if (dataOffset > d.size())
        throw damaged(label, "the colours lie past the PLTT block");
    // Some files declare more colour bytes than they carry: the block's end bounds the count.
    const std::size_t count = std::min<std::size_t>(dataSize, d.size() - dataOffset) / 2;
    std::vector<std::uint16_t> stored(count);
    for (std::size_t i = 0; i < count; ++i)
        stored[i] = le16(d, dataOffset + 2 * i);

    const NitroBlock* pcmp = file.find("PCMP");
    if (pcmp == nullptr) {
        palette.colours = std::move(stored);
        palette.present.assign(palette.colours.size(), true);
        return palette;
    }
    // A compressed palette stores only the palettes in use; the table gives each stored
    // palette's number.
    const auto p = pcmp->data;
    requireSize(p, 0x08, "PCMP", label);
    const std::uint16_t used = le16(p, 0x00);    // 0x00 stored palettes
    const std::uint32_t tableAt = le32(p, 0x04); // 0x04 ID table, from the block's data
    if (!fits(tableAt, 2 * std::uint64_t{used}, p.size()))
        throw damaged(label, "the PCMP table runs past its block");
    const std::size_t entries = palette.entriesPerPalette();
    constexpr std::size_t kPaletteNumbers = 16; // a screen entry's or object's 4-bit number
    palette.colours.assign(kPaletteNumbers * entries, 0);
    palette.present.assign(kPaletteNumbers * entries, false);
    for (std::size_t i = 0; i < used && i * entries < stored.size(); ++i) {
        const std::uint16_t id = le16(p, tableAt + 2 * i);
        if (id >= kPaletteNumbers)
            throw damaged(label, "the PCMP table names palette " + std::to_string(id));
        const std::size_t n = std::min(entries, stored.size() - i * entries);
        for (std::size_t k = 0; k < n; ++k) {
            palette.colours[id * entries + k] = stored[i * entries + k];
            palette.present[id * entries + k] = true;
        }
    }
    return palette;
}

namespace {

// Palette index i of the packed pixel data: a byte, or a nibble, low first.
std::uint8_t unpack(std::span<const std::uint8_t> data, int bitsPerPixel, std::uint64_t i)
{
    if (bitsPerPixel == 8)
        return data[i];
    const std::uint8_t b = data[i / 2];
    return static_cast<std::uint8_t>((i % 2) == 0 ? b & 0x0F : b >> 4);
}

// Tiles one after the other, as the data holds them.
void readTiles(Graphics& g, std::span<const std::uint8_t> data, std::uint32_t tilesInData)
{
    g.tileCount = tilesInData;
    g.indices.resize(std::size_t{g.tileCount} * 64);
    for (std::size_t i = 0; i < g.indices.size(); ++i)
        g.indices[i] = unpack(data, g.bitsPerPixel, i);
}

// Rows of the whole picture's width, cut into tiles of that width.
void readRows(Graphics& g, std::span<const std::uint8_t> data, std::uint64_t pixels,
              std::uint32_t tilesAcross)
{
    const std::uint64_t rowPixels = std::uint64_t{tilesAcross} * 8;
    const std::uint64_t rows = (pixels + rowPixels - 1) / rowPixels;
    g.tileCount = static_cast<std::uint32_t>(tilesAcross * ((rows + 7) / 8));
    if (std::uint64_t{g.tileCount} * 64 > kMaxPixels)
        throw Error(detail::pictureTooLarge(rowPixels, rows));
    g.indices.assign(std::size_t{g.tileCount} * 64, 0);
    for (std::uint64_t i = 0; i < pixels; ++i) {
        const std::uint64_t x = i % rowPixels;
        const std::uint64_t y = i / rowPixels;
        const std::uint64_t tile = (y / 8) * tilesAcross + x / 8;
        g.indices[tile * 64 + (y % 8) * 8 + x % 8] = unpack(data, g.bitsPerPixel, i);
    }
}

} // namespace

Graphics decodeNcgr(std::span<const std::uint8_t> bytes, const std::string& label)
{
    const NitroFile file = readNitro(bytes, "NCGR", label);
    const auto d = requireBlock(file, "CHAR", label).data;
    requireSize(d, 0x18, "CHAR", label);
    Graphics g;
    const std::uint16_t height = le16(d, 0x00);          // 0x00 height in tiles
    const std::uint16_t width = le16(d, 0x02);           // 0x02 width in tiles
    g.bitsPerPixel = bitsPerPixel(le32(d, 0x04), label); // 0x04 bit depth
    const std::uint32_t mapping = le32(d, 0x08);         // 0x08 character mapping
    g.mapping = mapping == 0 ? CharMapping::TwoD : CharMapping::OneD;
    g.linear = (le32(d, 0x0C) & 0xFF) != 0;         // 0x0C 0 tiled, 1 linear
    const std::uint32_t dataSize = le32(d, 0x10);   // 0x10 pixel bytes
    const std::uint32_t dataOffset = le32(d, 0x14); // 0x14 from the block's data
    if (!fits(dataOffset, dataSize, d.size()))
        throw damaged(label, "the pixel data runs past the CHAR block");
    const auto data = d.subspan(dataOffset, dataSize);

    const std::uint64_t pixels =
        std::uint64_t{dataSize} * 8 / static_cast<unsigned>(g.bitsPerPixel);
    if (pixels > kMaxPixels)
        throw Error(detail::pictureTooLarge(pixels, 1));
    // An unknown size (0xFFFF) is laid out 32 tiles wide, the width of a 256-pixel screen.
    constexpr std::uint32_t kDefaultWidth = 32;
    g.sizeKnown = width != 0xFFFF && height != 0xFFFF && width != 0 && height != 0;
    std::uint32_t tilesAcross = g.sizeKnown ? width : kDefaultWidth;
    const auto tilesInData = static_cast<std::uint32_t>(pixels / 64);
    if (!g.sizeKnown && !g.linear)
        tilesAcross = std::max<std::uint32_t>(1, std::min(tilesInData, kDefaultWidth));
    if (g.linear)
        readRows(g, data, pixels, tilesAcross);
    else
        readTiles(g, data, tilesInData);
    g.widthTiles = tilesAcross;
    if (g.sizeKnown)
        g.heightTiles = height;
    else
        g.heightTiles = tilesAcross == 0 ? 0 : (g.tileCount + tilesAcross - 1) / tilesAcross;
    return g;
}

Screen decodeNscr(std::span<const std::uint8_t> bytes, const std::string& label)
{
    const NitroFile file = readNitro(bytes, "NSCR", label);
    const auto d = requireBlock(file, "SCRN", label).data;
    requireSize(d, 0x0C, "SCRN", label);
    Screen s;
    s.widthTiles = le16(d, 0x00) / 8u;            // 0x00 width in pixels
    s.heightTiles = le16(d, 0x02) / 8u;           // 0x02 height in pixels
    const std::uint16_t type = le16(d, 0x06);     // 0x06 0 text, 1 affine, 2 extended
    const std::uint32_t dataSize = le32(d, 0x08); // 0x08 entry bytes, entries from 0x0C
    if (!fits(0x0C, dataSize, d.size()))
        throw damaged(label, "the screen data runs past the SCRN block");
    const std::uint64_t tiles = std::uint64_t{s.widthTiles} * s.heightTiles;
    if (tiles * 64 > kMaxPixels)
        throw Error(detail::pictureTooLarge(std::uint64_t{s.widthTiles} * 8,
                                            std::uint64_t{s.heightTiles} * 8));
    // An affine screen holds one byte per entry, a tile number without flips or palette.
    const bool affine = type == 1;
    const std::uint64_t count = std::min<std::uint64_t>(tiles, affine ? dataSize : dataSize / 2);
    s.entries.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < s.entries.size(); ++i) {
        ScreenEntry& e = s.entries[i];
        if (affine) {
            e.tile = d[0x0C + i];
            continue;
        }
        const std::uint16_t v = le16(d, 0x0C + 2 * i);
        e.tile = v & 0x3FF;
        e.hflip = (v & 0x0400) != 0;
        e.vflip = (v & 0x0800) != 0;
        e.palette = static_cast<std::uint8_t>(v >> 12);
    }
    return s;
}

Cells decodeNcer(std::span<const std::uint8_t> bytes, const std::string& label)
{
    const NitroFile file = readNitro(bytes, "NCER", label);
    const auto d = requireBlock(file, "CEBK", label).data;
    requireSize(d, 0x10, "CEBK", label);
    Cells cells;
    const std::uint16_t count = le16(d, 0x00);      // 0x00 cells
    const std::uint16_t attributes = le16(d, 0x02); // 0x02 1: entries carry a bounding box
    const std::uint32_t tableAt = le32(d, 0x04);    // 0x04 cell table, from the block's data
    cells.boundaryShift = le32(d, 0x08) & 3u;       // 0x08 mapping boundary 32 << n bytes
    const std::size_t entrySize = attributes == 1 ? 16 : 8;
    if (!fits(tableAt, std::uint64_t{count} * entrySize, d.size()))
        throw damaged(label, "the cell table runs past the CEBK block");
    // The objects follow the table; each cell's offset counts from there.
    const std::uint64_t objectsAt = tableAt + std::uint64_t{count} * entrySize;
    std::size_t total = 0;
    cells.cells.resize(count);
    for (std::size_t c = 0; c < count; ++c) {
        const std::size_t e = tableAt + c * entrySize;
        const std::uint16_t objects = le16(d, e);    // +0 objects
        const std::uint32_t offset = le32(d, e + 4); // +4 first object, from the table's end
        if (!fits(objectsAt + offset, std::uint64_t{objects} * 6, d.size()))
            throw damaged(label, "cell " + std::to_string(c) + "'s objects run past the block");
        total += objects;
        if (total > kMaxObjects)
            throw damaged(label,
                          "its cells hold more than " + std::to_string(kMaxObjects) + " objects");
        auto& list = cells.cells[c].objects;
        list.reserve(objects);
        for (std::size_t k = 0; k < objects; ++k)
            list.push_back(decodeObject(d.subspan(objectsAt + offset + 6 * k, 6)));
    }
    return cells;
}

Animation decodeNanr(std::span<const std::uint8_t> bytes, const std::string& label)
{
    const NitroFile file = readNitro(bytes, "NANR", label);
    const auto d = requireBlock(file, "ABNK", label).data;
    requireSize(d, 0x10, "ABNK", label);
    const std::uint16_t count = le16(d, 0x00);       // 0x00 sequences
    const std::uint32_t sequencesAt = le32(d, 0x04); // 0x04 sequence table
    const std::uint32_t framesAt = le32(d, 0x08);    // 0x08 frame table
    const std::uint32_t dataAt = le32(d, 0x0C);      // 0x0C frame data
    constexpr std::size_t kSequenceSize = 16;
    if (!fits(sequencesAt, std::uint64_t{count} * kSequenceSize, d.size()))
        throw damaged(label, "the sequence table runs past the ABNK block");
    Animation a;
    a.sequences.resize(count);
    std::size_t total = 0;
    for (std::size_t s = 0; s < count; ++s) {
        const std::size_t e = sequencesAt + s * kSequenceSize;
        const std::uint16_t frames = le16(d, e);     // +0 frames
        const std::uint16_t type = le16(d, e + 4);   // +4 frame data form
        const std::uint32_t first = le32(d, e + 12); // +12 first frame, in the frame table
        const std::uint64_t at = std::uint64_t{framesAt} + first;
        if (!fits(at, std::uint64_t{frames} * 8, d.size()))
            throw damaged(label, "sequence " + std::to_string(s) + "'s frames run past the block");
        // Frame data: the cell index alone (0), with rotation, scale and translation (1), or
        // with a translation (2).
        static constexpr std::size_t kDataSize[3] = {2, 16, 8};
        if (type > 2)
            throw damaged(label, "sequence " + std::to_string(s) + " has the unknown frame form " +
                                     std::to_string(type));
        total += frames;
        if (total > kMaxSteps)
            throw damaged(label,
                          "its sequences hold more than " + std::to_string(kMaxSteps) + " frames");
        auto& steps = a.sequences[s];
        steps.reserve(frames);
        for (std::size_t f = 0; f < frames; ++f) {
            const std::size_t fe = static_cast<std::size_t>(at) + 8 * f;
            const std::uint64_t dataOffset = std::uint64_t{dataAt} + le32(d, fe); // +0 data
            AnimationStep step;
            step.duration = std::max<std::uint16_t>(1, le16(d, fe + 4)); // +4 1/60 s
            if (!fits(dataOffset, kDataSize[type], d.size()))
                throw damaged(label, "frame " + std::to_string(f) + " of sequence " +
                                         std::to_string(s) + " lies past the block");
            const auto fd = d.subspan(static_cast<std::size_t>(dataOffset), kDataSize[type]);
            step.cell = le16(fd, 0);
            if (type == 1) {
                step.dx = static_cast<std::int16_t>(le16(fd, 12));
                step.dy = static_cast<std::int16_t>(le16(fd, 14));
            } else if (type == 2) {
                step.dx = static_cast<std::int16_t>(le16(fd, 4));
                step.dy = static_cast<std::int16_t>(le16(fd, 6));
            }
            steps.push_back(step);
        }
    }
    return a;
}

namespace detail {

std::string pictureTooLarge(std::uint64_t width, std::uint64_t height)
{
    return "The picture is too large (" + std::to_string(width) + " x " + std::to_string(height) +
           " pixels; at most 4096 x 4096)";
}

} // namespace detail

} // namespace cartscope::core
