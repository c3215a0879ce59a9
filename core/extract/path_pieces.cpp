#include "core/extract/path_pieces.h"

namespace cartscope::core::detail {

bool isSafeComponent(std::string_view c)
{
    return !c.empty() && c != "." && c != ".." && c.find('/') == std::string_view::npos &&
           c.find('\0') == std::string_view::npos;
}

std::vector<std::string> splitPath(const std::string& s)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto slash = s.find('/', start);
        parts.push_back(s.substr(start, slash == std::string::npos ? slash : slash - start));
        if (slash == std::string::npos)
            return parts;
        start = slash + 1;
    }
}

std::string joinPath(const std::vector<std::string>& parts, std::size_t count)
{
    std::string out;
    for (std::size_t k = 0; k < count; ++k) {
        if (k)
            out.push_back('/');
        out += parts[k];
    }
    return out;
}

// "name.bin" -> "name (2).bin"; a name without "." (or only a leading one) gets the suffix at
// its end. The result of a clean name is clean: the suffix adds no "/" and cannot make "."/"..".
std::string withSuffix(const std::string& name, std::uint64_t k)
{
    const std::string suffix = " (" + std::to_string(k) + ")";
    const auto dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0)
        return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

} // namespace cartscope::core::detail
