#include "core/rebuild/output_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/base/error.h"
#include "core/io/whole_file.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 20;
constexpr std::size_t kCopyChunk = std::size_t{1} << 30; // per copy_file_range call

} // namespace

std::string existsMessage(const std::string& out)
{
    return "\"" + out + "\" already exists (--force replaces it)";
}

std::string sameFileMessage(const std::string& out)
{
    return "\"" + out + "\" is the input file (--in-place replaces it)";
}

Overwrite checkDestination(const std::string& input, const std::string& out, bool force,
                           bool inPlace)
{
    struct stat outStat {};
    if (::stat(out.c_str(), &outStat) != 0)
        return Overwrite::Refuse;
    if (S_ISDIR(outStat.st_mode))
        throw Error(cannotCreateMessage(out, EISDIR));
    struct stat inStat {};
    const bool same = ::stat(input.c_str(), &inStat) == 0 && inStat.st_dev == outStat.st_dev &&
                      inStat.st_ino == outStat.st_ino;
    if (same) {
        if (!inPlace)
            throw Error(sameFileMessage(out));
        return Overwrite::Replace;
    }
    if (!S_ISREG(outStat.st_mode))
        throw Error(cannotCreateMessage(out, EEXIST));
    if (!force)
        throw Error(existsMessage(out));
    return Overwrite::Replace;
}

OutputFile::OutputFile(const std::string& path, Overwrite overwrite)
    : m_path(path), m_overwrite(overwrite), m_file(resolvedDestination(path), path)
{
    // A replaced file keeps its permission bits.
    struct stat existing {};
    if (overwrite == Overwrite::Replace &&
        ::stat(resolvedDestination(path).c_str(), &existing) == 0)
        ::fchmod(m_file.fd(), existing.st_mode & 07777);
}

OutputFile::~OutputFile() = default;

void OutputFile::write(std::span<const std::uint8_t> bytes)
{
    // Bounded by the byte count: every pass writes at least one byte or throws.
    while (!bytes.empty()) {
        const ssize_t n = ::write(m_file.fd(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Error(cannotWriteMessage(m_path, n < 0 ? errno : EIO));
        bytes = bytes.subspan(static_cast<std::size_t>(n));
        m_size += static_cast<std::uint64_t>(n);
    }
}

void OutputFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    if (offset > m_size || bytes.size() > m_size - offset)
        throw Error(cannotWriteMessage(m_path, EINVAL));
    // Bounded by the byte count: every pass writes at least one byte or throws.
    while (!bytes.empty()) {
        const ssize_t n =
            ::pwrite(m_file.fd(), bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Error(cannotWriteMessage(m_path, n < 0 ? errno : EIO));
        bytes = bytes.subspan(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
}

void OutputFile::fill(std::uint8_t value, std::uint64_t count, const Checkpoint& checkpoint)
{
    const std::vector<std::uint8_t> block(
        static_cast<std::size_t>(std::min<std::uint64_t>(count, kBlockSize)), value);
    // Bounded: each pass writes a block or throws.
    while (count > 0) {
        if (checkpoint)
            checkpoint();
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, block.size()));
        write(std::span(block).first(n));
        count -= n;
    }
}

void OutputFile::copyFrom(const Stream& source, std::uint64_t offset, std::uint64_t length,
                          const Checkpoint& checkpoint)
{
    if (offset > source.size() || length > source.size() - offset)
        throw Error(kStreamReadError);
    if (const auto native = source.nativeFile()) {
        auto from = static_cast<loff_t>(native->offset + offset);
        std::uint64_t left = length;
        // Bounded: each pass copies at least one byte, or stops to copy the rest by hand.
        while (left > 0) {
            if (checkpoint)
                checkpoint();
            const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, kCopyChunk));
            const ssize_t n = ::copy_file_range(native->fd, &from, m_file.fd(), nullptr, chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                          errno == EOPNOTSUPP || errno == EBADF))
                break; // no kernel copy between these files: the loop below does the rest
            if (n < 0)
                throw Error(cannotWriteMessage(m_path, errno));
            if (n == 0)
                throw Error(kStreamReadError);
            left -= static_cast<std::uint64_t>(n);
            m_size += static_cast<std::uint64_t>(n);
        }
        offset += length - left;
        length = left;
    }
    std::vector<std::uint8_t> block(
        static_cast<std::size_t>(std::min<std::uint64_t>(length, kBlockSize)));
    // Bounded: each pass consumes a whole block or throws.
    while (length > 0) {
        if (checkpoint)
            checkpoint();
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, block.size()));
        if (source.pread(offset, std::span(block).first(n)) != n)
            throw Error(kStreamReadError);
        write(std::span(block).first(n));
        offset += n;
        length -= n;
    }
}

void OutputFile::commit()
{
    if (!m_file.publish(m_overwrite == Overwrite::Replace))
        throw Error(existsMessage(m_path));
}

} // namespace cartscope::core
