// replace: files of an image given new bytes, straight from the image.
#include "cli/commands.h"
#include "cli/common.h"
#include "cli/write_out.h"
#include "core/rebuild/build.h"
#include "core/rebuild/replace.h"

namespace cartscope::cli {

namespace {

int cmdReplace(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const std::string& outPath = inv.positional[1];
    if (inv.positional.size() % 2 != 0)
        throw UsageError("replace takes PATH FILE pairs");
    std::vector<core::rebuild::Replacement> replacements;
    for (std::size_t i = 2; i + 1 < inv.positional.size(); i += 2)
        replacements.push_back({inv.positional[i], inv.positional[i + 1]});
    const core::Overwrite overwrite = destinationFor(inv, path, outPath);
    const InputImage image(path, inputOptions());
    core::rebuild::ReplaceOptions options;
    options.keepBannerCrcs = inv.has("--keep-banner-crcs");
    options.vramSafe = !inv.has("--no-vram-safe");
    options.interrupted = [] { return g_interrupted.load(); };
    core::OutputFile out(outPath, overwrite);
    core::rebuild::ReplaceResult result;
    try {
        result = core::rebuild::replaceFiles(image, replacements, out, options);
    } catch (const core::rebuild::BuildInterrupted&) {
        throw Interrupted{};
    }
    checkInterrupted();
    out.commit();
    ctx.out << safe(outPath) << ": " << result.bytes << " bytes, " << replacements.size()
            << (replacements.size() == 1 ? " file replaced\n" : " files replaced\n");
    for (const std::string& w : result.warnings)
        ctx.err << "Warning: " << safe(w) << '\n';
    return 0;
}

} // namespace

const Command& replaceCommand()
{
    static const Command command{"replace",
                                 4,
                                 1u << 20,
                                 {"--force", "--in-place", "--keep-banner-crcs", "--no-vram-safe"},
                                 cmdReplace};
    return command;
}

} // namespace cartscope::cli
