#include "app/preview_content.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "app/preview_sound.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/compress/compress.h"
#include "core/formats/bmg.h"
#include "core/formats/companions.h"
#include "core/formats/font.h"
#include "core/formats/graphics.h"
#include "core/formats/identify.h"
#include "core/formats/nitro.h"

namespace cartscope::app {

namespace {

using core::formats::Companions;

// Bytes held in memory (a decompressed file), as a stream the hex view reads like any other.
class OwnedStream final : public core::Stream {
public:
    explicit OwnedStream(std::vector<std::uint8_t> bytes)
        : m_bytes(std::move(bytes)), m_view(m_bytes)
    {}
    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override
    {
        return m_view.pread(position, out);
    }
    std::uint64_t size() const override { return m_bytes.size(); }

private:
    std::vector<std::uint8_t> m_bytes;
    core::MemoryStream m_view;
};

// Pieces of a whole-file read, so a cancel is seen between them.
constexpr std::size_t kReadPiece = std::size_t{1} << 20;

struct Reader {
    const core::Stream& image;
    const std::function<bool()>& cancelled;

    void check() const
    {
        if (cancelled())
            throw PreviewCancelled();
    }

    std::vector<std::uint8_t> read(std::uint64_t offset, std::uint64_t size,
                                   const std::string& label) const
    {
        if (size > kMaxPreviewFile)
            throw core::Error("\"" + label + "\" is too large to open (" + std::to_string(size) +
                              " bytes; at most 64 MiB)");
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
        for (std::size_t done = 0; done < bytes.size();) {
            check();
            const std::size_t piece = std::min(kReadPiece, bytes.size() - done);
            const std::span<std::uint8_t> out(bytes.data() + done, piece);
            if (image.pread(offset + done, out) != piece)
                throw core::Error(core::kStreamReadError);
            done += piece;
        }
        return bytes;
    }

    std::vector<std::uint8_t> decompress(std::span<const std::uint8_t> in,
                                         const std::string& label) const
    {
        std::vector<std::uint8_t> out;
        core::decompressStream(in, label, [&](std::span<const std::uint8_t> chunk) {
            check();
            out.insert(out.end(), chunk.begin(), chunk.end());
        });
        return out;
    }

