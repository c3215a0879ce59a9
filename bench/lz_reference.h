#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Reference LZ parses for the compression benchmark, written apart from the product's encoder:
// an exhaustive longest-match search (every earlier position in the window that shares the first
// three bytes), then either the plain greedy parse or the optimal one (dynamic programming over
// every length of the longest match at every position). Both follow the product's rules: window
// 4096, lengths 3-18 (LZ10) or 3-65808 (LZ11), no distance 1 when VRAM-safe. Sizes are the
// encoded file's bytes: the 4-byte header, the tokens and their flag bytes.
namespace cartscope::bench {

std::size_t greedySize(std::span<const std::uint8_t> data, bool lz11, bool vramSafe);
std::size_t optimalSize(std::span<const std::uint8_t> data, bool lz11, bool vramSafe);

} // namespace cartscope::bench
