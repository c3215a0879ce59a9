#pragma once

#include <string>

#include "core/base/fd.h"

namespace cartscope::core {

// Opens the file `relative` ("a/b/game.nds") below the folder `root` for reading: the root is
// followed when it is a link (the user chose it), every folder below it and the file itself are
// opened relative to the one before with O_NOFOLLOW. A file or folder found by a walk and
// replaced by a symbolic link since is so refused, never read. Throws "Cannot open file "%s".
// %s" naming root/relative ("It was replaced by a symbolic link" for such a link).
UniqueFd openBelow(const std::string& root, const std::string& relative);

} // namespace cartscope::core