    // A file read whole and decompressed when it is compressed; `codec` says by what.
    std::vector<std::uint8_t> content(std::uint64_t offset, std::uint64_t size,
                                      const std::string& label,
                                      std::optional<core::Codec>& codec) const
    {
        std::vector<std::uint8_t> bytes = read(offset, size, label);
        const std::span<const std::uint8_t> head(bytes.data(),
                                                 std::min(bytes.size(), kPreviewHead));
        codec = core::identifyCompression(head, bytes.size());
        return codec ? decompress(bytes, label) : bytes;
    }
};

// What the first bytes say the file is: a container's name ("NCGR", its stored magic reversed,
// behind the byte order mark), "BMG", "NARC", or empty.
// The game format the file's first bytes name; empty when none.
std::string kindOf(std::span<const std::uint8_t> head)
{
    return core::formats::formatByMagic(head).value_or("");
}

std::string tilesText(std::uint32_t width, std::uint32_t height)
{
    return std::to_string(width) + "×" + std::to_string(height) + " tiles";
}

std::string bytesText(std::uint64_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// The palette as swatches: 16 colours a row, 8×8 pixels each; a colour the file does not hold
// is left clear.
core::RgbaImage paletteSwatches(const core::Palette& palette)
{
    constexpr std::uint32_t kSwatch = 8;
    constexpr std::uint32_t kColumns = 16;
    const std::size_t count = palette.colours.size();
    const auto rows = static_cast<std::uint32_t>(std::max<std::size_t>(1, (count + 15) / 16));
    core::RgbaImage image(kColumns * kSwatch, rows * kSwatch);
    const auto channel = [](unsigned c) { return static_cast<std::uint8_t>((c << 3) | (c >> 2)); };
    for (std::size_t i = 0; i < count; ++i) {
        if (!palette.present[i])
            continue;
        const std::uint16_t bgr = palette.colours[i];
        const std::uint8_t rgba[4] = {channel(bgr & 31u), channel((bgr >> 5) & 31u),
                                      channel((bgr >> 10) & 31u), 255};
        const auto x0 = static_cast<std::uint32_t>(i % kColumns) * kSwatch;
        const auto y0 = static_cast<std::uint32_t>(i / kColumns) * kSwatch;
        for (std::uint32_t y = 0; y < kSwatch; ++y)
            for (std::uint32_t x = 0; x < kSwatch; ++x)
                std::memcpy(image.at(x0 + x, y0 + y), rgba, 4);
    }
    return image;
}

// Makes the preview of one file whose content is known to be a decodable kind.
class Decoder {
public:
    Decoder(const Reader& reader, const PreviewSource& source, const std::string& palette)
        : m_reader(reader), m_source(source), m_palette(palette)
    {}

    void decode(const std::string& kind, const std::vector<std::uint8_t>& bytes,
                PreviewContent& out)
    {
        const std::string& label = m_source.path;
        if (kind == "BMG") {
            const core::Bmg bmg = core::readBmg(bytes, label);
            out.kind = PreviewKind::Text;
            out.text = core::bmgTextFile(bmg);
            out.formatLine = "BMG, " + core::bmgEncodingName(bmg) + ", " +
                             std::to_string(bmg.messages.size()) +
                             (bmg.messages.size() == 1 ? " message" : " messages");
        } else if (kind == "NFTR") {
            const core::Font font = core::decodeNftr(bytes, label);
            out.picture = core::renderGlyphSheet(font);
            out.kind = PreviewKind::Picture;
            out.formatLine = "NFTR, " + std::to_string(font.glyphCount) + " glyphs, " +
                             std::to_string(font.cellWidth) + "×" +
                             std::to_string(font.cellHeight) + " cells";
        } else if (kind == "NCLR") {
            const core::Palette palette = core::decodeNclr(bytes, label);
            out.picture = paletteSwatches(palette);
            out.kind = PreviewKind::Picture;
            out.formatLine = "NCLR, " + std::to_string(palette.bitsPerPixel) + " bpp, " +
                             std::to_string(palette.colours.size()) + " colours";
        } else if (kind == "NCGR") {
            const core::Graphics graphics = core::decodeNcgr(bytes, label);
            out.formatLine = graphicsText(graphics);
            out.picture = core::renderGraphics(graphics, palette(out));
            out.kind = PreviewKind::Picture;
        } else if (kind == "NSCR") {
            const core::Screen screen = core::decodeNscr(bytes, label);
            out.formatLine = "NSCR, " + tilesText(screen.widthTiles, screen.heightTiles);
            const core::Graphics graphics = companionGraphics();
            out.picture = core::renderScreen(screen, graphics, palette(out));
            out.kind = PreviewKind::Picture;
        } else if (kind == "NCER") {
            const core::Cells cells = core::decodeNcer(bytes, label);
            out.formatLine = "NCER, " + std::to_string(cells.cells.size()) +
                             (cells.cells.size() == 1 ? " cell" : " cells");
            const core::Graphics graphics = companionGraphics();
            out.picture = core::renderCellSheet(cells, graphics, palette(out));
            out.kind = PreviewKind::Picture;
        }
    }

private:
    static std::string graphicsText(const core::Graphics& g)
    {
        return "NCGR, " + std::to_string(g.bitsPerPixel) + " bpp, " +
               tilesText(g.widthTiles, g.heightTiles) + (g.linear ? ", linear" : "");
    }

    std::vector<std::uint8_t> companionBytes(const std::string& path)
    {
        for (const core::FileRow& row : m_source.siblings) {
            if (row.system || row.path != path)
                continue;
            if (!row.problem.empty())
                throw core::Error("\"" + path + "\": " + row.problem);
            std::optional<core::Codec> codec;
            return m_reader.content(row.offset,
                                    static_cast<std::uint64_t>(std::max<std::int64_t>(row.size, 0)),
                                    path, codec);
        }
        throw core::Error("No file \"" + path + "\" in the image");
    }

    std::string chooseCompanion(const std::string& extension, Companions& found)
    {
        found = core::formats::findCompanions(m_source.siblings, m_source.path, extension);
        const std::string kind = extension.substr(1);
        if (found.candidates.empty())
            throw core::Error("no " + kind + " file beside it");
        return found.chosen.empty() ? found.candidates.front() : found.chosen;
    }

    core::Graphics companionGraphics()
    {
        Companions found;
        const std::string path = chooseCompanion(".NCGR", found);
        return core::decodeNcgr(companionBytes(path), path);
    }

    // The palette the user chose when it is one of those that fit; else the rule's choice, or
    // the first candidate when several fit without a name match (the chooser then offers them).
    core::Palette palette(PreviewContent& out)
    {
        Companions found;
        std::string path = chooseCompanion(".NCLR", found);
        if (!m_palette.empty() && std::find(found.candidates.begin(), found.candidates.end(),
                                            m_palette) != found.candidates.end())
            path = m_palette;
        if (found.candidates.size() > 1)
            out.palettes = found.candidates;
        out.palette = path;
        return core::decodeNclr(companionBytes(path), path);
    }

    const Reader& m_reader;
    const PreviewSource& m_source;
    const std::string& m_palette;
};

std::size_t completeUtf8Prefix(std::span<const std::uint8_t> bytes)
{
    // Back up over a character the cut split: at most three continuation bytes and its lead.
    std::size_t end = bytes.size();
    for (std::size_t back = 1; back <= 4 && back <= bytes.size(); ++back) {
        const std::uint8_t b = bytes[bytes.size() - back];
        if ((b & 0xC0) == 0x80)
            continue;
        const std::size_t need = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : 4;
        if (need > back)
            end = bytes.size() - back;
        break;
    }
    return end;
}

} // namespace

bool looksLikeText(std::span<const std::uint8_t> bytes, bool more)
{
    if (bytes.empty())
        return false;
    const std::size_t end = more ? completeUtf8Prefix(bytes) : bytes.size();
    // Every character is checked once; the walk moves forward by at least one byte a step.
    for (std::size_t i = 0; i < end;) {
        const std::uint8_t b = bytes[i];
        if (b < 0x80) {
            if ((b < 0x20 && b != '\t' && b != '\n' && b != '\f' && b != '\r') || b == 0x7F)
                return false;
            ++i;
            continue;
        }
        std::size_t n = 0;
        char32_t cp = 0;
        if ((b & 0xE0) == 0xC0) {
            n = 2;
            cp = b & 0x1Fu;
        } else if ((b & 0xF0) == 0xE0) {
            n = 3;
            cp = b & 0x0Fu;
        } else if ((b & 0xF8) == 0xF0) {
            n = 4;
            cp = b & 0x07u;
        } else {
            return false;
        }
        if (n > end - i)
            return false;
        for (std::size_t k = 1; k < n; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (bytes[i + k] & 0x3Fu);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8; C1 controls are not
        // text.
        static constexpr char32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF || cp < 0xA0)
            return false;
        i += n;
    }
    return true;
}

namespace {

// The file's content as the preview reads it: its first bytes, and the whole of it in memory
// once it had to be read whole (decompressed when the trial decode of its start says it is
// compressed).
struct Content {
    std::vector<std::uint8_t> head;
    std::optional<std::vector<std::uint8_t>> whole;
    std::string prefix; // "LZ11 → " for a file shown decompressed
    std::uint64_t size = 0;
};

bool isDecodedKind(const std::string& kind)
{
    return kind == "BMG" || kind == "NFTR" || kind == "NCLR" || kind == "NCGR" || kind == "NSCR" ||
           kind == "NCER";
}

// Everything the making of one preview reads and follows.
struct Maker {
    const core::Stream& image;
    const Reader& reader;
    const PreviewSource& source;
    const std::string& palette;

