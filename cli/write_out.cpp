#include "cli/write_out.h"

#include "core/base/error.h"
#include "core/io/stream.h"

namespace cartscope::cli {

core::Overwrite destinationFor(const Invocation& inv, const std::string& input,
                               const std::string& out)
{
    return core::checkDestination(input, out, inv.has("--force"), inv.has("--in-place"));
}

core::Checkpoint interruptCheck()
{
    return [] { checkInterrupted(); };
}

std::vector<std::uint8_t> readSmallFile(const std::string& path, std::uint64_t limit,
                                        const char* what)
{
    const core::FileStream file(path);
    if (file.size() > limit)
        throw core::Error("The " + std::string(what) + " \"" + path + "\" is larger than " +
                          std::to_string(limit) + " bytes");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.size()));
    if (file.pread(0, bytes) != bytes.size())
        throw core::Error(core::kStreamReadError);
    return bytes;
}

} // namespace cartscope::cli
