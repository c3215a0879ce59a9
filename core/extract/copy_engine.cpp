#include "core/extract/copy_engine.h"

#include <algorithm>
#include <cerrno>
#include <span>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/io/whole_file.h"

namespace cartscope::core::detail {

namespace {

constexpr std::size_t kCopyBufferSize = std::size_t{1} << 20;
constexpr std::size_t kCopyChunk = std::size_t{1} << 30; // per copy_file_range call

} // namespace

void CopyEngine::copyBuffered(std::uint64_t offset, std::uint64_t length, int out,
                              const std::string& full)
{
    if (m_buffer.empty() && length > 0)
        m_buffer.resize(kCopyBufferSize);
    const WriteCall write = [this](int fd, const void* data, std::size_t size) {
        return m_ops.write(fd, data, size);
    };
    // Positioned reads: the stream's own position belongs to whoever else reads it.
    while (length > 0) {
        const auto chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, m_buffer.size()));
        const std::size_t got = m_image.pread(offset, std::span(m_buffer).first(chunk));
        if (got != chunk)
            throw Error(kStreamReadError);
        if (const int err = writeAll(out, std::span(m_buffer).first(got), write))
            throw Error(cannotWriteMessage(full, err));
        offset += got;
        length -= got;
    }
}

void CopyEngine::copy(std::uint64_t offset, std::uint64_t length, int out, const std::string& full)
{
    const auto native = m_image.nativeFile();
    if (!native || !m_kernelCopy) {
        copyBuffered(offset, length, out, full);
        return;
    }
    auto in = static_cast<loff_t>(native->offset + offset);
    while (length > 0) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunk));
        const ssize_t n = m_ops.copyRange(native->fd, &in, out, chunk);
        if (n > 0) {
            length -= static_cast<std::uint64_t>(n);
            continue;
        }
        if (n == 0)
            throw Error(kStreamReadError); // the image ended early
        switch (errno) {
        case EINTR:
            continue;
        case EXDEV:
        case ENOSYS:
        case EINVAL:
        case EOPNOTSUPP:
            // This pair of files cannot be copied in the kernel (another file system, most
            // often): go on from where it stopped (the output's position has advanced with what
            // was copied), and copy the rest of the run through the buffer.
            m_kernelCopy = false;
            copyBuffered(static_cast<std::uint64_t>(in) - native->offset, length, out, full);
            return;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            throw Error(cannotWriteMessage(full, errno));
        default:
            throw Error(kStreamReadError);
        }
    }
}

} // namespace cartscope::core::detail
