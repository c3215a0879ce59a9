#include "core/load.h"

#include <vector>

#include "core/checksum/crc32_sink.h"

namespace cartscope::core {

void analyse(const Stream& image, LoadedImage& out, Tables tables)
{
    PopulateNDSHeader(image, out.header);
    out.stage = LoadedImage::Stage::Header;
    PopulateNDSBanner(image, out.banner, headerOffsetPosition(out.header.ds.BannerOffset));
    out.stage = LoadedImage::Stage::Banner;
    if (tables == Tables::Skip)
        return;
    // The header's FNT size lets the table be read in one piece; the walk never depends on it.
    ParseFNT(image, headerOffsetPosition(out.header.ds.FntOffset),
             headerOffsetPosition(out.header.ds.FatOffset), out.files, out.dirs,
             out.header.ds.FntSize);
    out.stage = LoadedImage::Stage::Tables;
}

std::uint32_t readWholeImage(const Stream& image, std::span<ReadSink* const> extraSinks)
{
    Crc32Sink crc;
    std::vector<ReadSink*> sinks{&crc};
    sinks.insert(sinks.end(), extraSinks.begin(), extraSinks.end());
    readPass(image, sinks);
    return crc.value();
}

void finishLoad(LoadedImage& loaded, Rows rows)
{
    loaded.display = headerValues(loaded.header.ds, loaded.banner.original, loaded.fileCrc32);
    if (rows == Rows::Build)
        loaded.rows = ParseArraysToList(loaded.files, loaded.dirs);
}

LoadedImage loadImage(const Stream& image, const LoadOptions& options)
{
    LoadedImage loaded;
    analyse(image, loaded);
    if (options.knownCrc32)
        loaded.fileCrc32 = options.knownCrc32;
    else if (options.fileCrc32 || !options.extraSinks.empty())
        loaded.fileCrc32 = readWholeImage(image, options.extraSinks);
    finishLoad(loaded, options.rows);
    return loaded;
}

LoadedImage loadImageFile(const std::string& path, const LoadOptions& options)
{
    FileStream image(path);
    return loadImage(image, options);
}

} // namespace cartscope::core
