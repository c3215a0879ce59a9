#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/extract/extract.h"
#include "core/fs/filelist.h"

// The extraction plan's promise, checked on whatever rows a fuzzed table yields: every
// destination lies inside DESTINATION/<cleaned internal name>/, no component below it is
// empty, ".", ".." or holds a NUL, and no two rows meet: each file has a path of its own, and
// no file's path is a folder on another row's way.
namespace cartscope::fuzz {

inline void checkPlan(const std::string& internalName, const std::vector<core::FileRow>& rows)
{
    const std::string base = "/dest/";
    const auto plan = core::planExtraction(base, internalName, rows);
    const std::string inside = base + core::cleanName(internalName) + "/";
    std::unordered_set<std::string_view> files;
    std::unordered_set<std::string_view> folders;
    for (const auto& f : plan) {
        if (!files.insert(f.relative).second)
            __builtin_trap();
        // Bounded by the path's length.
        for (std::size_t slash = f.relative.find('/'); slash != std::string::npos;
             slash = f.relative.find('/', slash + 1))
            folders.insert(std::string_view(f.relative).substr(0, slash));
    }
    for (const std::string_view file : files)
        if (folders.count(file))
            __builtin_trap();
    for (const auto& f : plan) {
        const std::string full = f.full();
        if (full.compare(0, inside.size(), inside) != 0)
            __builtin_trap();
        const std::string_view rest = std::string_view(full).substr(inside.size());
        std::size_t start = 0;
        // Bounded by the path's length: each step moves past one "/".
        while (start <= rest.size()) {
            const std::size_t slash = rest.find('/', start);
            const std::string_view comp =
                rest.substr(start, slash == std::string_view::npos ? rest.npos : slash - start);
            if (comp.empty() || comp == "." || comp == ".." || comp.find('\0') != comp.npos)
                __builtin_trap();
            if (slash == std::string_view::npos)
                break;
            start = slash + 1;
        }
    }
}

} // namespace cartscope::fuzz
