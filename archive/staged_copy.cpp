#include "archive/staged_copy.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>
#include <vector>

#include "core/io/whole_file.h"

namespace cartscope::archive {

std::unique_ptr<StagedCopy> StagedCopy::create(int folder)
{
    core::UniqueFd fd(core::openUnnamedFile(folder));
    if (!fd.valid())
        return nullptr;
    return std::unique_ptr<StagedCopy>(new StagedCopy(std::move(fd)));
}

void StagedCopy::consume(std::span<const std::uint8_t> block, std::uint64_t position)
{
    if (m_failed || !m_fd.valid() || position != m_written) {
        m_failed = true;
        return;
    }
    write(block);
}

void StagedCopy::write(std::span<const std::uint8_t> block)
{
    // Bounded: every pass writes at least one byte or ends the copy.
    while (!block.empty()) {
        const ssize_t n =
            ::pwrite(m_fd.get(), block.data(), block.size(), static_cast<off_t>(m_written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_failed = true;
            return;
        }
        block = block.subspan(static_cast<std::size_t>(n));
        m_written += static_cast<std::uint64_t>(n);
    }
}

void StagedCopy::finish(std::uint64_t total)
{
    m_total = total;
}

bool StagedCopy::holds(std::uint64_t size) const
{
    return m_fd.valid() && !m_failed && m_total && *m_total == size && m_written == size;
}

bool StagedCopy::padTo(std::uint64_t size, std::uint8_t pad)
{
    if (!holds(m_written) || size < m_written)
        return false;
    const std::vector<std::uint8_t> fill(
        static_cast<std::size_t>(std::min<std::uint64_t>(size - m_written, kFillBlock)), pad);
    // Bounded by the padded size: every pass writes a block or marks the copy failed.
    while (!m_failed && m_written < size)
        write(std::span(fill).first(
            static_cast<std::size_t>(std::min<std::uint64_t>(size - m_written, fill.size()))));
    m_total = m_written;
    return !m_failed;
}

bool StagedCopy::place(const std::string& path)
{
    if (!holds(m_written) || ::fsync(m_fd.get()) != 0) {
        discard();
        return false;
    }
    const std::filesystem::path target(path);
    const std::string folderPath =
        target.parent_path().empty() ? "." : target.parent_path().string();
    const core::UniqueFd folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string name = target.filename().string();
    if (!folder.valid() || core::linkUnnamedFile(m_fd.get(), folder.get(), name.c_str()) != 0) {
        discard();
        return false;
    }
    // A delayed write error shows only at the close: the name goes again, and the dump is
    // copied by a second read instead.
    if (m_fd.close() != 0) {
        ::unlinkat(folder.get(), name.c_str(), 0);
        return false;
    }
    ::fsync(folder.get());
    return true;
}

} // namespace cartscope::archive
