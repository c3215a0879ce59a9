// Whole-tree extraction the way the window runs it, in one of its list orders: the table walk,
// the rows sorted as a column click sorts them, the plan and the copy (the window's load adds
// the CRC-32 and the display, which are not part of extraction and not done here).
//   window_order extract IMAGE DIR list|name|size   into DIR/<internal name>/
//   window_order plan IMAGE list|name|size          the rows in that order, as `list` prints
//                                                   them (the reference loop's plan)
#include <cstdio>
#include <string>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/extract/extract.h"
#include "core/fs/filelist.h"
#include "core/io/stream.h"
#include "core/load.h"

namespace core = cartscope::core;

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (!((mode == "extract" && argc == 5) || (mode == "plan" && argc == 4))) {
        std::fprintf(stderr, "usage: window_order extract IMAGE DIR ORDER | plan IMAGE ORDER\n");
        return 2;
    }
    const std::string order = argv[argc - 1];
    try {
        core::FileStream image(argv[2], true);
        core::LoadedImage loaded;
        core::analyse(image, loaded);
        auto rows = core::ParseArraysToList(loaded.files, loaded.dirs);
        if (order != "list") {
            core::SortState sort;
            sort.SortColumn = order == "size" ? 2 : 0;
            sort.SortAscending = true;
            core::sortRows(rows, sort);
        }
        if (mode == "plan") {
            for (const auto& r : rows)
                std::printf("%s\t%08X\t%lld\n", r.path.c_str(), r.offset,
                            static_cast<long long>(r.size));
            return 0;
        }
        const auto plan =
            core::planExtraction(argv[3], core::fieldText(loaded.header.ds.GameTitle), rows);
        core::runExtraction(image, plan, {});
    } catch (const core::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
