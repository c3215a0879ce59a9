// The archive listing and member extraction over arbitrary archive bytes: nothing may be left
// behind, nothing written outside the private folder.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "archive/reader.h"
#include "archive/zip_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope;
    static const std::string dir = [] {
        std::string t = "/tmp/cartscope-fuzz-XXXXXX";
        if (!mkdtemp(t.data()))
            std::abort();
        setenv("XDG_CACHE_HOME", (t + "/cache").c_str(), 1);
        return t;
    }();
    const std::string zip = dir + "/in.zip";
    FILE* f = std::fopen(zip.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    {
        auto extracted = archive::extractFirstImage(zip, {});
        (void)extracted;
    }
    // The private folders are gone once the copy is released.
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/cache/cartscope/Temp", ec)) {
        (void)e;
        __builtin_trap();
    }
    return 0;
}
