#include <csignal>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "archive/temp_area.h"
#include "cli/commands.h"
#include "core/base/text.h"

int main(int argc, char** argv)
{
    // Ctrl-C only raises a flag: the command finishes the file it is writing, removes any
    // temporary archive copy and exits with 130.
    cartscope::cli::installInterruptHandlers();
    // A reader that goes away ("| head") must not kill the program before it has removed a
    // temporary archive copy: a failed write is noticed on the stream instead.
    std::signal(SIGPIPE, SIG_IGN);

    // Temporary copies left by a Cartscope that was killed go now, whatever the command.
    for (const std::string& message : cartscope::archive::removeLeftovers())
        std::cerr << "cartscope-cli: " << cartscope::core::escapeForTerminal(message) << '\n';

    std::vector<std::string> args(argv + 1, argv + argc);
    std::ios::sync_with_stdio(false);
    const int status = cartscope::cli::run(args, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
    std::cout.flush();
    if (!std::cout && status == 0) {
        std::cerr << "Stream write error.\n";
        return 1;
    }
    return status;
}
