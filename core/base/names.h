#pragma once

#include <string>

namespace cartscope::core {

// Makes one path component from an image or archive safe to create: "/", "\", NUL and control
// characters become "_"; "", "." and ".." become "_", "_." and "_.."; the result is never empty
// and never names the folder itself or its parent. Names that are already safe are unchanged.
std::string cleanName(const std::string& name);

} // namespace cartscope::core
