// Dijkstra from one source: radix heap, lightest cycle through the source, row output in column order.
#include "algo/dijkstra.hpp"

#include <algorithm>

namespace velkor::algo::detail {

using base::kMaxWeight;
using base::Weight;

RadixHeap::Item RadixHeap::pop() {
  if (buckets_[0].empty()) {
    std::size_t b = 1;
    while (buckets_[b].empty()) ++b;
    std::uint64_t low = kUnset;
    for (const Item& it : buckets_[b]) low = std::min(low, it.key);
    last_ = low;
    for (const Item& it : buckets_[b]) push_charged(buckets_[std::bit_width(it.key ^ last_)], it, charge_);
    buckets_[b].clear();
  }
  const Item it = buckets_[0].back();
  buckets_[0].pop_back();
  --size_;
  return it;
}

std::size_t ShortestPaths::row(const ComponentView& comp, std::uint32_t src, std::uint64_t loop,
                               std::vector<base::PathRows::Cell>& out, ScratchCharge& out_charge) {
  if (dist_.size() < comp.size) {
    // A node is reached once per run: reached_ never outgrows the component.
    reserve_charged(dist_, comp.size, charge_);
    reserve_charged(reached_, comp.size, charge_);
    dist_.resize(comp.size, kUnset);
  }
  // The row holds at most one cell per node of the component.
  if (out.capacity() - out.size() < comp.size)
    reserve_charged(out, std::max(2 * out.capacity(), out.size() + comp.size), out_charge);
  const base::NodeIndex* mem = comp.members;
  const Adjacency& adj = *comp.adj;
  std::uint64_t cycle = loop;  // lightest cycle through the source; used when it has a loop
  dist_[src] = 0;
  reached_.push_back(src);
  heap_.restart();
  heap_.push(0, src);
  while (!heap_.empty()) {
    const RadixHeap::Item top = heap_.pop();
    if (top.key > dist_[top.node]) continue;
    const base::NodeIndex u = mem[top.node];
    for (std::size_t p = adj.begin(u), e = adj.end(u); p < e; ++p) {
      const Arc a = adj.arcs[p];
      const std::uint64_t nd = top.key + a.weight;
      if (nd < dist_[a.to]) {
        if (dist_[a.to] == kUnset) reached_.push_back(a.to);
        dist_[a.to] = nd;
        heap_.push(nd, a.to);
      } else if (a.to == src) {
        cycle = std::min(cycle, nd);
      }
    }
  }
  const Weight self = loop == kUnset ? 0 : static_cast<Weight>(std::min<std::uint64_t>(cycle, kMaxWeight));
  auto emit = [&](std::uint32_t t) {
    const Weight v = t == src ? self : static_cast<Weight>(std::min<std::uint64_t>(dist_[t], kMaxWeight));
    out.push_back(base::PathRows::Cell{mem[t], v});
    dist_[t] = kUnset;
  };
  // Few targets: sort them; many: a sequential sweep is cheaper.
  const std::size_t r = reached_.size();
  if (r * static_cast<std::size_t>(std::bit_width(r)) < comp.size) {
    std::sort(reached_.begin(), reached_.end());
    for (std::uint32_t t : reached_) emit(t);
  } else {
    for (std::uint32_t t = 0; t < comp.size; ++t)
      if (dist_[t] != kUnset) emit(t);
  }
  reached_.clear();
  return r;
}

}  // namespace velkor::algo::detail
