#include "core/base/fd.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>

namespace cartscope::core {

int UniqueFd::close()
{
    if (m_fd < 0)
        return 0;
    return ::close(std::exchange(m_fd, -1)) != 0 && errno != EINTR ? errno : 0;
}

bool folderEntries(int dir, std::vector<FolderEntry>& entries)
{
    UniqueFd fd(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    // The stream owns the descriptor once it is made.
    const std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(fd.get()), &::closedir);
    if (!stream)
        return false;
    fd.release();
    // Bounded by the entries of the folder.
    errno = 0;
    while (const dirent* e = ::readdir(stream.get())) {
        const std::string_view name = e->d_name;
        if (name != "." && name != "..")
            entries.push_back({std::string(name), e->d_type});
        errno = 0;
    }
    return errno == 0;
}

int writeAll(int fd, std::span<const std::uint8_t> bytes, const WriteCall& write)
{
    // Bounded by the byte count: every pass writes at least one byte or returns.
    while (!bytes.empty()) {
        const ssize_t n =
            write ? write(fd, bytes.data(), bytes.size()) : ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return 0;
}

} // namespace cartscope::core
