#pragma once

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unistd.h>

#include "archive/reader.h"
#include "archive/zip_layout.h"
#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/io/read_pass.h"
#include "core/io/stream.h"

struct archive;

// How a member's bytes are taken: the destination file, its large writes, the delivery to the
// sinks with progress, and the three engines (libarchive, a stored member read in place, a
// deflated one inflated straight from the file).
namespace cartscope::archive::detail {

constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 20;

// The destination file: deleted when the object goes unless kept.
class PartialFile {
public:
    explicit PartialFile(const std::string& path)
        : m_path(path),
          m_fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600))
    {
        if (!m_fd.valid())
            throw core::Error(core::cannotCreateMessage(path, errno));
    }
    ~PartialFile()
    {
        m_fd = core::UniqueFd();
        if (!m_kept)
            ::unlink(m_path.c_str());
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    void write(const void* data, std::size_t size)
    {
        const auto* p = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = ::write(m_fd.get(), p, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw core::Error(core::kStreamWriteError);
            p += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    void keep()
    {
        if (::close(m_fd.release()) != 0 && errno != EINTR)
            throw core::Error(core::kStreamWriteError);
        m_kept = true;
    }

private:
    std::string m_path;
    core::UniqueFd m_fd;
    bool m_kept = false;
};

inline int percent(std::uint64_t done, std::uint64_t total)
{
    if (total == 0 || done >= total)
        return 100;
    return static_cast<int>(done * 100 / total); // done <= 1 GiB: no overflow
}

// Large writes: libarchive hands out a deflated member in 256 KiB pieces (and a stored one in
// whatever its read buffer holds), so pieces are gathered into 1 MiB writes; a piece that is
// already that large goes out as it is.
constexpr std::size_t kWriteSize = std::size_t{1} << 20;
constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kReadSize = std::size_t{1} << 20;
struct alignas(kPageSize) WriteBlock {
    std::array<std::uint8_t, kWriteSize> bytes;
};

// Where an inflater puts its output: it fills space() in place, then commits what it filled.
class OutputSpace {
public:
    virtual ~OutputSpace() = default;
    virtual std::span<std::uint8_t> space() = 0;
    virtual void commit(std::size_t size) = 0;
    // After the last byte.
    virtual void flush() {}
};

class CoalescingWriter final : public OutputSpace {
public:
    explicit CoalescingWriter(PartialFile& out) : m_out(out) {}
    void write(const std::uint8_t* data, std::size_t size)
    {
        if (m_used == 0 && size >= kWriteSize) {
            m_out.write(data, size);
            return;
        }
        // Bounded: each round copies at least one byte or flushes a full block.
        while (size > 0) {
            const std::size_t n = std::min(size, kWriteSize - m_used);
            std::memcpy(m_block->bytes.data() + m_used, data, n);
            m_used += n;
            data += n;
            size -= n;
            if (m_used == kWriteSize)
                flush();
        }
    }
    // The free end of the block, for a producer to fill in place and then commit().
    std::span<std::uint8_t> space() override
    {
        return {m_block->bytes.data() + m_used, kWriteSize - m_used};
    }
    void commit(std::size_t size) override
    {
        m_used += size;
        if (m_used == kWriteSize)
            flush();
    }
    void flush() override
    {
        if (m_used > 0)
            m_out.write(m_block->bytes.data(), m_used);
        m_used = 0;
    }

private:
    PartialFile& m_out;
    std::unique_ptr<WriteBlock> m_block = std::make_unique_for_overwrite<WriteBlock>();
    std::size_t m_used = 0;
};

// Where the member's bytes go, whoever reads them: the copy (when there is one) in large
// writes, the sinks, and a progress notification after about every further MiB.
class Delivery {
public:
    // `writes`: deliver() writes the bytes to `out` (else the caller writes them itself).
    Delivery(PartialFile* out, std::uint64_t declared, const ExtractEvents& events,
             std::span<core::ReadSink* const> sinks, bool writes = true)
        : m_out(out), m_declared(declared), m_events(events), m_sinks(sinks)
    {
        if (out && writes)
            m_writer.emplace(*out);
    }
    std::uint64_t done() const { return m_done; }
    // Room left before the declared size.
    std::uint64_t room() const { return m_declared - m_done; }

    // The next bytes (at most room()); false when a progress notification asked to cancel.
    bool deliver(std::span<const std::uint8_t> bytes)
    {
        if (m_writer)
            m_writer->write(bytes.data(), bytes.size());
        for (core::ReadSink* sink : m_sinks)
            sink->consume(bytes, m_done);
        m_done += bytes.size();
        if (m_done - m_reported >= kProgressStep && m_done < m_declared) {
            m_reported = m_done;
            const int p = percent(m_done, m_declared);
            if (m_events.onProgress && m_events.onProgress(p, p))
                return false;
        }
        return true;
    }

    // After the last byte, once the data is checked: 1 when complete (the copy kept, the sinks
    // finished), 0 when short of the declared size or cancelled at the last notification.
    int complete()
    {
        if (m_done != m_declared)
            return 0;
        if (m_writer)
            m_writer->flush();
        if (m_events.onProgress && m_events.onProgress(100, 100))
            return 0;
        if (m_out)
            m_out->keep();
        for (core::ReadSink* sink : m_sinks)
            sink->finish(m_done);
        return 1;
    }

private:
    PartialFile* m_out;
    std::optional<CoalescingWriter> m_writer;
    std::uint64_t m_declared;
    const ExtractEvents& m_events;
    std::span<core::ReadSink* const> m_sinks;
    std::uint64_t m_done = 0;
    std::uint64_t m_reported = 0;
};

// Raises onBegin before `work` and onEnd after it, also when it throws.
template <typename Work>
auto withEvents(const Member& member, const ExtractEvents& events, Work&& work)
{
    try {
        if (events.onBegin)
            events.onBegin(member.name, 1);
        auto result = work();
        if (events.onEnd)
            events.onEnd();
        return result;
    } catch (...) {
        if (events.onEnd)
            events.onEnd();
        throw;
    }
}

// "\"member\" in the archive \"path\"", for messages.
std::string memberText(const std::string& archivePath, const Member& member);
// The damaged-archive error of data that does not match its stored CRC-32.
core::Error crcMismatch(const std::string& archivePath, const Member& member);

// The current entry's data through libarchive; 1 when complete and checked, else 0.
int copyData(struct archive* reader, const std::string& archivePath, const Member& member,
             Delivery& delivery);
// A stored member read straight from the archive file.
int readStored(const core::Stream& file, const MemberData& data, const std::string& archivePath,
               const Member& member, Delivery& delivery);
// A deflated member inflated straight from the archive file into `writer`.
int inflateDeflated(const core::Stream& file, const MemberData& data,
                    const std::string& archivePath, const Member& member, Delivery& delivery,
                    OutputSpace& writer);

} // namespace cartscope::archive::detail
