#include "cli/common.h"
#include "core/png.h"
#include "core/stream.h"

namespace cartscope::cli {

namespace {

int cmdIcon(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const std::string& outName = inv.positional[1];
    std::ostream& out = ctx.out;
    const Input in = openInput(path);
    core::LoadedImage img;
    {
        core::FileStream image(in.imagePath);
        core::analyseImage(image, img);
    }
    checkInterrupted();
    for (const auto& written : core::exportIcon(outName, img.icon, img.hasTransparency))
        out << safe(written) << '\n';
    return 0;
}

} // namespace

const Command& iconCommand()
{
    static const Command command{"icon", 2, 2, {"--json", "--force"}, cmdIcon};
    return command;
}

} // namespace cartscope::cli
