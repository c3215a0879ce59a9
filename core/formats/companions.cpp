#include "core/formats/companions.h"

#include "core/base/paths.h"

namespace cartscope::core::formats {

namespace {

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string lowerAscii(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string baseOf(const std::string& path)
{
    const std::string name = namePart(path);
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

} // namespace

Companions findCompanions(const std::vector<FileRow>& rows, const std::string& path,
                          const std::string& extension)
{
    Companions found;
    const std::string folder = folderOf(path);
    const std::string base = lowerAscii(baseOf(path));
    const std::string ext = lowerAscii(extension);
    for (const FileRow& r : rows) {
        const std::string name = lowerAscii(namePart(r.path));
        if (r.system || folderOf(r.path) != folder || name.size() <= ext.size() ||
            !name.ends_with(ext))
            continue;
        if (found.chosen.empty() && lowerAscii(baseOf(r.path)) == base)
            found.chosen = r.path;
        found.candidates.push_back(r.path);
    }
    if (found.chosen.empty() && found.candidates.size() == 1)
        found.chosen = found.candidates.front();
    return found;
}

} // namespace cartscope::core::formats
