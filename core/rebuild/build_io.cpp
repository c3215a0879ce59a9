#include "core/rebuild/build_io.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <vector>

#include "core/base/error.h"
#include "core/io/stream.h"
#include "core/io/whole_file.h"

namespace cartscope::core::rebuild {

namespace {

constexpr std::size_t kChunk = 1 << 20;

} // namespace

void writeAt(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset,
             const std::string& outPath)
{
    // Bounded by the bytes: every pass writes at least one or throws.
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Error(cannotWriteMessage(outPath, n < 0 ? errno : EIO));
        done += static_cast<std::size_t>(n);
    }
}

void fillAt(int fd, std::uint8_t value, std::uint64_t offset, std::uint64_t size,
            const std::string& outPath)
{
    const std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk)), value);
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kChunk));
        writeAt(fd, std::span(buffer).first(want), offset + done, outPath);
        done += want;
    }
}

bool copyInto(int in, int out, std::uint64_t offset, std::uint64_t size, const std::string& outPath)
{
    loff_t inAt = 0;
    auto outAt = static_cast<loff_t>(offset);
    std::uint64_t left = size;
    // Bounded by the size: every pass copies at least one byte, ends or falls back.
    while (left > 0) {
        const ssize_t n =
            ::copy_file_range(in, &inAt, out, &outAt,
                              static_cast<std::size_t>(std::min<std::uint64_t>(left, 1u << 30)), 0);
        if (n > 0) {
            left -= static_cast<std::uint64_t>(n);
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
            errno != EBADF)
            throw Error(cannotWriteMessage(outPath, errno));
        break;
    }
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk)));
    while (left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
        const ssize_t got = ::pread(in, buffer.data(), want, inAt);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw Error(kStreamReadError);
        if (got == 0)
            return false;
        for (ssize_t w = 0; w < got;) {
            const ssize_t n =
                ::pwrite(out, buffer.data() + w, static_cast<std::size_t>(got - w), outAt);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw Error(cannotWriteMessage(outPath, n < 0 ? errno : EIO));
            w += n;
            outAt += n;
        }
        inAt += got;
        left -= static_cast<std::uint64_t>(got);
    }
    return true;
}

void Output::commit()
{
    if (!m_file.publish(m_force))
        throw Error("The file \"" + m_path + "\" exists; use --force to replace it");
}

} // namespace cartscope::core::rebuild
