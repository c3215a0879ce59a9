#include <algorithm>
#include <cstdio>
#include <cstring>
#include <future>
#include <sys/mman.h>
#include <system_error>
#include <unistd.h>

#include "archive/member_copy.h"
#include "archive/reader.h"
#include "archive/selected_member.h"
#include "core/base/error.h"
#include "core/checksum/crc32_sink.h"

namespace cartscope::archive {

std::uint64_t availableMemory()
{
    if (std::FILE* info = std::fopen("/proc/meminfo", "re")) {
        char line[256];
        unsigned long long kib = 0;
        bool found = false;
        // Bounded by the file's lines.
        while (!found && std::fgets(line, sizeof line, info))
            found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
        std::fclose(info);
        if (found)
            return static_cast<std::uint64_t>(kib) * 1024;
    }
    const long pages = ::sysconf(_SC_AVPHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0
               ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize)
               : 0;
}

MemberBytes::MemberBytes(std::uint64_t size)
{
    // A large image on a machine short of memory goes to the disk copy rather than into swap.
    if (size == 0 || size > kMaxMemberSize || size > availableMemory() / 2)
        return;
    // Only reserved here: the pages are filled as the inflater reaches them (MemorySpace), so a
    // member that declares more than its data holds never takes the memory it claims. No
    // MADV_HUGEPAGE: it saves more, but where memory is fragmented the kernel then compacts it
    // on the spot, which doubled the time in measurements.
    void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        return;
    m_bytes = {static_cast<std::uint8_t*>(p), static_cast<std::size_t>(size)};
}

MemberBytes::~MemberBytes()
{
    if (!m_bytes.empty())
        ::munmap(m_bytes.data(), m_bytes.size());
}

namespace detail {

namespace {

// The inflater's output straight into a MemberBytes; no room past its end, so data beyond the
// declared size stops the inflater.
// The space is handed out 8 MiB at a time, each piece's pages populated in one call before the
// inflater writes into it (faster than a fault per page). While the inflater fills one piece,
// the next is populated on another thread, so the kernel's zeroing of the pages runs beside the
// inflation instead of between its steps. Memory follows the data: at most one piece ahead.
class MemorySpace final : public OutputSpace {
public:
    explicit MemorySpace(std::span<std::uint8_t> bytes) : m_bytes(bytes) {}
    MemorySpace(const MemorySpace&) = delete;
    MemorySpace& operator=(const MemorySpace&) = delete;
    ~MemorySpace() override
    {
        if (m_ahead.valid())
            m_ahead.wait();
    }

    std::span<std::uint8_t> space() override
    {
        if (m_used == m_populated && m_populated < m_bytes.size()) {
            const std::size_t piece = std::min(kPiece, m_bytes.size() - m_populated);
            if (m_ahead.valid())
                m_ahead.get(); // it was populating exactly this piece
            else
                populate(m_populated, piece);
            m_populated += piece;
            populateAhead();
        }
        return m_bytes.subspan(m_used, m_populated - m_used);
    }
    void commit(std::size_t size) override { m_used += size; }

private:
    static constexpr std::size_t kPiece = std::size_t{8} << 20; // a multiple of the page size

    // Only a speed-up: where the kernel lacks it the pages fault in one by one.
    void populate(std::size_t at, std::size_t size) const
    {
        ::madvise(m_bytes.data() + at, size, MADV_POPULATE_WRITE);
    }

    void populateAhead()
    {
        if (m_populated >= m_bytes.size())
            return;
        const std::size_t at = m_populated;
        const std::size_t piece = std::min(kPiece, m_bytes.size() - at);
        try {
            m_ahead = std::async(std::launch::async, [this, at, piece] { populate(at, piece); });
        } catch (const std::system_error&) {
            // No thread to be had: the piece is populated when the inflater reaches it.
        }
    }

