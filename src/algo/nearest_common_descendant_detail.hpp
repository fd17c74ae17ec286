// Internal knobs of the nearest-common-descendant computation, for tests and tuning.
#pragma once

#include <cstddef>

#include "base/model.hpp"
#include "base/resources.hpp"
#include "base/result.hpp"
#include "algo/parallel.hpp"

namespace velkor::algo::detail {

// How rows of the clamped distance matrix are held. A row's support is the
// set of targets closer than `extreme`; only those can make a pair's value
// smaller than `extreme`.
enum class NcdRows {
  automatic,  // dense when the support exceeds 1/kNcdDenseDivisor of the component
  sparse,     // every row as a support list (pairs cost the smaller support)
  dense,      // every non-empty row as a full vector (pairs cost the component size)
};

inline constexpr std::size_t kNcdDenseDivisor = 16;

// Columns per pass of the dense kernel, so that the block of rows it keeps
// reusing stays in the L2 cache.
inline constexpr std::size_t kNcdColumnChunk = 2048;

// Steps (x, y, z triples) per unit of work of the dense product: a few
// milliseconds, so that a stop request is seen soon.
inline constexpr std::size_t kNcdPairUnitWork = std::size_t{1} << 25;

struct NcdOptions {
  NcdRows rows = NcdRows::automatic;
  std::size_t column_chunk = kNcdColumnChunk;
  std::size_t pair_unit_work = kNcdPairUnitWork;
  // Jobs of less estimated work (pairs times the entries each one reads)
  // run on the calling thread alone.
  std::size_t parallel_min_work = kParallelMinWork;
};

base::SquareRows nearest_common_descendant_with(base::Graph graph, base::Weight extreme,
                                                const base::Resources& resources,
                                                const NcdOptions& options);

}  // namespace velkor::algo::detail
