#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Path pieces shared by planning and the extraction run.
namespace cartscope::core::detail {

// A component that can be created as it is: not empty, not "." or "..", no "/" or NUL.
bool isSafeComponent(std::string_view c);
// "a/b/c" -> {"a", "b", "c"}; empty components are kept.
std::vector<std::string> splitPath(const std::string& s);
// The first `count` parts joined with "/".
std::string joinPath(const std::vector<std::string>& parts, std::size_t count);
// "name.bin" -> "name (k).bin"; a name without "." (or only a leading one) gets it at its end.
std::string withSuffix(const std::string& name, std::uint64_t k);

} // namespace cartscope::core::detail
