#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

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

// The destination file: deleted when the object goes unless kept.
class PartialFile {
public:
    // Creates `path`, which must not exist; throws the cannot-create error.
    explicit PartialFile(const std::string& path);
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    // All of `size` bytes, or the stream write error.
    void write(const void* data, std::size_t size);
    // Closes the file and keeps it.
    void keep();

private:
    std::string m_path;
    core::UniqueFd m_fd;
    bool m_kept = false;
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

struct WriteBlock;

// Large writes: libarchive hands out a deflated member in 256 KiB pieces (and a stored one in
// whatever its read buffer holds), so pieces are gathered into 1 MiB writes; a piece that is
// already that large goes out as it is.
class CoalescingWriter final : public OutputSpace {
public:
    explicit CoalescingWriter(PartialFile& out);
    ~CoalescingWriter() override;
    CoalescingWriter(const CoalescingWriter&) = delete;
    CoalescingWriter& operator=(const CoalescingWriter&) = delete;

    void write(const std::uint8_t* data, std::size_t size);
    // The free end of the block, for a producer to fill in place and then commit().
    std::span<std::uint8_t> space() override;
    void commit(std::size_t size) override;
    void flush() override;

private:
    PartialFile& m_out;
    std::unique_ptr<WriteBlock> m_block;
    std::size_t m_used = 0;
};

// Where the member's bytes go, whoever reads them: the copy (when there is one) in large
// writes, the sinks, and a progress notification after about every further MiB.
class Delivery {
public:
    // `writes`: deliver() writes the bytes to `out` (else the caller writes them itself).
    Delivery(PartialFile* out, std::uint64_t declared, const ExtractEvents& events,
             std::span<core::ReadSink* const> sinks, bool writes = true);
    std::uint64_t done() const { return m_done; }
    // Room left before the declared size.
    std::uint64_t room() const { return m_declared - m_done; }

    // The next bytes (at most room()); false when a progress notification asked to cancel.
    bool deliver(std::span<const std::uint8_t> bytes);

    // After the last byte, once the data is checked: 1 when complete (the copy kept, the sinks
    // finished), 0 when short of the declared size or cancelled at the last notification.
    int complete();

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
