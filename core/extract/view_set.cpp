#include "core/extract/view_set.h"

#include <bit>
#include <functional>

namespace cartscope::core::detail {

std::uint32_t ViewSet::hashOf(std::string_view text)
{
    const std::uint64_t h = std::hash<std::string_view>{}(text);
    const auto folded = static_cast<std::uint32_t>(h ^ (h >> 32));
    return folded ? folded : 1;
}

std::size_t ViewSet::find(std::string_view text, std::uint32_t hash) const
{
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& s = m_slots[i];
        if (s.hash == 0 || (s.hash == hash && std::string_view(s.data, s.size) == text))
            return i;
    }
}

void ViewSet::rehash(std::size_t slots)
{
    std::vector<Slot> old = std::move(m_slots);
    m_slots.assign(slots, Slot{});
    for (const Slot& s : old)
        if (s.hash)
            m_slots[find(std::string_view(s.data, s.size), s.hash)] = s;
}

void ViewSet::reserve(std::size_t count)
{
    const std::size_t slots = std::bit_ceil(count * 2 + 2);
    if (slots > m_slots.size())
        rehash(slots);
}

bool ViewSet::contains(std::string_view text) const
{
    if (m_count == 0)
        return false;
    return m_slots[find(text, hashOf(text))].hash != 0;
}

bool ViewSet::insert(std::string_view text)
{
    // At most half full after the insert: a probe always meets an empty slot soon.
    if ((m_count + 1) * 2 > m_slots.size())
        rehash(std::max<std::size_t>(16, m_slots.size() * 2));
    const std::uint32_t hash = hashOf(text);
    Slot& s = m_slots[find(text, hash)];
    if (s.hash)
        return false;
    s = Slot{text.data(), static_cast<std::uint32_t>(text.size()), hash};
    ++m_count;
    return true;
}

void ViewSet::clear()
{
    std::fill(m_slots.begin(), m_slots.end(), Slot{});
    m_count = 0;
}

} // namespace cartscope::core::detail
