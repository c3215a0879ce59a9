#include "archive/organise_expected.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/member_stream.h"
#include "archive/zip_directory.h"
#include "core/base/error.h"
#include "core/io/stream.h"

namespace cartscope::archive::detail {

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;

const core::DatSet& noDats()
{
    static const core::DatSet kNone;
    return kNone;
}

// A file's whole bytes hashed; nullopt when it cannot be read.
std::optional<core::VerifyResult> hashFile(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    const core::DescriptorStream stream(fd, static_cast<std::uint64_t>(st.st_size));
    try {
        return core::verifyStream(stream, noDats(), true);
    } catch (const core::Error&) {
        return std::nullopt;
    }
}

// Forwards a member's blocks to a byte sink.
class ForwardSink final : public core::ReadSink {
public:
    explicit ForwardSink(const ByteSink& take) : m_take(take) {}
    void consume(std::span<const std::uint8_t> block, std::uint64_t) override { m_take(block); }

private:
    const ByteSink& m_take;
};

} // namespace

Expected expectedFor(const Dump& dump, const core::DatSet& dats, bool padded)
{
    const core::DatMatch& match = dump.result.matches.front();
    Expected e;
    e.sourceSize = dump.result.size;
    if (!padded || !match.padding) {
        e.size = dump.result.size;
        e.crc = dump.result.hashes.crc32;
        for (const core::DigestKind kind : core::kDigestKinds)
            if (const auto& d = dump.result.hashes.digest(kind))
                e.digests.emplace_back(kind, *d);
        return e;
    }
    const core::DatRom rom = dats.roms()[match.rom];
    e.size = match.paddedSize;
    e.padByte = match.padding;
    e.crc = rom.crc32;
    for (const core::DigestKind kind : core::kDigestKinds)
        if (rom.has(kind)) {
            const auto d = rom.digest(kind);
            e.digests.emplace_back(kind, core::DigestBytes(d.begin(), d.end()));
        }
    return e;
}

bool hashesAgree(const core::VerifyResult& got, const Expected& e)
{
    if (got.size != e.size || (e.crc && got.hashes.crc32 != *e.crc))
        return false;
    return std::all_of(e.digests.begin(), e.digests.end(), [&](const auto& d) {
        const auto& have = got.hashes.digest(d.first);
        return have && *have == d.second;
    });
}

bool rawHolds(int fd, const Expected& e)
{
    const auto got = hashFile(fd);
    return got && hashesAgree(*got, e);
}

// Whether the zip at `path` holds exactly the wanted roms (names, sizes and CRC-32s), and is
// torrentzipped when that is wanted.
bool zipHolds(int fd, const WantedMembers& wanted, bool torrentzip)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const core::DescriptorStream stream(fd, static_cast<std::uint64_t>(st.st_size));
    if (torrentzip && !isTorrentZipped(stream))
        return false;
    std::optional<Directory> directory;
    try {
        directory = readDirectory(stream);
    } catch (const core::Error&) {
        return false;
    }
    if (!directory || directory->entries.size() != wanted.size())
        return false;
    return std::all_of(wanted.begin(), wanted.end(), [&](const auto& w) {
        return std::any_of(directory->entries.begin(), directory->entries.end(),
                           [&](const auto& d) {
                               return d.name == w.first && d.size == w.second.size &&
                                      w.second.crc && d.crc32 == *w.second.crc;
                           });
    });
}

// Every member of the zip just written read back and hashed against what it must hold.
bool zipReadsBack(const std::string& path, const WantedMembers& wanted)
{
    std::size_t good = 0;
    std::unique_ptr<core::ImageVerifier> verifier;
    std::string name;
    MemberEvents events;
    events.onBegin = [&](const StreamedMember& m) {
        verifier = std::make_unique<core::ImageVerifier>(noDats(), m.declaredSize, true);
        return verifier->sinks();
    };
    events.onEnd = [&](const StreamedMember& m, const std::string& error) {
        if (!error.empty())
            return;
        const auto result = verifier->result();
        for (const auto& w : wanted)
            if (w.first == m.name && result && hashesAgree(*result, w.second))
                ++good;
    };
    try {
        streamMembers(
            path, [](const std::string&) { return true; }, events);
    } catch (const core::Error&) {
        return false;
    }
    return good == wanted.size();
}

// The dump's bytes followed by the padding the expected bytes have.
ByteSource sourceOf(const Dump& dump, const Expected& e, const core::Checkpoint& checkpoint)
{
    return [&dump, e, checkpoint](const ByteSink& take) {
        std::uint64_t given = 0;
        const ByteSink counted = [&](std::span<const std::uint8_t> block) {
            if (checkpoint)
                checkpoint();
            given += block.size();
            take(block);
        };
        const core::UniqueFd fd = dump.open();
        if (dump.member) {
            ForwardSink sink(counted);
            core::ReadSink* const sinks[] = {&sink};
            std::string failure;
            MemberEvents events;
            events.onBegin = [&](const StreamedMember& m) {
                return m.index == dump.memberIndex ? std::span<core::ReadSink* const>(sinks)
                                                   : std::span<core::ReadSink* const>();
            };
            events.onEnd = [&](const StreamedMember& m, const std::string& error) {
                if (m.index == dump.memberIndex && !error.empty())
                    failure = error;
            };
            const std::string wanted = *dump.member;
            streamMembers(
                fd.get(), dump.path, [&](const std::string& name) { return name == wanted; },
                events);
            if (!failure.empty())
                throw core::Error(failure);
        } else {
            std::vector<std::uint8_t> block(kBlock);
            // Bounded by the dump's size as verified.
            while (given < e.sourceSize) {
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(e.sourceSize - given, kBlock));
                const ssize_t got = ::pread(fd.get(), block.data(), n, static_cast<off_t>(given));
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    throw core::Error(core::kStreamReadError);
                counted(std::span(block).first(static_cast<std::size_t>(got)));
            }
        }
        if (given != e.sourceSize)
            throw core::Error("\"" + dump.path + "\" changed since it was verified");
        if (e.padByte && e.size > given) {
            const std::vector<std::uint8_t> fill(kBlock, *e.padByte);
            // Bounded by the padded size, at most the largest chip.
            for (std::uint64_t left = e.size - given; left > 0;) {
                const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kBlock));
                counted(std::span(fill).first(n));
                left -= n;
            }
        }
    };
}

} // namespace cartscope::archive::detail
