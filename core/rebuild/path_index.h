#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// Paths to numbers, for the tens of thousands of lookups a build makes (one a tree file) and the
// layout check's test that no path repeats. Open addressing over a power-of-two table at most
// half full, each slot holding the path's hash beside it: a lookup touches one slot and the one
// path it compares with, and an insert allocates nothing while the table has room.
namespace cartscope::core::rebuild {

class PathIndex {
public:
    // Room for `expected` paths before the table grows.
    explicit PathIndex(std::size_t expected = 0);

    // Adds `path` -> `value`; false (and nothing changed) when the path is there already. The
    // path's bytes must stay where they are while the index is used.
    bool insert(std::string_view path, std::uint32_t value);

    std::optional<std::uint32_t> find(std::string_view path) const;

    std::size_t size() const { return m_count; }

private:
    // 24 bytes: a path of a build is at most 4,096 bytes long, far below 32 bits.
    struct Slot {
        const char* data = nullptr;
        std::uint32_t size = 0;
        std::uint32_t hash = 0;
        std::uint32_t value = 0;
        bool used = false;

        bool holds(std::string_view path, std::uint32_t h) const
        {
            return hash == h && std::string_view(data, size) == path;
        }
    };

    // The slot holding `path`, or the free slot where it belongs.
    std::size_t slotFor(std::string_view path, std::uint32_t hash) const;
    void grow();

    std::vector<Slot> m_slots;
    std::size_t m_count = 0;
};

} // namespace cartscope::core::rebuild
