// NARC archives and system files: whatever the bytes say, every member or system file offered
// for extraction (no problem) lies inside the input, and nothing throws but the user's error.
// An archive that reads is rebuilt with its first good member given new bytes (twice as many
// and one more, so they move): read again, that member holds them and every other good member
// its old bytes.
#include <cstdint>
#include <vector>

#include "core/base/error.h"
#include "core/fs/narc.h"
#include "core/fs/system_files.h"
#include "core/rebuild/replace_archive.h"

namespace {

using namespace cartscope::core;

std::vector<std::uint8_t> bytesOf(const Stream& s, const NarcMember& m)
{
    std::vector<std::uint8_t> b(static_cast<std::size_t>(m.size));
    s.readExact(m.offset, b);
    return b;
}

void rebuildRoundTrip(std::span<const std::uint8_t> input, const Narc& narc)
{
    const NarcMember* edited = nullptr;
    for (const NarcMember& m : narc.members)
        if (m.problem.empty() && !edited)
            edited = &m;
    if (!edited)
        return;
    const std::vector<std::uint8_t> made(static_cast<std::size_t>(edited->size * 2 + 1), 0xA5);
    const MemoryStream source(made);
    const rebuild::MemberEdit edit{edited->path, "/f.narc" + edited->path, &source};
    const std::vector<std::uint8_t> out = rebuild::rebuiltArchive(
        {input.begin(), input.end()}, "/f.narc", std::span(&edit, 1), EncodeOptions{});
    const MemoryStream before(input), after(out);
    // The names and the allocation entries' count are kept: the members come in the same order.
    const Narc again = readNarc(after, 0, out.size(), "/f.narc");
    if (again.members.size() != narc.members.size())
        __builtin_trap();
    for (std::size_t i = 0; i < narc.members.size(); ++i) {
        const NarcMember& m = narc.members[i];
        const NarcMember& now = again.members[i];
        if (m.problem.empty() &&
            (!now.problem.empty() ||
             bytesOf(after, now) != (&m == edited ? made : bytesOf(before, m))))
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const MemoryStream stream({data, size});
    for (const SystemFile& f : systemFiles(stream, decodeHeader(RawHeader::read(stream)))) {
        if (f.problem.empty() && f.size > 0 && (f.offset > size || f.size > size - f.offset))
            __builtin_trap();
    }
    try {
        const Narc narc = readNarc(stream, 0, size, "/f.narc");
        for (const NarcMember& m : narc.members) {
            if (m.problem.empty() && (m.offset > size || m.size > size - m.offset))
                __builtin_trap();
        }
        narcRows(narc);
        rebuildRoundTrip({data, size}, narc);
    } catch (const Error&) {
    }
    return 0;
}
