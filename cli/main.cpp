#include <csignal>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "archive/temp_area.h"
#include "cli/commands.h"
#include "core/text.h"

namespace {
extern "C" void onInterrupt(int)
{
    cartscope::cli::g_interrupted = true;
}

// A signal ignored when the program started stays ignored: "nohup cartscope-cli extract ..."
// must survive the hang-up, and a job started with SIGINT ignored must survive Ctrl-C.
void catchUnlessIgnored(int signal)
{
    struct sigaction old {};
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
        return;
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(signal, &sa, nullptr);
}
} // namespace

int main(int argc, char** argv)
{
    // Ctrl-C only raises a flag: the command finishes the file it is writing, removes any
    // temporary archive copy and exits with 130.
    catchUnlessIgnored(SIGINT);
    catchUnlessIgnored(SIGTERM);
    catchUnlessIgnored(SIGHUP); // a closed terminal, like Ctrl-C
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
