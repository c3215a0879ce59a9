#include "cli/commands.h"
#include "cli/common.h"
#include "core/rebuild/build.h"

namespace cartscope::cli {

namespace {

int cmdBuild(const Invocation& inv, Context& ctx)
{
    const std::string& tree = inv.positional[0];
    const std::string& out = inv.positional[1];
    core::rebuild::BuildOptions options;
    options.force = inv.has("--force");
    // A tree without a layout: the byte between the pieces (the standard packer leaves zeros).
    const std::string fill = inv.value("--fill").value_or("00");
    if (fill == "ff" || fill == "FF" || fill == "0xff" || fill == "0xFF")
        options.fill = 0xFF;
    else if (fill != "00" && fill != "0x00")
        throw UsageError("--fill takes ff or 00");
    options.rehash = inv.has("--rehash");
    options.compact = inv.has("--compact");
    options.keepBannerCrcs = inv.has("--keep-banner-crcs");
    options.vramSafe = !inv.has("--no-vram-safe");
    options.interrupted = [] { return g_interrupted.load(); };
    try {
        const core::rebuild::BuildResult built = core::rebuild::buildImage(tree, out, options);
        ctx.out << "Built " << safe(out) << ", " << built.bytes << " bytes from " << built.files
                << (built.files == 1 ? " file" : " files");
        if (built.edited > 0)
            ctx.out << " (" << built.edited << (built.edited == 1 ? " edited)" : " edited)");
        ctx.out << '\n';
        for (const std::string& w : built.warnings)
            ctx.err << "Warning: " << safe(w) << '\n';
    } catch (const core::rebuild::BuildInterrupted&) {
        throw Interrupted{};
    }
    return 0;
}

} // namespace

const Command& buildCommand()
{
    static const Command command{
        "build",
        2,
        2,
        {"--force", "--fill", "--rehash", "--compact", "--keep-banner-crcs", "--no-vram-safe"},
        cmdBuild};
    return command;
}

} // namespace cartscope::cli
