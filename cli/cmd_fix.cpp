// fix: the header CRC-16 and the banner's CRC-16s set to the values their bytes give.
#include "cli/common.h"
#include "cli/write_out.h"
#include "core/base/hex.h"
#include "core/rebuild/fix_checksums.h"
#include "core/rebuild/signed_regions.h"

namespace cartscope::cli {

namespace {

int cmdFix(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const std::string& outPath = inv.positional[1];
    const core::Overwrite overwrite = destinationFor(inv, path, outPath);
    const InputImage image(path, inputOptions());
    const core::ChecksumFix fix = core::planChecksumFix(image);
    core::OutputFile out(outPath, overwrite);
    core::writeChecksumFix(image, fix, out, interruptCheck());
    checkInterrupted();
    out.commit();
    // One line per changed field: "HeaderCRC16: 1234 -> 2E15".
    for (const core::ChecksumChange& c : fix.changes)
        ctx.out << c.field << ": " << core::hex4(c.stored) << " -> " << core::hex4(c.computed)
                << '\n';
    if (fix.brokenSignature)
        ctx.err << "Warning: " << core::kSignedRegionWarning << " (the " << *fix.brokenSignature
                << " covers a changed checksum)\n";
    return 0;
}

} // namespace

const Command& fixCommand()
{
    static const Command command{"fix", 2, 2, {"--force", "--in-place"}, cmdFix};
    return command;
}

} // namespace cartscope::cli
