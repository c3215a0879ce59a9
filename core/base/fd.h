#pragma once

#include <unistd.h>
#include <utility>

namespace cartscope::core {

// An open file descriptor, closed when the object goes (an early return or a throw included).
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    ~UniqueFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    UniqueFd(UniqueFd&& o) noexcept : m_fd(std::exchange(o.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept
    {
        if (this != &o) {
            if (m_fd >= 0)
                ::close(m_fd);
            m_fd = std::exchange(o.m_fd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Hands the descriptor over (to close it and look at the result, say); the object is empty.
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

} // namespace cartscope::core
