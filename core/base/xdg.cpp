#include "core/base/xdg.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace cartscope::core {

namespace {

std::string accountHome()
{
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

} // namespace

std::string xdgFolder(XdgFolder which, bool askAccount)
{
    const bool cache = which == XdgFolder::Cache;
    const char* own = std::getenv(cache ? "XDG_CACHE_HOME" : "XDG_DATA_HOME");
    if (own && own[0] == '/')
        return own;
    const char* below = cache ? "/.cache" : "/.local/share";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + below;
    const std::string account = askAccount ? accountHome() : std::string();
    return account.empty() ? account : account + below;
}

} // namespace cartscope::core
