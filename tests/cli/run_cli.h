#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace cartscope::testcli {

// One command line run in-process, with what it printed.
struct Result {
    int status;
    std::string out;
    std::string err;
};

inline Result cli(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    const int status = cartscope::cli::run(args, out, err);
    return {status, out.str(), err.str()};
}

} // namespace cartscope::testcli
