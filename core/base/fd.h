#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>

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
    // Hands the descriptor over; the object is empty.
    int release() { return std::exchange(m_fd, -1); }
    // Closes now and tells how it went: 0, or the errno of a failed close (a quota or network
    // file system reporting a delayed write error). EINTR counts as closed: the descriptor is
    // gone either way on Linux. The object is empty afterwards.
    int close();

private:
    int m_fd;
};

// The write call writeAll makes: ::write unless a test stands in for the file system.
using WriteCall = std::function<ssize_t(int fd, const void* data, std::size_t size)>;

// Writes every byte to fd, repeating after a short write or EINTR. Returns 0, or the errno of the
// failure (EIO for a write that took nothing); the caller words the message.
int writeAll(int fd, std::span<const std::uint8_t> bytes, const WriteCall& write = {});

// One entry of a folder: its name and its type as the folder tells it (DT_REG, DT_DIR, DT_LNK,
// ...; DT_UNKNOWN where the file system does not say, and the caller asks the inode).
struct FolderEntry {
    std::string name;
    unsigned char type;
};

// The entries of the folder open as `dir`, "." and ".." left out, in the folder's order. The
// listing reads through a descriptor of its own, so the caller's keeps its place and a folder
// can be listed again. False, with errno set, when the folder cannot be read.
bool folderEntries(int dir, std::vector<FolderEntry>& entries);

} // namespace cartscope::core
