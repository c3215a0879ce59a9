#pragma once

#include <string>
#include <vector>

#include "core/fs/filelist.h"

namespace cartscope::core::formats {

// The file of kind `extension` (".NCLR") that goes with `path` among `rows`: in the same folder,
// the one with the same base name (any letter case), else the only one of that kind; the
// candidates in list order. Empty `chosen` when none or several fit without a name match.
struct Companions {
    std::string chosen;
    std::vector<std::string> candidates;
};
Companions findCompanions(const std::vector<FileRow>& rows, const std::string& path,
                          const std::string& extension);

} // namespace cartscope::core::formats
