#include "core/load.h"

namespace cartscope::core {

void analyseImage(Stream& image, LoadedImage& out)
{
    PopulateNDSHeader(image, out.header);
    PopulateNDSBanner(image, out.banner, headerOffsetPosition(out.header.BannerOffset), out.icon,
                      out.hasTransparency);
    ParseFNT(image, headerOffsetPosition(out.header.FntOffset),
             headerOffsetPosition(out.header.FatOffset), out.files, out.dirs);
}

LoadedImage loadImageFile(const std::string& path)
{
    LoadedImage loaded;
    {
        FileStream image(path);
        analyseImage(image, loaded);
    }
    computeDisplayValues(loaded.header, loaded.banner, path, loaded.display);
    loaded.rows = ParseArraysToList(loaded.files, loaded.dirs);
    return loaded;
}

} // namespace cartscope::core
