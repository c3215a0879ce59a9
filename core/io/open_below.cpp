#include "core/io/open_below.h"

#include <cerrno>
#include <fcntl.h>

#include "core/base/error.h"

namespace cartscope::core {

UniqueFd openBelow(const std::string& root, const std::string& relative)
{
    const std::string shown =
        root + (root.empty() || root.back() == '/' || relative.empty() ? "" : "/") + relative;
    UniqueFd dir(::open(root.empty() ? "." : root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::size_t start = 0;
    // Bounded by the path's length: each step consumes one component.
    while (dir.valid()) {
        const std::size_t slash = relative.find('/', start);
        const std::string name = relative.substr(start, slash - start);
        if (slash == std::string::npos) {
            // O_NONBLOCK: a FIFO put there cannot block the open.
            UniqueFd fd(::openat(dir.get(), name.c_str(),
                                 O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
            if (fd.valid())
                return fd;
            break;
        }
        if (!name.empty())
            dir = UniqueFd(
                ::openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        start = slash + 1;
    }
    const int err = errno;
    // O_NOFOLLOW fails with ELOOP on a link as the file, and O_DIRECTORY with ENOTDIR on a link
    // as a folder.
    if (err == ELOOP || err == ENOTDIR)
        throw Error("Cannot open file \"" + shown + "\". It was replaced by a symbolic link");
    throw Error(cannotOpenMessage(shown, err));
}

} // namespace cartscope::core
