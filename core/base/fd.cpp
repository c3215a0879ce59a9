#include "core/base/fd.h"

#include <cerrno>

namespace cartscope::core {

int UniqueFd::close()
{
    if (m_fd < 0)
        return 0;
    return ::close(std::exchange(m_fd, -1)) != 0 && errno != EINTR ? errno : 0;
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
