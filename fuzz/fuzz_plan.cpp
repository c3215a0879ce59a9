// Extraction planning: the destination of every row an image's tables yield must lie inside
// DESTINATION/<internal name>/, whatever the names and the internal name say.
#include <cstdint>
#include <string>

#include "core/error.h"
#include "core/extract.h"
#include "core/hex.h"
#include "core/load.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    LoadedImage img;
    MemoryStream stream({data, size});
    try {
        analyseImage(stream, img);
    } catch (const Error&) {
        return 0;
    }
    img.rows = ParseArraysToList(img.files, img.dirs);
    const std::string base = "/dest/";
    const std::string internal = fieldText(img.header.GameTitle);
    const auto plan = planExtraction(base, internal, img.rows);
    const std::string inside = base + cleanName(internal) + "/";
    for (const auto& f : plan) {
        if (f.full.compare(0, inside.size(), inside) != 0)
            __builtin_trap();
        const std::string rest = f.full.substr(inside.size());
        // No component may be empty, "." or "..", and no NUL may survive.
        std::size_t start = 0;
        while (start <= rest.size()) {
            const std::size_t slash = rest.find('/', start);
            const std::string comp =
                rest.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            if (comp.empty() || comp == "." || comp == ".." || comp.find('\0') != std::string::npos)
                __builtin_trap();
            if (slash == std::string::npos)
                break;
            start = slash + 1;
        }
    }
    return 0;
}
