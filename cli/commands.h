#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

namespace cartscope::cli {

// Set by the SIGINT handler in main; long work checks it between steps and between files.
extern std::atomic<bool> g_interrupted;

// Ctrl-C, a termination request and a closed terminal (SIGINT, SIGTERM, SIGHUP) only raise
// g_interrupted. A signal that was ignored when the program started stays ignored:
// "nohup cartscope-cli extract ..." survives the hang-up.
void installInterruptHandlers();

// Runs one command line (without the program name) and returns the exit status:
// 0 success, 1 an error (the user's message on err), 2 a usage error, 130 interrupted.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        bool errIsTerminal = false);

} // namespace cartscope::cli
