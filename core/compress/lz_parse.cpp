#include "core/compress/lz_parse.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <vector>

namespace cartscope::core::detail {

namespace {

constexpr unsigned kHashBits = 15;
// Chain links are kept for this many positions: more than any rule's greatest distance (4098
// for code compression), so a link followed within the window is never stale.
constexpr std::size_t kChainWindow = 8192;
// Candidates examined per position: bounds the time on repetitive data; longer chains buy a
// fraction of a percent.
constexpr int kMaxChain = 16;
// Positions per dynamic-programming block, and LZ11's "take it now" length: a match this long is
// nearly always on the cheapest path, and weighing every shorter length of it is most of the
// parse's time (on the benchmark's data, 32 costs 0.06% in size against the optimal parse and
// doubles the speed of 128). Below 273 all longer lengths cost the same 25 bits.
constexpr std::size_t kBlock = 64 * 1024;
constexpr std::size_t kNiceLz11 = 32;
static_assert(kNiceLz11 > 16 && kNiceLz11 <= 273);
constexpr std::uint32_t kUnreached = std::numeric_limits<std::uint32_t>::max();

class MatchFinder {
public:
    MatchFinder(std::span<const std::uint8_t> data, const LzRules& rules)
        : m_data(data), m_rules(rules),
          m_hashBits(std::clamp<unsigned>(static_cast<unsigned>(std::bit_width(data.size())), 8,
                                          kHashBits)),
          m_head(std::size_t{1} << m_hashBits, -1),
          m_prev(std::min(kChainWindow, std::bit_ceil(std::max<std::size_t>(data.size(), 1))), -1)
    {}

    // The longest match at `at` under the rules (length 0 when none of 3 bytes or more); `at`
    // then joins the chains.
    LzToken findAndInsert(std::size_t at)
    {
        if (m_data.size() - at < 3)
            return {0, 0};
        const std::uint32_t h = hash(at);
        std::int32_t candidate = m_head[h];
        m_head[h] = static_cast<std::int32_t>(at);
        m_prev[at & (m_prev.size() - 1)] = candidate;

        const std::size_t limit = std::min(m_rules.maxLength, m_data.size() - at);
        const std::uint8_t* const here = m_data.data() + at;
        std::size_t best = 0;
        std::size_t bestDistance = 0;
        for (int steps = 0; candidate >= 0 && steps < kMaxChain; ++steps) {
            const std::size_t distance = at - static_cast<std::size_t>(candidate);
            if (distance > m_rules.maxDistance)
                break;
            const std::uint8_t* const there = m_data.data() + candidate;
            if (distance >= m_rules.minDistance && there[best] == here[best]) {
                const std::size_t length = matchLength(there, here, limit);
                if (length > best) {
                    best = length;
                    bestDistance = distance;
                    if (length == limit)
                        break;
                }
            }
            candidate = m_prev[static_cast<std::size_t>(candidate) & (m_prev.size() - 1)];
        }
        if (best < 3)
            return {0, 0};
        return {static_cast<std::uint32_t>(best), static_cast<std::uint32_t>(bestDistance)};
    }

    void insert(std::size_t at)
    {
        if (m_data.size() - at < 3)
            return;
        const std::uint32_t h = hash(at);
        m_prev[at & (m_prev.size() - 1)] = m_head[h];
        m_head[h] = static_cast<std::int32_t>(at);
    }

private:
    std::uint32_t hash(std::size_t at) const
    {
        const std::uint32_t v = m_data[at] | (m_data[at + 1] << 8) | (m_data[at + 2] << 16);
        return (v * 2654435761u) >> (32 - m_hashBits);
    }

    static std::size_t matchLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit)
    {
        std::size_t n = 0;
        while (limit - n >= 8) {
            std::uint64_t x = 0;
            std::uint64_t y = 0;
            std::memcpy(&x, a + n, 8);
            std::memcpy(&y, b + n, 8);
            if (x != y)
                return n + static_cast<std::size_t>(__builtin_ctzll(x ^ y) / 8);
            n += 8;
        }
        while (n < limit && a[n] == b[n])
            ++n;
        return n;
    }

