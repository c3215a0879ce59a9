#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

// The LZ encoders' shared parse: which bytes become literals and which back-references, for LZ10,
// LZ11 and the backward LZ of code compression alike.
namespace cartscope::core::detail {

struct LzRules {
    std::size_t minDistance = 1; // 2 keeps the console's 16-bit (VRAM) decoder safe
    std::size_t maxDistance = 4096;
    std::size_t maxLength = 18;
    bool lz11Lengths = false; // references cost 2, 3 or 4 bytes by length (LZ11)
};

struct LzToken {
    std::uint32_t length = 1;   // 1 with distance 0: a literal
    std::uint32_t distance = 0; // bytes back from the token's first byte
};

// Parses `data` under `rules`, handing the tokens over in order, a block at a time. Matches are
// found through hash chains of bounded length; within a block the cheapest path (in bits: 9 per
// literal, 17, 25 or 33 per reference) is chosen by dynamic programming over the longest match at
// each position; a match of the greatest length (LZ10) or of 32 bytes or more (LZ11) is taken
// at once.
void lzParse(std::span<const std::uint8_t> data, const LzRules& rules,
             const std::function<void(std::span<const LzToken>)>& emit);

// Bits a reference of `length` costs, its flag bit included.
inline unsigned referenceBits(std::size_t length, bool lz11Lengths)
{
    if (!lz11Lengths || length <= 16)
        return 17;
    return length <= 272 ? 25 : 33;
}

} // namespace cartscope::core::detail
