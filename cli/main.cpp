#include <csignal>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/commands.h"

namespace {
extern "C" void onInterrupt(int)
{
    cartscope::cli::g_interrupted = true;
}
} // namespace

int main(int argc, char** argv)
{
    // Ctrl-C only raises a flag: the command finishes the file it is writing, removes any
    // temporary archive copy and exits with 130.
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr); // a closed terminal, like Ctrl-C
    // A reader that goes away ("| head") must not kill the program before it has removed a
    // temporary archive copy: a failed write is noticed on the stream instead.
    std::signal(SIGPIPE, SIG_IGN);

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
