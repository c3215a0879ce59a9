// Huffman encoding in the console's layout.
//
// The tree table starts with its size byte (table bytes / 2 - 1) and the root at byte 1; then
// child pairs, two bytes each. An inner node's byte holds a 6-bit offset (its child pair lies at
// (node AND NOT 1) + offset * 2 + 2) and two flags, 0x80 "child 0 is a unit" and 0x40 "child 1
// is a unit"; a unit's byte is its value. The 6-bit offset is the catch: a child pair must lie
// within 64 pairs after its parent's pair, which breadth-first order breaks for wide trees (a
// near-complete tree of 256 units puts the last pairs 127 pairs after their parents). Pairs are
// placed depth first, which keeps a subtree close to its root, except where that would leave a
// waiting node unable to meet its 64-pair limit: then the node that waited longest goes first.
// A tree that still does not fit (none was found in trials of thousands of shapes) is replaced
// by a comb, each inner node holding one unit and the next inner node, whose offsets are all 0.
#include "core/compress/huffman_encode.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <optional>

#include <queue>

#include "core/base/le.h"

namespace cartscope::core::detail {

namespace {

constexpr std::size_t kMaxOffset = 63;

struct Node {
    std::uint64_t weight = 0;
    std::array<int, 2> child{-1, -1}; // -1 for a unit
    unsigned unit = 0;
    bool isUnit() const { return child[0] < 0; }
};

struct Tree {
    std::vector<Node> nodes; // the root last
    int root() const { return static_cast<int>(nodes.size()) - 1; }
};

// The units of `data`: bytes, or nibbles low half first (the order the decoder fills a byte).
template <typename F> void forEachUnit(std::span<const std::uint8_t> data, unsigned bits, F&& f)
{
    for (const std::uint8_t b : data) {
        if (bits == 8) {
            f(b);
        } else {
            f(b & 0xF);
            f(b >> 4);
        }
    }
}

// The units that occur, by count; at least two (a tree's root has two children), padded with
// unused values of count 0.
std::vector<Node> unitLeaves(const std::vector<std::uint64_t>& counts)
{
    std::vector<Node> leaves;
    for (unsigned u = 0; u < counts.size(); ++u)
        if (counts[u] > 0)
            leaves.push_back(Node{counts[u], {-1, -1}, u});
    for (unsigned u = 0; leaves.size() < 2; ++u)
        if (counts[u] == 0)
            leaves.push_back(Node{0, {-1, -1}, u});
    return leaves;
}

Tree huffmanTree(const std::vector<std::uint64_t>& counts)
{
    Tree t;
    t.nodes = unitLeaves(counts);
    // Lightest first; equal weights by creation order, so the tree does not depend on the
    // queue's implementation.
    using Entry = std::pair<std::uint64_t, int>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
    for (std::size_t i = 0; i < t.nodes.size(); ++i)
        queue.emplace(t.nodes[i].weight, static_cast<int>(i));
    while (queue.size() > 1) {
        const Entry a = queue.top();
        queue.pop();
        const Entry b = queue.top();
        queue.pop();
        t.nodes.push_back(Node{a.first + b.first, {a.second, b.second}, 0});
        queue.emplace(a.first + b.first, t.root());
    }
    return t;
}

Tree combTree(const std::vector<std::uint64_t>& counts)
{
    std::vector<Node> leaves = unitLeaves(counts);
    std::stable_sort(leaves.begin(), leaves.end(),
                     [](const Node& a, const Node& b) { return a.weight < b.weight; });
    Tree t;
    t.nodes = leaves;
    int next = 0; // the lightest unit ends the comb
    for (std::size_t i = 1; i < leaves.size(); ++i) {
        t.nodes.push_back(Node{0, {static_cast<int>(i), next}, 0});
        next = t.root();
    }
    return t;
}

// The table for `t`, or nullopt when some child pair lies too far from its parent.
std::optional<std::vector<std::uint8_t>> layOut(const Tree& t)
{
    const std::size_t inner = t.nodes.size() - (t.nodes.size() + 1) / 2;
    std::vector<std::uint8_t> table(2 * (inner + 1), 0);
    table[0] = static_cast<std::uint8_t>(inner); // (table bytes / 2) - 1
    struct Waiting {
        int node;
        std::size_t slot; // its byte in the table
    };
    std::vector<Waiting> waiting{{t.root(), 1}};
    const auto deadline = [](const Waiting& w) { return (w.slot >> 1) + 1 + kMaxOffset; };
    std::vector<std::size_t> rest;
    // Each step places one inner node's child pair: at most `inner` steps.
    for (std::size_t pair = 1; !waiting.empty(); ++pair) {
        // Depth first (the newest) unless the others could then not all meet their limits in
        // the pairs that follow.
        std::size_t pick = waiting.size() - 1;
        rest.clear();
        for (std::size_t i = 0; i + 1 < waiting.size(); ++i)
            rest.push_back(deadline(waiting[i]));
        std::sort(rest.begin(), rest.end());
        for (std::size_t j = 0; j < rest.size(); ++j) {
            if (rest[j] < pair + 1 + j) {
                pick = static_cast<std::size_t>(
                    std::min_element(
                        waiting.begin(), waiting.end(),
                        [](const Waiting& a, const Waiting& b) { return a.slot < b.slot; }) -
                    waiting.begin());
                break;
            }
        }
        const Waiting w = waiting[pick];
        waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(pick));
        const std::size_t offset = pair - (w.slot >> 1) - 1;
        if (offset > kMaxOffset)
            return std::nullopt;
        const Node& n = t.nodes[static_cast<std::size_t>(w.node)];
        unsigned flags = 0;
        for (int c = 0; c < 2; ++c) {
            const Node& child = t.nodes[static_cast<std::size_t>(n.child[c])];
            const std::size_t slot = 2 * pair + static_cast<std::size_t>(c);
            if (child.isUnit()) {
                flags |= c == 0 ? 0x80u : 0x40u;
                table[slot] = static_cast<std::uint8_t>(child.unit);
            } else {
                waiting.push_back({n.child[c], slot});
            }
        }
        table[w.slot] = static_cast<std::uint8_t>(flags | offset);
    }
    return table;
}

struct Code {
    std::array<std::uint64_t, 4> bits{}; // most significant first: bit i of the code at [i / 64]
    unsigned length = 0;
};

void assignCodes(const Tree& t, int node, Code code, std::vector<Code>& codes)
{
    const Node& n = t.nodes[static_cast<std::size_t>(node)];
    if (n.isUnit()) {
        codes[n.unit] = code;
        return;
    }
    // Depth is at most 255 (a comb of 256 units): the recursion is bounded by the unit count.
    for (int c = 0; c < 2; ++c) {
        Code next = code;
        if (c == 1)
            next.bits[code.length / 64] |= std::uint64_t{1} << (63 - code.length % 64);
        ++next.length;
        assignCodes(t, n.child[c], next, codes);
    }
}

// 32-bit little-endian words filled from bit 31 down.
class WordWriter {
public:
    explicit WordWriter(std::vector<std::uint8_t>& out) : m_out(out) {}
    void put(unsigned bit)
    {
        m_word |= bit << (31 - m_filled);
        if (++m_filled == 32)
            flush();
    }
    void finish()
    {
        if (m_filled > 0)
            flush();
    }

private:
    void flush()
    {
        std::uint8_t b[4];
        putLe32(b, 0, m_word);
        m_out.insert(m_out.end(), b, b + 4);
        m_word = 0;
        m_filled = 0;
    }
    std::vector<std::uint8_t>& m_out;
    std::uint32_t m_word = 0;
    unsigned m_filled = 0;
};

} // namespace

