#include <charconv>

#include "cli/common.h"
#include "cli/image_file.h"
#include "core/banner/png.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/formats/font.h"
#include "core/formats/graphics.h"
#include "core/io/whole_file.h"

namespace cartscope::cli {

namespace {

// The magic a container's first four bytes spell, read backwards as its name ("NCGR").
std::string containerName(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() < 4)
        return "";
    return {static_cast<char>(bytes[3]), static_cast<char>(bytes[2]), static_cast<char>(bytes[1]),
            static_cast<char>(bytes[0])};
}

struct Files {
    const core::Stream& image;
    const std::vector<core::FileRow>& rows;
    const Invocation& inv;

    // The file named by `option`, or the one found beside `path` by the companion rule.
    std::pair<std::string, std::vector<std::uint8_t>>
    companion(const std::string& path, const std::string& extension, const std::string& option)
    {
        const std::optional<std::string> given = option.empty() ? std::nullopt : inv.value(option);
        const std::string chosen = given ? *given
                                         : companionPath(rowsBeside(image, rows, path), path,
                                                         extension, option.empty() ? "" : option);
        return {chosen, readTreeFile(image, rows, chosen)};
    }
};

std::size_t number(const std::string& text, const char* option, const char* what)
{
    std::size_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size())
        throw UsageError(std::string(option) + " needs a " + what + " number, not " + text);
    return n;
}

// An animation with its cells, tiles and palette: one sequence when asked for, else every
// sequence one after the other.
std::vector<std::uint8_t> animationPng(Files& files, const std::string& path,
                                       const std::vector<std::uint8_t>& bytes)
{
    const core::Animation animation = core::decodeNanr(bytes, path);
    const auto [cellsPath, cellsBytes] = files.companion(path, ".NCER", "--cells");
    const auto [graphicsPath, graphicsBytes] = files.companion(path, ".NCGR", "");
    const auto [palettePath, paletteBytes] = files.companion(path, ".NCLR", "--palette");
    const core::Cells cells = core::decodeNcer(cellsBytes, cellsPath);
    const core::Graphics graphics = core::decodeNcgr(graphicsBytes, graphicsPath);
    const core::Palette palette = core::decodeNclr(paletteBytes, palettePath);
    const auto sequence = files.inv.value("--sequence");
    return core::encodeRgbaAnimatedPng(
        sequence ? core::renderSequence(animation, number(*sequence, "--sequence", "sequence"),
                                        cells, graphics, palette)
                 : core::renderAnimation(animation, cells, graphics, palette));
}

// Tile graphics with their palette: drawn through a screen or as cells when asked for, else
// as the tiles themselves.
std::vector<std::uint8_t> graphicsPng(Files& files, const std::string& path,
                                      const std::vector<std::uint8_t>& bytes)
{
    const core::Graphics graphics = core::decodeNcgr(bytes, path);
    const auto [palettePath, paletteBytes] = files.companion(path, ".NCLR", "--palette");
    const core::Palette palette = core::decodeNclr(paletteBytes, palettePath);
    core::RgbaImage picture;
    if (const auto screen = files.inv.value("--screen")) {
        picture = core::renderScreen(
            core::decodeNscr(readTreeFile(files.image, files.rows, *screen), *screen), graphics,
            palette);
    } else if (const auto cellsPath = files.inv.value("--cells")) {
        const core::Cells cells =
            core::decodeNcer(readTreeFile(files.image, files.rows, *cellsPath), *cellsPath);
        const auto cell = files.inv.value("--cell");
        picture = cell ? core::renderCell(cells, number(*cell, "--cell", "cell"), graphics, palette)
                       : core::renderCellSheet(cells, graphics, palette);
    } else {
        picture = core::renderGraphics(graphics, palette);
    }
    return core::encodeRgbaPng(picture);
}

// A font: its glyph sheet as OUT and the sheet's key beside it as OUT.json.
void writeGlyphSheet(const std::string& path, const std::vector<std::uint8_t>& bytes,
                     const std::string& outName, Context& ctx)
{
    const core::Font font = core::decodeNftr(bytes, path);
    core::writeWholeFile(outName, core::encodeRgbaPng(core::renderGlyphSheet(font)));
    ctx.out << safe(outName) << '\n';
    const std::string key = core::replaceExtension(outName, ".json");
    const std::string json = core::glyphSheetJson(font);
    core::writeWholeFile(key, {reinterpret_cast<const std::uint8_t*>(json.data()), json.size()});
    ctx.out << safe(key) << '\n';
}

int cmdRender(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[1];
    const std::string& outName = inv.positional[2];
    if (inv.has("--screen") && inv.has("--cells"))
        throw UsageError("--screen and --cells do not combine");
    if (inv.has("--cell") && !inv.has("--cells"))
        throw UsageError("--cell needs --cells");
    if (inv.has("--sequence") && (inv.has("--screen") || inv.has("--cell")))
        throw UsageError("--sequence is for an animation (NANR)");
    InputImage image(inv.positional[0], inputOptions());
    const core::LoadedImage img = load(image);
    checkInterrupted();
    Files files{image, img.rows, inv};
    const std::vector<std::uint8_t> bytes = readTreeFile(image, img.rows, path);
    const std::string kind = containerName(bytes);

    if (kind == "NFTR") {
        writeGlyphSheet(path, bytes, outName, ctx);
        return 0;
    }
    if (kind != "NANR" && inv.has("--sequence"))
        throw UsageError("--sequence is for an animation (NANR)");
    if (kind != "NCGR" && kind != "NANR")
        throw core::Error("\"" + path +
                          "\" is neither tile graphics (NCGR), an animation (NANR) nor a font "
                          "(NFTR)");
    const std::vector<std::uint8_t> png =
        kind == "NANR" ? animationPng(files, path, bytes) : graphicsPng(files, path, bytes);
    core::writeWholeFile(outName, png);
    ctx.out << safe(outName) << '\n';
    return 0;
}

} // namespace

const Command& renderCommand()
{
    static const Command command{
        "render", 3, 3, {"--palette", "--screen", "--cells", "--cell", "--sequence"}, cmdRender};
    return command;
}

} // namespace cartscope::cli
