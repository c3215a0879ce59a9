#include "cli/common.h"
#include "core/banner/banner_info.h"
#include "core/banner/png.h"
#include "core/base/error.h"
#include "core/io/stream.h"

namespace cartscope::cli {

namespace {

int cmdIcon(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const std::string& outName = inv.positional[1];
    std::ostream& out = ctx.out;
    const bool animated = inv.has("--animated");
    core::LoadedImage img;
    {
        InputImage image(path, inputOptions());
        core::analyseImage(image, img);
    }
    const core::BannerInfo& banner = img.banner.info;
    checkInterrupted();
    // Asked for an animation that is not there: nothing is written, not even the still icon.
    if (animated && !banner.animated)
        throw core::Error("The banner of \"" + path + "\" has no animated icon");
    for (const auto& written :
         core::exportIcon(outName, img.banner.icon, img.banner.hasTransparency))
        out << safe(written) << '\n';
    if (animated) {
        const std::string name = core::animatedIconName(outName);
        core::writeAnimatedPng(name, core::decodeAnimation(banner.animation));
        out << safe(name) << '\n';
    }
    return 0;
}

} // namespace

const Command& iconCommand()
{
    static const Command command{"icon", 2, 2, {"--animated"}, cmdIcon};
    return command;
}

} // namespace cartscope::cli
