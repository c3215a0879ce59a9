#pragma once

#include <optional>
#include <string>

#include "archive/reader.h"
#include "archive/temp_area.h"

// Taking an image out of a .zip: what the window's ExtractFromZip and the command line share.
namespace cartscope::archive {

struct ExtractedImage {
    TempImage temp;         // owns the private folder; the copy goes with it
    std::string path;       // the extracted image, directly inside temp.folder()
    std::string memberName; // the member's name as stored in the archive (display only)
};

// Lists the archive's image members, takes the FIRST, extracts it into a fresh TempImage under
// its cleaned base name and returns it when exactly one member was extracted and
// `events.cancelled` (when set) says false. std::nullopt, with everything written removed, when
// the archive holds no image (or is not a readable archive), the extraction failed or was
// cancelled. Throws core::Error when the archive cannot be opened, the temporary folder
// cannot be made or the copy cannot be written.
std::optional<ExtractedImage> extractFirstImage(const std::string& archivePath,
                                                const ExtractEvents& events);

} // namespace cartscope::archive
