#include "core/base/names.h"

namespace cartscope::core {

std::string cleanName(const std::string& name)
{
    std::string out = name;
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F)
            c = '_';
    }
    if (out.empty() || out == "." || out == "..")
        out = "_" + out;
    return out;
}

} // namespace cartscope::core