    const std::vector<std::uint8_t>& wholeOf(Content& c) const
    {
        if (!c.whole)
            c.whole = reader.read(source.offset, source.size, source.path);
        return *c.whole;
    }

    // A compressed file is read whole and decompressed; its content is then the result.
    void unpack(Content& c) const
    {
        const std::optional<core::Codec> codec = core::identifyCompression(c.head, source.size);
        if (!codec)
            return;
        c.prefix = std::string(core::codecName(*codec)) + " → ";
        c.whole =
            reader.decompress(reader.read(source.offset, source.size, source.path), source.path);
        c.size = c.whole->size();
        c.head.assign(c.whole->begin(),
                      c.whole->begin() + static_cast<std::ptrdiff_t>(
                                             std::min<std::size_t>(c.whole->size(), kPreviewHead)));
    }

    // A sound file or a game format the preview decodes. False when it does not decode: `out`
    // then holds only the format line saying why.
    bool decoded(Content& c, const std::string& kind, PreviewContent& out) const
    {
        const bool sound = isSoundFile(c.head);
        const std::vector<std::uint8_t>& bytes = wholeOf(c);
        try {
            if (sound)
                soundFilePreview(bytes, source.path, out);
            else
                Decoder(reader, source, palette).decode(kind, bytes, out);
            out.formatLine = c.prefix + out.formatLine;
            return true;
        } catch (const core::Error& e) {
            out = PreviewContent{};
            out.formatLine = c.prefix + (kind.empty() ? "SWAV" : kind) + " — " + e.what();
            return false;
        }
    }

