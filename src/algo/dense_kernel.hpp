// Dense kernels of the shortest-path computation: tiled Floyd-Warshall and a bit-matrix closure, parallel over tiles.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/model.hpp"
#include "algo/parallel.hpp"

namespace velkor::algo::detail {

// A component's distances live in a c x c row-major matrix of uint32 whose
// rows lie `stride` apart, in which one value, `inf`, stands for "no path".
// Two arithmetics:
//  - Saturating: inf = kMaxWeight and sums clamp there, so a result is
//    min(true length, kMaxWeight). When the component's edge weights add up
//    to kMaxWeight or more, a path may also be worth exactly kMaxWeight;
//    the caller then settles those entries with a reachability closure.
//  - Plain: when the edge weights add up to less than kPlainInf, every
//    distance is below kPlainInf, inf = kPlainInf = 2^31 - 1, and inf plus
//    any finite distance still fits in 32 bits: a bare add replaces the
//    clamp, one vector operation fewer per step.
inline constexpr std::uint32_t kPlainInf = 0x7FFFFFFFu;

// Side of the square tiles of the tiled kernel: a tile row of 64 values
// stays in vector registers, a tile in the L1 cache.
inline constexpr std::size_t kApspTile = 64;

// Row stride of a c x c matrix whose first row starts on a cache line. Rows
// are padded to whole vectors so that every row starts aligned too; tiled
// rows to whole tiles plus one cache line: a stride of a power of two would
// map a tile's rows onto the same cache sets.
inline std::size_t dense_stride(std::size_t c, bool tiled) {
  if (tiled) return (c + kApspTile - 1) / kApspTile * kApspTile + 16;
  return c < 16 ? c : (c + 7) / 8 * 8;
}

// Floyd-Warshall in place over `d` (padding columns of a tiled matrix hold
// inf). The diagonal holds min(loop weight, inf) on entry and the lightest
// cycle through the node, if lighter, on return. With a team the tiles of
// each step are spread over its threads; without, it runs on the calling
// thread.
void dense_apsp(std::uint32_t* d, std::size_t c, std::size_t stride, bool plain, bool tiled,
                Team* team);

// Transitive closure in place of the c x c bit matrix `bits` (rows of
// `words` uint64), on the team's threads or, without one, the calling thread.
void bit_closure(std::uint64_t* bits, std::size_t c, std::size_t words, Team* team);

}  // namespace velkor::algo::detail
