// Message files over arbitrary bytes: what reads gives texts that write back without error and
// read again as the same texts, in the one-line and the JSON form alike; nothing but the user's
// error escapes.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/base/error.h"
#include "core/formats/bmg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    Bmg bmg;
    try {
        bmg = readBmg(std::span(data, size), "f.bmg");
    } catch (const Error&) {
        return 0;
    }
    bmgJson(bmg);
    for (const bool oneLine : {true, false}) {
        const std::vector<std::string> texts = bmgTexts(bmg, oneLine);
        std::vector<std::uint8_t> written;
        try {
            written = writeBmg(bmg, texts);
        } catch (const Error&) {
            __builtin_trap(); // the texts it read always fit the file again
        }
        if (bmgTexts(readBmg(written, "again.bmg"), oneLine) != texts)
            __builtin_trap();
    }
    return 0;
}
