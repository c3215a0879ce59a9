#include <cerrno>
#include <fstream>
#include <iterator>

#include "cli/common.h"
#include "cli/image_file.h"
#include "core/base/error.h"
#include "core/formats/bmg.h"
#include "core/io/whole_file.h"

namespace cartscope::cli {

namespace {

std::string readTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw core::Error(core::cannotOpenMessage(path, errno));
    std::string text;
    char buffer[65536];
    // Bounded by the cap: a larger file stops the read.
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxDecodedFile)
            throw core::Error("\"" + path + "\" is too large (at most 64 MiB)");
    }
    if (in.bad())
        throw core::Error(core::kStreamReadError);
    return text;
}

int cmdText(const Invocation& inv, Context& ctx)
{
    const bool write = inv.has("--write");
    if (inv.positional.size() != (write ? 4u : 2u))
        throw UsageError("wrong number of arguments for text");
    if (write && inv.has("--json"))
        throw UsageError("--write reads the text form; it does not combine with --json");
    const std::string& path = inv.positional[1];
    InputImage image(inv.positional[0], inputOptions());
    const core::LoadedImage img = load(image);
    checkInterrupted();
    const core::Bmg bmg = core::readBmg(readTreeFile(image, img.rows, path), path);
    if (!write) {
        // The token form and JSON escape every control and format character themselves.
        ctx.out << (inv.has("--json") ? core::bmgJson(bmg) : core::bmgTextFile(bmg));
        return 0;
    }
    const std::string& textPath = inv.positional[2];
    const std::string& outName = inv.positional[3];
    const std::vector<std::uint8_t> written = core::writeBmg(
        bmg, core::parseBmgTextFile(readTextFile(textPath), bmg.messages.size(), textPath));
    core::writeWholeFile(outName, written);
    ctx.out << safe(outName) << '\n';
    return 0;
}

} // namespace

const Command& textCommand()
{
    static const Command command{"text", 2, 4, {"--json", "--write"}, cmdText};
    return command;
}

} // namespace cartscope::cli
