// Tiled saturating and plain Floyd-Warshall, and a blocked bit-matrix closure, spread over a team by tiles.
#include "algo/dense_kernel.hpp"

#include <algorithm>

#include "platform/simd_dispatch.hpp"

namespace velkor::algo::detail {

using base::kMaxWeight;

namespace {

struct Saturating {
  static constexpr std::uint32_t inf = kMaxWeight;
  // min(rk + dik, kMaxWeight) without wrapping, given lim = kMaxWeight - dik.
  static VELKOR_INLINE std::uint32_t via(std::uint32_t rk, std::uint32_t dik, std::uint32_t lim) {
    return std::min(rk, lim) + dik;
  }
};

struct Plain {
  static constexpr std::uint32_t inf = kPlainInf;
  static VELKOR_INLINE std::uint32_t via(std::uint32_t rk, std::uint32_t dik, std::uint32_t) {
    return rk + dik;
  }
};

// Relaxes rows [i0, i1) through intermediates [k0, k1) on columns [j0, j1),
// k in the outer loop (needed when the rows read are also written).
template <class A>
VELKOR_INLINE void relax_k_outer(std::uint32_t* d, std::size_t s, std::size_t i0, std::size_t i1,
                                 std::size_t k0, std::size_t k1, std::size_t j0, std::size_t j1) {
  for (std::size_t k = k0; k < k1; ++k) {
    const std::uint32_t* __restrict rk = d + k * s;
    for (std::size_t i = i0; i < i1; ++i) {
      if (i == k) continue;  // the diagonal never shortens a path
      std::uint32_t* __restrict ri = d + i * s;
      const std::uint32_t dik = ri[k];
      if (dik == A::inf) continue;
      const std::uint32_t lim = kMaxWeight - dik;
      for (std::size_t j = j0; j < j1; ++j) ri[j] = std::min(ri[j], A::via(rk[j], dik, lim));
    }
  }
}

// Rows [i0, i1) through intermediates [k0, k1) on the kApspTile columns from
// j0. The row segment is held in a local array across the whole k loop; with
// the width fixed the compiler keeps it in vector registers, and the loop
// body is a broadcast, loads of row k and min/add. Reads of ri[k] see the
// values from before the call, which is exact for every tile but the
// diagonal one: a path's first (or last) intermediate from [k0, k1) is
// reached through a value the diagonal tile has already closed.
template <class A>
VELKOR_INLINE void relax_tile(std::uint32_t* d, std::size_t s, std::size_t i0, std::size_t i1,
                              std::size_t k0, std::size_t k1, std::size_t j0) {
  constexpr std::size_t t = kApspTile;
  for (std::size_t i = i0; i < i1; ++i) {
    std::uint32_t* ri = d + i * s;
    std::uint32_t acc[t];
    for (std::size_t j = 0; j < t; ++j) acc[j] = ri[j0 + j];
    for (std::size_t k = k0; k < k1; ++k) {
      const std::uint32_t dik = ri[k];
      if (dik == A::inf) continue;
      const std::uint32_t lim = kMaxWeight - dik;
      const std::uint32_t* rk = d + k * s + j0;
      for (std::size_t j = 0; j < t; ++j) acc[j] = std::min(acc[j], A::via(rk[j], dik, lim));
    }
    for (std::size_t j = 0; j < t; ++j) ri[j0 + j] = acc[j];
  }
}

VELKOR_SIMD_KERNEL(square_plain, (std::uint32_t* d, std::size_t s, std::size_t a0, std::size_t a1),
                   (d, s, a0, a1)) {
  relax_k_outer<Plain>(d, s, a0, a1, a0, a1, a0, a1);
}

VELKOR_SIMD_KERNEL(square_saturating,
                   (std::uint32_t* d, std::size_t s, std::size_t a0, std::size_t a1),
                   (d, s, a0, a1)) {
  relax_k_outer<Saturating>(d, s, a0, a1, a0, a1, a0, a1);
}

VELKOR_SIMD_KERNEL(tile_plain,
                   (std::uint32_t* d, std::size_t s, std::size_t i0, std::size_t i1,
                    std::size_t k0, std::size_t k1, std::size_t j0),
                   (d, s, i0, i1, k0, k1, j0)) {
  relax_tile<Plain>(d, s, i0, i1, k0, k1, j0);
}

VELKOR_SIMD_KERNEL(tile_saturating,
                   (std::uint32_t* d, std::size_t s, std::size_t i0, std::size_t i1,
                    std::size_t k0, std::size_t k1, std::size_t j0),
                   (d, s, i0, i1, k0, k1, j0)) {
  relax_tile<Saturating>(d, s, i0, i1, k0, k1, j0);
}

}  // namespace

// Per diagonal tile K: first K itself, then the tiles in K's rows and
// columns (they read only K), then all others (each reads one tile of K's
// rows and one of K's columns). The tiles of each step are independent, and
// after each step every entry is the exact shortest length through the
// intermediates seen so far, whatever order the tiles ran in: results do
// not depend on the number of threads.
void dense_apsp(std::uint32_t* d, std::size_t c, std::size_t s, bool plain, bool tiled,
                Team* team) {
  if (c < 2) return;
  const auto square = plain ? square_plain : square_saturating;
  if (!tiled) {
    square(d, s, 0, c);
    return;
  }
  const auto tile = plain ? tile_plain : tile_saturating;
  constexpr std::size_t t = kApspTile;
  const std::size_t blocks = (c + t - 1) / t;
  const std::size_t others = blocks - 1;
  constexpr std::size_t tile_work = t * t * t;
  for (std::size_t kb = 0; kb < blocks; ++kb) {
    const std::size_t k0 = kb * t;
    const std::size_t k1 = std::min(c, k0 + t);
    if (team) team->poll();
    square(d, s, k0, k1);
    if (others == 0) continue;
    // Units 0 .. others-1: tiles in K's rows; then tiles in K's columns.
    run_units(team, 0, 2 * others, 2 * others * tile_work, [&](std::size_t u, unsigned) {
      const std::size_t b = (u % others) + (u % others >= kb);
      if (u < others)
        tile(d, s, k0, k1, k0, k1, b * t);
      else
        tile(d, s, b * t, std::min(c, b * t + t), k0, k1, k0);
    });
    run_units(team, 0, others * others, others * others * tile_work, [&](std::size_t u, unsigned) {
      const std::size_t ib = u / others + (u / others >= kb);
      const std::size_t jb = u % others + (u % others >= kb);
      tile(d, s, ib * t, std::min(c, ib * t + t), k0, k1, jb * t);
    });
  }
}

namespace {

// Rows [r0, r1) take in the rows of intermediates [k0, k1), k ascending.
VELKOR_SIMD_KERNEL(close_rows,
                   (std::uint64_t* bits, std::size_t words, std::size_t r0, std::size_t r1,
                    std::size_t k0, std::size_t k1),
                   (bits, words, r0, r1, k0, k1)) {
  for (std::size_t i = r0; i < r1; ++i) {
    std::uint64_t* __restrict ri = bits + i * words;
    for (std::size_t k = k0; k < k1; ++k) {
      if (i == k || !(ri[k >> 6] >> (k & 63) & 1)) continue;
      const std::uint64_t* __restrict rk = bits + k * words;
      for (std::size_t w = 0; w < words; ++w) ri[w] |= rk[w];
    }
  }
}

// Warshall's order within the block of intermediates [k0, k1), rows of the
// block only.
VELKOR_SIMD_KERNEL(close_block,
                   (std::uint64_t* bits, std::size_t words, std::size_t k0, std::size_t k1),
                   (bits, words, k0, k1)) {
  for (std::size_t k = k0; k < k1; ++k) {
    const std::uint64_t* rk = bits + k * words;
    for (std::size_t i = k0; i < k1; ++i) {
      std::uint64_t* ri = bits + i * words;
      if (i == k || !(ri[k >> 6] >> (k & 63) & 1)) continue;
      for (std::size_t w = 0; w < words; ++w) ri[w] |= rk[w];
    }
  }
}

}  // namespace

// By blocks of 64 intermediates: the block's own rows first (Warshall's
// order), then every other row, independently, through the block's closed
// rows.
void bit_closure(std::uint64_t* bits, std::size_t c, std::size_t words, Team* team) {
  constexpr std::size_t b = 64;
  const std::size_t row_groups = (c + b - 1) / b;
  for (std::size_t k0 = 0; k0 < c; k0 += b) {
    const std::size_t k1 = std::min(c, k0 + b);
    if (team) team->poll();
    close_block(bits, words, k0, k1);
    run_units(team, 0, row_groups, c * b * words, [&](std::size_t g, unsigned) {
      const std::size_t r0 = g * b;
      if (r0 == k0) return;
      close_rows(bits, words, r0, std::min(c, r0 + b), k0, k1);
    });
  }
}

}  // namespace velkor::algo::detail
