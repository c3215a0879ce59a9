#pragma once

#include <string>

// The user's base folders, as the XDG base directory rules name them.
namespace cartscope::core {

enum class XdgFolder {
    Cache, // $XDG_CACHE_HOME, else $HOME/.cache
    Data,  // $XDG_DATA_HOME, else $HOME/.local/share
};

// The folder: its variable when that is an absolute path (the rules ignore a relative one), else
// below $HOME when that is absolute, else, with `askAccount`, below the home folder of the
// user's account (for a program started without an environment). Empty when none can be formed.
std::string xdgFolder(XdgFolder which, bool askAccount = false);

} // namespace cartscope::core