    std::span<std::uint8_t> m_bytes;
    std::size_t m_used = 0;
    std::size_t m_populated = 0;
    std::future<void> m_ahead; // populating [m_populated, + one piece) when valid
};

// Copies each block libarchive hands out into the member's memory.
class MemoryCopy final : public core::ReadSink {
public:
    explicit MemoryCopy(std::span<std::uint8_t> bytes) : m_bytes(bytes) {}
    void consume(std::span<const std::uint8_t> bytes, std::uint64_t offset) override
    {
        // Delivery keeps every block within the declared size, the memory's size. An empty
        // block may come without a buffer at all.
        if (!bytes.empty())
            std::memcpy(m_bytes.data() + offset, bytes.data(), bytes.size());
    }
    void finish(std::uint64_t) override {}

private:
    std::span<std::uint8_t> m_bytes;
};

} // namespace

InPlace readSelected(const OpenedArchive& opened, const std::string& archivePath,
                     const std::optional<Selected>& s, const ExtractEvents& events,
                     std::span<core::ReadSink* const> sinks)
{
    // A member past the size limit is left to the copy, which refuses it with its message.
    if (!s || !s->data || s->declared > kMaxMemberSize)
        return {};
    const MemberData& data = *s->data;
    std::shared_ptr<MemberBytes> held;
    if (data.deflated) {
        held = std::make_shared<MemberBytes>(s->declared);
        if (held->bytes().empty())
            return {}; // no memory for it: the copy goes to the disk
    }
    return withEvents(s->member, events, [&] {
        InPlace result;
        Delivery delivery(nullptr, s->declared, events, sinks, false);
        const core::DescriptorStream file(opened.fd, opened.fileSize,
                                          memberText(archivePath, s->member));
        int done = 0;
        if (held) {
            MemorySpace space(held->bytes());
            done = inflateDeflated(file, data, archivePath, s->member, delivery, space);
        } else {
            done = readStored(file, data, archivePath, s->member, delivery);
        }
        if (done != 1) {
            result.status = InPlace::Status::Failed;
            return result;
        }
        result.status = InPlace::Status::Read;
        result.crc32 = data.crc32;
        result.size = data.size;
        if (held)
            result.memory = std::move(held);
        else
            result.offset = data.offset;
        return result;
    });
}

// A member only libarchive can decode (another method, a header it warned about), decoded into
// memory with extractMember's events and verdicts; NeedsCopy when no memory can be had.
InPlace decodeSelected(const OpenedArchive& opened, const std::string& archivePath,
                       const std::optional<Selected>& s, const ExtractEvents& events,
                       std::span<core::ReadSink* const> sinks)
{
    if (!s || !s->readable || !s->positioned || s->declared > kMaxMemberSize)
        return {};
    auto held = std::make_shared<MemberBytes>(s->declared);
    if (held->bytes().empty())
        return {};
    return withEvents(s->member, events, [&] {
        core::Crc32Sink crc;
        MemoryCopy copy(held->bytes());
        std::vector<core::ReadSink*> all{&copy, &crc};
        all.insert(all.end(), sinks.begin(), sinks.end());
        Delivery delivery(nullptr, s->declared, events, all, false);
        InPlace result;
        if (copyData(opened.reader.get(), archivePath, s->member, delivery) != 1) {
            if (opened.source->readError())
                throw core::Error("Cannot read " + memberText(archivePath, s->member) + ". " +
                                  std::strerror(opened.source->readError()));
            result.status = InPlace::Status::Failed;
            return result;
        }
        result.status = InPlace::Status::Read;
        result.crc32 = crc.value();
        result.size = s->declared;
        result.memory = std::move(held);
        return result;
    });
}

} // namespace detail

InPlace readInPlace(const std::string& archivePath, const Member& member,
                    const ExtractEvents& events, std::span<core::ReadSink* const> sinks)
{
    detail::OpenedArchive opened = detail::openArchive(archivePath);
    return detail::readSelected(opened, archivePath,
                                detail::selectMember(opened, archivePath, member), events, sinks);
}

} // namespace cartscope::archive
