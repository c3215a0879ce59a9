#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace cartscope::core::detail {

// A set of texts held elsewhere (the views must stay valid while the set holds them): one flat
// table, open addressing with linear probing, kept at most half full. A look-up that misses
// touches one slot or a few neighbours, never a chain of nodes, and an insert allocates
// nothing until the table doubles.
class ViewSet {
public:
    void reserve(std::size_t count);
    bool contains(std::string_view text) const;
    // Adds `text` unless it is held already; returns whether it was added.
    bool insert(std::string_view text);
    void clear();

private:
    // 16 bytes: a path is far shorter than 4 GiB.
    struct Slot {
        const char* data = nullptr;
        std::uint32_t size = 0;
        std::uint32_t hash = 0; // 0: empty (a text's hash is never 0 here)
    };
    static std::uint32_t hashOf(std::string_view text);
    // The slot holding `text`, or the empty slot where it would go. The table is never full, so
    // the probe ends.
    std::size_t find(std::string_view text, std::uint32_t hash) const;
    void rehash(std::size_t slots);

    std::vector<Slot> m_slots;
    std::size_t m_count = 0;
};

} // namespace cartscope::core::detail
