// trim and pad: an image cut at its used size, and a trimmed image given its padding back.
#include "archive/dat_load.h"
#include "cli/commands.h"
#include "cli/common.h"
#include "cli/write_out.h"
#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/rebuild/trim_pad.h"
#include "core/verify/verdict_text.h"
#include "core/verify/verify.h"

namespace cartscope::cli {

namespace {

std::string byteText(std::uint8_t value)
{
    return "0x" + core::hex2(value);
}

std::string offsetText(std::uint64_t offset)
{
    return "0x" + core::hexText(offset, 1);
}

int cmdTrim(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const std::string& outPath = inv.positional[1];
    const core::Overwrite overwrite = destinationFor(inv, path, outPath);
    const InputImage image(path, inputOptions());
    core::TrimCut head = core::planTrimCut(image);
    core::OutputFile out(outPath, overwrite);
    // The used bytes are copied while the bytes cut are read; nothing is committed before the
    // cut is known to be padding (or --force).
    const core::TrimPlan plan = core::trimInto(image, std::move(head), out, interruptCheck());
    if (plan.firstData && !inv.has("--force"))
        throw core::Error("Not trimming \"" + path + "\": the bytes after the used size (" +
                          offsetText(plan.usedSize) + ") are not padding; data at " +
                          offsetText(*plan.firstData) + " (--force cuts them)");
    checkInterrupted();
    out.commit();
    const std::uint64_t cut = plan.fileSize - plan.usedSize;
    ctx.out << safe(outPath) << ": " << plan.usedSize << " bytes";
    if (cut == 0)
        ctx.out << " (nothing to cut)";
    else if (plan.padding)
        ctx.out << " (" << cut << " bytes of " << byteText(*plan.padding) << " cut)";
    else
        ctx.out << " (" << cut << " bytes cut, data from " << offsetText(*plan.firstData) << ")";
    ctx.out << '\n';
    return 0;
}

std::uint8_t fillOf(const Invocation& inv)
{
    const std::string fill = inv.value("--fill").value_or("ff");
    if (fill == "ff" || fill == "FF" || fill == "0xff" || fill == "0xFF")
        return 0xFF;
    if (fill == "00" || fill == "0x00")
        return 0x00;
    throw UsageError("--fill takes ff or 00");
}

std::uint64_t sizeOf(const Invocation& inv, const core::Stream& image)
{
    const std::string size = inv.value("--size").value_or("chip");
    if (size == "chip")
        return core::padTargetSize(image, core::PadSize::Chip);
    if (size == "pow2")
        return core::padTargetSize(image, core::PadSize::PowerOfTwo);
    // A byte count: decimal, or hexadecimal after 0x.
    const bool hex = size.size() > 2 && size[0] == '0' && (size[1] == 'x' || size[1] == 'X');
    const std::string digits = hex ? size.substr(2) : size;
    std::uint64_t value = 0;
    const std::uint64_t base = hex ? 16 : 10;
    // Bounded by the text's length; any value past 2^40 is refused on the way.
    for (const char c : digits) {
        const int d = c >= '0' && c <= '9'          ? c - '0'
                      : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                    : -1;
        if (d < 0 || value > (std::uint64_t{1} << 40))
            throw UsageError("--size takes chip, pow2 or a size in bytes");
        value = value * base + static_cast<std::uint64_t>(d);
    }
    if (digits.empty())
        throw UsageError("--size takes chip, pow2 or a size in bytes");
    return value;
}

int cmdPad(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const std::string& outPath = inv.positional[1];
    if (inv.has("--dat") && (inv.has("--fill") || inv.has("--size")))
        throw UsageError("--dat chooses the fill and the size: it takes no --fill or --size");
    const core::Overwrite overwrite = destinationFor(inv, path, outPath);
    const InputImage image(path, inputOptions());
    std::uint8_t fill = 0xFF;
    std::uint64_t size = 0;
    std::string matched;
    if (inv.has("--dat")) {
        core::DatSet dats;
        for (const std::string& dat : inv.values("--dat"))
            archive::loadDat(dat, dats);
        // The progress callback says whether to go on.
        const auto result = core::verifyStream(
            image, dats, false, [](std::uint64_t, std::uint64_t) { return !g_interrupted.load(); });
        checkInterrupted();
        if (!result)
            throw Interrupted{};
        if (result->verdict == core::Verdict::Verified)
            throw core::Error("\"" + path + "\" already matches " +
                              std::string(dats.roms()[result->matches.front().rom].game) +
                              " as it is: there is nothing to pad");
        if (result->verdict != core::Verdict::VerifiedTrimmed)
            throw core::Error("No DAT entry matches \"" + path + "\" padded with 0xFF or 0x00 (" +
                              core::verdictText(*result, dats) + ")");
        const core::DatMatch& m = result->matches.front();
        fill = *m.padding;
        size = m.paddedSize;
        matched = std::string(dats.roms()[m.rom].game);
    } else {
        fill = fillOf(inv);
        size = sizeOf(inv, image);
    }
    core::OutputFile out(outPath, overwrite);
    core::writePadded(image, size, fill, out, interruptCheck());
    checkInterrupted();
    out.commit();
    ctx.out << safe(outPath) << ": " << size << " bytes (" << size - image.size() << " bytes of "
            << byteText(fill) << " added)";
    if (!matched.empty())
        ctx.out << ", matches " << safe(matched);
    ctx.out << '\n';
    return 0;
}

} // namespace

const Command& trimCommand()
{
    static const Command command{"trim", 2, 2, {"--force", "--in-place"}, cmdTrim};
    return command;
}

const Command& padCommand()
{
    static const Command command{
        "pad", 2, 2, {"--force", "--in-place", "--fill", "--size", "--dat"}, cmdPad};
    return command;
}

} // namespace cartscope::cli