std::vector<std::uint8_t> compressHuffman(std::span<const std::uint8_t> data, unsigned bits)
{
    std::vector<std::uint64_t> counts(std::size_t{1} << bits, 0);
    forEachUnit(data, bits, [&counts](unsigned u) { ++counts[u]; });
    Tree tree = huffmanTree(counts);
    std::optional<std::vector<std::uint8_t>> table = layOut(tree);
    if (!table) {
        tree = combTree(counts);
        table = layOut(tree);
    }
    std::vector<Code> codes(counts.size());
    assignCodes(tree, tree.root(), Code{}, codes);

    std::vector<std::uint8_t> out;
    out.reserve(16 + table->size() + data.size());
    out.push_back(static_cast<std::uint8_t>(0x20 | bits));
    std::uint8_t b[4];
    // The 32-bit size form past 24 bits, and for an empty file, whose 24-bit size of 0 would
    // read as the start of that form since the table follows.
    if (data.empty() || data.size() > 0xFFFFFF) {
        out.insert(out.end(), {0, 0, 0});
        putLe32(b, 0, static_cast<std::uint32_t>(data.size()));
        out.insert(out.end(), b, b + 4);
    } else {
        putLe32(b, 0, static_cast<std::uint32_t>(data.size()));
        out.insert(out.end(), b, b + 3);
    }
    out.insert(out.end(), table->begin(), table->end());
    WordWriter words(out);
    forEachUnit(data, bits, [&](unsigned u) {
        const Code& c = codes[u];
        for (unsigned i = 0; i < c.length; ++i)
            words.put(static_cast<unsigned>(c.bits[i / 64] >> (63 - i % 64)) & 1u);
    });
    words.finish();
    return out;
}

} // namespace cartscope::core::detail
