#pragma once

#include <string>
#include <vector>

#include "core/banner.h"
#include "core/filelist.h"
#include "core/fnt.h"
#include "core/header.h"
#include "core/interpret.h"
#include "core/stream.h"

namespace cartscope::core {

// Everything one load yields, for the front ends that do not drive the window's step-by-step
// sequence (the command line, fuzzing, benchmarks).
struct LoadedImage {
    TNDSHeader header;
    TNDSBanner banner;
    IconPicture icon;
    bool hasTransparency = false;
    std::vector<TFileEntry> files;
    std::vector<TDirEntry> dirs;
    DisplayValues display;
    std::vector<FileRow> rows;
};

// Header, banner and file-system tables from an open image, in the load order. No CRC-32.
void analyseImage(Stream& image, LoadedImage& out);

// The whole load of the image file at path: analysis, display values (with the file CRC-32)
// and the list rows. Throws the user's message on the first failure.
LoadedImage loadImageFile(const std::string& path);

} // namespace cartscope::core
