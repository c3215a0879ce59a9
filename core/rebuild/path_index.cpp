#include "core/rebuild/path_index.h"

#include <functional>

namespace cartscope::core::rebuild {

namespace {

std::size_t tableSizeFor(std::size_t expected)
{
    std::size_t size = 16;
    // Bounded: doubles until twice `expected`, which is below SIZE_MAX / 2 for any count a
    // build takes.
    while (size < expected * 2)
        size *= 2;
    return size;
}

std::uint32_t hashOf(std::string_view path)
{
    return static_cast<std::uint32_t>(std::hash<std::string_view>{}(path));
}

} // namespace

PathIndex::PathIndex(std::size_t expected) : m_slots(tableSizeFor(expected)) {}

std::size_t PathIndex::slotFor(std::string_view path, std::uint32_t hash) const
{
    const std::size_t mask = m_slots.size() - 1;
    std::size_t at = static_cast<std::size_t>(hash) & mask;
    // Bounded: the table is at most half full, so a free slot ends every probe.
    while (m_slots[at].used && !m_slots[at].holds(path, hash))
        at = (at + 1) & mask;
    return at;
}

bool PathIndex::insert(std::string_view path, std::uint32_t value)
{
    const std::uint32_t hash = hashOf(path);
    std::size_t at = slotFor(path, hash);
    if (m_slots[at].used)
        return false;
    if ((m_count + 1) * 2 > m_slots.size()) {
        grow();
        at = slotFor(path, hash);
    }
    m_slots[at] = {path.data(), static_cast<std::uint32_t>(path.size()), hash, value, true};
    ++m_count;
    return true;
}

std::optional<std::uint32_t> PathIndex::find(std::string_view path) const
{
    const Slot& s = m_slots[slotFor(path, hashOf(path))];
    if (!s.used)
        return std::nullopt;
    return s.value;
}

void PathIndex::grow()
{
    std::vector<Slot> old(m_slots.size() * 2);
    old.swap(m_slots);
    for (const Slot& s : old)
        if (s.used)
            m_slots[slotFor(std::string_view(s.data, s.size), s.hash)] = s;
}

} // namespace cartscope::core::rebuild
