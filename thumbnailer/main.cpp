// cartscope-thumbnailer -s SIZE INPUT OUTPUT: the banner icon of a cartridge image as a
// SIZE x SIZE PNG, for file managers (freedesktop thumbnailer entry).

#include "thumbnailer/thumbnail.h"

#include <charconv>
#include <iostream>
#include <string>
#include <vector>

#include "core/base/error.h"
#include "core/base/text.h"

namespace {

constexpr const char* kUsage = "Usage: cartscope-thumbnailer -s SIZE INPUT OUTPUT\n"
                               "Writes the banner icon of the cartridge image INPUT as a PNG of\n"
                               "SIZE x SIZE pixels (1 to 2048) to OUTPUT.\n";

struct UsageError {
    std::string message;
};

int parseSize(const std::string& text)
{
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < cartscope::thumbnail::kMinSize ||
        value > cartscope::thumbnail::kMaxSize)
        throw UsageError{"SIZE must be a whole number from 1 to 2048, not \"" + text + "\""};
    return value;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        int size = -1;
        std::vector<std::string> files;
        bool optionsEnded = false;
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (!optionsEnded && (a == "--help" || a == "-h")) {
                std::cout << kUsage;
                return 0;
            }
            if (!optionsEnded && a == "--version") {
                std::cout << "cartscope-thumbnailer " << CARTSCOPE_VERSION << '\n';
                return 0;
            }
            if (!optionsEnded && a == "--") {
                optionsEnded = true;
            } else if (!optionsEnded && (a == "-s" || a == "--size")) {
                if (i + 1 >= args.size())
                    throw UsageError{"option " + a + " needs a value"};
                size = parseSize(args[++i]);
            } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
                throw UsageError{"unknown option " + a};
            } else {
                files.push_back(a);
            }
        }
        if (size < 0)
            throw UsageError{"-s SIZE is missing"};
        if (files.size() != 2)
            throw UsageError{"give one INPUT and one OUTPUT"};
        cartscope::thumbnail::makeThumbnail(files[0], files[1], size);
        return 0;
    } catch (const UsageError& e) {
        std::cerr << "cartscope-thumbnailer: " << cartscope::core::escapeForTerminal(e.message)
                  << "\n"
                  << kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "cartscope-thumbnailer: "
                  << cartscope::core::escapeForTerminal(cartscope::core::withFullStop(e.what()))
                  << '\n';
        return 1;
    }
}