    std::span<const std::uint8_t> m_data;
    LzRules m_rules;
    unsigned m_hashBits; // fewer for small inputs, whose tables are then small too
    std::vector<std::int32_t> m_head;
    std::vector<std::int32_t> m_prev;
};

// The cheapest parse of each block by dynamic programming over positions: price[i] is the
// fewest bits that reach the block's position i, from[i] the token that does so.
class BlockParser {
public:
    using Emit = std::function<void(std::span<const LzToken>)>;

    BlockParser(std::span<const std::uint8_t> data, const LzRules& rules, const Emit& emit)
        : m_data(data), m_rules(rules), m_emit(emit), m_finder(data, rules),
          // LZ10 and code compression take a match of the greatest length at once.
          m_nice(rules.lz11Lengths ? kNiceLz11 : rules.maxLength),
          m_price(std::min(kBlock, data.size()) + std::max(m_nice, rules.maxLength) + 1),
          m_from(m_price.size())
    {}

    void run()
    {
        m_price[0] = 0;
        std::size_t base = 0;
        std::size_t at = 0;
        // Every pass moves `at` forward by one or by a match's length: the input bounds the loop.
        while (true) {
            const std::size_t rel = at - base;
            if (at == m_data.size() || rel >= kBlock) {
                finishBlock(rel);
                if (at == m_data.size())
                    return;
                base = at;
                continue;
            }
            const LzToken match = m_finder.findAndInsert(at);
            if (match.length >= m_nice) {
                finishBlock(rel);
                m_emit(std::span<const LzToken>(&match, 1));
                for (std::size_t i = at + 1; i < at + match.length; ++i)
                    m_finder.insert(i);
                at += match.length;
                base = at;
                continue;
            }
            weigh(rel, match);
            ++at;
        }
    }

private:
    // The literal and every length of the match at `rel` as ways forward from there.
    void weigh(std::size_t rel, const LzToken& match)
    {
        const std::uint32_t here = m_price[rel];
        relax(rel + 1, here + 9, {1, 0});
        if (match.length < 3)
            return;
        relax(rel + match.length, kUnreached, {});
        // Lengths of one cost in one loop (LZ11's 17 and up cost 25 bits).
        const std::size_t shortEnd = std::min<std::size_t>(match.length, 16);
        relaxRange(rel, 3, shortEnd, here + 17, match.distance);
        if (match.length > shortEnd)
            relaxRange(rel, shortEnd + 1, match.length,
                       here + referenceBits(match.length, m_rules.lz11Lengths), match.distance);
    }

    void relax(std::size_t to, std::uint32_t cost, LzToken token)
    {
        while (m_reached < to)
            m_price[++m_reached] = kUnreached;
        if (cost < m_price[to]) {
            m_price[to] = cost;
            m_from[to] = token;
        }
    }

    // Every length first..last of one match at `rel`, all costing `cost`; prices already set.
    void relaxRange(std::size_t rel, std::size_t first, std::size_t last, std::uint32_t cost,
                    std::uint32_t distance)
    {
        std::uint32_t* const p = m_price.data() + rel;
        LzToken* const f = m_from.data() + rel;
        for (std::size_t length = first; length <= last; ++length) {
            if (cost < p[length]) {
                p[length] = cost;
                f[length] = {static_cast<std::uint32_t>(length), distance};
            }
        }
    }

    // Hands over the cheapest path from the block's start to `end` (relative) and starts anew.
    void finishBlock(std::size_t end)
    {
        m_path.clear();
        for (std::size_t at = end; at > 0; at -= m_from[at].length)
            m_path.push_back(m_from[at]);
        std::reverse(m_path.begin(), m_path.end());
        if (!m_path.empty())
            m_emit(m_path);
        m_price[0] = 0;
        m_reached = 0;
    }

    std::span<const std::uint8_t> m_data;
    const LzRules& m_rules;
    const Emit& m_emit;
    MatchFinder m_finder;
    std::size_t m_nice;
    std::vector<std::uint32_t> m_price;
    std::vector<LzToken> m_from;
    std::vector<LzToken> m_path;
    std::size_t m_reached = 0; // highest position of the block whose price is set
};

} // namespace

void lzParse(std::span<const std::uint8_t> data, const LzRules& rules,
             const std::function<void(std::span<const LzToken>)>& emit)
{
    BlockParser(data, rules, emit).run();
}

} // namespace cartscope::core::detail
