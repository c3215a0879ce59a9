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
    options.renumber = inv.has("--renumber");
    options.interrupted = [] { return g_interrupted.load(); };
    try {
        const core::rebuild::BuildResult built = core::rebuild::buildImage(tree, out, options);
        ctx.out << "Built " << safe(out) << ", " << built.bytes << " bytes from " << built.files
                << (built.files == 1 ? " file" : " files");
        std::string counts;
        for (const auto& [n, what] :
             {std::pair{built.edited, "edited"}, std::pair{built.renamed, "renamed"},
              std::pair{built.added, "added"}, std::pair{built.removed, "removed"}})
            if (n > 0)
                counts += (counts.empty() ? "" : ", ") + std::to_string(n) + " " + what;
        if (!counts.empty())
            ctx.out << " (" << counts << ")";
        ctx.out << '\n';
        // The file IDs --renumber changed: "old -> new  path".
        for (const core::rebuild::IdChange& c : built.renumbered)
            ctx.out << c.from << " -> " << c.to << "  " << safe(c.path) << '\n';
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
    static const Command command{"build",
                                 2,
                                 2,
                                 {"--force", "--fill", "--rehash", "--compact",
                                  "--keep-banner-crcs", "--no-vram-safe", "--renumber"},
                                 cmdBuild};
    return command;
}

} // namespace cartscope::cli
