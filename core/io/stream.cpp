#include "core/io/stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/base/error.h"

namespace cartscope::core {

void Stream::readExact(std::uint64_t position, std::span<std::uint8_t> out) const
{
    if (pread(position, out) != out.size())
        throw Error(kStreamReadError);
}

std::size_t MemoryStream::pread(std::uint64_t position, std::span<std::uint8_t> out) const
{
    if (position >= m_bytes.size())
        return 0;
    const auto available = static_cast<std::size_t>(m_bytes.size() - position);
    const std::size_t n = std::min(out.size(), available);
    if (n != 0) // an empty span may hold no buffer
        std::memcpy(out.data(), m_bytes.data() + position, n);
    return n;
}

SubStream::SubStream(const Stream& parent, std::uint64_t offset, std::uint64_t length)
    : m_parent(parent), m_offset(offset)
{
    const std::uint64_t parentSize = parent.size();
    m_size = offset <= parentSize ? std::min(length, parentSize - offset) : 0;
}

std::size_t SubStream::pread(std::uint64_t position, std::span<std::uint8_t> out) const
{
    if (position >= m_size)
        return 0;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), m_size - position));
    // m_offset + position < parent size: cannot overflow.
    return m_parent.pread(m_offset + position, out.first(n));
}

std::optional<NativeFile> SubStream::nativeFile() const
{
    auto native = m_parent.nativeFile();
    if (native)
        native->offset += m_offset;
    return native;
}

std::string notRegularReason(unsigned mode)
{
    // EISDIR reads better than a generic code for a folder; everything else says what it is.
    if (S_ISDIR(mode))
        return std::strerror(EISDIR);
    if (S_ISFIFO(mode))
        return "Not a regular file (a named pipe)";
    if (S_ISSOCK(mode))
        return "Not a regular file (a socket)";
    if (S_ISCHR(mode))
        return "Not a regular file (a character device)";
    if (S_ISBLK(mode))
        return "Not a regular file (a block device)";
    return "Not a regular file";
}

std::string notRegularMessage(const std::string& path, unsigned mode)
{
    return "Cannot open file \"" + path + "\". " + notRegularReason(mode);
}

void requireRegularFile(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw Error(cannotOpenMessage(path, errno));
    if (!S_ISREG(st.st_mode))
        throw Error(notRegularMessage(path, st.st_mode));
}

FileStream::FileStream(const std::string& path, bool exclusive)
    : m_path(path), m_what("file \"" + path + "\"")
{
    // O_NONBLOCK so that a FIFO given as the image cannot block the open itself.
    m_fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!m_fd.valid())
        throw Error(cannotOpenMessage(path, errno));
    struct stat st {};
    if (::fstat(m_fd.get(), &st) != 0)
        throw Error(cannotOpenMessage(path, errno));
    if (!S_ISREG(st.st_mode))
        throw Error(notRegularMessage(path, st.st_mode));
    if (exclusive && ::flock(m_fd.get(), LOCK_EX | LOCK_NB) != 0)
        throw Error(cannotOpenMessage(path, errno));
    m_size = static_cast<std::uint64_t>(st.st_size);
}

FileStream::~FileStream() = default;

namespace {
// Positioned reads until `out` is full or the file ends. A failed read throws the system's
// reason: "Cannot read <what>. %s" when `what` names the bytes read (a file, an archive member),
// else "Stream read error: %s" (a short file, by contrast, is a short read and its caller's
// "Stream read error").
std::size_t preadFully(int fd, std::uint64_t position, std::span<std::uint8_t> out,
                       const std::string& what)
{
    std::size_t done = 0;
    while (done < out.size()) {
        if (position > static_cast<std::uint64_t>(INT64_MAX))
            break;
        const ssize_t n =
            ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(position));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            throw Error(!what.empty() ? "Cannot read " + what + ". " + std::strerror(err)
                                      : std::string(kStreamReadError) + ": " + std::strerror(err));
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
        position += static_cast<std::uint64_t>(n);
    }
    return done;
}
} // namespace

std::size_t FileStream::pread(std::uint64_t position, std::span<std::uint8_t> out) const
{
    return preadFully(m_fd.get(), position, out, m_what);
}

std::size_t DescriptorStream::pread(std::uint64_t position, std::span<std::uint8_t> out) const
{
    if (position >= m_size)
        return 0;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), m_size - position));
    return preadFully(m_fd, position, out.first(n), m_what);
}

} // namespace cartscope::core
