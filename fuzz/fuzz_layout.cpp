// The layout beside an extracted tree, and the round trip through it. The input is read twice:
// as layout.json text (whatever it says, it is refused with the user's error or checked whole,
// and a checked layout encodes to text that decodes to the same layout), and as an image (when
// extract --system writes it whole, with and without --decompress, build gives back the same
// bytes).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "core/base/error.h"
#include "core/rebuild/layout.h"

namespace {

void layoutText(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    rebuild::Layout layout;
    try {
        layout = rebuild::decodeLayout(text, "fuzz");
    } catch (const Error&) {
        return;
    }
    const std::string again = rebuild::encodeLayout(layout);
    if (rebuild::encodeLayout(rebuild::decodeLayout(again, "fuzz")) != again)
        __builtin_trap();
}

void roundTrip(const std::uint8_t* data, std::size_t size, bool decompress)
{
    namespace fs = std::filesystem;
    static const std::string work = [] {
        char name[] = "/tmp/fuzz_layout.XXXXXX";
        const char* made = ::mkdtemp(name);
        if (!made)
            std::abort();
        return std::string(made);
    }();
    fs::remove_all(work + "/out");
    const std::string image = work + "/x.nds";
    std::ofstream(image, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    std::ostringstream out, err;
    std::vector<std::string> args{"extract", "--force", "--system", image, work + "/out"};
    if (decompress)
        args.insert(args.begin() + 1, "--decompress");
    if (cartscope::cli::run(args, out, err) != 0)
        return;
    std::string tree;
    for (const auto& e : fs::directory_iterator(work + "/out"))
        if (e.path().extension() == ".layout")
            tree = e.path().parent_path() / e.path().stem();
    const std::string built = work + "/built.nds";
    fs::remove(built);
    if (tree.empty() || cartscope::cli::run({"build", tree, built}, out, err) != 0)
        __builtin_trap();
    std::ifstream in(built, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes != std::string_view(reinterpret_cast<const char*>(data), size))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    layoutText(data, size);
    roundTrip(data, size, false);
    roundTrip(data, size, true);
    return 0;
}
