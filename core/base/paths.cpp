#include "core/base/paths.h"

namespace cartscope::core {

namespace {
std::size_t lastComponentStart(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? 0 : slash + 1;
}
} // namespace

std::string replaceExtension(const std::string& path, const std::string& newExtension)
{
    const std::size_t start = lastComponentStart(path);
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || dot < start)
        return path + newExtension;
    return path.substr(0, dot) + newExtension;
}

std::string extensionOf(const std::string& path)
{
    const std::size_t start = lastComponentStart(path);
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || dot < start)
        return {};
    return path.substr(dot);
}

std::string namePart(const std::string& path)
{
    return path.substr(lastComponentStart(path));
}

ImageName imageNameOf(const std::string& name)
{
    const std::string extension = extensionOf(name);
    if (equalsIgnoreCase(extension, ".nds") || equalsIgnoreCase(extension, ".ids"))
        return ImageName::Ds;
    if (equalsIgnoreCase(extension, ".dsi") || equalsIgnoreCase(extension, ".srl"))
        return ImageName::Dsi;
    return ImageName::None;
}

bool isDroppableName(const std::string& path)
{
    return imageNameOf(path) != ImageName::None || equalsIgnoreCase(extensionOf(path), ".zip") ||
           equalsIgnoreCase(extensionOf(path), ".7z");
}

bool equalsIgnoreCase(const std::string& a, const std::string& b)
{
    // ASCII only, never std::tolower: under a Turkish locale that lowers "I" to a dotless i (or
    // leaves it), and ".IDS" would stop being an image extension in the window.
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

} // namespace cartscope::core
