// Internal knobs of the nearest-common-descendant computation, for tests and tuning.
#pragma once

#include <cstddef>

#include "base/model.hpp"

namespace velkor::dist::detail {

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

struct NcdOptions {
  NcdRows rows = NcdRows::automatic;
  std::size_t column_chunk = kNcdColumnChunk;
};

base::Matrix nearest_common_descendant_with(const base::Graph& graph,
                                            const base::Matrix& distances,
                                            base::Weight extreme, const NcdOptions& options);

}  // namespace velkor::dist::detail
