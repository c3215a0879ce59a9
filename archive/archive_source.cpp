#include "archive/archive_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "archive/libarchive_util.h"

namespace cartscope::archive::detail {

namespace {
constexpr std::size_t kBlockSize = std::size_t{1} << 20;
} // namespace

ArchiveSource::ArchiveSource(int fd, std::uint64_t size)
    : m_fd(fd), m_size(size), m_buffer(kBlockSize)
{}

int ArchiveSource::open(struct archive* reader)
{
    ++g_libarchiveOpens;
    la().archive_read_set_callback_data(reader, this);
    la().archive_read_set_read_callback(reader, &ArchiveSource::read);
    la().archive_read_set_seek_callback(reader, &ArchiveSource::seek);
    la().archive_read_set_skip_callback(reader, &ArchiveSource::skip);
    return la().archive_read_open1(reader);
}

std::string ArchiveSource::readErrorMessage(const std::string& path) const
{
    return "Cannot read file \"" + path + "\". " + std::strerror(m_error);
}

la_ssize_t ArchiveSource::read(struct archive* a, void* self, const void** buffer)
{
    auto& s = *static_cast<ArchiveSource*>(self);
    *buffer = s.m_buffer.data();
    if (s.m_position >= s.m_size)
        return 0;
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(s.m_buffer.size(), s.m_size - s.m_position));
    ssize_t n = 0;
    // Bounded: EINTR repeats only what a signal interrupted.
    do {
        if (s.m_position < g_failArchiveReadsTo.load() &&
            s.m_position + want > g_failArchiveReadsFrom.load()) {
            n = -1;
            errno = EIO;
            break;
        }
        n = ::pread(s.m_fd, s.m_buffer.data(), want, static_cast<off_t>(s.m_position));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        s.m_error = s.m_error ? s.m_error : errno;
        la().archive_set_error(a, errno, "%s", std::strerror(errno));
        return -1;
    }
    s.m_position += static_cast<std::uint64_t>(n);
    return n;
}

la_int64_t ArchiveSource::seek(struct archive*, void* self, la_int64_t offset, int whence)
{
    auto& s = *static_cast<ArchiveSource*>(self);
    const auto size = static_cast<la_int64_t>(s.m_size);
    la_int64_t base = 0;
    if (whence == SEEK_CUR)
        base = static_cast<la_int64_t>(s.m_position);
    else if (whence == SEEK_END)
        base = size;
    // Offsets come from the archive's records: kept within the file, never overflowing.
    if ((offset > 0 && base > size - std::min(offset, size)) || (offset < 0 && -offset > base))
        return ARCHIVE_FATAL;
    s.m_position = static_cast<std::uint64_t>(base + offset);
    return base + offset;
}

la_int64_t ArchiveSource::skip(struct archive*, void* self, la_int64_t request)
{
    auto& s = *static_cast<ArchiveSource*>(self);
    if (request <= 0)
        return 0;
    const auto step = static_cast<la_int64_t>(std::min<std::uint64_t>(
        static_cast<std::uint64_t>(request), s.m_size - std::min(s.m_position, s.m_size)));
    s.m_position += static_cast<std::uint64_t>(step);
    return step;
}

} // namespace cartscope::archive::detail
