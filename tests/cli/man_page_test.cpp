#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/cli/run_cli.h"

namespace {

using cartscope::testcli::cli;

const char* const kManSource = "docs/man/cartscope-cli.1.scd";

std::string readText(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The commands of the usage text: the first word of each line indented by two spaces in the
// "Commands:" block.
std::set<std::string> helpCommands(const std::string& help)
{
    std::set<std::string> out;
    std::istringstream lines(help);
    std::string line;
    bool inCommands = false;
    const std::regex command(R"(^  ([a-z][a-z0-9-]*)\b.*)");
    while (std::getline(lines, line)) {
        if (line == "Commands:") {
            inCommands = true;
        } else if (line.empty() || (line[0] != ' ')) {
            inCommands = false;
        } else if (std::smatch m; inCommands && std::regex_match(line, m, command)) {
            out.insert(m[1]);
        }
    }
    return out;
}

// Every long option named anywhere in a text (usage lines, option list, descriptions).
std::set<std::string> longOptions(const std::string& text)
{
    std::set<std::string> out;
    const std::regex option(R"((^|[^A-Za-z0-9-])(--[a-z][a-z0-9-]*))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it)
        out.insert((*it)[2]);
    return out;
}

TEST(ManPage, NamesEveryCommandAndOptionOfTheUsageText)
{
    const auto help = cli({"--help"});
    ASSERT_EQ(help.status, 0);
    const std::string man = readText(std::string(CARTSCOPE_SOURCE_DIR) + "/" + kManSource);
    ASSERT_FALSE(man.empty()) << kManSource;

    std::string missing;
    const std::set<std::string> commands = helpCommands(help.out);
    EXPECT_GE(commands.size(), 4u) << help.out;
    for (const std::string& c : commands) {
        // A command is described by a definition line that starts with its name in bold.
        if (!std::regex_search(man, std::regex("(^|\n)\\*" + c + "\\*")))
            missing += "  command \"" + c + "\": add a line \"*" + c +
                       "* ...\" with its description under # COMMANDS\n";
    }
    const std::set<std::string> manOptions = longOptions(man);
    for (const std::string& o : longOptions(help.out)) {
        if (!manOptions.count(o))
            missing += "  option \"" + o + "\": add \"*" + o +
                       "*\" with its description under # OPTIONS (and to its command's line)\n";
    }
    EXPECT_TRUE(missing.empty()) << "cartscope-cli --help names what " << kManSource
                                 << " does not describe:\n"
                                 << missing;

    // And the other way round: the page documents no option the program does not know.
    std::string extra;
    const std::set<std::string> helpOptions = longOptions(help.out);
    for (const std::string& o : manOptions) {
        if (!helpOptions.count(o))
            extra += "  " + o + "\n";
    }
    EXPECT_TRUE(extra.empty()) << kManSource << " names options that cartscope-cli --help "
                               << "does not:\n"
                               << extra;
}

} // namespace