    // A content whose start looks like text, as text (its first kMaxPreviewText bytes). False
    // when it stops being text further on: it is shown as bytes all the same.
    bool text(const Content& c, PreviewContent& out) const
    {
        const std::uint64_t shown = std::min(c.size, kMaxPreviewText);
        std::vector<std::uint8_t> text =
            c.whole ? std::vector<std::uint8_t>(
                          c.whole->begin(), c.whole->begin() + static_cast<std::ptrdiff_t>(shown))
                    : reader.read(source.offset, shown, source.path);
        if (shown < c.size)
            text.resize(completeUtf8Prefix(text));
        if (!looksLikeText(text, false))
            return false;
        out.kind = PreviewKind::Text;
        out.text.assign(text.begin(), text.end());
        out.formatLine = c.prefix + "text, " + bytesText(c.size) +
                         (shown < c.size ? ", the first " + bytesText(text.size()) + " shown" : "");
        return true;
    }

    // True when `out` is the content shown as a picture, text or sound; otherwise the content is
    // shown as bytes and `out` holds the format line.
    bool shown(Content& c, PreviewContent& out) const
    {
        unpack(c);
        const std::string kind = kindOf(c.head);
        if (isSoundFile(c.head) || isDecodedKind(kind))
            return decoded(c, kind, out);
        if (!kind.empty())
            out.formatLine = c.prefix + kind + ", " + bytesText(c.size);
        else if (looksLikeText(c.head, c.size > c.head.size()) && text(c, out))
            return true;
        else
            out.formatLine = c.prefix + "data, " + bytesText(c.size);
        return false;
    }

    PreviewContent hex(Content c, PreviewContent out) const
    {
        out.kind = PreviewKind::Hex;
        if (c.whole)
            out.bytes = std::make_shared<OwnedStream>(std::move(*c.whole));
        else
            out.bytes = std::make_shared<core::SubStream>(image, source.offset, source.size);
        return out;
    }
};

} // namespace

PreviewContent makePreview(const core::Stream& image, const PreviewSource& source,
                           const std::string& palette, const std::function<bool()>& cancelled)
{
    const Reader reader{image, cancelled};
    reader.check();
    PreviewContent out;
    if (source.sdat) {
        soundEntryPreview(image, source, kMaxPreviewFile, out);
        return out;
    }
    Content c;
    c.head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(source.size, kPreviewHead)));
    c.head.resize(image.pread(source.offset, c.head));
    c.size = source.size;
    if (source.size == 0) {
        out.formatLine = "empty file";
        out.bytes = std::make_shared<OwnedStream>(std::vector<std::uint8_t>{});
        return out;
    }
    const Maker maker{image, reader, source, palette};
    try {
        if (maker.shown(c, out))
            return out;
    } catch (const core::Error& e) {
        // A compressed file that does not decompress, or one too large to read: its stored
        // bytes.
        c.whole.reset();
        out = PreviewContent{};
        out.formatLine = std::string("data, ") + bytesText(source.size) + " — " + e.what();
    }
    return maker.hex(std::move(c), std::move(out));
}

} // namespace cartscope::app
