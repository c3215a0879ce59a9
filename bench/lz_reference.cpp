#include "bench/lz_reference.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace cartscope::bench {

namespace {

// The longest match at every position, found by walking every earlier position with the same
// three bytes within 4096 back.
std::vector<std::uint32_t> longestMatches(std::span<const std::uint8_t> d, bool lz11, bool vramSafe)
{
    const std::size_t n = d.size();
    const std::size_t maxLength = lz11 ? 65808 : 18;
    const std::size_t minDistance = vramSafe ? 2 : 1;
    std::vector<std::int64_t> head(1 << 16, -1);
    std::vector<std::int64_t> prev(n, -1);
    std::vector<std::uint32_t> longest(n, 0);
    for (std::size_t i = 0; i + 3 <= n; ++i) {
        // Positions with the same three bytes share a chain (with others that hash alike).
        const std::size_t key =
            ((d[i] | (d[i + 1] << 8) | (d[i + 2] << 16)) * 2654435761u & 0xFFFFFFFFu) >> 16;
        std::size_t best = 0;
        for (std::int64_t c = head[key]; c >= 0 && i - static_cast<std::size_t>(c) <= 4096;
             c = prev[static_cast<std::size_t>(c)]) {
            const auto cand = static_cast<std::size_t>(c);
            if (i - cand < minDistance)
                continue;
            std::size_t len = 0;
            while (len < maxLength && i + len < n && d[cand + len] == d[i + len])
                ++len;
            best = std::max(best, len);
        }
        longest[i] = best >= 3 ? static_cast<std::uint32_t>(best) : 0;
        prev[i] = head[key];
        head[key] = static_cast<std::int64_t>(i);
    }
    return longest;
}

std::uint64_t referenceBits(std::size_t length, bool lz11)
{
    if (!lz11 || length <= 16)
        return 17;
    return length <= 272 ? 25 : 33;
}

std::size_t fileSize(std::uint64_t bits, std::size_t n)
{
    return (n > 0xFFFFFF ? 8 : 4) + static_cast<std::size_t>((bits + 7) / 8);
}

} // namespace

std::size_t greedySize(std::span<const std::uint8_t> data, bool lz11, bool vramSafe)
{
    const std::vector<std::uint32_t> longest = longestMatches(data, lz11, vramSafe);
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < data.size();) {
        if (longest[i] >= 3) {
            bits += referenceBits(longest[i], lz11);
            i += longest[i];
        } else {
            bits += 9;
            ++i;
        }
    }
    return fileSize(bits, data.size());
}

std::size_t optimalSize(std::span<const std::uint8_t> data, bool lz11, bool vramSafe)
{
    const std::vector<std::uint32_t> longest = longestMatches(data, lz11, vramSafe);
    const std::size_t n = data.size();
    // cost[i]: the fewest bits that encode data[i..n).
    std::vector<std::uint64_t> cost(n + 1, 0);
    for (std::size_t i = n; i-- > 0;) {
        std::uint64_t best = 9 + cost[i + 1];
        for (std::size_t l = 3; l <= longest[i]; ++l)
            best = std::min(best, referenceBits(l, lz11) + cost[i + l]);
        cost[i] = best;
    }
    return fileSize(cost[0], n);
}

} // namespace cartscope::bench
