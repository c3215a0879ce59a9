// diff and patch: BPS patches made between two images, BPS and IPS patches applied.
#include <algorithm>

#include "cli/common.h"
#include "cli/write_out.h"
#include "core/base/error.h"
#include "core/rebuild/bps.h"
#include "core/rebuild/ips.h"
#include "core/rebuild/trim_pad.h"

namespace cartscope::cli {

namespace {

// The largest BPS patch read (it is held in memory while the target is built).
constexpr std::uint64_t kMaxBpsPatchSize = core::kMaxWrittenImageSize;

int cmdDiff(const Invocation& inv, Context& ctx)
{
    const std::string& originalPath = inv.positional[0];
    const std::string& editedPath = inv.positional[1];
    const std::string& outPath = inv.positional[2];
    // The patch replaces neither input unless asked to.
    const core::Overwrite overwrite = destinationFor(inv, editedPath, outPath);
    destinationFor(inv, originalPath, outPath);
    const InputImage original(originalPath, inputOptions());
    const InputImage edited(editedPath, inputOptions());
    core::OutputFile out(outPath, overwrite);
    core::writeBps(original, edited, out, interruptCheck());
    checkInterrupted();
    const std::uint64_t size = out.size();
    out.commit();
    ctx.out << safe(outPath) << ": " << size << " bytes\n";
    return 0;
}

bool startsWith(const std::vector<std::uint8_t>& bytes, std::span<const std::uint8_t> magic)
{
    return bytes.size() >= magic.size() && std::equal(magic.begin(), magic.end(), bytes.begin());
}

int cmdPatch(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const std::string& patchPath = inv.positional[1];
    const std::string& outPath = inv.positional[2];
    const core::Overwrite overwrite = destinationFor(inv, path, outPath);
    const std::vector<std::uint8_t> patch =
        readSmallFile(patchPath, std::max(kMaxBpsPatchSize, core::kMaxIpsPatchSize), "patch");
    const bool bps = startsWith(patch, core::kBpsMagic);
    if (!bps && !startsWith(patch, core::kIpsMagic))
        throw core::Error("\"" + patchPath + "\" is neither a BPS nor an IPS patch");
    const InputImage image(path, inputOptions());
    core::OutputFile out(outPath, overwrite);
    if (bps)
        out.write(core::applyBps(patch, image, interruptCheck()));
    else
        core::writeIps(patch, image, out, interruptCheck());
    checkInterrupted();
    const std::uint64_t size = out.size();
    out.commit();
    ctx.out << safe(outPath) << ": " << size << " bytes\n";
    return 0;
}

} // namespace

const Command& diffCommand()
{
    static const Command command{"diff", 3, 3, {"--force"}, cmdDiff};
    return command;
}

const Command& patchCommand()
{
    static const Command command{"patch", 3, 3, {"--force", "--in-place"}, cmdPatch};
    return command;
}

} // namespace cartscope::cli
