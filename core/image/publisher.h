#pragma once

#include <array>
#include <string>

namespace cartscope::core {

struct TMakerEntry {
    const char* Code;
    const char* Name;
};

inline constexpr std::size_t kMakerCount = 315;
extern const std::array<TMakerEntry, kMakerCount> MakerArray;

// The name of the first row whose code equals `code` exactly (case-sensitive, no trimming);
// empty text when none does.
std::string SearchMakerArray(const std::string& code);

} // namespace cartscope::core
