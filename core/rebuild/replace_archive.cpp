#include "core/rebuild/replace_archive.h"

#include <algorithm>
#include <map>
#include <optional>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/compress/compress.h"
#include "core/fs/narc.h"

namespace cartscope::core::rebuild {

namespace {

std::string quotedPath(const std::string& path)
{
    return "\"" + path + "\"";
}

// One level of the chain: its content (decompressed, or the stored bytes as they are) read as
// an archive, and the codec to pack it with again.
struct Level {
    std::optional<Codec> codec;
    std::vector<std::uint8_t> content;
    Narc narc;
};

// `held` counts the bytes held along the chain down to this level, this level's included.
Level openLevel(std::vector<std::uint8_t> stored, const std::string& label, std::uint64_t& held)
{
    Level l;
    const auto head = std::span(stored).first(std::min<std::size_t>(stored.size(), 16));
    if (const auto h = plausibleCompression(head, stored.size())) {
        l.codec = h->codec;
        l.content = decompress(stored, label); // within the codecs' caps
        held += l.content.size();
    } else {
        l.content = std::move(stored);
    }
    if (held > kMaxArchiveBytes)
        throw Error("The archive " + quotedPath(label) +
                    " and the archives around it hold more than 256 MiB");
    l.narc = readNarc(MemoryStream(l.content), 0, l.content.size(), label);
    return l;
}

// The member that is `rest` or leads it as a folder would, the longest such; `label` is the
// archive's path, `path` the path the user gave.
const NarcMember& memberLeading(const Narc& narc, const std::string& rest, const std::string& label,
                                const std::string& path)
{
    const NarcMember* found = nullptr;
    for (const NarcMember& m : narc.members) {
        const bool leads = rest.size() > m.path.size() &&
                           rest.compare(0, m.path.size(), m.path) == 0 &&
                           rest[m.path.size()] == '/';
        if ((m.path == rest || leads) && (!found || m.path.size() > found->path.size()))
            found = &m;
    }
    if (!found)
        throw Error("The image has no file " + quotedPath(path) + " that can be replaced");
    if (!found->problem.empty())
        throw Error(quotedPath(label + found->path) + " cannot be replaced: " + found->problem);
    return *found;
}

std::vector<std::uint8_t> memberBytes(const Level& l, const NarcMember& m)
{
    const auto from = l.content.begin() + static_cast<std::ptrdiff_t>(m.offset);
    return {from, from + static_cast<std::ptrdiff_t>(m.size)};
}

struct Changed {
    const NarcMember* member = nullptr;
    std::vector<std::uint8_t> bytes;
};

// Where a member's allocation entry lies, and whether another entry's range overlaps its own
// (those bytes then stay for the other).
struct Slot {
    std::size_t entry = 0;
    bool shared = false;
};

Slot slotOf(std::span<const std::uint8_t> a, const Narc& narc, const NarcMember& m,
            const std::string& label)
{
    if (m.fileId >= narc.entries)
        throw Error("The archive " + quotedPath(label) + " cannot be rebuilt");
    const std::uint64_t first = narc.allocation.start + kNarcEntriesAt;
    const std::uint64_t start = m.offset - (narc.data.start + kNarcBlockHeaderSize);
    Slot slot{static_cast<std::size_t>(first + m.fileId * kNarcEntrySize), false};
    // Bounded by the entries read, each inside the allocation block.
    for (std::uint64_t i = 0; i < narc.entries; ++i) {
        const auto at = static_cast<std::size_t>(first + i * kNarcEntrySize);
        const std::uint64_t s = le32(a, at), t = le32(a, at + 4); // start, end
        if (i != m.fileId && s < start + m.size && start < t)
            slot.shared = true;
    }
    return slot;
}

// Puts one member's new bytes in place when they fit its range (shared with no other), else
// after the data block (`appended`, 4-aligned); the freed or unused bytes become 0xFF, and its
// allocation entry follows.
void placeMember(std::vector<std::uint8_t>& a, const Narc& narc,
                 std::vector<std::uint8_t>& appended, const Changed& c, const std::string& label)
{
    const NarcMember& m = *c.member;
    const Slot slot = slotOf(a, narc, m, label);
    const std::uint64_t dataAt = narc.data.start + kNarcBlockHeaderSize;
    const auto old = a.begin() + static_cast<std::ptrdiff_t>(m.offset);
    std::uint64_t at = m.offset;
    if (slot.shared || c.bytes.size() > m.size) {
        if (c.bytes.size() >
            kMaxArchiveBytes - std::min(kMaxArchiveBytes, a.size() + appended.size()))
            throw Error("The archive " + quotedPath(label) + " would grow past 256 MiB");
        appended.resize((appended.size() + 3) / 4 * 4, 0xFF);
        at = narc.data.end + appended.size();
        appended.insert(appended.end(), c.bytes.begin(), c.bytes.end());
        std::fill_n(old, slot.shared ? 0 : m.size, 0xFF);
    } else {
        std::copy(c.bytes.begin(), c.bytes.end(), old);
        std::fill_n(old + static_cast<std::ptrdiff_t>(c.bytes.size()), m.size - c.bytes.size(),
                    0xFF);
    }
    putLe32(a, slot.entry, static_cast<std::uint32_t>(at - dataAt));
    putLe32(a, slot.entry + 4, static_cast<std::uint32_t>(at - dataAt + c.bytes.size()));
}

// The archive `a` (read as `narc`) with the changed members' bytes: the data block's and the
// archive's sizes follow what was appended.
std::vector<std::uint8_t> rebuiltNarc(std::vector<std::uint8_t> a, const Narc& narc,
                                      const std::vector<Changed>& changed, const std::string& label)
{
    std::vector<std::uint8_t> appended;
    for (const Changed& c : changed)
        placeMember(a, narc, appended, c, label);
    appended.resize((appended.size() + 3) / 4 * 4, 0xFF);
    a.insert(a.begin() + static_cast<std::ptrdiff_t>(narc.data.end), appended.begin(),
             appended.end());
    putLe32(a, static_cast<std::size_t>(narc.data.start + 4), // +4 block size
            static_cast<std::uint32_t>(narc.data.end - narc.data.start + appended.size()));
    putLe32(a, kNarcSizeAt, static_cast<std::uint32_t>(a.size()));
    return a;
}

std::vector<std::uint8_t> sourceBytes(const MemberEdit& e)
{
    if (e.source->size() > kMaxArchiveBytes)
        throw Error("The new bytes of " + quotedPath(e.path) + " are more than 256 MiB");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(e.source->size()));
    e.source->readExact(0, bytes);
    return bytes;
}

// The edits sorted out at one level: the members replaced here, and those holding members
// replaced further down with their edits.
struct LevelEdits {
    std::vector<Changed> here;
    std::map<const NarcMember*, std::vector<MemberEdit>> below;
};

LevelEdits sortEdits(const Narc& narc, std::span<const MemberEdit> edits, const std::string& label)
{
    LevelEdits out;
    for (const MemberEdit& e : edits) {
        const NarcMember& m = memberLeading(narc, e.member, label, e.path);
        if (m.path != e.member) {
            out.below[&m].push_back({e.member.substr(m.path.size()), e.path, e.source});
            continue;
        }
        for (const Changed& c : out.here)
            if (c.member == &m)
                throw Error("The file " + quotedPath(e.path) + " is replaced twice");
        out.here.push_back({&m, sourceBytes(e)});
    }
    for (const auto& [m, list] : out.below)
        for (const Changed& c : out.here)
            if (c.member == m)
                throw Error("The archive " + quotedPath(label + m->path) +
                            " is replaced and has members replaced");
    return out;
}

std::vector<std::uint8_t> rebuilt(std::vector<std::uint8_t> stored, const std::string& label,
                                  std::span<const MemberEdit> edits, const EncodeOptions& encode,
                                  std::uint64_t held, int depth)
{
    if (depth > kNarcMaxDepth)
        throw Error(quotedPath(edits.front().path) + " is nested too deeply");
    Level l = openLevel(std::move(stored), label, held);
    LevelEdits sorted = sortEdits(l.narc, edits, label);
    // Each nested archive is rebuilt first; its bytes are then a member's new bytes here.
    for (const auto& [m, list] : sorted.below)
        sorted.here.push_back({m, rebuilt(memberBytes(l, *m), label + m->path, list, encode,
                                          held + m->size, depth + 1)});
    std::vector<std::uint8_t> narc = rebuiltNarc(std::move(l.content), l.narc, sorted.here, label);
    if (!l.codec)
        return narc;
    if (narc.size() > kMaxDeclared32)
        throw Error("The archive " + quotedPath(label) +
                    " would be more than 64 MiB decompressed, more than its compression can say");
    return compress(*l.codec, narc, encode);
}

} // namespace

std::vector<std::uint8_t> rebuiltArchive(std::vector<std::uint8_t> stored, const std::string& label,
                                         std::span<const MemberEdit> edits,
                                         const EncodeOptions& encode)
{
    const std::uint64_t held = stored.size();
    return rebuilt(std::move(stored), label, edits, encode, held, 0);
}

std::uint64_t storedMemberSize(std::vector<std::uint8_t> stored, const std::string& label,
                               const std::string& member, const std::string& path)
{
    std::uint64_t held = stored.size();
    std::string level = label;
    std::string rest = member;
    // Each level consumes at least one component of the path.
    for (int depth = 0;; ++depth) {
        if (depth > kNarcMaxDepth)
            throw Error(quotedPath(path) + " is nested too deeply");
        const Level l = openLevel(std::move(stored), level, held);
        const NarcMember& m = memberLeading(l.narc, rest, level, path);
        if (m.path == rest)
            return m.size;
        stored = memberBytes(l, m);
        held += m.size;
        level += m.path;
        rest = rest.substr(m.path.size());
    }
}

} // namespace cartscope::core::rebuild
