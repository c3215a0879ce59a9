#include "cli/common.h"

namespace cartscope::cli {

namespace {

int cmdList(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const bool json = inv.has("--json");
    std::ostream& out = ctx.out;
    const Input in = openInput(path);
    const core::LoadedImage img = load(in);
    if (json) {
        out << filesJson(img.rows, 0) << '\n';
        return 0;
    }
    for (const auto& row : img.rows)
        out << safe(row.path) << '\t' << row.offset << '\t' << row.size << '\n';
    return 0;
}

} // namespace

const Command& listCommand()
{
    static const Command command{"list", 1, 1, {"--json", "--force"}, cmdList};
    return command;
}

} // namespace cartscope::cli
